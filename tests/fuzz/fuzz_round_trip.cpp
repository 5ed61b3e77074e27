// compress_samples then decompress_container on options and samples drawn
// from the input (round_trip_input.hpp). The compressor refuses exactly what
// it must (nothing, an unreadable multiplier, a range that is not finite; the
// arans limit needs more samples than an input holds); whatever it writes
// decodes, to exactly n finite samples, within the quantisation error bound
// below for any multiplier it records other than 0.
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "src/byte_io.hpp"
#include "src/compressor.hpp"
#include "src/container.hpp"
#include "src/decompressor.hpp"
#include "src/normalizer.hpp"
#include "src/quantizer.hpp"
#include "tests/fuzz/fuzz_check.hpp"
#include "tests/fuzz/round_trip_input.hpp"

using namespace vdx;

namespace {

// Largest sum over the coefficients of one band group of |g_i(k)|, g_i the
// reconstruction of a unit coefficient i, k any output sample: the worst
// case of how far rounding errors of a coefficient group can add up in one
// sample. Measured over every signal length 1..400 and lengths around
// 512..4096 (with the level count the compressor picks), by reconstructing
// each unit coefficient; the largest value seen, rounded up by about 5 %.
// Indexed by WaveletMethod. The detail gain grows with the level count
// (cdf53: exactly one per level) and peaks at 8 levels.
constexpr double kApproximationGain[] = {1.05, 1.05, 1.15, 1.05};
constexpr double kDetailGain[] = {8.4, 4.4, 3.8, 3.7};
// Rounding in the transforms and normalisation, relative to the range.
constexpr double kFloatSlack = 0x1p-16;

// Bound on |x - y| relative to the range when the default multiplier m was
// used: a kept coefficient is off by at most 0.5/m, a detail that the cutoff
// t zeroes by less than (t - 0.5)/m, since |q| <= t - 1 means |c m| < t - 0.5.
double relative_error_bound(const CodecOptions& o, float multiplier) {
  const size_t w = static_cast<size_t>(o.method);
  const double t = cutoff_threshold(o.scale, o.cutoff);
  const double detail_error = std::max(0.5, t - 0.5);
  return (0.5 * kApproximationGain[w] + detail_error * kDetailGain[w]) / multiplier +
         kFloatSlack;
}

bool multiplier_reads_back(float m) {
  if (m == 0.0f) return true;
  return m > 0.0f && !std::isinf(m) && !std::isinf(1.0f / m);
}

std::string refusal_expected(const fuzz::RoundTripCase& c, const SignalRange& range) {
  if (c.samples.empty()) return "Can't compress empty data";
  if (c.options.has_quant_multiplier && !multiplier_reads_back(c.options.quant_multiplier)) {
    return "Quantization multiplier ";  // then the value and " can't be read back"
  }
  if (!std::isfinite(range.max_value - range.min_value)) {
    return "Can't compress data whose range is not finite";
  }
  return "";
}

void check_error_bound(const fuzz::RoundTripCase& c, const std::vector<float>& cleaned,
                       const SignalRange& range, const std::vector<float>& decoded,
                       float multiplier) {
  const double width = static_cast<double>(range.max_value - range.min_value);
  const double magnitude = std::max(std::fabs(range.min_value), std::fabs(range.max_value));
  // The last step of denormalisation adds min_value and rounds to float32.
  const double ulp = std::ldexp(1.0, std::max(std::ilogb(std::max(magnitude, 1e-38)) - 23, -149));
  double allowed;
  if (is_flat_range(range.max_value - range.min_value)) {
    allowed = width + ulp;  // a flat signal decodes to its minimum
  } else {
    const double bound = relative_error_bound(c.options, multiplier);
    // Ranges near the float32 limit are exempt: (y + mean) × range, the
    // middle step of denormalisation, overflows once y + mean exceeds 1 by
    // rounding, and the clamp to FLT_MAX then stands for a sample that may
    // lie anywhere in the range.
    if (width * (1.0 + 2.0 * bound) >= std::numeric_limits<float>::max()) return;
    allowed = bound * width + 2 * ulp;
  }
  for (size_t i = 0; i < cleaned.size(); ++i) {
    const double error = std::fabs(double(cleaned[i]) - double(decoded[i]));
    FUZZ_CHECK_MSG(error <= allowed,
                   "sample %zu of %zu: %.9g decoded as %.9g, error %.6g > %.6g "
                   "(range %.9g, multiplier %g, method %d, scale %d, cutoff %d)",
                   i, cleaned.size(), cleaned[i], decoded[i], error, allowed, width,
                   multiplier, int(c.options.method), int(c.options.scale),
                   int(c.options.cutoff));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < fuzz::kRoundTripPrefix) return 0;
  const fuzz::RoundTripCase c = fuzz::parse_round_trip(std::span(data, size));
  const size_t n = c.samples.size();
  std::vector<float> cleaned(n);
  const SignalRange range = copy_cleaned(c.samples, cleaned);

  auto container = compress_samples(c.samples, c.options);
  const std::string refusal = refusal_expected(c, range);
  if (!refusal.empty()) {
    FUZZ_CHECK(!container.ok());
    FUZZ_CHECK(container.error().kind() == CodecErrorKind::UnsupportedConfiguration);
    FUZZ_CHECK(container.error().text().starts_with(refusal));
    return 0;
  }
  FUZZ_CHECK_MSG(container.ok(), "refused: %s", container.error().message().c_str());
  const std::vector<uint8_t>& bytes = *container;

  auto again = compress_samples(c.samples, c.options);
  FUZZ_CHECK(again.ok() && *again == bytes);

  FUZZ_CHECK(bytes.size() >= kHeaderSize);
  FUZZ_CHECK(load_u32le(bytes.data() + 16) == n);
  FUZZ_CHECK(load_u32le(bytes.data() + 32) == bytes.size() - kHeaderSize);
  const float multiplier = load_f32le(bytes.data() + 36);
  if (c.options.has_quant_multiplier) {
    const float given = c.options.quant_multiplier;
    if (std::bit_cast<uint32_t>(multiplier) != std::bit_cast<uint32_t>(given)) {
      // Lowered because the given one saturates: to the largest that does
      // not, so it is kept as it is and the next float up is lowered to it.
      FUZZ_CHECK(multiplier >= 0.0f && multiplier < given);
      CodecOptions o = c.options;
      o.quant_multiplier = multiplier;
      auto kept = compress_samples(c.samples, o);
      FUZZ_CHECK(kept.ok() && *kept == bytes);
      o.quant_multiplier = std::nextafter(multiplier, given);
      auto lowered = compress_samples(c.samples, o);
      FUZZ_CHECK(lowered.ok() && load_f32le(lowered->data() + 36) == multiplier);
    }
  } else {
    // 2^scale, halved only as far as saturation demands.
    const float full = std::ldexp(1.0f, c.options.scale);
    int exponent = 0;
    FUZZ_CHECK(std::frexp(multiplier, &exponent) == 0.5f && multiplier <= full);
  }

  auto decoded = decompress_container(bytes);
  FUZZ_CHECK_MSG(decoded.ok(), "own container refused: %s", decoded.error().message().c_str());
  FUZZ_CHECK(decoded->size() == n);
  for (float v : *decoded) FUZZ_CHECK(std::isfinite(v));
  if (multiplier != 0.0f) check_error_bound(c, cleaned, range, *decoded, multiplier);
  return 0;
}
