#include "src/fit/level_choice.hpp"

#include <vector>

#include "src/deflate.hpp"
#include "src/fit/bound_quantizer.hpp"
#include "src/container.hpp"
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

// The shortest approximation band (in filter lengths) transformed again.
constexpr size_t kShortestTransformed = 4;
// A deeper decomposition is kept when its top bands estimate this much
// smaller than the approximation band they replace.
constexpr double kDeeperGain = 0.9;
constexpr double kDeeperShare = 0.03;

}  // namespace

ShallowOutlook shallow_outlook(const Prepared& shallow, double bound, double deep_bits) {
  if (!(deep_bits > 0.0)) return ShallowOutlook::Skip;
  std::vector<int16_t> values(shallow.coefficients.size());
  quantize_band(shallow.coefficients, first_plain_multiplier(shallow, bound), values);
  // Without repeats DEFLATE has nothing to gain over the coefficient stream
  // (no such case on the bench was smaller in one level), so it is not run.
  const DeflateOutlook repeats = deflate_outlook(values);
  if (repeats == DeflateOutlook::Loses) return ShallowOutlook::Skip;
  // The flat coders' bytes, as the compressor hands them to DEFLATE.
  auto deflated = deflate_compress(std::span<const uint8_t>(
      reinterpret_cast<const uint8_t*>(values.data()), values.size() * sizeof(int16_t)));
  if (!deflated.ok()) return ShallowOutlook::Skip;
  const double ratio = 8.0 * static_cast<double>(deflated.value().size()) / deep_bits;
  if (ratio < kInsteadWhereRepeating && repeats == DeflateOutlook::Wins) {
    return ShallowOutlook::Instead;
  }
  return ratio < kInstead ? ShallowOutlook::Instead
         : ratio < kAlso  ? ShallowOutlook::Also
                          : ShallowOutlook::Skip;
}

uint8_t deeper_levels(const Prepared& p, double bound) {
  const std::span<const float> approximation(p.coefficients.data(), p.lengths.front());
  const size_t filter = p.dwt->filter_length();
  size_t extra = 0;
  for (size_t length = approximation.size();
       p.header.levels + extra < kMaxReadLevels && length >= kShortestTransformed * filter;
       length = p.dwt->forward_sizes(length).first) {
    ++extra;
  }
  if (extra == 0) return p.header.levels;
  auto bands = p.dwt->decompose(approximation, extra);
  if (!bands.ok()) return p.header.levels;
  // The first multiplier of the deeper signal: its extremes may only grow,
  // and with them the saturation cap.
  float smallest = p.smallest, largest = p.largest;
  for (const auto& level : *bands) widen_extremes(level.details, smallest, largest);
  widen_extremes(bands->back().approximation, smallest, largest);
  const float m = cap_multiplier(first_plain_multiplier(p, bound), smallest, largest);
  std::vector<int16_t> values(approximation.size());
  quantize_band(approximation, m, values);
  double best_bits = estimate_bits(values, std::vector<size_t>{values.size()});
  const double base_bits = best_bits;
  uint8_t best = p.header.levels;
  for (size_t k = 1; k <= extra; ++k) {
    // The top k+1 bands of a decomposition k levels deeper, in band order.
    std::vector<float> top(bands->at(k - 1).approximation);
    std::vector<size_t> lengths{top.size()};
    for (size_t j = 0; j < k; ++j) {
      top.insert(top.end(), bands->at(j).details.begin(), bands->at(j).details.end());
      lengths.push_back(bands->at(j).details.size());
    }
    values.resize(top.size());
    quantize_band(top, m, values);
    const double bits = estimate_bits(values, lengths);
    if (bits < best_bits * kDeeperGain) best_bits = bits, best = p.header.levels + k;
  }
  if (best == p.header.levels) return best;
  // Worth a second decomposition only where the saving shows in the whole.
  values.resize(p.coefficients.size());
  quantize_band(p.coefficients, m, values);
  const double whole = estimate_bits(values, p.lengths);
  if (base_bits - best_bits < kDeeperShare * whole) return p.header.levels;
  return best;
}

WaveletMethod shallow_method(const ErrorTarget& target) {
  return target.has_method ? target.method : WaveletMethod::Cdf53;
}

}  // namespace vdx::fit
