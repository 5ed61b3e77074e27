// Synthesis responses ("atoms") of a wavelet's bands, the linear model the
// bound-aware quantiser moves coefficients with.
#pragma once

#include <cstdint>
#include <vector>

#include "common/result.hpp"
#include "src/codec_error.hpp"
#include "src/fit/fit_signal.hpp"

namespace vdx::fit {

// A coefficient's synthesis response ("atom"): coefficient k of a band with
// sample step `step` adds values[t] / multiplier to normalised sample
// k * step + offset + t. Taken from one interior coefficient and used for
// all; near the borders the real response differs a little, which the
// exact decodes between the model's passes correct.
struct Atom {
  int64_t offset = 0;
  int64_t step = 1;
  std::vector<float> values;
  float peak = 0.0f;  // the largest |value|
  // Indices into values, largest |value| first: a move that pushes some
  // sample out of its box most likely does so where the atom is largest.
  std::vector<uint32_t> by_magnitude;
};

// One atom per band in band layout order, for the prepared signal's wavelet
// and level count; made once per process and read-only after that, shared
// by every thread.
inline constexpr size_t kMaxCachedLevels = 10;
Result<const std::vector<Atom>*, CodecError> cached_atoms(const Prepared& p);

}  // namespace vdx::fit
