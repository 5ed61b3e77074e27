// The bound-aware quantiser for max_error: quantisation coarser than plain
// rounding would need, then individual coefficients moved so that every
// bounded sample lands in its box [x - B, x + B] under the decoder's exact
// arithmetic, then small coefficients stepped toward zero wherever their
// whole window stays inside the boxes. Encoder only: the containers are
// ordinary ones.
#pragma once

#include <optional>
#include <span>

#include "src/fit/fit_signal.hpp"

namespace vdx::fit {

struct BoundAwareFit {
  size_t prepared_index = 0;
  float multiplier = 0.0f;
  uint8_t scale = 6;
  std::vector<int16_t> values;
  double bits = 0.0;
};

// The smallest estimate over the prepared signals whose decode (with the
// reader's arithmetic) meets the bound at every bounded sample, then at most
// one more whose estimate is close to it; empty when none converged. The
// caller proves each container it might write and keeps the smallest.
// `settled_at_once` (when given) is set when the leading wavelet settled at
// its first or second multiplier: the ranking was right, and the wavelets
// after it were not tried.
Result<std::vector<BoundAwareFit>, CodecError> fit_max_error_bound_aware(
    const Bounds& bounds, double bound, std::span<const Prepared> prepared,
    bool* settled_at_once = nullptr);

// The smallest estimate of `fits` and at most one more whose estimate is
// close to it: the candidates worth encoding.
void keep_close_smallest(std::vector<BoundAwareFit>& fits);

// The wavelets in the order the bound-aware quantiser should try them, from
// the estimated size of their plain rounding at the first coarse
// multiplier. Long signals are ranked on a probe from their middle, so only
// the wavelets tried need decomposing in full; empty for short signals,
// which fit_max_error_bound_aware ranks whole.
Result<std::vector<WaveletMethod>, CodecError> rank_for_max_error(
    std::span<const float> samples, std::span<const WaveletMethod> methods, double bound);
// How many of them it tries at most.
size_t wavelets_tried_for_max_error();

}  // namespace vdx::fit
