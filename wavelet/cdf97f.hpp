// CDF 9/7 wavelet by lifting in float32: two predict/update pairs followed by
// scaling with K and 1/K. Approximation = lifted even samples, details =
// lifted odd samples; whole-sample symmetric extension at both ends.
#pragma once

#include <algorithm>

#include "wavelet/lifting_dwt.hpp"

namespace vdx::wavelet {

class Cdf97Lifting final : public LiftingDwt {
 public:
  // Requires n ≥ 4, an approximation of n − n/2 and details of n/2 elements.
  Status forward(std::span<const float> input, std::span<float> approximation,
                 std::span<float> details) const override;
  // (max(n − n/2, 2), max(n/2, 2))
  std::pair<size_t, size_t> forward_sizes(size_t n) const override { return sizes(n); }
  static std::pair<size_t, size_t> sizes(size_t n) {
    return {std::max<size_t>(n - n / 2, 2), std::max<size_t>(n / 2, 2)};
  }
  // Overwrites all of `output`; works on private copies of the bands.
  Status inverse(std::span<const float> approximation, std::span<const float> details,
                 std::span<float> output) const override;
  // max(a + d, 4)
  size_t inverse_size(size_t approximation_length, size_t detail_length) const override;
  static constexpr size_t kFilterLength = 10;
  size_t filter_length() const override { return kFilterLength; }
  size_t minimum_length() const override { return 4; }
};

}  // namespace vdx::wavelet
