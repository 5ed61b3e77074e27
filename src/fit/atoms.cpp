#include "src/fit/atoms.hpp"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <optional>

namespace vdx::fit {
namespace {

// Interior responses per band in band layout order, from a short signal
// with the same level count: enough coefficients per band (32 at the
// deepest) that its middle one is clear of both borders.
Result<std::vector<Atom>, CodecError> atoms_of(const Prepared& p) {
  const size_t levels = p.header.levels;
  const size_t length = std::max(p.dwt->filter_length(), (size_t{1} << levels) * 32);
  const std::vector<float> zeros(length, 0.0f);
  auto shape = p.dwt->decompose(zeros, levels);
  if (!shape.ok()) return fail(CodecError::transform_failed(shape.error().message()));
  std::vector<wavelet::DwtLevel> bands = std::move(shape).value();
  std::vector<Atom> atoms(levels + 1);
  for (size_t b = 0; b <= levels; ++b) {
    std::vector<float>& band = b == 0 ? bands.back().approximation : bands[b - 1].details;
    const size_t middle = band.size() / 2;
    band[middle] = 1.0f;
    std::vector<std::span<const float>> details;
    for (const auto& level : bands) details.emplace_back(level.details);
    auto response = p.dwt->reconstruct(bands.back().approximation, details);
    band[middle] = 0.0f;
    if (!response.ok()) return fail(CodecError::transform_failed(response.error().message()));
    const std::vector<float>& y = *response;
    const size_t end = std::min(y.size(), length);
    size_t first = end, last = 0;
    for (size_t i = 0; i < end; ++i) {
      if (y[i] != 0.0f) first = std::min(first, i), last = i;
    }
    Atom& a = atoms[b];
    a.step = int64_t{1} << (b == 0 ? levels : b);
    if (first == end) continue;  // no response: the band is never moved
    a.offset = static_cast<int64_t>(first) - static_cast<int64_t>(middle) * a.step;
    a.values.assign(y.begin() + first, y.begin() + last + 1);
    for (float v : a.values) a.peak = std::max(a.peak, std::abs(v));
    a.by_magnitude.resize(a.values.size());
    for (size_t t = 0; t < a.values.size(); ++t) a.by_magnitude[t] = static_cast<uint32_t>(t);
    std::stable_sort(a.by_magnitude.begin(), a.by_magnitude.end(), [&](uint32_t x, uint32_t y) {
      return std::abs(a.values[x]) > std::abs(a.values[y]);
    });
  }
  return atoms;
}

}  // namespace

// Atoms depend only on the wavelet and the level count (at most 8, see
// choose_levels): each pair's are written once, on first use, and only read
// after that, like the processor-feature word the filter banks read.
Result<const std::vector<Atom>*, CodecError> cached_atoms(const Prepared& p) {
  struct Entry {
    std::once_flag once;
    std::vector<Atom> atoms;
    std::optional<CodecError> error;
  };
  static Entry entries[4][kMaxCachedLevels + 1];
  const size_t method = static_cast<size_t>(p.header.method);
  const size_t levels = p.header.levels;
  if (method >= 4 || levels > kMaxCachedLevels) {
    return fail(CodecError::transform_failed("No atoms for this wavelet and level count"));
  }
  Entry& entry = entries[method][levels];
  std::call_once(entry.once, [&] {
    auto made = atoms_of(p);
    if (made.ok()) {
      entry.atoms = std::move(made).value();
    } else {
      entry.error = std::move(made).error();
    }
  });
  if (entry.error) return fail(*entry.error);
  return &entry.atoms;
}

}  // namespace vdx::fit
