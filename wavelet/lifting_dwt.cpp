#include "wavelet/lifting_dwt.hpp"

#include <algorithm>
#include <utility>

#include "wavelet/float_buffers.hpp"
#include "wavelet/multilevel.hpp"

namespace vdx::wavelet {

Status check_lifting_forward(size_t n, size_t approximation_length, size_t detail_length,
                             size_t minimum) {
  if (n < minimum) return fail(wavelet_error(WaveletErrorKind::InputTooShort, n, minimum));
  if (approximation_length != n - n / 2) {
    return fail(wavelet_error(WaveletErrorKind::ApproximationSizeMismatch, approximation_length,
                              n - n / 2));
  }
  if (detail_length != n / 2) {
    return fail(wavelet_error(WaveletErrorKind::DetailsSizeMismatch, detail_length, n / 2));
  }
  return {};
}

Status check_lifting_inverse(size_t approximation_length, size_t detail_length, size_t n,
                             size_t minimum_details) {
  if (approximation_length + detail_length != n) {
    return fail(wavelet_error(WaveletErrorKind::OutputSizeMismatch,
                              approximation_length + detail_length, n));
  }
  const size_t required_approximation = std::max<size_t>(n - n / 2, 2);
  if (approximation_length != required_approximation) {
    return fail(wavelet_error(WaveletErrorKind::ApproximationSizeMismatch, approximation_length,
                              required_approximation));
  }
  const size_t required_details = std::max<size_t>(n / 2, minimum_details);
  if (detail_length != required_details) {
    return fail(wavelet_error(WaveletErrorKind::DetailsSizeMismatch, detail_length,
                              required_details));
  }
  return {};
}

Status LiftingDwt::forward_with_scratch(std::span<const float> input,
                                        std::span<float> approximation,
                                        std::span<float> details,
                                        std::span<float> /*scratch*/) const {
  return forward(input, approximation, details);
}

size_t LiftingDwt::required_scratch_size(size_t /*input_length*/) const { return 0; }

Result<DwtLevel, WaveletError> LiftingDwt::decompose_to_level(std::span<const float> input,
                                                              size_t levels) const {
  ASSIGN_OR_RETURN(std::vector<DwtLevel> deepest,
                   decompose_levels(*this, input, levels, LevelRule{minimum_length(), true},
                                    /*keep_all=*/false));
  return std::move(deepest.back());
}

Result<std::vector<DwtLevel>, WaveletError> LiftingDwt::decompose(std::span<const float> input,
                                                                  size_t levels) const {
  return decompose_levels(*this, input, levels, LevelRule{minimum_length(), true},
                          /*keep_all=*/true);
}

Result<std::vector<float>, WaveletError> LiftingDwt::inverse_level(
    std::span<const float> approximation, std::span<const float> details) const {
  ASSIGN_OR_RETURN(std::vector<float> output,
                   zeroed_floats(approximation.size() + details.size()));
  RETURN_IF_ERROR(inverse(approximation, details, output));
  return output;
}

Result<std::vector<float>, WaveletError> LiftingDwt::reconstruct(
    std::span<const float> approximation,
    std::span<const std::span<const float>> details_finest_first) const {
  return reconstruct_levels(*this, approximation, details_finest_first, /*cut_to_band=*/false);
}

}  // namespace vdx::wavelet
