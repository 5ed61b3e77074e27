// CDF 5/3 and 9/7 lifting: worked values, length checks, round trips, and the
// blocked, vectorised kernels against a plain scalar rendering of each step.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "tests/cpp/test_wavelet_allocations.hpp"
#include "tests/cpp/test_wavelet_support.hpp"
#include "wavelet/cdf53f.hpp"
#include "wavelet/cdf97f.hpp"
#include "wavelet/lifting_constants.hpp"

namespace vdx::wavelet {
namespace {

using testing::eight_digits;
using testing::message_of;

// ---------------------------------------------------------------------------
// Scalar reference: each step as one plain pass over its band, the boundary
// substitutions written as index rules. Constants from their decimal forms.

constexpr float kAlpha = -1.5861343f, kBeta = -0.052980117f, kGamma = 0.8829111f,
                kDelta = 0.44350687f, kK = 1.1496044f, kInvK = 0.86986446f;

struct Bands {
  std::vector<float> s, dt;
};

// b[i] with the mirrored neighbours of a band: b[−1] = b[0], b[len] = b[len − 1].
float mirrored(const std::vector<float>& b, long i) {
  const long len = static_cast<long>(b.size());
  if (i < 0) return b[0];
  if (i >= len) return b[len - 1];
  return b[i];
}

// t[i] = ((b[i−1] + b[i]) × c) + t[i]
void update_step(std::vector<float>& t, const std::vector<float>& b, float c) {
  for (long i = 0; i < static_cast<long>(t.size()); ++i) {
    t[i] = ((mirrored(b, i - 1) + mirrored(b, i)) * c) + t[i];
  }
}

// t[i] = ((b[i] + b[i+1]) × c) + t[i]
void predict_step(std::vector<float>& t, const std::vector<float>& b, float c) {
  for (long i = 0; i < static_cast<long>(t.size()); ++i) {
    t[i] = ((mirrored(b, i) + mirrored(b, i + 1)) * c) + t[i];
  }
}

Bands split_samples(const std::vector<float>& x) {
  Bands b;
  for (size_t k = 0; k < x.size(); ++k) (k % 2 == 0 ? b.s : b.dt).push_back(x[k]);
  return b;
}

std::vector<float> merge_samples(const std::vector<float>& e, const std::vector<float>& o) {
  std::vector<float> y;
  for (size_t i = 0; i < e.size(); ++i) {
    y.push_back(e[i]);
    if (i < o.size()) y.push_back(o[i]);
  }
  return y;
}

void scale_band(std::vector<float>& b, float k) {
  for (float& v : b) v = v * k;
}

// The first predict reads x[2i + 2], which for even n is x[n − 2]: the even
// band's mirrored neighbour, as predict_step renders it.
Bands reference_53_forward(const std::vector<float>& x) {
  Bands b = split_samples(x);
  predict_step(b.dt, b.s, -0.5f);
  update_step(b.s, b.dt, 0.25f);
  return b;
}

Bands reference_97_forward(const std::vector<float>& x) {
  Bands b = split_samples(x);
  predict_step(b.dt, b.s, kAlpha);
  update_step(b.s, b.dt, kBeta);
  predict_step(b.dt, b.s, kGamma);
  update_step(b.s, b.dt, kDelta);
  scale_band(b.s, kK);
  scale_band(b.dt, kInvK);
  return b;
}

std::vector<float> reference_53_inverse(std::vector<float> e, const std::vector<float>& dt) {
  update_step(e, dt, -0.25f);
  std::vector<float> o = dt;
  predict_step(o, e, 0.5f);
  return merge_samples(e, o);
}

std::vector<float> reference_97_inverse(std::vector<float> e, std::vector<float> o) {
  scale_band(e, kInvK);
  scale_band(o, kK);
  update_step(e, o, -kDelta);
  predict_step(o, e, -kGamma);
  update_step(e, o, -kBeta);
  predict_step(o, e, -kAlpha);
  return merge_samples(e, o);
}

// ---------------------------------------------------------------------------

Bands run_forward(const LiftingDwt& t, const std::vector<float>& x) {
  Bands b{std::vector<float>(x.size() - x.size() / 2), std::vector<float>(x.size() / 2)};
  auto status = t.forward(x, b.s, b.dt);
  EXPECT_TRUE(status.ok()) << status.error().message();
  return b;
}

std::vector<float> run_inverse(const LiftingDwt& t, const Bands& b) {
  std::vector<float> y(b.s.size() + b.dt.size(), 12345.0f);  // overwritten, not added to
  auto status = t.inverse(b.s, b.dt, y);
  EXPECT_TRUE(status.ok()) << status.error().message();
  return y;
}

const Cdf53Lifting cdf53;
const Cdf97Lifting cdf97;

TEST(LiftingConstants, DecimalValuesRoundToTheTabulatedBitPatterns) {
  // Two independent renderings of the same table must agree.
  EXPECT_EQ(std::bit_cast<uint32_t>(lifting::kCdf53Predict), std::bit_cast<uint32_t>(-0.5f));
  EXPECT_EQ(std::bit_cast<uint32_t>(lifting::kCdf53Update), std::bit_cast<uint32_t>(0.25f));
  EXPECT_EQ(std::bit_cast<uint32_t>(lifting::kCdf97Alpha), std::bit_cast<uint32_t>(kAlpha));
  EXPECT_EQ(std::bit_cast<uint32_t>(lifting::kCdf97Beta), std::bit_cast<uint32_t>(kBeta));
  EXPECT_EQ(std::bit_cast<uint32_t>(lifting::kCdf97Gamma), std::bit_cast<uint32_t>(kGamma));
  EXPECT_EQ(std::bit_cast<uint32_t>(lifting::kCdf97Delta), std::bit_cast<uint32_t>(kDelta));
  EXPECT_EQ(std::bit_cast<uint32_t>(lifting::kCdf97K), std::bit_cast<uint32_t>(kK));
  EXPECT_EQ(std::bit_cast<uint32_t>(lifting::kCdf97InvK), std::bit_cast<uint32_t>(kInvK));
  // The detail gain is not the float32 reciprocal of the rounded K.
  EXPECT_EQ(std::bit_cast<uint32_t>(1.0f / kK), 0x3F5EAF6Fu);
  EXPECT_EQ(std::bit_cast<uint32_t>(lifting::negated(kAlpha)), std::bit_cast<uint32_t>(-kAlpha));
}

TEST(Cdf53Lifting, WorkedExamples) {
  Bands b = run_forward(cdf53, {1, 2, 3, 4});
  EXPECT_EQ(b.s, (std::vector<float>{1, 3.25f}));
  EXPECT_EQ(b.dt, (std::vector<float>{0, 1}));  // 4 − (3 + 3)/2
  b = run_forward(cdf53, {1, 2, 3});
  EXPECT_EQ(b.s, (std::vector<float>{1, 3}));
  EXPECT_EQ(b.dt, (std::vector<float>{0}));
  b = run_forward(cdf53, std::vector<float>(6, 5.0f));
  EXPECT_EQ(b.s, (std::vector<float>{5, 5, 5}));
  EXPECT_EQ(b.dt, (std::vector<float>{0, 0, 0}));
}

TEST(Cdf97Lifting, WorkedExamples) {
  Bands b = run_forward(cdf97, {1, 1, 1, 1});
  EXPECT_EQ(eight_digits(b.s), (std::vector<std::string>{"1.4142135", "1.4142135"}));
  EXPECT_EQ(b.dt, (std::vector<float>{0, 0}));
  b = run_forward(cdf97, {1, 2, 3, 4, 5});
  EXPECT_EQ(eight_digits(b.s),
            (std::vector<std::string>{"1.8860525", "4.2426405", "6.5992293"}));
  EXPECT_EQ(eight_digits(b.dt), (std::vector<std::string>{"0.17677666", "-0.17677666"}));
}

TEST(LiftingSizes, ForwardSizesInverseSizeAndFilterLength) {
  using Sizes = std::pair<size_t, size_t>;
  EXPECT_EQ(cdf53.forward_sizes(0), Sizes(2, 1));
  EXPECT_EQ(cdf53.forward_sizes(1), Sizes(2, 1));
  EXPECT_EQ(cdf53.forward_sizes(7), Sizes(4, 3));
  EXPECT_EQ(cdf53.forward_sizes(100), Sizes(50, 50));
  EXPECT_EQ(cdf97.forward_sizes(2), Sizes(2, 2));
  EXPECT_EQ(cdf97.forward_sizes(3), Sizes(2, 2));
  EXPECT_EQ(cdf97.forward_sizes(9), Sizes(5, 4));
  EXPECT_EQ(cdf53.inverse_size(1, 1), 3u);
  EXPECT_EQ(cdf53.inverse_size(13, 12), 25u);
  EXPECT_EQ(cdf97.inverse_size(2, 1), 4u);
  EXPECT_EQ(cdf97.inverse_size(5, 4), 9u);
  EXPECT_EQ(cdf53.filter_length(), 6u);
  EXPECT_EQ(cdf97.filter_length(), 10u);
  EXPECT_EQ(cdf53.required_scratch_size(1000), 0u);
  EXPECT_EQ(cdf97.required_scratch_size(1000), 0u);
}

TEST(LiftingChecks, ForwardRejectsShortInputAndWrongBandsWithoutWriting) {
  std::vector<float> s(8, -7.0f), dt(8, -7.0f);
  const std::vector<float> x(6, 1.0f);
  auto span = [](std::vector<float>& v, size_t n) { return std::span<float>(v).first(n); };
  EXPECT_EQ(message_of(cdf53.forward(std::span(x).first(2), span(s, 1), span(dt, 1))),
            "Input size 2 can't be less than 3");
  EXPECT_EQ(message_of(cdf97.forward(std::span(x).first(3), span(s, 2), span(dt, 1))),
            "Input size 3 can't be less than 4");
  EXPECT_EQ(message_of(cdf53.forward(x, span(s, 4), span(dt, 3))),
            "Approximate size 4 does not match required size 3");
  EXPECT_EQ(message_of(cdf97.forward(x, span(s, 3), span(dt, 4))),
            "Details size 4 does not match required size 3");
  // The length check comes first even when the bands are wrong too.
  EXPECT_EQ(message_of(cdf97.forward(std::span(x).first(1), span(s, 5), span(dt, 5))),
            "Input size 1 can't be less than 4");
  EXPECT_EQ(s, std::vector<float>(8, -7.0f));
  EXPECT_EQ(dt, std::vector<float>(8, -7.0f));
  // forward_with_scratch ignores its scratch, however short.
  EXPECT_TRUE(cdf97.forward_with_scratch(x, span(s, 3), span(dt, 3), {}).ok());
}

TEST(LiftingChecks, InverseChecksOutputThenApproximationThenDetails) {
  const std::vector<float> two = {1, 2}, one = {3};
  std::vector<float> y3(3, -7.0f), y4(4, -7.0f);
  EXPECT_TRUE(cdf53.inverse(two, one, y3).ok());
  EXPECT_EQ(message_of(cdf97.inverse(two, one, y3)),
            "Details size 1 does not match required size 2");
  EXPECT_EQ(message_of(cdf53.inverse(two, one, y4)), "Output size should be 3, but it was 4");
  EXPECT_EQ(message_of(cdf97.inverse(two, one, y4)), "Output size should be 3, but it was 4");
  EXPECT_EQ(y4, std::vector<float>(4, -7.0f));
  const std::vector<float> three = {1, 2, 3};
  std::vector<float> y5(5);
  EXPECT_EQ(message_of(cdf53.inverse(three, std::span(three).first(2), y5)), "ok");
  EXPECT_EQ(message_of(cdf53.inverse(std::span(three).first(2), three, y5)),
            "Approximate size 2 does not match required size 3");
  // Output of 2: a must be the clamped 2, so the details fail next.
  std::vector<float> y2(2);
  EXPECT_EQ(message_of(cdf53.inverse(two, {}, y2)),
            "Details size 0 does not match required size 1");
  std::vector<float> y1(1);
  EXPECT_EQ(message_of(cdf97.inverse(std::span(two).first(1), {}, y1)),
            "Approximate size 1 does not match required size 2");
}

TEST(Cdf53Lifting, IntegerRoundTripIsExactForEveryLength) {
  for (size_t n = 3; n <= 400; ++n) {
    const std::vector<float> x = testing::random_integers(n, static_cast<uint32_t>(n));
    EXPECT_EQ(run_inverse(cdf53, run_forward(cdf53, x)), x) << "n = " << n;
  }
  const std::vector<float> x = testing::random_integers(20001, 7, (1 << 20) - 1);
  EXPECT_EQ(run_inverse(cdf53, run_forward(cdf53, x)), x);
}

TEST(Cdf97Lifting, RoundTripWithinAFewUnits) {
  // One float32 unit at the signal's magnitude (512 to 1000) is 2^-14; the
  // rounding of eight lifting and scaling passes stays within 16 of them.
  const double unit = std::ldexp(1.0, -14);
  double worst = 0;
  for (size_t n = 4; n <= 400; ++n) {
    const std::vector<float> x = testing::random_integers(n, static_cast<uint32_t>(n));
    const std::vector<float> y = run_inverse(cdf97, run_forward(cdf97, x));
    ASSERT_EQ(y.size(), n);
    for (size_t i = 0; i < n; ++i) worst = std::max(worst, std::fabs(double(y[i]) - x[i]));
  }
  EXPECT_LE(worst, 16 * unit);
  EXPECT_GT(worst, 0.0);  // 9/7 in float32 is not exact: the data did exercise rounding
}

TEST(LiftingKernels, MatchTheScalarStepsBitForBitOverManyLengths) {
  // Every length up to 300, then lengths around the sweep's block edges.
  std::vector<size_t> lengths;
  for (size_t n = 4; n <= 300; ++n) lengths.push_back(n);
  for (size_t edge : {4096u, 8192u, 12288u}) {
    for (size_t n = edge - 8; n <= edge + 8; ++n) lengths.push_back(n);
  }
  lengths.push_back(100003);
  for (size_t n : lengths) {
    SCOPED_TRACE("n = " + std::to_string(n));
    const uint32_t seed = static_cast<uint32_t>(n);
    // Finite data shows every boundary substitution; the specials show that
    // NaN and infinities travel as the scalar steps carry them.
    for (bool specials : {false, true}) {
      auto data = [&](size_t length, uint32_t salt) {
        return specials ? testing::random_with_specials(length, seed * salt)
                        : testing::random_floats(length, seed * salt);
      };
      const std::vector<float> x = data(n, 1);
      const Bands b53 = run_forward(cdf53, x), r53 = reference_53_forward(x);
      EXPECT_SAME_FLOATS(b53.s, r53.s);
      EXPECT_SAME_FLOATS(b53.dt, r53.dt);
      const Bands b97 = run_forward(cdf97, x), r97 = reference_97_forward(x);
      EXPECT_SAME_FLOATS(b97.s, r97.s);
      EXPECT_SAME_FLOATS(b97.dt, r97.dt);
      // The inverse of arbitrary bands, not only of forward's output.
      const Bands arbitrary{data(n - n / 2, 3), data(n / 2, 5)};
      EXPECT_SAME_FLOATS(run_inverse(cdf53, arbitrary),
                         reference_53_inverse(arbitrary.s, arbitrary.dt));
      EXPECT_SAME_FLOATS(run_inverse(cdf97, arbitrary),
                         reference_97_inverse(arbitrary.s, arbitrary.dt));
    }
  }
}

TEST(LiftingKernels, ThreeSampleFiveThreeMatchesTheReference) {
  const std::vector<float> x = {0.5f, -3.0f, 7.25f};
  const Bands b = run_forward(cdf53, x), r = reference_53_forward(x);
  EXPECT_SAME_FLOATS(b.s, r.s);
  EXPECT_SAME_FLOATS(b.dt, r.dt);
  EXPECT_SAME_FLOATS(run_inverse(cdf53, b), reference_53_inverse(b.s, b.dt));
}

TEST(LiftingKernels, NanAndInfinitySpreadOnlyToNeighbours) {
  std::vector<float> x = testing::random_floats(64, 3);
  x[31] = std::numeric_limits<float>::quiet_NaN();
  Bands b = run_forward(cdf97, x);
  EXPECT_TRUE(std::isnan(b.dt[15]));
  EXPECT_TRUE(std::isnan(b.s[15]) && std::isnan(b.s[16]));
  EXPECT_TRUE(std::isfinite(b.s[0]) && std::isfinite(b.s[31]) && std::isfinite(b.dt[31]));
  x[31] = std::numeric_limits<float>::infinity();
  b = run_forward(cdf53, x);
  EXPECT_TRUE(std::isinf(b.dt[15]) && std::isinf(b.s[15]) && std::isinf(b.s[16]));
  EXPECT_TRUE(std::isfinite(b.dt[14]) && std::isfinite(b.dt[16]));
}

TEST(LiftingAllocations, ForwardAllocatesNothingAndInverseExactlyTwoBuffers) {
  const std::vector<float> x = testing::random_floats(5001, 11);
  Bands b{std::vector<float>(2501), std::vector<float>(2500)};
  std::vector<float> y(5001);
  for (const LiftingDwt* t : {static_cast<const LiftingDwt*>(&cdf53),
                              static_cast<const LiftingDwt*>(&cdf97)}) {
    EXPECT_EQ(testing::allocations_during([&] { ASSERT_TRUE(t->forward(x, b.s, b.dt).ok()); }),
              0u);
    EXPECT_EQ(testing::allocations_during([&] { ASSERT_TRUE(t->inverse(b.s, b.dt, y).ok()); }),
              2u);
  }
}

TEST(LiftingAllocations, FiveThreeReportsTheOddBufferItCannotObtain) {
  const Bands b{testing::random_floats(1001, 1), testing::random_floats(1000, 2)};
  std::vector<float> y(2001, -7.0f);
  Status status;
  testing::with_failing_allocation(4000, [&] { status = cdf53.inverse(b.s, b.dt, y); });
  EXPECT_EQ(message_of(status), "Cannot allocate 4000 bytes to vector");
  EXPECT_EQ(y, std::vector<float>(2001, -7.0f));
}

}  // namespace
}  // namespace vdx::wavelet
