// The vector forms of the per-sample loops against their scalar references,
// bit for bit, on the values where they could part: non-finite samples,
// zeros of both signs, exact halves, the int16 edges and every tail length.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "src/normalizer.hpp"
#include "src/quantizer.hpp"

namespace vdx {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kMax = std::numeric_limits<float>::max();

bool same_bits(float a, float b) { return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b); }

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  // memcmp may not be given the null data() of an empty vector, even for 0 bytes.
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), 4 * a.size()) == 0);
}

// Random samples salted with the awkward values, at every position mod 8.
std::vector<float> awkward_samples(size_t n, uint32_t seed) {
  static const float kSpecial[] = {kNaN, -kNaN, kInf, -kInf, 0.0f, -0.0f, kMax, -kMax,
                                   std::numeric_limits<float>::denorm_min(), 1.5f, -2.5f,
                                   0.49999997f, 32767.5f, -32768.5f, 32766.5f, -32767.5f};
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> uniform(-40000.0f, 40000.0f);
  std::vector<float> x(n);
  for (size_t i = 0; i < n; ++i) {
    const uint32_t pick = rng() % 4;
    x[i] = pick == 0 ? kSpecial[rng() % std::size(kSpecial)]
         : pick == 1 ? std::round(uniform(rng)) + 0.5f * float(rng() % 3)  // halves
                     : uniform(rng);
  }
  return x;
}

TEST(SampleKernels, CleaningAndRangeMatchTheScalarLoops) {
  for (size_t n = 0; n < 70; ++n) {
    for (uint32_t seed = 0; seed < 20; ++seed) {
      const std::vector<float> in = awkward_samples(n, seed);
      std::vector<float> fast(n), slow(n);
      const SignalRange a = copy_cleaned(in, fast);
      const SignalRange b = copy_cleaned_scalar(in, slow);
      ASSERT_TRUE(same_bits(fast, slow)) << n << " " << seed;
      ASSERT_TRUE(same_bits(a.min_value, b.min_value)) << n << " " << seed;
      ASSERT_TRUE(same_bits(a.max_value, b.max_value)) << n << " " << seed;
    }
  }
}

TEST(SampleKernels, ZeroExtremeKeepsTheSignOfTheFirstZero) {
  // Lanes see the zeros in another order than a single scan; the result
  // must still be the first one's sign, wherever in a block of 8 it sits.
  for (size_t first = 0; first < 20; ++first) {
    for (float zero : {0.0f, -0.0f}) {
      std::vector<float> in(20, 3.0f), out(20), ref(20);
      for (size_t i = first; i < in.size(); i += 3) in[i] = -zero;
      in[first] = zero;
      const SignalRange a = copy_cleaned(in, out);
      const SignalRange b = copy_cleaned_scalar(in, ref);
      EXPECT_TRUE(same_bits(a.min_value, b.min_value));
      EXPECT_EQ(std::signbit(a.min_value), std::signbit(zero));
      for (float& v : in) v = -v;  // now the zeros are the maximum
      const SignalRange c = copy_cleaned(in, out);
      const SignalRange d = copy_cleaned_scalar(in, ref);
      EXPECT_TRUE(same_bits(c.max_value, d.max_value));
    }
  }
}

TEST(SampleKernels, QuantisationMatchesTheScalarLoops) {
  const float multipliers[] = {2048.0f, 64.0f, 1.0f, 0.0f, -4096.0f, 1e30f, kInf};
  for (size_t n = 0; n < 45; ++n) {
    for (uint32_t seed = 0; seed < 6; ++seed) {
      std::vector<float> band = awkward_samples(n, 100 + seed);
      for (float& v : band) v = std::isfinite(v) ? v / 2048.0f : v;
      for (float m : multipliers) {
        std::vector<int16_t> fast(n + 1, 7), slow(n + 1, 7);
        quantize_band(band, m, fast);
        quantize_band_scalar(band, m, slow);
        ASSERT_EQ(fast, slow) << n << " " << m;
        for (uint16_t threshold : {0, 1, 3, 21, 32767, 65535}) {
          quantize_detail_band(band, m, threshold, fast);
          quantize_detail_band_scalar(band, m, threshold, slow);
          ASSERT_EQ(fast, slow) << n << " " << m << " " << threshold;
          EXPECT_EQ(fast[n], 7);  // nothing written past the band
        }
      }
    }
  }
}

TEST(SampleKernels, QuantisationEdges) {
  const std::vector<float> products = {2.5f, -2.5f, 0.5f, -0.5f, 0.49999997f, 32766.5f,
                                       32767.0f, 32767.5f, 40000.0f, -32767.5f, -32768.0f,
                                       -40000.0f, kNaN, kInf, -kInf, -0.0f};
  const std::vector<int16_t> expected = {3, -3, 1, -1, 0, 32767, 32767, 32767, 32767,
                                         -32768, -32768, -32768, 32767, 32767, -32768, 0};
  std::vector<int16_t> q(products.size());
  quantize_band(products, 1.0f, q);
  EXPECT_EQ(q, expected);
  // -32768 has magnitude 32768 and survives every threshold up to it.
  quantize_detail_band(products, 1.0f, 32768, q);
  EXPECT_EQ(q[10], -32768);
  EXPECT_EQ(q[0], 0);
}

TEST(SampleKernels, ExtremesMatchTheScalarScan) {
  for (size_t n = 0; n < 40; ++n) {
    const std::vector<float> band = awkward_samples(n, 300 + uint32_t(n));
    for (float start : {0.0f, -1.0f}) {
      float lo = start, hi = -start, lo_ref = start, hi_ref = -start;
      widen_extremes(band, lo, hi);
      widen_extremes_scalar(band, lo_ref, hi_ref);
      // Equal as numbers: only a zero's sign may differ, NaN never wins.
      EXPECT_EQ(lo, lo_ref) << n;
      EXPECT_EQ(hi, hi_ref) << n;
    }
  }
}

}  // namespace
}  // namespace vdx
