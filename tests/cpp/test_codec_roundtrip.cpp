// The codec end to end: every wavelet, coder, scale and cutoff on several
// signal shapes, with the error bounded relative to the signal's range.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "src/compressor.hpp"
#include "src/decompressor.hpp"
#include "tests/cpp/signals.hpp"

namespace vdx {
namespace {

using testing::Shape;

constexpr WaveletMethod kMethods[] = {WaveletMethod::Cdf53, WaveletMethod::Cdf97,
                                      WaveletMethod::Db4, WaveletMethod::Sym4};
constexpr EntropyCoder kCoders[] = {EntropyCoder::Deflate, EntropyCoder::Arans,
                                    EntropyCoder::Cmodel};
constexpr CutoffLevel kCutoffs[] = {CutoffLevel::Low, CutoffLevel::Medium, CutoffLevel::High};

std::vector<float> round_trip(const std::vector<float>& x, const CodecOptions& o) {
  auto container = compress_samples(x, o);
  EXPECT_TRUE(container.ok()) << container.error().message();
  if (!container.ok()) return {};
  auto decoded = decompress_container(*container);
  EXPECT_TRUE(decoded.ok()) << decoded.error().message();
  if (!decoded.ok()) return {};
  EXPECT_EQ(decoded->size(), x.size());
  return std::move(decoded).value();
}

double relative_max_error(const std::vector<float>& x, const std::vector<float>& y) {
  if (y.size() != x.size()) return INFINITY;
  const auto [lo, hi] = std::minmax_element(x.begin(), x.end());
  double worst = 0.0;
  for (size_t i = 0; i < x.size(); ++i) worst = std::max(worst, std::fabs(double(x[i]) - y[i]));
  return worst / (double(*hi) - double(*lo));
}

// Quantisation to 2^-scale of the range, spread by up to eight levels of
// inverse transform, plus what the cutoff zeroes.
double error_bound(uint8_t scale, CutoffLevel cutoff) {
  const double threshold = std::array<double, 3>{1, 3, 7}[static_cast<size_t>(cutoff)] *
                           std::array<double, 7>{0, 0, 1, 1, 2, 2, 3}[scale - 6];
  return (3.0 + 1.5 * threshold) * std::ldexp(1.0, -scale);
}

TEST(CodecRoundTrip, EveryWaveletCoderScaleAndCutoff) {
  for (Shape shape : {Shape::Tones, Shape::Walk, Shape::Steps, Shape::Noise, Shape::Chirp}) {
    const auto x = testing::make_signal(shape, 1500);
    for (WaveletMethod m : kMethods) {
      for (EntropyCoder c : kCoders) {
        for (uint8_t scale = 6; scale <= 12; ++scale) {
          for (CutoffLevel cut : kCutoffs) {
            CodecOptions o;
            o.method = m, o.coder = c, o.scale = scale, o.cutoff = cut;
            const double err = relative_max_error(x, round_trip(x, o));
            EXPECT_LE(err, error_bound(scale, cut))
                << testing::shape_name(shape) << " method " << int(m) << " coder " << int(c)
                << " scale " << int(scale) << " cutoff " << int(cut);
          }
        }
      }
    }
  }
}

TEST(CodecRoundTrip, ShortSignalsOfEveryLength) {
  for (WaveletMethod m : kMethods) {
    for (EntropyCoder c : kCoders) {
      for (size_t n = 1; n <= 20; ++n) {
        auto x = testing::make_signal(Shape::Noise, n, static_cast<uint32_t>(n));
        CodecOptions o;
        o.method = m, o.coder = c;
        auto y = round_trip(x, o);
        ASSERT_EQ(y.size(), n);
        if (n == 1) {
          EXPECT_EQ(y[0], x[0]);
          continue;
        }
        EXPECT_LE(relative_max_error(x, y), error_bound(11, CutoffLevel::Low))
            << "method " << int(m) << " coder " << int(c) << " n " << n;
      }
    }
  }
}

TEST(CodecRoundTrip, ConstantSignalsDecodeExactly) {
  for (WaveletMethod m : kMethods) {
    for (float c : {3.5f, -0.0f, 1e30f, -7.25e-30f}) {
      std::vector<float> x(1000, c);
      CodecOptions o;
      o.method = m;
      auto y = round_trip(x, o);
      for (float v : y) ASSERT_EQ(v, c);
    }
  }
}

TEST(CodecRoundTrip, SmallUnitsAreNotFlattened) {
  // Strain or volts in SI units: the range alone says nothing about noise.
  // Each signal used to decode as a constant, an error of its whole range.
  std::vector<std::vector<float>> signals;
  for (float amplitude : {4e-6f, 5e-31f}) {
    auto x = testing::make_signal(Shape::Chirp, 2000);
    for (float& v : x) v *= amplitude / 100.0f;
    signals.push_back(x);
  }
  // A subnormal range (about 4.2e-39) whose inverse is still finite.
  std::vector<float> subnormal(2000);
  for (size_t i = 0; i < subnormal.size(); ++i) {
    subnormal[i] = std::round(1.5e6f + 1.5e6f * std::sin(static_cast<float>(i) * 0.02f)) *
                   std::numeric_limits<float>::denorm_min();
  }
  signals.push_back(subnormal);
  for (const auto& x : signals) {
    for (WaveletMethod m : kMethods) {
      CodecOptions o;
      o.method = m;
      EXPECT_LE(relative_max_error(x, round_trip(x, o)), error_bound(11, CutoffLevel::Low))
          << x[1] << " method " << int(m);
    }
  }
  // Only a range whose inverse overflows is still flat: its minimum everywhere.
  const std::vector<float> flat = {1e-40f, 2e-40f, 3e-40f, 1e-40f};
  for (float v : round_trip(flat, {})) EXPECT_EQ(v, 1e-40f);
}

TEST(CodecRoundTrip, NonFiniteSamplesAreCleaned) {
  auto x = testing::make_signal(Shape::Tones, 300);
  x[3] = std::numeric_limits<float>::quiet_NaN();
  x[10] = std::numeric_limits<float>::infinity();
  x[20] = -std::numeric_limits<float>::infinity();
  auto cleaned = x;
  cleaned[3] = 0.0f, cleaned[10] = 1.0f, cleaned[20] = 0.0f;
  for (WaveletMethod m : kMethods) {
    CodecOptions o;
    o.method = m;
    EXPECT_LE(relative_max_error(cleaned, round_trip(x, o)), error_bound(11, CutoffLevel::Low));
  }
}

TEST(CodecRoundTrip, HighScalesDoNotSaturate) {
  // The deepest approximation outgrows int16 at scale 12 unless the default
  // multiplier is lowered.
  for (Shape shape : {Shape::Walk, Shape::Steps}) {
    const auto x = testing::make_signal(shape, 100000);
    for (WaveletMethod m : kMethods) {
      CodecOptions o;
      o.method = m, o.scale = 12;
      EXPECT_LE(relative_max_error(x, round_trip(x, o)), error_bound(11, CutoffLevel::Low))
          << testing::shape_name(shape) << " method " << int(m);
    }
  }
}

TEST(CodecRoundTrip, RangesNearTheFloatLimitStayFinite) {
  std::vector<float> x = testing::make_signal(Shape::Noise, 500);
  for (float& v : x) v = std::clamp(v, -1.0f, 1.0f) * 1.6e38f;
  x[0] = -1.6e38f, x[1] = 1.6e38f;
  for (WaveletMethod m : kMethods) {
    CodecOptions o;
    o.method = m;
    for (float v : round_trip(x, o)) ASSERT_TRUE(std::isfinite(v));
  }
}

}  // namespace
}  // namespace vdx
