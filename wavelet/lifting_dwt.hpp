// LiftingDwt: the multi-level operations shared by the CDF lifting wavelets,
// which implement MultiLevelDwt directly. Subclasses supply the single-level
// transform and their smallest accepted length.
#pragma once

#include "wavelet/dwt.hpp"

namespace vdx::wavelet {

class LiftingDwt : public MultiLevelDwt {
 public:
  // The scratch buffer plays no part in a lifting transform.
  Status forward_with_scratch(std::span<const float> input, std::span<float> approximation,
                              std::span<float> details,
                              std::span<float> scratch) const override;
  size_t required_scratch_size(size_t input_length) const override;

  Result<DwtLevel, WaveletError> decompose_to_level(std::span<const float> input,
                                                    size_t levels) const override;
  Result<std::vector<DwtLevel>, WaveletError> decompose(std::span<const float> input,
                                                        size_t levels) const override;
  // Output of a + d samples; the band lengths are checked by inverse.
  Result<std::vector<float>, WaveletError> inverse_level(
      std::span<const float> approximation, std::span<const float> details) const override;
  // The result has the signal's length, a₀ + d₀.
  Result<std::vector<float>, WaveletError> reconstruct(
      std::span<const float> approximation,
      std::span<const std::span<const float>> details_finest_first) const override;

  // Smallest signal that forward and decompose accept.
  virtual size_t minimum_length() const = 0;
};

// The length checks of a lifting forward, in order: n at least `minimum`,
// approximation of n − n/2, details of n/2 elements.
Status check_lifting_forward(size_t n, size_t approximation_length, size_t detail_length,
                             size_t minimum);

// The length checks of a lifting inverse, in order: a + d = n, then the
// clamped band lengths of forward_sizes(n), whose detail clamp differs
// between the wavelets.
Status check_lifting_inverse(size_t approximation_length, size_t detail_length, size_t n,
                             size_t minimum_details);

}  // namespace vdx::wavelet
