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
// reader's arithmetic) meets the bound at every bounded sample; nullopt when
// none converged. The caller still proves the container it writes.
Result<std::optional<BoundAwareFit>, CodecError> fit_max_error_bound_aware(
    const Bounds& bounds, double bound, std::span<const Prepared> prepared);

}  // namespace vdx::fit
