#include "src/fit/plain_search.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

#include "src/fit/atoms.hpp"

namespace vdx::fit {
namespace {

// Containers within this fraction of the goal are not worth another trial:
// the size changes by less than that between them.
constexpr double kClose = 0.025;
// Multipliers below this quantise a normalised signal to a handful of
// steps; coarser ones only ever help the mean-only container.
constexpr float kCoarsest = 0x1p-6f;
// Ranking on a probe pays where the probe is a small part of the signal:
// four decompositions of a probe cost half of one of the signal at this
// many probes.
constexpr size_t kProbesForEnergy = 4;
// Trials per wavelet on the probe: a ranking needs no exact multiplier.
constexpr int kProbeTrials = 4;

}  // namespace

float first_guess(const Prepared& p, const Bounds& bounds, TargetKind kind, double goal) {
  const double width = p.width();
  double m = 0.0;
  if (kind == TargetKind::MaxError) {
    m = width / std::max(goal, 1e-300);
  } else {
    const double sd = bounds.counted ? std::sqrt(bounds.spread / bounds.counted) : 0.0;
    const double rms = kind == TargetKind::RmsError ? goal : goal / 100.0 * sd;
    m = 0.3 * width / std::max(rms, 1e-300);
  }
  return static_cast<float>(std::clamp(m, double{kCoarsest}, double{p.finest_multiplier()}));
}

Result<SearchOutcome, CodecError> search_multiplier(const Prepared& p, const Bounds& bounds,
                                                    TargetKind kind, double goal,
                                                    uint16_t threshold, float guess,
                                                    int max_trials, double to_beat) {
  SearchOutcome out;
  const float top = p.finest_multiplier();
  double failing = 0.0;        // largest multiplier seen failing
  double last_m = 0.0, last_e = 0.0;  // the previous trial
  double passing = INFINITY;   // smallest multiplier seen passing
  bool tried_top = false;
  float m = std::clamp(guess, std::min(kCoarsest, top), top);
  // The L2 measures are searched on the modelled energy, without decodes
  // (the proof measures the container found, and corrects it when the
  // model was wrong); the finest multiplier, named in refusals, is always
  // measured.
  std::vector<double> gains;
  if (kind != TargetKind::MaxError) {
    ASSIGN_OR_RETURN(const std::vector<Atom>* atoms, cached_atoms(p));
    for (const Atom& a : *atoms) {
      double g = 0.0;
      for (float v : a.values) g += double{v} * double{v};
      gains.push_back(g);
    }
  }
  std::vector<int16_t> spare;  // a rejected trial's values, reused by the next
  for (int trial = 0; trial < max_trials; ++trial) {
    const bool last = trial + 1 == max_trials;
    if (last && !out.best) m = top;  // what this setting reaches at best
    Trial t;
    if (!gains.empty() && m < top) {
      t = modelled_trial(p, bounds, gains, m, threshold, std::move(spare));
    } else {
      ASSIGN_OR_RETURN(t, plain_trial(p, bounds, m, threshold));
    }
    const double e = t.errors.of(kind);
    const float t_multiplier = t.multiplier;
    if (t.multiplier >= top) tried_top = true, out.finest = e;
    const bool passes = e <= goal;
    if (passes) {
      passing = std::min(passing, double{t.multiplier});
      const bool close = e >= goal * (1.0 - kClose);
      if (!out.best || t.bits < out.best->bits) {
        if (out.best) spare = std::move(out.best->values);
        out.best = std::move(t);
      } else {
        spare = std::move(t.values);
      }
      if (close) break;
    } else {
      failing = std::max(failing, double{t.multiplier});
      if (tried_top) break;  // nothing finer exists
      if (t.bits > to_beat) return out;  // out.finest stays unmeasured: another setting met it
      spare = std::move(t.values);
    }
    if (passing < INFINITY && failing > 0.0 && passing / failing < 1.0 + kClose / 4) break;
    // Error ~ multiplier^-k, k = 1 for fine quantisation and less where
    // many coefficients round to zero: k from the last two trials. Aim a
    // little inside the goal, further when the last trial failed (another
    // failure costs a whole trial more).
    const double aim = goal * (1.0 - (passes ? kClose / 2 : kClose));
    double k = 1.0;
    if (last_e > 0.0 && e > 0.0 && last_m != double{t_multiplier}) {
      k = std::clamp(std::log(last_e / e) / std::log(double{t_multiplier} / last_m), 0.25, 2.0);
    }
    last_m = t_multiplier, last_e = e;
    double next = e > 0.0 ? m * std::pow(e / aim, 1.0 / k) : m / 4.0;
    if (!(next > failing && next < passing)) {
      next = failing > 0.0 && passing < INFINITY ? std::sqrt(failing * passing)
             : passing == INFINITY               ? failing * 2.0
                                                 : passing / 2.0;
    }
    const float n32 = static_cast<float>(std::clamp(next, double{kCoarsest}, double{top}));
    if (n32 == m) {
      if (passes || tried_top) break;
      m = top;
    } else {
      m = n32;
    }
  }
  if (!out.best && !tried_top) {
    ASSIGN_OR_RETURN(Trial t, plain_trial(p, bounds, top, threshold));
    out.finest = t.errors.of(kind);
    if (t.errors.of(kind) <= goal) out.best = std::move(t);
  }
  return out;
}

Result<std::vector<WaveletMethod>, CodecError> rank_for_energy(
    std::span<const float> samples, const Bounds& bounds, std::span<const WaveletMethod> methods,
    TargetKind kind, double goal) {
  if (samples.size() < kProbesForEnergy * kRankingProbe) return std::vector<WaveletMethod>();
  const size_t from = samples.size() / 2 - kRankingProbe / 2;
  const Bounds probe_bounds = slice_of(bounds, from, kRankingProbe);
  if (probe_bounds.counted == 0) return std::vector<WaveletMethod>();
  std::vector<std::pair<double, size_t>> ranked;
  for (size_t i = 0; i < methods.size(); ++i) {
    ASSIGN_OR_RETURN(Prepared p, prepare(samples.subspan(from, kRankingProbe), methods[i]));
    ASSIGN_OR_RETURN(SearchOutcome found,
                     search_multiplier(p, probe_bounds, kind, goal, 0,
                                       first_guess(p, probe_bounds, kind, goal), kProbeTrials));
    ranked.emplace_back(found.best ? found.best->bits : INFINITY, i);
  }
  std::stable_sort(ranked.begin(), ranked.end());
  std::vector<WaveletMethod> order;
  for (const auto& r : ranked) order.push_back(methods[r.second]);
  return order;
}

}  // namespace vdx::fit
