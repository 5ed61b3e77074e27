#include "src/fit/atoms.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>

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
  }
  return atoms;
}

}  // namespace

// Atoms depend only on the wavelet and the level count.
Result<std::shared_ptr<const std::vector<Atom>>, CodecError> cached_atoms(const Prepared& p) {
  static std::mutex mutex;
  static std::map<std::pair<int, int>, std::shared_ptr<const std::vector<Atom>>> cache;
  const std::pair<int, int> key{static_cast<int>(p.header.method), p.header.levels};
  {
    const std::lock_guard<std::mutex> lock(mutex);
    if (auto found = cache.find(key); found != cache.end()) return found->second;
  }
  ASSIGN_OR_RETURN(std::vector<Atom> atoms, atoms_of(p));
  auto shared = std::make_shared<const std::vector<Atom>>(std::move(atoms));
  const std::lock_guard<std::mutex> lock(mutex);
  return cache.emplace(key, std::move(shared)).first->second;
}


}  // namespace vdx::fit
