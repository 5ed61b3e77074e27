#include "src/fit/level_choice.hpp"

#include <vector>

#include "src/deflate.hpp"
#include "src/fit/bound_quantizer.hpp"
#include "src/fit/coder_choice.hpp"
#include "src/quantizer.hpp"

namespace vdx::fit {
namespace {

// Thresholds on DEFLATE's size of the one-level plain rounding over the
// deeper decompositions' estimate, from the bench's signals at 2^14, 2^16
// and 2^20 samples and bounds of 0.1 %, 1 % and 10 % of the range (72
// cases). Where repeats dominate the one-level values, one level won every
// case up to a ratio of 1.11 (steps, loops: 1.01-4.9x smaller), and no
// such case lay between 1.11 and 19. Otherwise it won below 0.45 and was
// mixed up to 0.8 (sweeps 1.13-1.42x smaller, an ECG at a loose bound
// 1.3-2x larger), and lost everywhere above.
constexpr double kInsteadWhereRepeating = 1.2;
constexpr double kInstead = 0.45;
constexpr double kAlso = 0.8;

}  // namespace

ShallowOutlook shallow_outlook(const Prepared& shallow, double bound, double deep_bits) {
  if (!(deep_bits > 0.0)) return ShallowOutlook::Skip;
  std::vector<int16_t> values(shallow.coefficients.size());
  quantize_band(shallow.coefficients, first_plain_multiplier(shallow, bound), values);
  std::vector<uint8_t> flat(values.size() * sizeof(int16_t));
  for (size_t i = 0; i < values.size(); ++i) {
    const uint16_t v = static_cast<uint16_t>(values[i]);
    flat[2 * i] = static_cast<uint8_t>(v);
    flat[2 * i + 1] = static_cast<uint8_t>(v >> 8);
  }
  auto deflated = deflate_compress(flat);
  if (!deflated.ok()) return ShallowOutlook::Skip;
  const double ratio = 8.0 * static_cast<double>(deflated.value().size()) / deep_bits;
  if (ratio < kInsteadWhereRepeating && deflate_outlook(values) == DeflateOutlook::Wins) {
    return ShallowOutlook::Instead;
  }
  return ratio < kInstead ? ShallowOutlook::Instead
         : ratio < kAlso  ? ShallowOutlook::Also
                          : ShallowOutlook::Skip;
}

WaveletMethod shallow_method(const ErrorTarget& target) {
  return target.has_method ? target.method : WaveletMethod::Cdf53;
}

}  // namespace vdx::fit
