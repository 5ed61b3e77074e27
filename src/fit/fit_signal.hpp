// What the error-target fitter works on: the caller's bound-carrying
// reference samples, one prepared (decomposed) signal per wavelet, plainly
// quantised trials measured with the decoder's own arithmetic, and a
// size estimate that ranks candidates without running the entropy coder.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

#include "common/result.hpp"
#include "src/codec_error.hpp"
#include "src/compressor.hpp"
#include "src/fit/error_target.hpp"

namespace vdx::fit {

// The reference as doubles, NaN where a sample carries no bound (skipped,
// or not finite), with the sums the three measures need.
struct Bounds {
  std::vector<double> reference;
  size_t counted = 0;
  double mean = 0.0;
  double spread = 0.0;  // sum of squared deviations from the mean
};
Bounds bounds_of(const ReferenceSamples& reference, std::span<const uint8_t> skip);
// The bounds of `count` samples from `from`, with their own sums.
Bounds slice_of(const Bounds& bounds, size_t from, size_t count);

// Samples from the middle of a long signal that wavelets are ranked on
// before any is decomposed in full: enough for every band of the deepest
// level count to hold a few dozen coefficients.
inline constexpr size_t kRankingProbe = size_t{1} << 13;
// Signals shorter than two probes are ranked whole.
inline bool ranked_on_probe(size_t n) { return n >= 2 * kRankingProbe; }
inline std::span<const float> ranking_probe(std::span<const float> samples) {
  return samples.subspan(samples.size() / 2 - kRankingProbe / 2, kRankingProbe);
}

struct Errors {
  double max_error = 0.0;
  double rms_error = 0.0;
  double prd = 0.0;
  double of(TargetKind kind) const {
    return kind == TargetKind::MaxError ? max_error
           : kind == TargetKind::RmsError ? rms_error : prd;
  }
};
Errors measure(const Bounds& bounds, std::span<const float> decoded);

// One wavelet's decomposition, flattened in band layout order (the deepest
// approximation, then the details finest first).
struct Prepared {
  PreparedHeader header;
  wavelet::DwtHandle dwt;
  std::vector<float> coefficients;
  std::vector<size_t> lengths;
  std::vector<uint32_t> lengths32;
  float smallest = 0.0f;  // coefficient extremes, for the saturation rule
  float largest = 0.0f;
  // The compressor's own level count: plain rounding here is what options
  // reproduce.
  bool own_levels = true;
  float width() const { return header.max_value - header.min_value; }
  // The largest multiplier that saturates nothing (the finest there is).
  float finest_multiplier() const;
};
Result<Prepared, CodecError> prepare(std::span<const float> samples, WaveletMethod method,
                                     uint8_t levels = 0);

struct Trial {
  float multiplier = 0.0f;
  uint16_t threshold = 0;
  uint8_t scale = 6;
  std::vector<int16_t> values;  // band layout order
  Errors errors;
  double bits = 0.0;  // estimated payload size
};

// Decoded samples of quantised bands, bit for bit what a reader of their
// container gets (the decoder's own stages after the payload).
Result<std::vector<float>, CodecError> decode_values(const Prepared& p, float multiplier,
                                                     uint8_t scale,
                                                     std::span<const int16_t> values);

// The compressor's own quantisation at `multiplier` (capped as it caps a
// caller's) with a cutoff threshold, decoded and measured.
Result<Trial, CodecError> plain_trial(const Prepared& p, const Bounds& bounds, float multiplier,
                                      uint16_t threshold);

// The compressor's quantisation at `multiplier` (capped as it caps a
// caller's) with a cutoff threshold, into t's multiplier, threshold, scale
// and values; nothing decoded or measured.
void quantize_trial(const Prepared& p, float multiplier, uint16_t threshold, Trial& t);

// The quantisation error's energy seen through the synthesis, in
// normalised units: the sum over bands of the band's gain (its atom's
// squared norm) times the squared differences between the coefficients and
// their dequantised values. Exact for an orthogonal wavelet away from the
// borders; the biorthogonal ones and the borders make it an estimate,
// which only the proof of the container settles.
double modelled_energy(const Prepared& p, std::span<const double> gains, float multiplier,
                       std::span<const int16_t> values);
// A plainly quantised trial measured on that model instead of a decode:
// its rms and prd come from the modelled energy (spread over the bounded
// samples), its max_error is left infinite. `buffer` (a rejected trial's
// values, say) is reused for the values instead of a fresh allocation.
Trial modelled_trial(const Prepared& p, const Bounds& bounds, std::span<const double> gains,
                     float multiplier, uint16_t threshold, std::vector<int16_t> buffer = {});

// Bits the coefficient stream is expected to spend on these bands: a zero
// flag per coefficient, and sign, magnitude class and raw bits per non-zero
// one, each from the band's own frequencies.
double estimate_bits(std::span<const int16_t> values, std::span<const size_t> lengths);

// The scale/cutoff pair with this threshold whose scale is nearest to
// log2(multiplier); false when no pair has the threshold.
bool setting_for(uint16_t threshold, float multiplier, uint8_t* scale, CutoffLevel* cutoff);
// Thresholds some scale/cutoff pair gives, rising.
std::span<const uint16_t> cutoff_thresholds();

// Hook for the tests of the final proof: trials and the bound-aware
// quantiser accept errors up to this factor times the target (1 in use),
// so only the proof on the real decoder stands between a miss and the
// caller. Read once per call.
std::atomic<double>& trial_slack_for_tests();

// Work and proof counters of the calling thread, for the tests: decodes run
// with the reader's arithmetic (trials and proofs), and containers the
// proof turned down.
struct FitCounters {
  uint64_t decodes = 0;
  uint64_t proofs_failed = 0;
};
FitCounters& counters_for_tests();

}  // namespace vdx::fit
