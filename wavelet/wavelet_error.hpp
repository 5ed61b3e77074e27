// Errors of the wavelet transforms: a kind and up to two unsigned arguments.
// The kind numbers are fixed; the codec only ever sees message().
#pragma once

#include <cstdint>
#include <string>

namespace vdx::wavelet {

enum class WaveletErrorKind : uint8_t {
  AllocationFailed = 0,       // "Cannot allocate {} bytes to vector"
  HalfLengthMismatch = 1,     // "Approximation and details expected to be half ..."
  BandsMismatch = 2,          // "Approx and details must match, but they don't {}x{}"
  NotDivisible = 3,           // "Input must be divisible by {}"
  Overflow = 4,               // "Overflow is happened"
  OutputSizeMismatch = 5,     // "Output size should be {}, but it was {}"
  InputTooShort = 6,          // "Input size {} can't be less than {}"
  InputOutputMismatch = 7,    // "Input size {} does not match output size {}"
  BadWaveletLength = 8,       // "Zero or odd sized wavelet"
  FilterCenterTooLarge = 9,   // "Filter center {} was larger than filter size {}"
  BufferTooSmallForLevel = 10,  // "Buffer was too small for provided level"
  ApproximationSizeMismatch = 11,  // "Approximate size {} does not match required size {}"
  DetailsSizeMismatch = 12,   // "Details size {} does not match required size {}"
  ZeroSizedInput = 13,        // "Zero sized input is not supported"
  InputSizeMismatch = 14,     // "Input size expected to be {} but it was {}"
  ScratchSizeMismatch = 15,   // "Scratch size expected to be {} but it was {}"
};

struct WaveletError {
  WaveletErrorKind kind = WaveletErrorKind::ZeroSizedInput;
  uint64_t first = 0;
  uint64_t second = 0;

  std::string message() const;
};

inline WaveletError wavelet_error(WaveletErrorKind kind, uint64_t first = 0,
                                  uint64_t second = 0) {
  return WaveletError{kind, first, second};
}

}  // namespace vdx::wavelet
