// The multiplier search under plain quantisation: the error of the
// compressor's own rounding falls about as 1/multiplier, so a few secant
// steps on trials decoded with the reader's arithmetic find the coarsest
// multiplier that meets a goal for one wavelet and cutoff threshold.
#pragma once

#include <cmath>
#include <optional>

#include "src/fit/fit_signal.hpp"

namespace vdx::fit {

struct SearchOutcome {
  std::optional<Trial> best;  // the smallest estimate among the passing trials
  // The error at the finest multiplier, when it was tried: what the setting
  // reaches, whatever path the search took (so refusals name one figure).
  double finest = INFINITY;
};

// At most `max_trials` trials from `guess` (one more when none passed and
// the finest multiplier was not among them). A failing trial whose estimate
// is already above `to_beat` ends the search: finer multipliers only cost
// more, so nothing this setting meets the goal with would win.
Result<SearchOutcome, CodecError> search_multiplier(const Prepared& p, const Bounds& bounds,
                                                    TargetKind kind, double goal,
                                                    uint16_t threshold, float guess,
                                                    int max_trials, double to_beat = INFINITY);

// The wavelets in the order of the size their plain search reaches on a
// probe from the middle of a long signal (those that reach nothing last),
// so that only the leading ones need decomposing in full; empty for short
// signals. For the L2 targets, whose multipliers differ between wavelets.
Result<std::vector<WaveletMethod>, CodecError> rank_for_energy(
    std::span<const float> samples, const Bounds& bounds, std::span<const WaveletMethod> methods,
    TargetKind kind, double goal);

// A first multiplier for a goal from what quantisation noise usually gives:
// about 0.3 step RMS, about one step at the worst sample.
float first_guess(const Prepared& p, const Bounds& bounds, TargetKind kind, double goal);

}  // namespace vdx::fit
