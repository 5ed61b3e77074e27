#include "src/fit/fit_signal.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>

#include "src/container.hpp"
#include "src/decompressor.hpp"
#include "src/quantizer.hpp"

namespace vdx::fit {

namespace {

void add_sums(Bounds& b) {
  double sum = 0.0;
  for (double r : b.reference) {
    if (r == r) sum += r, ++b.counted;
  }
  b.mean = b.counted ? sum / static_cast<double>(b.counted) : 0.0;
  for (double r : b.reference) {
    if (r == r) b.spread += (r - b.mean) * (r - b.mean);
  }
}

}  // namespace

Bounds bounds_of(const ReferenceSamples& reference, std::span<const uint8_t> skip) {
  const size_t n = reference.f64.empty() ? reference.f32.size() : reference.f64.size();
  Bounds b;
  b.reference.resize(n);
  for (size_t i = 0; i < n; ++i) {
    const double r = reference.f64.empty() ? double{reference.f32[i]} : reference.f64[i];
    const bool bounded = std::isfinite(r) && (skip.empty() || skip[i] == 0);
    b.reference[i] = bounded ? r : NAN;
  }
  add_sums(b);
  return b;
}

Bounds slice_of(const Bounds& bounds, size_t from, size_t count) {
  Bounds b;
  b.reference.assign(bounds.reference.begin() + from, bounds.reference.begin() + from + count);
  add_sums(b);
  return b;
}

Errors measure(const Bounds& bounds, std::span<const float> decoded) {
  double peak = 0.0;
  double squares = 0.0;
  for (size_t i = 0; i < bounds.reference.size(); ++i) {
    const double r = bounds.reference[i];
    if (r != r) continue;
    const double d = std::abs(double{decoded[i]} - r);
    peak = std::max(peak, d);
    squares += d * d;
  }
  Errors e;
  if (bounds.counted == 0) return e;
  e.max_error = peak;
  e.rms_error = std::sqrt(squares / static_cast<double>(bounds.counted));
  // A constant reference has no spread: only an exact copy has a finite prd.
  e.prd = squares == 0.0 ? 0.0
          : bounds.spread > 0.0 ? 100.0 * std::sqrt(squares / bounds.spread)
                                : INFINITY;
  return e;
}

float Prepared::finest_multiplier() const {
  // 2^22: beyond it a float32 product no longer resolves the rounding of a
  // normalised coefficient, so nothing finer is gained.
  return cap_multiplier(0x1p22f, smallest, largest);
}

Result<Prepared, CodecError> prepare(std::span<const float> samples, WaveletMethod method,
                                     uint8_t levels) {
  ASSIGN_OR_RETURN(PreparedSignal prepared, prepare_signal(samples, method, levels));
  Prepared p;
  p.header = prepared.header;
  p.dwt = wavelet::create_dwt(method);
  p.own_levels = p.header.levels ==
                 choose_levels(samples.size(), p.dwt->filter_length());
  auto& bands = prepared.bands;
  p.lengths.push_back(bands.back().approximation.size());
  for (const auto& level : bands) p.lengths.push_back(level.details.size());
  size_t total = 0;
  for (size_t length : p.lengths) total += length;
  p.coefficients.reserve(total);
  auto append = [&](const std::vector<float>& band) {
    p.coefficients.insert(p.coefficients.end(), band.begin(), band.end());
    widen_extremes(band, p.smallest, p.largest);
  };
  // The compressor widens from the approximation, then every detail band.
  append(bands.back().approximation);
  for (const auto& level : bands) append(level.details);
  p.lengths32.assign(p.lengths.begin(), p.lengths.end());
  return p;
}

Result<std::vector<float>, CodecError> decode_values(const Prepared& p, float multiplier,
                                                     uint8_t scale,
                                                     std::span<const int16_t> values) {
  HeaderFields fields;
  fields.method = p.header.method;
  fields.levels = p.header.levels;
  fields.scale = scale;
  fields.sample_count = p.header.sample_count;
  fields.min_value = p.header.min_value;
  fields.max_value = p.header.max_value;
  fields.mean_value = p.header.mean_value;
  fields.multiplier = multiplier;
  ++counters_for_tests().decodes;
  return reconstruct_checked(*p.dwt, fields, effective_multiplier(multiplier, scale),
                             std::vector<int16_t>(values.begin(), values.end()), p.lengths32);
}

void quantize_trial(const Prepared& p, float multiplier, uint16_t threshold, Trial& t) {
  t.multiplier = cap_multiplier(multiplier, p.smallest, p.largest);
  t.threshold = threshold;
  CutoffLevel cutoff;
  setting_for(threshold, t.multiplier, &t.scale, &cutoff);
  t.values.resize(p.coefficients.size());
  size_t offset = 0;
  for (size_t band = 0; band < p.lengths.size(); ++band) {
    const std::span<const float> in(p.coefficients.data() + offset, p.lengths[band]);
    const std::span<int16_t> out(t.values.data() + offset, p.lengths[band]);
    if (band == 0) {
      quantize_band(in, t.multiplier, out);
    } else {
      quantize_detail_band(in, t.multiplier, threshold, out);
    }
    offset += p.lengths[band];
  }
}

double modelled_energy(const Prepared& p, std::span<const double> gains, float multiplier,
                       std::span<const int16_t> values) {
  const double inverse = 1.0 / double{multiplier};
  const bool finite = std::isfinite(inverse);  // 0 * inf is NaN, not 0
  double energy = 0.0;
  size_t offset = 0;
  for (size_t band = 0; band < p.lengths.size(); ++band) {
    // Four running sums: one chain of dependent additions would be slower.
    double sums[4] = {0.0, 0.0, 0.0, 0.0};
    const size_t end = offset + p.lengths[band];
    size_t i = offset;
    for (; i + 4 <= end; i += 4) {
      uint64_t word;
      std::memcpy(&word, values.data() + i, sizeof word);
      if (word == 0 && finite) {
        // Zero values: c - 0 * inverse is c exactly, so the sums are the same.
        for (size_t j = 0; j < 4; ++j) {
          const double c = double{p.coefficients[i + j]};
          sums[j] += c * c;
        }
        continue;
      }
      for (size_t j = 0; j < 4; ++j) {
        const double d = double{p.coefficients[i + j]} - values[i + j] * inverse;
        sums[j] += d * d;
      }
    }
    for (; i < end; ++i) {
      const double d = double{p.coefficients[i]} - values[i] * inverse;
      sums[0] += d * d;
    }
    energy += gains[band] * ((sums[0] + sums[1]) + (sums[2] + sums[3]));
    offset += p.lengths[band];
  }
  return energy;
}

Trial modelled_trial(const Prepared& p, const Bounds& bounds, std::span<const double> gains,
                     float multiplier, uint16_t threshold, std::vector<int16_t> buffer) {
  Trial t;
  t.values = std::move(buffer);
  quantize_trial(p, multiplier, threshold, t);
  const double n = static_cast<double>(p.header.sample_count);
  const double width = p.width();
  const double squares = width * width * modelled_energy(p, gains, t.multiplier, t.values) *
                         (static_cast<double>(bounds.counted) / n);
  t.errors.max_error = INFINITY;
  t.errors.rms_error = bounds.counted ? std::sqrt(squares / static_cast<double>(bounds.counted))
                                      : 0.0;
  t.errors.prd = squares == 0.0 ? 0.0
                 : bounds.spread > 0.0 ? 100.0 * std::sqrt(squares / bounds.spread)
                                       : INFINITY;
  t.bits = estimate_bits(t.values, p.lengths);
  return t;
}

Result<Trial, CodecError> plain_trial(const Prepared& p, const Bounds& bounds, float multiplier,
                                      uint16_t threshold) {
  Trial t;
  quantize_trial(p, multiplier, threshold, t);
  ASSIGN_OR_RETURN(std::vector<float> decoded, decode_values(p, t.multiplier, t.scale, t.values));
  t.errors = measure(bounds, decoded);
  t.bits = estimate_bits(t.values, p.lengths);
  return t;
}

namespace {

double entropy_bits(std::span<const uint32_t> counts, uint64_t total) {
  if (total == 0) return 0.0;
  double bits = 0.0;
  for (uint32_t c : counts) {
    if (c) bits -= c * std::log2(static_cast<double>(c) / static_cast<double>(total));
  }
  return bits;
}

}  // namespace

double estimate_bits(std::span<const int16_t> values, std::span<const size_t> lengths) {
  double bits = 0.0;
  size_t offset = 0;
  for (size_t length : lengths) {
    std::array<uint32_t, 18> classes{};  // [0] zero, [k] magnitude of bit width k
    // Most coefficients of a fitted signal are zero: eight at a time are
    // counted as zeros when their bits are.
    size_t i = offset;
    const size_t end = offset + length;
    for (; i + 8 <= end; i += 8) {
      uint64_t words[2];
      std::memcpy(words, values.data() + i, sizeof words);
      if ((words[0] | words[1]) == 0) {
        classes[0] += 8;
        continue;
      }
      for (size_t j = i; j < i + 8; ++j) {
        const int32_t v = values[j];
        ++classes[std::bit_width(static_cast<uint32_t>(v < 0 ? -v : v))];
      }
    }
    for (; i < end; ++i) {
      const int32_t v = values[i];
      ++classes[std::bit_width(static_cast<uint32_t>(v < 0 ? -v : v))];
    }
    // Raw bits below the leading one of each magnitude.
    uint64_t raw = 0;
    for (size_t k = 2; k < classes.size(); ++k) raw += uint64_t{classes[k]} * (k - 1);
    const uint32_t nonzero = static_cast<uint32_t>(length) - classes[0];
    bits += entropy_bits(classes, length) + static_cast<double>(raw) + nonzero;  // + a sign bit each
    offset += length;
  }
  return bits;
}

// Every threshold cutoff_threshold gives for scales 6..12 (6 and 7 give none).
std::span<const uint16_t> cutoff_thresholds() {
  static constexpr std::array<uint16_t, 9> kThresholds = {0, 1, 2, 3, 6, 7, 9, 14, 21};
  return kThresholds;
}

bool setting_for(uint16_t threshold, float multiplier, uint8_t* scale, CutoffLevel* cutoff) {
  const double octave = multiplier > 0.0f ? std::log2(double{multiplier}) : 0.0;
  bool found = false;
  double best = 0.0;
  for (uint8_t s = 6; s <= 12; ++s) {
    for (CutoffLevel c : {CutoffLevel::Low, CutoffLevel::Medium, CutoffLevel::High}) {
      if (cutoff_threshold(s, c) != threshold) continue;
      const double distance = std::abs(s - octave);
      // Ties go to the smaller scale, then the lower cutoff.
      if (!found || distance < best) *scale = s, *cutoff = c, best = distance, found = true;
    }
  }
  return found;
}

std::atomic<double>& trial_slack_for_tests() {
  static std::atomic<double> slack{1.0};
  return slack;
}

FitCounters& counters_for_tests() {
  thread_local FitCounters counters;
  return counters;
}

}  // namespace vdx::fit
