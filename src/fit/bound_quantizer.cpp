#include "src/fit/bound_quantizer.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <initializer_list>
#include <limits>

#include "src/fit/atoms.hpp"
#include "src/quantizer.hpp"

namespace vdx::fit {
namespace {

// Where coefficients start, in band layout order.
std::vector<size_t> band_starts(const Prepared& p) {
  std::vector<size_t> starts(p.lengths.size());
  size_t offset = 0;
  for (size_t b = 0; b < p.lengths.size(); ++b) starts[b] = offset, offset += p.lengths[b];
  return starts;
}

// Knobs, tuned on the bench's signals at 2^14..2^16 samples.
// The first coarse multiplier, as a fraction of range / bound (plain
// rounding needs about 1 to keep the worst sample inside its box); when too
// many samples start outside, the next is aimed from the decoded errors,
// and the first that settles is kept.
constexpr double kFirstCoarseness = 0.7;
// cdf53's repairs stalled at 0.7 and 0.9 on most bench signals and settled
// at 1.0-1.5 times range / bound, so it starts there.
constexpr double kFirstCoarsenessCdf53 = 1.0;
// Past the compressor's eight levels the deepest bands' rounding spreads
// over windows wider than the repairs reach: on random walks at 2^16-2^20
// the first multiplier stalled there and settled 1.3-1.4 times finer.
constexpr double kDeeperStart = 1.4;
double first_coarseness(const Prepared& p) {
  const double base =
      p.header.method == WaveletMethod::Cdf53 ? kFirstCoarsenessCdf53 : kFirstCoarseness;
  return p.header.levels > kMaxChosenLevels ? base * kDeeperStart : base;
}
constexpr int kCoarsenessTries = 3;
// Wavelets tried, in the order of their estimates, and the step after a
// repair stalled.
constexpr size_t kWaveletsTried = 2;
constexpr double kAfterStall = 1.3;
// After a repair that ended with a handful of samples outside (out of 10^4
// at 2^20 on the bench's tones and chirp): a step this small settled.
constexpr double kAfterNearMiss = 1.1;
// The coarser multiplier tried once one has settled, as a fraction of it:
// on the bench's signals at 2^14..2^16 it was kept in about one case in
// four, 3-9 % smaller (0.75, 0.86 and 0.9 gained less; finer retries, 1.15
// and 1.4, were never kept).
constexpr double kCoarserRetry = 0.8;
// The retry gives up when its first repair round leaves more than this
// share of the samples it started with outside (and more than a thorough
// round takes): on the bench's signals at 2^14..2^16 retries that stalled
// kept 17-31 % after one round, those that settled 0-19 %, mostly < 12 %.
constexpr double kRetryFirstRound = 0.15;
// Estimates this close both go to the coder: the estimate picked a container
// up to 4 % larger than the other on the bench's ECG at loose bounds.
constexpr double kCloseEstimates = 0.05;
// More samples than this starting outside their box: too coarse to repair
// cheaply, so the next multiplier is tried.
constexpr double kMostOutside = 0.01;
// Repair rounds (the first from an exact decode, the others on the model)
// before a multiplier is given up.
constexpr int kRepairRounds = 10;
// Finest detail levels a repair moves coefficients in.
constexpr size_t kRepairLevels = 3;
// Single steps tried first when a pair of steps is needed.
constexpr size_t kPairFirsts = 8;
// Steps a repair in the finest levels tries for each coefficient.
constexpr std::array<int, 4> kDeltas = {1, -1, 2, -2};
// Coefficients whose atom is weaker than this fraction of its peak at the
// sample are not moved for it: their window changes elsewhere more.
constexpr float kWeakest = 0.25f;
// When normal repairs stall with at most this many samples outside, or one
// in kStubbornShare of the bounded ones on long signals (on the bench's
// signals at 2^16: 6-10 left of several hundred, each only 0.1-1 % of its
// box outside), thorough rounds follow while each leaves fewer: every level,
// both signs, atoms down to kThoroughWeakest of their peak (a fine
// correction for a sample just outside) and more pairs. More samples left
// means the multiplier is too coarse, and the work would be wasted.
constexpr size_t kStubbornSamples = 12;
constexpr size_t kStubbornShare = 4096;
// Thorough repairs per attempt, in units of the samples that count as few.
constexpr size_t kThoroughBudget = 3;
constexpr float kThoroughWeakest = 0.02f;
constexpr size_t kThoroughPairFirsts = 16;
// Coefficients this small (in steps) are stepped toward zero by the sweep,
// which runs this many passes.
constexpr int kSweepMagnitude = 2;
// Coefficients up to this magnitude are tried for zeroing at once (a jump's
// neighbours in a piecewise constant signal, say).
constexpr int kZeroMagnitude = 12;
constexpr int kSweepPasses = 2;
// Samples the error quantile that aims the next multiplier looks at, at most.
constexpr size_t kQuantileSamples = size_t{1} << 16;
// Exact decodes that undo the sweep's moves around a miss.
constexpr int kUndoRounds = 3;

// Samples at either end whose inner box is narrowed to a quarter of the
// bound on each side (see Boxes): the bench's El Nino record missed at its
// first two samples after every repair, wasting the first multiplier.
constexpr size_t kBorderSamples = 32;

// Each bounded sample's box [x - B, x + B] and the inner box the model's
// moves aim for; unbounded samples get infinite ones. The same for every
// wavelet and multiplier tried.
struct Boxes {
  // The box itself is x - B .. x + B, computed where it is needed from the
  // reference (NaN where unbounded, which no comparison finds outside):
  // a long signal's fit is bound by memory traffic and page faults more
  // than by arithmetic.
  const std::vector<double>& reference;
  double bound;
  std::vector<double> inner_lo, inner_hi;
  // The model's samples, one buffer for every attempt: fresh memory of a
  // long signal's size costs page faults each time.
  std::vector<double> model;

  Boxes(const Bounds& bounds, double bound, float width)
      : reference(bounds.reference), bound(bound) {
    const size_t n = bounds.reference.size();
    inner_lo.resize(n), inner_hi.resize(n);
    for (size_t i = 0; i < n; ++i) {
      const double r = bounds.reference[i];
      if (r != r) {
        inner_lo[i] = -INFINITY, inner_hi[i] = INFINITY;
        continue;
      }
      const double lo = r - bound, hi = r + bound;
      // The model adds atoms in double; the decoder rounds every step to
      // float32. One float32 spacing at the sample and a relative 2^-20 of
      // the range keep the model's moves clear of that drift.
      const float f = static_cast<float>(std::abs(r));
      const float next = f < INFINITY ? std::bit_cast<float>(std::bit_cast<uint32_t>(f) + 1) : f;
      const double ulp = double{next} - double{f};
      // Near the borders the decoder's response is not the interior atoms'
      // the model moves with: there the model aims well inside.
      const bool border = i < kBorderSamples || n - i <= kBorderSamples;
      const double margin =
          border ? bound / 4 : std::min(ulp + double{width} * 0x1p-20, bound / 4);
      inner_lo[i] = lo + margin, inner_hi[i] = hi - margin;
    }
  }
};

class BoundModel {
 public:
  struct Candidate {
    size_t band;
    size_t index;
    int delta;
    double change;  // in the window's total violation
  };

  BoundModel(const Prepared& p, Boxes& boxes, const std::vector<Atom>& atoms,
             float multiplier)
      : p_(p), atoms_(atoms), starts_(band_starts(p)),
        gain_(double{p.width()} / double{multiplier}), n_(p.header.sample_count),
        x_(boxes.reference), bound_(boxes.bound), inner_lo_(boxes.inner_lo),
        inner_hi_(boxes.inner_hi),
        y_(boxes.model) {}

  // Loads an exact decode; returns the samples outside their box, worst first.
  std::vector<size_t> load(std::span<const float> decoded) {
    y_.assign(decoded.begin(), decoded.begin() + n_);
    touched_.clear();
    std::vector<std::pair<double, size_t>> found;
    // Almost every sample is inside: a block is scanned sample by sample
    // only when a branch-free test finds one outside (lo - y > 0 exactly
    // when lo > y, infinities and NaN included).
    constexpr size_t kBlock = 16;
    for (size_t from = 0; from < n_; from += kBlock) {
      const size_t to = std::min(n_, from + kBlock);
      bool any = false;
      for (size_t i = from; i < to; ++i) any |= (lo(i) > y_[i]) | (y_[i] > hi(i));
      if (any) collect_outside(from, to, found);
    }
    return worst_first(found);
  }

  // The samples outside their box in the model now, worst first, given
  // those outside at the last look (a load or a call of this): only they
  // and the windows moved since can be outside, so only they are scanned.
  std::vector<size_t> outside_since(std::span<const size_t> before) {
    for (size_t i : before) touched_.emplace_back(i, i + 1);
    std::sort(touched_.begin(), touched_.end());
    std::vector<std::pair<double, size_t>> found;
    size_t done = 0;  // samples below this were scanned
    for (const auto& [from, to] : touched_) {
      if (to > done) collect_outside(std::max(from, done), to, found), done = to;
    }
    touched_.clear();
    return worst_first(found);
  }

  // Thorough repairs try every level's coefficients with both signs, and
  // pairs among all of them: several times the work of a normal one, for
  // the few samples normal repairs leave behind.
  void set_thorough(bool on) { thorough_ = on; }

  // Moves one coefficient by a step or two where it most reduces the
  // violation over its window; false when no move helps.
  bool repair(std::vector<int16_t>& q, size_t i) {
    if (violation(i, y_[i]) == 0.0) return false;
    if (thorough_) return repair_thoroughly(q, i);
    std::vector<Candidate> moves;
    const size_t last_band = std::min(atoms_.size() - 1, kRepairLevels);
    collect_moves(q, i, last_band == atoms_.size() - 1 ? 0 : 1, last_band, moves);
    if (!moves.empty() && min_change(moves) < 0.0) return apply_best(q, moves);
    // The finest levels alone overshoot here: the deeper ones move smoother
    // and wider, and two steps together can land between.
    if (last_band < atoms_.size() - 1) {
      collect_moves(q, i, last_band + 1, atoms_.size() - 1, moves);
      collect_moves(q, i, 0, 0, moves);
    }
    if (moves.empty()) return false;
    if (min_change(moves) < 0.0) return apply_best(q, moves);
    // Pairs among the finest levels' moves only: their windows are short.
    std::erase_if(moves, [](const Candidate& c) { return c.band == 0 || c.band > kRepairLevels; });
    if (moves.empty()) return false;
    return apply_best_pair(q, moves);
  }

  bool repair_thoroughly(std::vector<int16_t>& q, size_t i) {
    std::vector<Candidate> moves;
    collect_moves(q, i, 0, atoms_.size() - 1, moves);
    if (moves.empty()) return false;
    if (min_change(moves) < 0.0) return apply_best(q, moves);
    // Pairs among the finest levels' moves only, as in normal repairs: a
    // pair is tried for every second move, and deep windows are long.
    std::erase_if(moves, [](const Candidate& c) { return c.band == 0 || c.band > kRepairLevels; });
    if (moves.empty()) return false;
    return apply_best_pair(q, moves);
  }

  static double min_change(const std::vector<Candidate>& moves) {
    double m = INFINITY;
    for (const Candidate& c : moves) m = std::min(m, c.change);
    return m;
  }

  bool apply_best(std::vector<int16_t>& q, const std::vector<Candidate>& moves) {
    const Candidate* best = &moves[0];
    for (const Candidate& c : moves) best = c.change < best->change ? &c : best;
    apply(q, best->band, best->index, best->delta);
    return true;
  }

  void collect_moves(const std::vector<int16_t>& q, size_t i, size_t first_band,
                     size_t last_band, std::vector<Candidate>& moves) const {
    for (size_t b = first_band; b <= last_band; ++b) {
      const Atom& a = atoms_[b];
      if (a.values.empty()) continue;
      const int64_t len = static_cast<int64_t>(a.values.size());
      const int64_t pos = static_cast<int64_t>(i) - a.offset;
      int64_t kmin = pos - len + 1 <= 0 ? 0 : (pos - len + 1 + a.step - 1) / a.step;
      int64_t kmax = pos < 0 ? -1 : pos / a.step;
      kmax = std::min<int64_t>(kmax, static_cast<int64_t>(p_.lengths[b]) - 1);
      const bool deep = !thorough_ && (b == 0 || b > kRepairLevels);
      int64_t strongest = kmin;
      for (int64_t k = kmin; deep && k <= kmax; ++k) {
        if (std::abs(a.values[pos - k * a.step]) >
            std::abs(a.values[pos - strongest * a.step])) {
          strongest = k;
        }
      }
      // Deeper atoms are long: only the one strongest at the sample is tried.
      if (deep) kmin = kmax = std::min(strongest, kmax);
      for (int64_t k = kmin; k <= kmax; ++k) {
        const float at = a.values[pos - k * a.step];
        if (std::abs(at) < (thorough_ ? kThoroughWeakest : kWeakest) * a.peak) continue;
        const size_t index = starts_[b] + static_cast<size_t>(k);
        // Both signs in the finest levels: a step against the sample's need
        // can pair with one for it into a finer correction than either. The
        // deep levels' long windows get the one step toward the box.
        if (deep) {
          const int toward = (y_[i] < inner_lo_[i]) == (at > 0.0f) ? 1 : -1;
          const int moved = q[index] + toward;
          if (moved >= -32768 && moved <= 32767) {
            moves.push_back({b, index, toward, window_change(a, k, toward)});
          }
          continue;
        }
        const std::array<double, 4> changes = window_changes(a, k);
        for (size_t d = 0; d < kDeltas.size(); ++d) {
          const int moved = q[index] + kDeltas[d];
          if (moved < -32768 || moved > 32767) continue;
          moves.push_back({b, index, kDeltas[d], changes[d]});
        }
      }
    }
  }

  bool apply_best_pair(std::vector<int16_t>& q, std::vector<Candidate>& moves) {
    std::sort(moves.begin(), moves.end(),
              [](const Candidate& x, const Candidate& y) { return x.change < y.change; });
    const size_t firsts =
        std::min<size_t>(moves.size(), thorough_ ? kThoroughPairFirsts : kPairFirsts);
    double best = 0.0;
    size_t best_first = 0, best_second = 0;
    for (size_t f = 0; f < firsts; ++f) {
      apply(q, moves[f].band, moves[f].index, moves[f].delta);
      for (size_t g = 0; g < moves.size(); ++g) {
        if (moves[g].index == moves[f].index) continue;
        const Atom& a = atoms_[moves[g].band];
        const double total =
            moves[f].change +
            window_change(a, static_cast<int64_t>(moves[g].index - starts_[moves[g].band]),
                          moves[g].delta);
        if (total < best) best = total, best_first = f, best_second = g;
      }
      apply(q, moves[f].band, moves[f].index, -moves[f].delta);
    }
    if (best == 0.0) return false;
    for (size_t m : {best_first, best_second}) {
      apply(q, moves[m].band, moves[m].index, moves[m].delta);
    }
    return true;
  }

  // The error (in bounds) that all but `fraction` of the bounded samples
  // stay within, in the last exact decode.
  double error_quantile(double fraction, double bound) const {
    // An aim needs no exact quantile: long signals are sampled.
    const size_t stride = std::max<size_t>(1, n_ / kQuantileSamples);
    std::vector<double> errors;
    errors.reserve(n_ / stride + 1);
    for (size_t i = 0; i < n_; i += stride) {
      if (x_[i] == x_[i]) errors.push_back(std::abs(y_[i] - (lo(i) + hi(i)) / 2));
    }
    if (errors.empty()) return 0.0;
    const size_t k = std::min(errors.size() - 1,
                              static_cast<size_t>((1.0 - fraction) * errors.size()));
    std::nth_element(errors.begin(), errors.begin() + k, errors.end());
    return errors[k] / bound;
  }

  // Undoes every sweep move whose window holds one of `missed` (samples
  // outside their box in an exact decode); false when none did.
  bool undo_around(std::vector<int16_t>& q, std::span<const size_t> missed) {
    std::vector<uint8_t> is_missed(n_, 0);
    for (size_t i : missed) is_missed[i] = 1;
    bool undone = false;
    std::vector<Move> kept;
    for (const Move& move : swept_) {
      bool touches = false;
      for_window(atoms_[move.band], static_cast<int64_t>(move.index - starts_[move.band]),
                 [&](size_t s, float) { touches |= is_missed[s] != 0; });
      if (touches) {
        apply(q, move.band, move.index, -move.delta);
        undone = true;
      } else {
        kept.push_back(move);
      }
    }
    swept_ = std::move(kept);
    return undone;
  }

  // Steps small coefficients toward zero wherever every sample of their
  // window stays inside its inner box; finest levels first.
  void sweep(std::vector<int16_t>& q) {
    for (size_t b = 1; b < atoms_.size(); ++b) {
      if (atoms_[b].values.empty()) continue;
      for (size_t k = 0; k < p_.lengths[b]; ++k) {
        const size_t index = starts_[b] + k;
        const int v = q[index];
        if (v == 0 || std::abs(v) > kZeroMagnitude) continue;
        // Zero at once where the window allows, else one step toward zero.
        for (int delta : {-v, v > 0 ? -1 : 1}) {
          if (delta != -v && std::abs(v) > kSweepMagnitude) break;
          if (window_stays_inside(atoms_[b], static_cast<int64_t>(k), delta)) {
            apply(q, b, index, delta);
            swept_.push_back({b, index, delta});
            break;
          }
        }
      }
    }
  }



 private:
  double violation(size_t i, double y) const {
    return std::max({inner_lo_[i] - y, y - inner_hi_[i], 0.0});
  }

  template <class Visit>
  void for_window(const Atom& a, int64_t k, Visit&& visit) const {
    const int64_t start = k * a.step + a.offset;
    const int64_t len = static_cast<int64_t>(a.values.size());
    const int64_t from = std::max<int64_t>(0, -start);
    const int64_t to = std::min<int64_t>(len, static_cast<int64_t>(n_) - start);
    for (int64_t t = from; t < to; ++t) visit(static_cast<size_t>(start + t), a.values[t]);
  }

  double window_change(const Atom& a, int64_t k, int delta) const {
    double change = 0.0;
    const double scale = delta * gain_;
    for_window(a, k, [&](size_t s, float at) {
      change += violation(s, y_[s] + scale * at) - violation(s, y_[s]);
    });
    return change;
  }

  // window_change for each of kDeltas in one pass over the window; each sum
  // is accumulated in the same order, so it equals window_change's.
  std::array<double, 4> window_changes(const Atom& a, int64_t k) const {
    std::array<double, 4> change{};
    for_window(a, k, [&](size_t s, float at) {
      const double y = y_[s], before = violation(s, y), step = gain_ * at;
      // delta * gain_ * at: the factors 2 and -1 scale exactly.
      change[0] += violation(s, y + step) - before;
      change[1] += violation(s, y + -step) - before;
      change[2] += violation(s, y + 2.0 * step) - before;
      change[3] += violation(s, y + -2.0 * step) - before;
    });
    return change;
  }

  bool window_stays_inside(const Atom& a, int64_t k, int delta) const {
    const int64_t start = k * a.step + a.offset;
    const int64_t len = static_cast<int64_t>(a.values.size());
    // Within an atom's length of a border the real response is not the
    // interior one (borders are mirrored or wrapped): nothing is swept there.
    if (start < len || start + 2 * len > static_cast<int64_t>(n_)) return false;
    const double scale = delta * gain_;
    for (uint32_t t : a.by_magnitude) {
      const size_t s = static_cast<size_t>(start + t);
      const double moved = y_[s] + scale * a.values[t];
      if (!(moved >= inner_lo_[s] && moved <= inner_hi_[s])) return false;
    }
    return true;
  }

  void apply(std::vector<int16_t>& q, size_t band, size_t index, int delta) {
    q[index] = static_cast<int16_t>(q[index] + delta);
    const double scale = delta * gain_;
    const Atom& a = atoms_[band];
    const int64_t k = static_cast<int64_t>(index - starts_[band]);
    for_window(a, k, [&](size_t s, float at) { y_[s] += scale * at; });
    const int64_t start = k * a.step + a.offset;
    const int64_t end = start + static_cast<int64_t>(a.values.size());
    const int64_t n = static_cast<int64_t>(n_);
    if (end > 0 && start < n) {
      touched_.emplace_back(static_cast<size_t>(std::max<int64_t>(start, 0)),
                            static_cast<size_t>(std::min(end, n)));
    }
  }

  void collect_outside(size_t from, size_t to,
                       std::vector<std::pair<double, size_t>>& found) const {
    for (size_t i = from; i < to; ++i) {
      const double excess = std::max(lo(i) - y_[i], y_[i] - hi(i));
      if (excess > 0.0) found.emplace_back(excess, i);
    }
  }

  static std::vector<size_t> worst_first(std::vector<std::pair<double, size_t>>& found) {
    std::sort(found.begin(), found.end(), std::greater<>());
    std::vector<size_t> order(found.size());
    for (size_t k = 0; k < found.size(); ++k) order[k] = found[k].second;
    return order;
  }

  struct Move {
    size_t band;
    size_t index;
    int delta;
  };

  const Prepared& p_;
  const std::vector<Atom>& atoms_;
  bool thorough_ = false;
  std::vector<Move> swept_;
  std::vector<size_t> starts_;
  double gain_;  // signal units per step of a unit atom value
  size_t n_;
  double lo(size_t i) const { return x_[i] - bound_; }
  double hi(size_t i) const { return x_[i] + bound_; }

  const std::vector<double>& x_;  // NaN where unbounded
  double bound_;
  const std::vector<double>& inner_lo_;
  const std::vector<double>& inner_hi_;
  std::vector<double>& y_;
  // Sample ranges whose model values moved since the last look for misses.
  std::vector<std::pair<size_t, size_t>> touched_;
};

// How an attempt failed: the ratio its multiplier falls short by when too
// many samples started outside, or that it ended with few samples left.
struct Miss {
  double too_coarse = 0.0;
  bool nearly = false;
};

struct Attempt {
  std::vector<int16_t> values;
  float multiplier = 0.0f;
  uint8_t scale = 6;
};

// Repairs until nothing is outside, or the rounds end: the first round
// from an exact decode, the others on the model (the exact decode after
// the sweep catches what the model got wrong).
Result<bool, CodecError> repair_rounds(const Prepared& p, BoundModel& model, Attempt& a,
                                       size_t bounded, double bound, bool retry, Miss& miss) {
  size_t previous = 0;
  bool thorough = false;
  size_t thorough_repairs = 0;
  const size_t stubborn = std::max(kStubbornSamples, bounded / kStubbornShare);
  std::vector<size_t> outside;
  for (int round = 0; round < kRepairRounds; ++round) {
    if (round == 0) {
      ASSIGN_OR_RETURN(std::vector<float> decoded,
                       decode_values(p, a.multiplier, a.scale, a.values));
      outside = model.load(decoded);
    } else {
      outside = model.outside_since(outside);
    }
    if (outside.empty()) return true;
    if (round == 0 && outside.size() > kMostOutside * static_cast<double>(bounded)) {
      miss.too_coarse = model.error_quantile(kMostOutside / 2, bound);
      return false;
    }
    // A coarser retry has a settled fallback: it gives up as soon as its
    // first repairs leave many behind.
    if (retry && round == 1 && outside.size() > stubborn &&
        static_cast<double>(outside.size()) > kRetryFirstRound * static_cast<double>(previous)) {
      return false;
    }
    // A round that does not halve the misses is stalling: coarser moves
    // than the boxes allow. Few samples left then get thorough rounds, for
    // as long as each leaves fewer; many left means the multiplier is too
    // coarse for the boxes.
    const bool stalling = round > 0 && 2 * outside.size() > previous;
    miss.nearly = outside.size() <= stubborn;
    if (thorough ? outside.size() >= previous : stalling && !miss.nearly) return false;
    previous = outside.size();
    thorough |= stalling;
    // Thorough repairs cost up to a hundred times a normal one on long
    // atoms: their total is bounded, whatever the signal.
    thorough_repairs += thorough ? outside.size() : 0;
    if (thorough_repairs > kThoroughBudget * stubborn) return false;
    model.set_thorough(thorough);
    bool moved = false;
    for (size_t i : outside) moved |= model.repair(a.values, i);
    model.set_thorough(false);
    if (!moved) return false;
  }
  return model.outside_since(outside).empty();
}

// Sweeps, then decodes exactly; around any miss (the model's float drift,
// or a border where the interior atom is off) the sweep is undone and the
// sample repaired, until an exact decode has none.
Result<bool, CodecError> sweep_and_check(const Prepared& p, BoundModel& model, Attempt& a) {
  for (int pass = 0; pass < kSweepPasses; ++pass) model.sweep(a.values);
  for (int round = 0; round < kUndoRounds; ++round) {
    ASSIGN_OR_RETURN(std::vector<float> decoded, decode_values(p, a.multiplier, a.scale, a.values));
    const std::vector<size_t> outside = model.load(decoded);
    if (outside.empty()) return true;
    bool moved = model.undo_around(a.values, outside);
    for (size_t i : model.outside_since(outside)) moved |= model.repair(a.values, i);
    if (!moved) return false;
  }
  return false;
}

// `miss` says how it failed, when it did.
Result<std::optional<Attempt>, CodecError> attempt(const Prepared& p, Boxes& boxes,
                                                   size_t bounded, double bound,
                                                   const std::vector<Atom>& atoms,
                                                   double coarseness, bool retry, Miss& miss) {
  const double wanted = coarseness * double{p.width()} / bound;
  const float top = p.finest_multiplier();
  if (!(wanted > 0.0) || !(top > 0.0f)) return std::optional<Attempt>();
  // A wide signal's coarse aim can lie beyond the finest multiplier that
  // saturates nothing; repairs there still often reach a bound that plain
  // rounding at that multiplier misses.
  Trial start;
  quantize_trial(p, static_cast<float>(std::min(wanted, double{top})), 0, start);
  Attempt a{std::move(start.values), start.multiplier, start.scale};
  BoundModel model(p, boxes, atoms, a.multiplier);
  ASSIGN_OR_RETURN(bool inside, repair_rounds(p, model, a, bounded, bound, retry, miss));
  if (!inside) return std::optional<Attempt>();
  ASSIGN_OR_RETURN(inside, sweep_and_check(p, model, a));
  if (!inside) {
    miss.nearly = true;  // settled but for what the sweep's undo could not mend
    return std::optional<Attempt>();
  }
  return std::optional<Attempt>(std::move(a));
}

}  // namespace

float first_plain_multiplier(const Prepared& p, double bound) {
  const double wanted = first_coarseness(p) * double{p.width()} / bound;
  return cap_multiplier(static_cast<float>(std::min(wanted, 0x1p22)), p.smallest, p.largest);
}

// The moves that follow plain rounding change sizes by similar fractions
// whatever the wavelet, so its estimate ranks them for a fraction of the
// work.
PlainRanking rank_plain_rounding(std::span<const Prepared> prepared, double bound) {
  std::vector<std::pair<double, size_t>> ranked;
  std::vector<int16_t> values;
  for (size_t index = 0; index < prepared.size(); ++index) {
    const Prepared& p = prepared[index];
    values.resize(p.coefficients.size());
    quantize_band(p.coefficients, first_plain_multiplier(p, bound), values);
    ranked.emplace_back(estimate_bits(values, p.lengths), index);
  }
  std::sort(ranked.begin(), ranked.end());
  PlainRanking out;
  for (const auto& r : ranked) out.order.push_back(r.second);
  if (!ranked.empty()) out.smallest_bits = ranked.front().first;
  return out;
}

namespace {

// One coarser multiplier past the one that settled, kept when it settles
// too: the repairs it needs often cost fewer bits than its coarser steps
// save, and the estimated size is not monotonic in the multiplier. Both
// stay candidates when their estimates are close (the coder decides), the
// smaller becoming `best`.
Result<bool, CodecError> try_coarser(const Prepared& p, size_t index, Boxes& boxes,
                                     size_t bounded, double bound,
                                     const std::vector<Atom>& atoms, double coarseness,
                                     double failed, BoundAwareFit& best,
                                     std::optional<BoundAwareFit>& other) {
  const double coarser = coarseness * kCoarserRetry;
  // Both aims beyond the finest unsaturating multiplier would quantise alike.
  if (coarser * double{p.width()} / bound >= double{p.finest_multiplier()}) return false;
  // Nor is an aim at or past one that already failed worth the work.
  if (coarser <= failed) return false;
  Miss miss;
  ASSIGN_OR_RETURN(std::optional<Attempt> a,
                   attempt(p, boxes, bounded, bound, atoms, coarser, true, miss));
  if (!a) return false;
  const double bits = estimate_bits(a->values, p.lengths);
  BoundAwareFit fit{index, a->multiplier, a->scale, std::move(a->values), bits};
  if (bits < best.bits) {
    if (best.bits < bits * (1.0 + kCloseEstimates)) other = std::move(best);
    best = std::move(fit);
    return true;
  }
  if (bits < best.bits * (1.0 + kCloseEstimates)) other = std::move(fit);
  return false;
}

}  // namespace

Result<ProbeRanking, CodecError> rank_for_max_error(std::span<const float> samples,
                                                    std::span<const WaveletMethod> methods,
                                                    double bound) {
  std::vector<Prepared> prepared;
  for (WaveletMethod method : methods) {
    ASSIGN_OR_RETURN(Prepared p, prepare(ranking_probe(samples), method));
    prepared.push_back(std::move(p));
  }
  const PlainRanking ranking = rank_plain_rounding(prepared, bound);
  ProbeRanking out;
  for (size_t index : ranking.order) out.methods.push_back(methods[index]);
  out.smallest_bits = ranking.smallest_bits;
  return out;
}

size_t wavelets_tried_for_max_error() { return kWaveletsTried; }

void keep_close_smallest(std::vector<BoundAwareFit>& fits) {
  std::stable_sort(fits.begin(), fits.end(),
                   [](const BoundAwareFit& a, const BoundAwareFit& b) { return a.bits < b.bits; });
  size_t kept = std::min<size_t>(fits.size(), 2);
  if (kept == 2 && !(fits[1].bits < fits[0].bits * (1.0 + kCloseEstimates))) kept = 1;
  fits.resize(kept);
}

Result<std::vector<BoundAwareFit>, CodecError> fit_max_error_bound_aware(
    const Bounds& bounds, double bound, std::span<const Prepared> prepared,
    bool* settled_at_once, std::span<const size_t> ranked) {
  if (settled_at_once) *settled_at_once = false;
  if (!(bound > 0.0) || bounds.counted == 0 || prepared.empty()) {
    return std::vector<BoundAwareFit>();
  }
  std::optional<BoundAwareFit> best, other;
  const auto candidates = [&] {
    std::vector<BoundAwareFit> out;
    if (best) out.push_back(std::move(*best));
    if (other) out.push_back(std::move(*other));
    return out;
  };
  const std::vector<size_t> order =
      ranked.size() == prepared.size()
          ? std::vector<size_t>(ranked.begin(), ranked.end())
          : rank_plain_rounding(prepared, bound).order;
  Boxes boxes(bounds, bound, prepared[0].width());
  for (size_t rank = 0; rank < order.size(); ++rank) {
    // The ranking is an estimate: past the wavelets it favours, the others
    // are tried only while none has settled (a wide ramp may settle on one
    // ranked last).
    if (rank >= kWaveletsTried && best) break;
    const size_t index = order[rank];
    const Prepared& p = prepared[index];
    ASSIGN_OR_RETURN(auto atoms, cached_atoms(p));
    double coarseness = first_coarseness(p);
    double failed = 0.0;  // the finest aim that failed
    for (int tries = 0; tries < kCoarsenessTries; ++tries) {
      Miss miss;
      ASSIGN_OR_RETURN(std::optional<Attempt> a,
                       attempt(p, boxes, bounds.counted, bound, *atoms, coarseness, false, miss));
      if (a) {
        const double bits = estimate_bits(a->values, p.lengths);
        if (!best || bits < best->bits) {
          best = BoundAwareFit{index, a->multiplier, a->scale, std::move(a->values), bits};
        }
        RETURN_IF_ERROR(try_coarser(p, index, boxes, bounds.counted, bound, *atoms, coarseness,
                                    failed, *best, other));
        // Settling at once (or one stall's step on) says the ranking was
        // right; a wavelet that needed finer multipliers may well lose to
        // the next one.
        if (coarseness <= first_coarseness(p) * kAfterStall * 1.001) {
          if (settled_at_once) *settled_at_once = true;
          return candidates();
        }
        break;
      }
      // Nothing finer is left to try once the aim reached the finest.
      if (coarseness * double{p.width()} / bound >= double{p.finest_multiplier()}) break;
      // Error ~ 1/multiplier: aim the quantile at the bound, or step when
      // the repair stalled (a little when it nearly settled).
      failed = std::max(failed, coarseness);
      coarseness *= miss.too_coarse > 0.0 ? std::max(1.15, miss.too_coarse * 1.03)
                    : miss.nearly         ? kAfterNearMiss
                                          : kAfterStall;
    }
  }
  return candidates();
}

}  // namespace vdx::fit
