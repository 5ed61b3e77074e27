#include "src/fit/bound_quantizer.hpp"

namespace vdx::fit {

Result<std::optional<BoundAwareFit>, CodecError> fit_max_error_bound_aware(
    const Bounds&, double, std::span<const Prepared>) {
  return std::optional<BoundAwareFit>();
}

}  // namespace vdx::fit
