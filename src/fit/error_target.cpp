#include "src/fit/error_target.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "src/compressor.hpp"
#include "src/decompressor.hpp"
#include "src/fit/bound_quantizer.hpp"
#include "src/fit/coder_choice.hpp"
#include "src/fit/fit_signal.hpp"
#include "src/fit/level_choice.hpp"
#include "src/fit/plain_search.hpp"
#include "src/float_mode.hpp"
#include "src/normalizer.hpp"

namespace vdx {
namespace fit {
namespace {

// Trials per multiplier search: about five settle a setting; the rest is
// the budget for an unreachable target, whose last trial is the finest.
constexpr int kSearchTrials = 8;
// Proof attempts after a container missed on the real decoder (the model
// behind it was wrong): each raises the multiplier by the measured excess.
constexpr int kProofAttempts = 6;
// Wavelets the plain search tries in full on a signal ranked on a probe.
constexpr size_t kWaveletsSearched = 2;

const char* kind_name(TargetKind kind) {
  return kind == TargetKind::MaxError ? "max_error"
         : kind == TargetKind::RmsError ? "rms_error" : "prd";
}

// Python's format(x, "g") and format(x, ".6g") agree with C's %g and %.6g.
std::string unreachable_text(TargetKind kind, double target, double finest) {
  char text[160];
  std::snprintf(text, sizeof text,
                "no setting reaches %s=%g on this signal; the finest reaches %s=%.6g",
                kind_name(kind), target, kind_name(kind), finest);
  return text;
}

struct Request {
  const Bounds& bounds;
  TargetKind kind;
  double target;
  double goal;  // what trials aim for: the target, unless a test loosens it
  EntropyCoder coder;
};

// A container ready for the proof, with what names its settings.
struct Encoded {
  std::vector<uint8_t> container;
  const Prepared* prepared = nullptr;
  float multiplier = 0.0f;
  uint8_t scale = 6;
  EntropyCoder coder = EntropyCoder::Auto;
  bool plain = false;
  uint16_t threshold = 0;
  std::span<const int16_t> values;  // for another coder's container
};

Result<std::vector<uint8_t>, CodecError> container_of(const Encoded& e, EntropyCoder coder) {
  PreparedHeader header = e.prepared->header;
  header.scale = e.scale;
  return encode_container(header, e.multiplier, coder, e.values, e.prepared->lengths);
}

Result<Encoded, CodecError> encode(const Request& r, const Prepared& p, float multiplier,
                                   uint8_t scale, std::span<const int16_t> values, bool plain,
                                   uint16_t threshold) {
  Encoded e{{}, &p, multiplier, scale, r.coder, plain, threshold, values};
  // Left to the fitter, the coder is whichever writes the smaller container;
  // where DEFLATE may win both are written, so that candidates compare by
  // their final sizes.
  const DeflateOutlook outlook =
      e.coder == EntropyCoder::Auto ? deflate_outlook(values) : DeflateOutlook::Loses;
  if (outlook == DeflateOutlook::Wins) e.coder = EntropyCoder::Deflate;
  ASSIGN_OR_RETURN(e.container, container_of(e, e.coder));
  if (outlook == DeflateOutlook::MayWin) {
    ASSIGN_OR_RETURN(std::vector<uint8_t> deflated, container_of(e, EntropyCoder::Deflate));
    if (deflated.size() < e.container.size()) {
      e.container = std::move(deflated);
      e.coder = EntropyCoder::Deflate;
    }
  }
  return e;
}

// What the proof found: the container when it met the target, and the
// errors measured either way.
struct Proof {
  std::optional<FittedContainer> fitted;
  Errors errors;
};

FittedContainer fitted_from(Encoded& e, const Errors& errors) {
  FittedContainer out;
  out.container = std::move(e.container);
  out.options.method = e.prepared->header.method;
  out.options.coder = e.coder;
  out.options.has_quant_multiplier = true;
  out.options.quant_multiplier = e.multiplier;
  out.options.scale = e.scale;
  CutoffLevel cutoff = CutoffLevel::Low;
  uint8_t unused = 0;
  setting_for(e.threshold, e.multiplier, &unused, &cutoff);
  out.options.cutoff = cutoff;
  out.max_error = errors.max_error;
  out.rms_error = errors.rms_error;
  out.prd = errors.prd;
  out.options_reproduce = e.plain && e.prepared->own_levels;
  return out;
}

// Decodes with the reader's own entry point and measures against the
// caller's samples: the only place a container is accepted.
Result<Errors, CodecError> decoded_errors(const Request& r, std::span<const uint8_t> container) {
  ASSIGN_OR_RETURN(std::vector<float> decoded, decompress_container(container));
  ++counters_for_tests().decodes;
  return measure(r.bounds, decoded);
}

Result<Proof, CodecError> prove(const Request& r, Encoded e) {
  ASSIGN_OR_RETURN(const Errors errors, decoded_errors(r, e.container));
  if (!(errors.of(r.kind) <= r.target)) {
    ++counters_for_tests().proofs_failed;
    return Proof{std::nullopt, errors};
  }
  return Proof{fitted_from(e, errors), errors};
}

Result<Proof, CodecError> proven(const Request& r, const Prepared& p, float multiplier,
                                 uint8_t scale, std::span<const int16_t> values, bool plain,
                                 uint16_t threshold) {
  ASSIGN_OR_RETURN(Encoded e, encode(r, p, multiplier, scale, values, plain, threshold));
  return prove(r, std::move(e));
}

// Encodes each bound-aware candidate, after those already in `encoded`.
Result<void, CodecError> encode_all(const Request& r, std::span<const Prepared> prepared,
                                    const std::vector<BoundAwareFit>& fits,
                                    std::vector<Encoded>& encoded) {
  for (const BoundAwareFit& f : fits) {
    ASSIGN_OR_RETURN(Encoded e, encode(r, prepared[f.prepared_index], f.multiplier, f.scale,
                                       f.values, false, 0));
    encoded.push_back(std::move(e));
  }
  return {};
}

// Proves the smallest container first (the estimates that ranked the
// candidates can disagree with the coder by a few percent); the next is
// proven only when one fails.
Result<std::optional<FittedContainer>, CodecError> prove_smallest(const Request& r,
                                                                  std::vector<Encoded> encoded) {
  std::stable_sort(encoded.begin(), encoded.end(), [](const Encoded& a, const Encoded& b) {
    return a.container.size() < b.container.size();
  });
  for (Encoded& e : encoded) {
    ASSIGN_OR_RETURN(Proof proof, prove(r, std::move(e)));
    if (proof.fitted) return std::move(proof.fitted);
  }
  return std::optional<FittedContainer>();
}

Result<std::optional<FittedContainer>, CodecError> smallest_proven(
    const Request& r, std::span<const Prepared> prepared, const std::vector<BoundAwareFit>& fits) {
  std::vector<Encoded> encoded;
  RETURN_IF_ERROR(encode_all(r, prepared, fits, encoded));
  return prove_smallest(r, std::move(encoded));
}

// A plainly quantised trial through the proof; when the real decoder
// disagrees with the trial's model, finer multipliers (by the excess the
// proof measured) until it does not.
Result<std::optional<FittedContainer>, CodecError> prove_plain(const Request& r,
                                                               const Prepared& p, Trial t) {
  const float top = p.finest_multiplier();
  for (int attempt = 0; attempt < kProofAttempts; ++attempt) {
    // The first trial comes from the model; after a miss, trials are
    // decoded with the reader's arithmetic and encoded only once they meet
    // the target.
    if (attempt == 0 || t.errors.of(r.kind) <= r.target) {
      ASSIGN_OR_RETURN(Proof proof,
                       proven(r, p, t.multiplier, t.scale, t.values, true, t.threshold));
      if (proof.fitted) return std::move(proof.fitted);
      t.errors = proof.errors;
    }
    if (t.multiplier >= top) break;
    const double excess = std::max(1.05, t.errors.of(r.kind) / (r.target * 0.97));
    ASSIGN_OR_RETURN(t, plain_trial(p, r.bounds,
                                    static_cast<float>(std::min(double{top}, t.multiplier * excess)),
                                    t.threshold));
  }
  return std::optional<FittedContainer>();
}

// The decoded value of an all-zero container, the same at every sample.
float mean_only_value(const PreparedHeader& h) {
  float y = 0.0f;
  denormalize(std::span(&y, 1), h.min_value, h.max_value, h.mean_value);
  return y;
}

Result<std::optional<FittedContainer>, CodecError> try_mean_only(const Request& r,
                                                                 const Prepared& p) {
  const float y = mean_only_value(p.header);
  std::vector<float> decoded(r.bounds.reference.size(), y);
  if (!(measure(r.bounds, decoded).of(r.kind) <= r.target)) {
    return std::optional<FittedContainer>();
  }
  const std::vector<int16_t> zeros(p.coefficients.size(), 0);
  ASSIGN_OR_RETURN(Proof proof, proven(r, p, 0.0f, 6, zeros, true, 0));
  return std::move(proof.fitted);
}

// Half the float32 spacing at a bounded sample larger than the bound: no
// float32 output meets it.
bool float32_meets(const Bounds& bounds, double bound) {
  for (double x : bounds.reference) {
    if (x != x) continue;
    const double nearest = static_cast<float>(x);
    if (!(std::abs(nearest - x) <= bound)) return false;
  }
  return true;
}

struct Candidates {
  std::vector<Prepared> prepared;
  std::vector<Trial> best;  // one per prepared signal that met the goal
  std::vector<size_t> owner;
  double finest = INFINITY;
};

// The plain search: the prepared wavelets from `first` on without cutoff,
// then rising cutoff thresholds of the best one until two in a row
// estimate larger.
Result<void, CodecError> plain_candidates(const Request& r, Candidates& c, size_t first) {
  float guess = first_guess(c.prepared[first], r.bounds, r.kind, r.goal);
  double to_beat = INFINITY;
  for (size_t i = first; i < c.prepared.size(); ++i) {
    ASSIGN_OR_RETURN(SearchOutcome found,
                     search_multiplier(c.prepared[i], r.bounds, r.kind, r.goal, 0, guess,
                                       kSearchTrials, to_beat));
    c.finest = std::min(c.finest, found.finest);
    if (!found.best) continue;
    guess = found.best->multiplier;
    to_beat = std::min(to_beat, found.best->bits);
    c.best.push_back(std::move(*found.best));
    c.owner.push_back(i);
  }
  if (c.best.empty() || r.kind == TargetKind::MaxError) return {};
  size_t leader = 0;
  for (size_t i = 1; i < c.best.size(); ++i) {
    if (c.best[i].bits < c.best[leader].bits) leader = i;
  }
  const size_t owner = c.owner[leader];
  double smallest = c.best[leader].bits;
  float start = c.best[leader].multiplier;
  // Each rising threshold needs a finer multiplier for the same error, by
  // about the factor the last step needed.
  float growth = 1.2f;
  int worse = 0;
  for (uint16_t threshold : cutoff_thresholds().subspan(1)) {
    ASSIGN_OR_RETURN(SearchOutcome found,
                     search_multiplier(c.prepared[owner], r.bounds, r.kind, r.goal, threshold,
                                       start * growth, kSearchTrials / 2, smallest));
    const bool better = found.best && found.best->bits < smallest;
    if (found.best) {
      growth = std::clamp(found.best->multiplier / start, 1.0f, 2.0f);
      start = found.best->multiplier;
      if (better) smallest = found.best->bits;
      c.best.push_back(std::move(*found.best));
      c.owner.push_back(owner);
    }
    worse = better ? 0 : worse + 1;
    if (worse == 2) break;
  }
  return {};
}

// Decomposes the next of `methods` into c.prepared; for a max_error bound,
// deeper than the compressor would where that promises fewer bits.
Result<void, CodecError> prepare_next(std::span<const float> samples,
                                      std::span<const WaveletMethod> methods, double bound,
                                      Candidates& c) {
  const WaveletMethod method = methods[c.prepared.size()];
  ASSIGN_OR_RETURN(Prepared p, prepare(samples, method));
  const uint8_t levels = bound > 0.0 ? deeper_levels(p, bound) : p.header.levels;
  if (levels != p.header.levels) {
    ASSIGN_OR_RETURN(p, prepare(samples, method, levels));
  }
  c.prepared.push_back(std::move(p));
  return {};
}

// The bound-aware fits of the `leading` wavelets of a ranked signal, each
// decomposed when its turn comes; the next is tried only when one did not
// settle at once.
Result<std::vector<BoundAwareFit>, CodecError> leading_fits(const Request& r,
                                                            std::span<const float> samples,
                                                            std::span<const WaveletMethod> methods,
                                                            size_t leading, Candidates& c) {
  std::vector<BoundAwareFit> fits;
  for (size_t i = 0; i < leading; ++i) {
    if (i == c.prepared.size()) RETURN_IF_ERROR(prepare_next(samples, methods, r.goal, c));
    bool at_once = false;
    ASSIGN_OR_RETURN(auto found,
                     fit_max_error_bound_aware(
                         r.bounds, r.goal, std::span<const Prepared>(c.prepared).subspan(i, 1),
                         &at_once));
    for (BoundAwareFit& f : found) f.prepared_index += i, fits.push_back(std::move(f));
    if (at_once) break;
  }
  keep_close_smallest(fits);
  return fits;
}

// The plain search's candidates through the proof, smallest estimate first.
Result<std::optional<FittedContainer>, CodecError> proven_plain_candidate(const Request& r,
                                                                          Candidates& c) {
  std::vector<size_t> order(c.best.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](size_t a, size_t b) { return c.best[a].bits < c.best[b].bits; });
  for (size_t i : order) {
    ASSIGN_OR_RETURN(auto fitted, prove_plain(r, c.prepared[c.owner[i]], std::move(c.best[i])));
    if (fitted) return fitted;
  }
  return std::optional<FittedContainer>();
}

// One-level containers are written with DEFLATE: a coder named otherwise
// rules them out.
bool shallow_allowed(const Request& r) {
  return r.coder == EntropyCoder::Auto || r.coder == EntropyCoder::Deflate;
}

// The one-level candidate: its outlook and, when it is to be fitted, its
// decomposition of the whole signal.
struct Shallow {
  ShallowOutlook outlook = ShallowOutlook::Skip;
  std::optional<Prepared> prepared;
};

// `deep_bits` is the deeper plain rounding's estimate on the ranking probe
// of a long signal, or on the whole of a short one, which is probed whole.
Result<Shallow, CodecError> shallow_candidate(const Request& r, std::span<const float> samples,
                                              const ErrorTarget& target, double deep_bits) {
  Shallow s;
  if (!shallow_allowed(r)) return s;
  const bool on_probe = ranked_on_probe(samples.size());
  const WaveletMethod method = shallow_method(target);
  ASSIGN_OR_RETURN(Prepared p, prepare(on_probe ? ranking_probe(samples) : samples, method, 1));
  s.outlook = shallow_outlook(p, r.goal, deep_bits);
  if (s.outlook == ShallowOutlook::Skip) return s;
  if (on_probe) {
    ASSIGN_OR_RETURN(p, prepare(samples, method, 1));
  }
  s.prepared = std::move(p);
  return s;
}

// The bound-aware quantiser's proven container, from the compressor's level
// count (or deeper) and, where the probe expects it to be smaller, one
// level. `probe_bits` is the deeper plain rounding's estimate on the
// ranking probe of a long signal; short ones are ranked whole.
Result<std::optional<FittedContainer>, CodecError> fit_bound_aware(
    const Request& r, std::span<const float> samples, const ErrorTarget& target,
    std::span<const WaveletMethod> methods, size_t leading, double probe_bits, Candidates& c) {
  PlainRanking ranking;
  if (!ranked_on_probe(samples.size())) ranking = rank_plain_rounding(c.prepared, r.goal);
  ASSIGN_OR_RETURN(Shallow shallow,
                   shallow_candidate(r, samples, target,
                                     ranked_on_probe(samples.size()) ? probe_bits
                                                                     : ranking.smallest_bits));
  std::vector<Encoded> encoded;
  std::vector<BoundAwareFit> shallow_fits;  // what `encoded` points into
  if (shallow.prepared) {
    const std::span<const Prepared> one(&*shallow.prepared, 1);
    ASSIGN_OR_RETURN(shallow_fits, fit_max_error_bound_aware(r.bounds, r.goal, one));
    // The estimates rank the coefficient stream's sizes, not DEFLATE's, so a
    // close second is no likelier to win here; encoding it cost steps 12 %
    // of their fit and saved 0-3 % on three bench cases of 72.
    if (shallow_fits.size() > 1) shallow_fits.resize(1);
    // Its runs are what makes one level pay: only DEFLATE sees them.
    Request deflated = r;
    deflated.coder = EntropyCoder::Deflate;
    RETURN_IF_ERROR(encode_all(deflated, one, shallow_fits, encoded));
    if (shallow.outlook == ShallowOutlook::Instead && !encoded.empty()) {
      ASSIGN_OR_RETURN(auto fitted, prove_smallest(r, std::move(encoded)));
      if (fitted) return fitted;
      encoded.clear();
    }
  }
  ASSIGN_OR_RETURN(std::vector<BoundAwareFit> fits,
                   leading < methods.size()
                       ? leading_fits(r, samples, methods, leading, c)
                       : fit_max_error_bound_aware(r.bounds, r.goal, c.prepared, nullptr,
                                                   ranking.order));
  RETURN_IF_ERROR(encode_all(r, c.prepared, fits, encoded));
  return prove_smallest(r, std::move(encoded));
}

std::vector<WaveletMethod> methods_of(const ErrorTarget& target) {
  if (target.has_method) return {target.method};
  return {WaveletMethod::Cdf97, WaveletMethod::Cdf53, WaveletMethod::Db4, WaveletMethod::Sym4};
}

Result<FittedContainer, CodecError> fit_within(std::span<const float> samples,
                                               const ReferenceSamples& reference,
                                               std::span<const uint8_t> skip,
                                               const ErrorTarget& target) {
  if (!(std::isfinite(target.value) && target.value >= 0.0)) {
    return fail(CodecError::unsupported_configuration(
        std::string(kind_name(target.kind)) + " must be a finite number >= 0"));
  }
  const size_t n = samples.size();
  const size_t reference_size = reference.f64.empty() ? reference.f32.size()
                                                      : reference.f64.size();
  if (reference_size != n || (!reference.f32.empty() && !reference.f64.empty()) ||
      (!skip.empty() && skip.size() != n)) {
    return fail(CodecError::unsupported_configuration(
        "The reference samples and the skip flags must match the samples in number"));
  }
  CodecOptions request;
  request.method = target.has_method ? target.method : WaveletMethod::Cdf97;
  request.coder = target.coder;
  RETURN_IF_ERROR(check_compress_request(n, request));

  const Bounds bounds = bounds_of(reference, skip);
  const Request r{bounds, target.kind, target.value,
                  target.value * trial_slack_for_tests().load(), target.coder};
  Candidates c;
  std::vector<WaveletMethod> methods = methods_of(target);
  const bool representable =
      r.kind != TargetKind::MaxError || float32_meets(bounds, r.target);
  // The bound-aware quantiser tries the leading wavelets only, each
  // decomposed when its turn comes: the others are decomposed when it does
  // not settle.
  const bool bound_aware = representable && r.kind == TargetKind::MaxError && r.goal > 0.0;
  size_t leading = methods.size();
  double probe_bits = 0.0;
  if (bound_aware && ranked_on_probe(n) && (methods.size() > 1 || shallow_allowed(r))) {
    ASSIGN_OR_RETURN(ProbeRanking ranking, rank_for_max_error(samples, methods, r.goal));
    methods = std::move(ranking.methods);
    probe_bits = ranking.smallest_bits;
    leading = std::min(methods.size(), wavelets_tried_for_max_error());
  } else if (!bound_aware && representable && r.goal > 0.0 && methods.size() > 1) {
    ASSIGN_OR_RETURN(std::vector<WaveletMethod> ranked,
                     rank_for_energy(samples, bounds, methods, r.kind, r.goal));
    if (!ranked.empty()) {
      methods = std::move(ranked);
      leading = std::min(methods.size(), kWaveletsSearched);
    }
  }
  const auto prepare_next = [&] {
    return fit::prepare_next(samples, methods, bound_aware ? r.goal : 0.0, c);
  };
  // Unranked signals (short ones, or a fixed wavelet) are ranked whole.
  const bool one_by_one = leading < methods.size();
  c.prepared.reserve(methods.size());
  for (size_t i = 0; i < (one_by_one ? 1 : methods.size()); ++i) RETURN_IF_ERROR(prepare_next());
  ASSIGN_OR_RETURN(auto mean_only, try_mean_only(r, c.prepared[0]));
  if (mean_only) return std::move(*mean_only);

  if (bound_aware) {
    ASSIGN_OR_RETURN(auto fitted,
                     fit_bound_aware(r, samples, target, methods, leading, probe_bits, c));
    if (fitted) return std::move(*fitted);
  }
  // The plain search: on the wavelets a probe favoured first, the rest only
  // when those reach nothing (a refusal names what every wavelet reaches).
  size_t searched = 0;
  if (!bound_aware && one_by_one) {
    while (c.prepared.size() < leading) RETURN_IF_ERROR(prepare_next());
    RETURN_IF_ERROR(plain_candidates(r, c, 0));
    searched = c.prepared.size();
  }
  if (c.best.empty()) {
    const size_t tried = c.prepared.size();
    while (c.prepared.size() < methods.size()) RETURN_IF_ERROR(prepare_next());
    if (bound_aware && c.prepared.size() > tried) {
      // Long signals decomposed only the wavelets the probe favoured: the
      // rest get the bound-aware quantiser before plain rounding.
      const auto rest = std::span<const Prepared>(c.prepared).subspan(tried);
      ASSIGN_OR_RETURN(auto fits, fit_max_error_bound_aware(r.bounds, r.goal, rest));
      for (BoundAwareFit& f : fits) f.prepared_index += tried;
      ASSIGN_OR_RETURN(auto fitted, smallest_proven(r, c.prepared, fits));
      if (fitted) return std::move(*fitted);
    }
    if (searched < c.prepared.size()) RETURN_IF_ERROR(plain_candidates(r, c, searched));
  }
  if (representable) {
    ASSIGN_OR_RETURN(auto fitted, proven_plain_candidate(r, c));
    if (fitted) return std::move(*fitted);
  }
  return fail(CodecError::target_unreachable(unreachable_text(r.kind, r.target, c.finest)));
}

}  // namespace
}  // namespace fit

Result<FittedContainer, CodecError> compress_within(std::span<const float> samples,
                                                    const ReferenceSamples& reference,
                                                    std::span<const uint8_t> skip,
                                                    const ErrorTarget& target) {
  const IeeeFloatScope ieee;
  return fit::fit_within(samples, reference, skip, target);
}

}  // namespace vdx
