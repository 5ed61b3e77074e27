#include "wavelet/wavelet8taps.hpp"

#include "wavelet/sse/wavelet8taps_f32.hpp"
#include "wavelet/util.hpp"

namespace vdx::wavelet {

bool implementation_available(FilterBankImplementation implementation) {
  switch (implementation) {
    case FilterBankImplementation::Portable:
      return true;
    case FilterBankImplementation::Sse42:
      return VDX_HAVE_SSE42_KERNELS && has_feature(kFeatureSse42);
  }
  return false;
}

FilterBankImplementation preferred_implementation() {
  return implementation_available(FilterBankImplementation::Sse42)
             ? FilterBankImplementation::Sse42
             : FilterBankImplementation::Portable;
}

EightTapFilterBank::EightTapFilterBank(BorderMode mode,
                                       const std::array<double, 8>& coefficients)
    : EightTapFilterBank(mode, coefficients, preferred_implementation()) {}

EightTapFilterBank::EightTapFilterBank(BorderMode mode,
                                       const std::array<double, 8>& coefficients,
                                       FilterBankImplementation implementation)
    : border_mode_(mode),
      filters_(make_eight_tap_filters(coefficients)),
      implementation_(implementation_available(implementation)
                          ? implementation
                          : FilterBankImplementation::Portable) {}

Status EightTapFilterBank::forward(std::span<const float> input,
                                   std::span<float> approximation,
                                   std::span<float> details) const {
  const size_t n = input.size();
  if (n < eight_tap::kTaps) {
    return fail(wavelet_error(WaveletErrorKind::InputTooShort, n, eight_tap::kTaps));
  }
  const size_t outputs = eight_tap::band_length(n);
  if (approximation.size() != outputs) {
    return fail(wavelet_error(WaveletErrorKind::HalfLengthMismatch, approximation.size()));
  }
  if (details.size() != outputs) {
    return fail(wavelet_error(WaveletErrorKind::HalfLengthMismatch, details.size()));
  }
#if VDX_HAVE_SSE42_KERNELS
  if (implementation_ == FilterBankImplementation::Sse42) {
    eight_tap::forward_sse42(filters_, border_mode_, input.data(), n, approximation.data(),
                             details.data());
    return {};
  }
#endif
  eight_tap::forward_portable(filters_, border_mode_, input.data(), n, approximation.data(),
                              details.data());
  return {};
}

Status EightTapFilterBank::forward_with_scratch(std::span<const float> input,
                                                std::span<float> approximation,
                                                std::span<float> details,
                                                std::span<float> /*scratch*/) const {
  return forward(input, approximation, details);
}

size_t EightTapFilterBank::required_scratch_size(size_t /*input_length*/) const { return 0; }

std::pair<size_t, size_t> EightTapFilterBank::forward_sizes(size_t n) const {
  return {eight_tap::band_length(n), eight_tap::band_length(n)};
}

Status EightTapFilterBank::inverse(std::span<const float> approximation,
                                   std::span<const float> details,
                                   std::span<float> output) const {
  const size_t a = approximation.size();
  if (a != details.size()) {
    return fail(wavelet_error(WaveletErrorKind::BandsMismatch, a, details.size()));
  }
  const size_t required = inverse_size(a, a);
  if (output.size() != required) {
    return fail(wavelet_error(WaveletErrorKind::OutputSizeMismatch, required, output.size()));
  }
#if VDX_HAVE_SSE42_KERNELS
  if (implementation_ == FilterBankImplementation::Sse42) {
    eight_tap::inverse_sse42(filters_, approximation.data(), details.data(), a, output.data());
    return {};
  }
#endif
  eight_tap::inverse_portable(filters_, approximation.data(), details.data(), a, output.data());
  return {};
}

size_t EightTapFilterBank::inverse_size(size_t approximation_length,
                                        size_t /*detail_length*/) const {
  return approximation_length >= 3 ? 2 * approximation_length - 6 : 0;
}

}  // namespace vdx::wavelet
