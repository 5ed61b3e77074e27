#include "wavelet/wavelet_error.hpp"

namespace vdx::wavelet {

std::string WaveletError::message() const {
  const std::string a = std::to_string(first);
  const std::string b = std::to_string(second);
  switch (kind) {
    case WaveletErrorKind::AllocationFailed:
      return "Cannot allocate " + a + " bytes to vector";
    case WaveletErrorKind::HalfLengthMismatch:
      return "Approximation and details expected to be half of original signal length but it was " +
             a;
    case WaveletErrorKind::BandsMismatch:
      return "Approx and details must match, but they don't " + a + "x" + b;
    case WaveletErrorKind::NotDivisible:
      return "Input must be divisible by " + a;
    case WaveletErrorKind::Overflow:
      return "Overflow is happened";
    case WaveletErrorKind::OutputSizeMismatch:
      return "Output size should be " + a + ", but it was " + b;
    case WaveletErrorKind::InputTooShort:
      return "Input size " + a + " can't be less than " + b;
    case WaveletErrorKind::InputOutputMismatch:
      return "Input size " + a + " does not match output size " + b;
    case WaveletErrorKind::BadWaveletLength:
      return "Zero or odd sized wavelet";
    case WaveletErrorKind::FilterCenterTooLarge:
      return "Filter center " + a + " was larger than filter size " + b;
    case WaveletErrorKind::BufferTooSmallForLevel:
      return "Buffer was too small for provided level";
    case WaveletErrorKind::ApproximationSizeMismatch:
      return "Approximate size " + a + " does not match required size " + b;
    case WaveletErrorKind::DetailsSizeMismatch:
      return "Details size " + a + " does not match required size " + b;
    case WaveletErrorKind::ZeroSizedInput:
      return "Zero sized input is not supported";
    case WaveletErrorKind::InputSizeMismatch:
      return "Input size expected to be " + a + " but it was " + b;
    case WaveletErrorKind::ScratchSizeMismatch:
      return "Scratch size expected to be " + a + " but it was " + b;
  }
  return "Unknown wavelet error " + std::to_string(static_cast<unsigned>(kind));
}

}  // namespace vdx::wavelet
