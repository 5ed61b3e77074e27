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
// after it were not tried. `ranked`, when it holds an index per prepared
// signal, is their rank_plain_rounding order, already computed.
Result<std::vector<BoundAwareFit>, CodecError> fit_max_error_bound_aware(
    const Bounds& bounds, double bound, std::span<const Prepared> prepared,
    bool* settled_at_once = nullptr, std::span<const size_t> ranked = {});

// The smallest estimate of `fits` and at most one more whose estimate is
// close to it: the candidates worth encoding.
void keep_close_smallest(std::vector<BoundAwareFit>& fits);

// The multiplier the quantiser aims at first: coarser than plain rounding
// would need to keep every sample inside its box.
float first_plain_multiplier(const Prepared& p, double bound);

// The prepared signals in the order the bound-aware quantiser should try
// them, from the estimated size of their plain rounding at the first
// multiplier, with the smallest estimate (in bits).
struct PlainRanking {
  std::vector<size_t> order;
  double smallest_bits = 0.0;
};
PlainRanking rank_plain_rounding(std::span<const Prepared> prepared, double bound);

// The same ranking of wavelets on the ranking probe of a long signal, so
// only the wavelets tried need decomposing in full; the estimate is the
// probe's.
struct ProbeRanking {
  std::vector<WaveletMethod> methods;
  double smallest_bits = 0.0;
};
Result<ProbeRanking, CodecError> rank_for_max_error(std::span<const float> samples,
                                                    std::span<const WaveletMethod> methods,
                                                    double bound);
// How many of them it tries at most.
size_t wavelets_tried_for_max_error();

}  // namespace vdx::fit
