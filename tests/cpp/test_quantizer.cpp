// Normalisation, quantisation, cutoff and level choice: the float32 steps of
// the pipelines that decide every decoded bit.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "src/compressor.hpp"
#include "src/normalizer.hpp"
#include "src/quantizer.hpp"

namespace vdx {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(Normalizer, WorkedExample) {
  std::vector<float> in = {2.0f, 5.0f, 3.5f, 8.0f};
  std::vector<float> x(4);
  SignalRange r = copy_cleaned(in, x);
  EXPECT_EQ(r.min_value, 2.0f);
  EXPECT_EQ(r.max_value, 8.0f);
  EXPECT_EQ(std::bit_cast<uint32_t>(1.0f / (r.max_value - r.min_value)), 0x3E2AAAABu);
  float mean = normalize(x, r);
  EXPECT_EQ(mean, 0.4375f);
  EXPECT_EQ(x, (std::vector<float>{-0.4375f, 0.0625f, -0.1875f, 0.5625f}));
  denormalize(x, 2.0f, 8.0f, 0.4375f);
  EXPECT_EQ(x, in);
}

TEST(Normalizer, CleansNonFiniteSamples) {
  std::vector<float> in = {kNaN, kInf, -kInf, -0.0f, std::numeric_limits<float>::denorm_min()};
  std::vector<float> x(in.size());
  SignalRange r = copy_cleaned(in, x);
  EXPECT_EQ(x[0], 0.0f);
  EXPECT_EQ(x[1], 1.0f);
  EXPECT_EQ(x[2], 0.0f);
  EXPECT_TRUE(std::signbit(x[3]));
  EXPECT_EQ(x[4], std::numeric_limits<float>::denorm_min());
  EXPECT_EQ(r.min_value, 0.0f);
  EXPECT_EQ(r.max_value, 1.0f);
}

TEST(Normalizer, FirstOfEqualExtremesWins) {
  std::vector<float> x(3);
  SignalRange r = copy_cleaned(std::vector<float>{-0.0f, 0.0f, 1.0f}, x);
  EXPECT_TRUE(std::signbit(r.min_value));
  r = copy_cleaned(std::vector<float>{0.0f, -0.0f, 1.0f}, x);
  EXPECT_FALSE(std::signbit(r.min_value));
  r = copy_cleaned(std::vector<float>{-1.0f, -0.0f, 0.0f}, x);
  EXPECT_TRUE(std::signbit(r.max_value));
}

TEST(Normalizer, OnlyConstantOrUninvertibleRangesAreFlat) {
  // The smallest range whose float32 inverse is finite, found by its bits.
  uint32_t bits = 1;
  while (std::isinf(1.0f / std::bit_cast<float>(bits))) ++bits;
  const float smallest = std::bit_cast<float>(bits);
  EXPECT_GT(smallest, 2.9e-39f);
  EXPECT_LT(smallest, std::numeric_limits<float>::min());  // a subnormal
  EXPECT_FALSE(is_flat_range(smallest));
  EXPECT_TRUE(is_flat_range(std::bit_cast<float>(bits - 1)));
  EXPECT_TRUE(is_flat_range(0.0f));
  EXPECT_TRUE(is_flat_range(-0.0f));
  // Ranges of 1e-5 and below used to be flat too, whatever the units.
  for (float width : {std::bit_cast<float>(0x3727C5ACu), 4e-6f, 1e-30f, smallest}) {
    std::vector<float> x = {0.0f, width};
    EXPECT_EQ(normalize(x, {0.0f, width}), 0.5f) << width;
    EXPECT_EQ(x, (std::vector<float>{-0.5f, 0.5f})) << width;
  }
  std::vector<float> x = {1e-40f, 2e-40f};
  EXPECT_EQ(normalize(x, {1e-40f, 2e-40f}), 0.0f);
  EXPECT_EQ(x, (std::vector<float>{0.0f, 0.0f}));
}

TEST(Normalizer, MeanIsASequentialFloatSum) {
  // 2^24 + many small values: a pairwise or lane-wise sum would differ.
  std::vector<float> x(1 << 12, 0.0f);
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>((i * 37) % 101) / 100.0f;
  x[0] = 1.0f;
  x[1] = 0.0f;
  std::vector<float> ref = x;
  float mean = normalize(x, {0.0f, 1.0f});
  float sum = 0.0f;
  for (float v : ref) sum += (v - 0.0f) * (1.0f / 1.0f);
  EXPECT_EQ(mean, sum / static_cast<float>(ref.size()));
}

TEST(Normalizer, DenormalizeNearTheFloatLimit) {
  // (1.1 * 3.2e38) overflows float32 although the sample, 1.92e38, does not.
  std::vector<float> y = {0.6f, -0.6f, 0.0f};
  denormalize(y, -1.6e38f, 1.6e38f, 0.5f);
  EXPECT_NEAR(y[0], 1.92e38f, 1e32f);
  EXPECT_NEAR(y[1], -1.92e38f, 1e32f);
  EXPECT_EQ(y[2], 0.0f);
  // Min -3.4e38 and a small max: a sample just above the maximum used to
  // come back as FLT_MAX instead of about 3.4e35.
  std::vector<float> z = {0.001f};
  denormalize(z, -3.4e38f, 2.7e10f, 1.0f);
  EXPECT_NEAR(z[0], 3.4e35f, 1e33f);
  // What really exceeds the float32 range is clamped, never infinite.
  std::vector<float> w = {0.9f};
  denormalize(w, -3.0e38f, 3.0e38f, 0.5f);
  EXPECT_EQ(w[0], std::numeric_limits<float>::max());
}

TEST(Quantizer, RoundsHalvesAwayAndSaturates) {
  EXPECT_EQ(quantize_value(2.5f), 3);
  EXPECT_EQ(quantize_value(-2.5f), -3);
  EXPECT_EQ(quantize_value(2.4999998f), 2);
  EXPECT_EQ(quantize_value(0.49999997f), 0);
  EXPECT_EQ(quantize_value(-0.49999997f), 0);
  EXPECT_EQ(quantize_value(-0.5f), -1);
  EXPECT_EQ(quantize_value(32766.5f), 32767);
  EXPECT_EQ(quantize_value(40000.0f), 32767);
  EXPECT_EQ(quantize_value(-40000.0f), -32768);
  EXPECT_EQ(quantize_value(-32768.5f), -32768);
  EXPECT_EQ(quantize_value(kNaN), 32767);
  EXPECT_EQ(quantize_value(kInf), 32767);
  EXPECT_EQ(quantize_value(-kInf), -32768);
  // Agrees with std::round everywhere inside the range.
  for (float v = -300.0f; v < 300.0f; v += 0.0625f) {
    EXPECT_EQ(quantize_value(v), static_cast<int16_t>(std::round(v))) << v;
  }
}

TEST(Quantizer, CutoffTable) {
  const uint16_t expected[7][3] = {{0, 0, 0}, {0, 0, 0}, {1, 3, 7}, {1, 3, 7},
                                   {2, 6, 14}, {2, 6, 14}, {3, 9, 21}};
  for (uint8_t scale = 6; scale <= 12; ++scale) {
    for (int c = 0; c < 3; ++c) {
      EXPECT_EQ(cutoff_threshold(scale, static_cast<CutoffLevel>(c)), expected[scale - 6][c]);
    }
  }
  std::vector<int16_t> band = {-21, -20, 0, 20, 21, -32768, 32767};
  apply_cutoff(band, 21);
  EXPECT_EQ(band, (std::vector<int16_t>{-21, 0, 0, 0, 21, -32768, 32767}));
}

TEST(Quantizer, FitMultiplierHalvesOnlyWhenSomethingSaturates) {
  EXPECT_EQ(fit_multiplier(4096.0f, -1.0f, 7.99f), 4096.0f);
  // -32768 fits, +32768 does not.
  EXPECT_EQ(fit_multiplier(4096.0f, -8.0f, 0.0f), 4096.0f);
  EXPECT_EQ(fit_multiplier(4096.0f, 0.0f, 8.0f), 2048.0f);
  EXPECT_EQ(fit_multiplier(4096.0f, 0.0f, 32767.4f / 4096.0f), 4096.0f);
  EXPECT_EQ(fit_multiplier(4096.0f, -40.0f, 1.0f), 512.0f);
}

TEST(Quantizer, CapMultiplierFindsTheLargestThatSaturatesNothing) {
  // Nothing saturates: the multiplier comes back bit for bit.
  for (float m : {4096.0f, 4095.9998f, 0.0f, -0.0f, 1e-45f}) {
    EXPECT_EQ(std::bit_cast<uint32_t>(cap_multiplier(m, -1.0f, 7.99f)),
              std::bit_cast<uint32_t>(m));
  }
  // Either extreme can be the one that limits it; -32768 still fits.
  const std::pair<float, float> extremes[] = {{0.0f, 8.0f}, {-8.0f, 0.0f}, {-3.3f, 0.7f},
                                              {-1e-3f, 1e-3f}, {0.0f, 3e37f}};
  for (auto [lo, hi] : extremes) {
    for (float m : {1e6f, 4097.0f, 3e38f}) {
      if (!saturates(m, lo, hi)) continue;
      const float capped = cap_multiplier(m, lo, hi);
      EXPECT_LT(capped, m);
      EXPECT_FALSE(saturates(capped, lo, hi)) << lo << " " << hi << " " << m;
      EXPECT_TRUE(saturates(std::nextafter(capped, kInf), lo, hi)) << lo << " " << hi << " " << m;
    }
  }
  EXPECT_EQ(cap_multiplier(1e6f, -8.0f, 0.0f), std::nextafter(32768.5f / 8.0f, 0.0f));
  EXPECT_EQ(cap_multiplier(1e6f, 0.0f, 8.0f), std::nextafter(32767.5f / 8.0f, 0.0f));
}

TEST(Quantizer, DequantizeUsesOneInverseOrDividesWhenItOverflows) {
  std::vector<int16_t> q = {3, -7, 32767};
  std::vector<float> out(3);
  dequantize_band(q, 2048.0f, out);
  EXPECT_EQ(out[1], -7.0f * (1.0f / 2048.0f));
  const float tiny = std::numeric_limits<float>::denorm_min();
  dequantize_band(q, tiny, out);
  EXPECT_FALSE(std::isnan(out[0]));
  EXPECT_EQ(out[0], 3.0f / tiny);
}

TEST(LevelChoice, Boundaries) {
  for (size_t filter : {6u, 8u, 10u}) {
    EXPECT_EQ(choose_levels(1, filter), 1);
    EXPECT_EQ(choose_levels(19, filter), 1);
    EXPECT_EQ(choose_levels(20, filter), 2);
    EXPECT_EQ(choose_levels(59, filter), 3);
    EXPECT_EQ(choose_levels(79, filter), 4);
  }
  EXPECT_EQ(choose_levels(80, 10), 3);
  EXPECT_EQ(choose_levels(1000, 10), 6);
  EXPECT_EQ(choose_levels(80, 6), 3);
  EXPECT_EQ(choose_levels(96, 6), 4);
  EXPECT_EQ(choose_levels(2147483647u, 6), 8);
}

}  // namespace
}  // namespace vdx
