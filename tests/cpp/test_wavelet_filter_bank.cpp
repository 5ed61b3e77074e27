// The 8-tap filter bank (db4, sym4): filter tables, both summation orders
// against a direct rendering of the sums, borders, synthesis, length checks.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "tests/cpp/test_wavelet_allocations.hpp"
#include "tests/cpp/test_wavelet_support.hpp"
#include "wavelet/util.hpp"
#include "wavelet/wavelet8taps.hpp"

namespace vdx::wavelet {
namespace {

using testing::message_of;
using Impl = FilterBankImplementation;

const Impl kImplementations[] = {Impl::Portable, Impl::Sse42};

const char* name_of(Impl impl) { return impl == Impl::Portable ? "portable" : "sse4.2"; }

// Skips the test body for an implementation this processor cannot run.
#define SKIP_IF_UNAVAILABLE(impl)                                                   \
  if (!implementation_available(impl)) {                                           \
    std::printf("  (%s not available on this processor)\n", name_of(impl));       \
    continue;                                                                      \
  }

// ---------------------------------------------------------------------------
// Reference: the sums written out directly, periodic indices by remainder.

struct Filters {
  float h[8], g[8];
};

Filters reference_filters(const std::array<double, 8>& c) {
  Filters f;
  for (int k = 0; k < 8; ++k) f.h[k] = static_cast<float>(c[k]);
  for (int k = 0; k < 8; ++k) f.g[k] = (k % 2 ? -1.0f : 1.0f) * f.h[7 - k];
  return f;
}

using Extension = std::function<float(const std::vector<float>&, long)>;

float periodic(const std::vector<float>& x, long j) {
  const long n = static_cast<long>(x.size());
  return x[((j % n) + n) % n];
}

float zero_extended(const std::vector<float>& x, long j) {
  return j < 0 || j >= static_cast<long>(x.size()) ? 0.0f : x[j];
}

float portable_sum(const float* t, const float* w) {
  float sum = 0.0f;
  for (int k = 0; k < 8; ++k) sum = sum + t[k] * w[k];
  return sum;
}

float paired_sum(const float* t, const float* w) {
  float p[4];
  for (int j = 0; j < 4; ++j) p[j] = t[j] * w[j] + t[j + 4] * w[j + 4];
  return (p[0] + p[1]) + (p[2] + p[3]);
}

struct Bands {
  std::vector<float> a, d;
};

Bands reference_forward(const Filters& f, const std::vector<float>& x, Impl impl,
                        const Extension& extend = periodic) {
  const size_t outputs = (x.size() + 7) / 2;
  Bands b{std::vector<float>(outputs), std::vector<float>(outputs)};
  for (size_t i = 0; i < outputs; ++i) {
    float w[8];
    for (int k = 0; k < 8; ++k) w[k] = extend(x, static_cast<long>(2 * i) - 6 + k);
    auto sum = impl == Impl::Portable ? portable_sum : paired_sum;
    b.a[i] = sum(f.h, w);
    b.d[i] = sum(f.g, w);
  }
  return b;
}

// The synthesis as a scatter: coefficient b adds into output 2b − 6 + k.
void reference_inverse(const Filters& f, const Bands& b, std::vector<float>& out, Impl impl) {
  const long m = static_cast<long>(out.size());
  for (size_t i = 0; i < b.a.size(); ++i) {
    for (int k = 0; k < 8; ++k) {
      const long p = 2 * static_cast<long>(i) - 6 + k;
      if (p < 0 || p >= m) continue;
      const float detail = f.g[k] * b.d[i], approximation = f.h[k] * b.a[i];
      out[p] = impl == Impl::Portable ? (out[p] + detail) + approximation
                                      : (out[p] + approximation) + detail;
    }
  }
}

// ---------------------------------------------------------------------------

Bands run_forward(const EightTapFilterBank& bank, const std::vector<float>& x) {
  const size_t outputs = (x.size() + 7) / 2;
  Bands b{std::vector<float>(outputs, -7.0f), std::vector<float>(outputs, -7.0f)};
  auto status = bank.forward(x, b.a, b.d);
  EXPECT_TRUE(status.ok()) << status.error().message();
  return b;
}

std::vector<float> run_inverse(const EightTapFilterBank& bank, const Bands& b,
                               std::vector<float> out) {
  auto status = bank.inverse(b.a, b.d, out);
  EXPECT_TRUE(status.ok()) << status.error().message();
  return out;
}

std::vector<uint32_t> bits_of(std::span<const float> v) {
  std::vector<uint32_t> out;
  for (float f : v) out.push_back(std::bit_cast<uint32_t>(f));
  return out;
}

TEST(FilterTables, RoundToTheTabulatedFloat32Patterns) {
  const EightTapFilterBank db4(BorderMode::Wrap, kDb4Coefficients, Impl::Portable);
  const EightTapFilterBank sym4(BorderMode::Wrap, kSym4Coefficients, Impl::Portable);
  EXPECT_EQ(bits_of(db4.filters().h),
            (std::vector<uint32_t>{0x3E6BE829, 0x3F37002F, 0x3F218167, 0xBCE53E38, 0xBE3F860E,
                                   0x3CFCA711, 0x3D06B056, 0xBC2DA0BA}));
  EXPECT_EQ(bits_of(sym4.filters().h),
            (std::vector<uint32_t>{0x3D03FC5F, 0xBC4E80DF, 0xBDCB339E, 0x3E9880D1, 0x3F4DC1D3,
                                   0x3EFEC7E0, 0xBCF2C635, 0xBD9B2B0E}));
  for (const auto* bank : {&db4, &sym4}) {
    const auto& f = bank->filters();
    const std::vector<float> g = {f.h[7], -f.h[6], f.h[5], -f.h[4],
                                  f.h[3], -f.h[2], f.h[1], -f.h[0]};
    EXPECT_EQ(bits_of(f.g), bits_of(g));
  }
  for (const auto& c : {kDb4Coefficients, kSym4Coefficients}) {
    double sum = 0, energy = 0;
    for (double v : c) sum += v, energy += v * v;
    EXPECT_NEAR(sum, std::sqrt(2.0), 1e-12);
    EXPECT_NEAR(energy, 1.0, 1e-12);
  }
}

TEST(EightTapFilterBank, ImpulseGivesTheFilterValuesInBothImplementations) {
  const std::vector<float> impulse = {1, 0, 0, 0, 0, 0, 0, 0};
  for (Impl impl : kImplementations) {
    SKIP_IF_UNAVAILABLE(impl);
    for (const auto& c : {kDb4Coefficients, kSym4Coefficients}) {
      const EightTapFilterBank bank(BorderMode::Wrap, c, impl);
      ASSERT_EQ(bank.implementation(), impl);
      const auto& h = bank.filters().h;
      const Bands b = run_forward(bank, impulse);
      EXPECT_EQ(bits_of(b.a), bits_of(std::vector<float>{h[6], h[4], h[2], h[0], h[6], h[4], h[2]}))
          << name_of(impl);
      EXPECT_EQ(bits_of(b.d), bits_of(std::vector<float>{h[1], h[3], h[5], h[7], h[1], h[3], h[5]}))
          << name_of(impl);
    }
  }
}

TEST(EightTapFilterBank, ConstantSignalHasZeroDetailsAndScaledApproximation) {
  for (Impl impl : kImplementations) {
    SKIP_IF_UNAVAILABLE(impl);
    const EightTapFilterBank bank(BorderMode::Wrap, kSym4Coefficients, impl);
    const Bands b = run_forward(bank, std::vector<float>(37, 3.0f));
    for (size_t i = 0; i < b.a.size(); ++i) {
      EXPECT_NEAR(b.a[i], 3.0 * std::sqrt(2.0), 4e-6);
      EXPECT_NEAR(b.d[i], 0.0, 4e-6);
    }
  }
}

TEST(EightTapFilterBank, MatchesTheDirectSumsBitForBit) {
  std::vector<size_t> lengths;
  for (size_t n = 8; n <= 300; ++n) lengths.push_back(n);
  lengths.insert(lengths.end(), {4095, 4096, 65537});
  for (Impl impl : kImplementations) {
    SKIP_IF_UNAVAILABLE(impl);
    for (const auto& c : {kDb4Coefficients, kSym4Coefficients}) {
      const EightTapFilterBank bank(BorderMode::Wrap, c, impl);
      const Filters f = reference_filters(c);
      for (size_t n : lengths) {
        SCOPED_TRACE(std::string(name_of(impl)) + ", n = " + std::to_string(n));
        const uint32_t seed = static_cast<uint32_t>(n * 7 + 1);
        for (bool specials : {false, true}) {
          auto data = [&](size_t length, uint32_t salt) {
            return specials ? testing::random_with_specials(length, seed + salt)
                            : testing::random_floats(length, seed + salt);
          };
          const std::vector<float> x = data(n, 0);
          const Bands b = run_forward(bank, x), r = reference_forward(f, x, impl);
          EXPECT_SAME_FLOATS(b.a, r.a);
          EXPECT_SAME_FLOATS(b.d, r.d);
          // Synthesis of arbitrary bands into a non-zero output.
          const size_t a = (n + 7) / 2;
          const Bands arbitrary{data(a, 1), data(a, 2)};
          std::vector<float> start = testing::random_floats(2 * a - 6, seed + 3);
          std::vector<float> expected = start;
          reference_inverse(f, arbitrary, expected, impl);
          EXPECT_SAME_FLOATS(run_inverse(bank, arbitrary, start), expected);
        }
      }
    }
  }
}

TEST(EightTapFilterBank, TheTwoSummationOrdersAreDistinguishable) {
  // Otherwise the bit-for-bit comparison above could not tell them apart.
  const Filters f = reference_filters(kDb4Coefficients);
  const std::vector<float> x = testing::random_floats(1000, 5);
  const Bands portable = reference_forward(f, x, Impl::Portable);
  const Bands paired = reference_forward(f, x, Impl::Sse42);
  EXPECT_NE(testing::first_difference(portable.a, paired.a), -1);
  std::vector<float> p(portable.a.size() * 2 - 6), q = p;
  reference_inverse(f, portable, p, Impl::Portable);
  reference_inverse(f, portable, q, Impl::Sse42);
  EXPECT_NE(testing::first_difference(p, q), -1);
}

TEST(EightTapFilterBank, OtherBorderModesExtendAsNamed) {
  const std::vector<float> x = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  auto at = [&](long j, BorderMode mode) { return extended_sample(x.data(), 10, j, mode); };
  EXPECT_EQ(at(-1, BorderMode::Wrap), 9);
  EXPECT_EQ(at(15, BorderMode::Wrap), 5);
  EXPECT_EQ(at(-6, BorderMode::Clamp), 0);
  EXPECT_EQ(at(12, BorderMode::Clamp), 9);
  EXPECT_EQ(at(-1, BorderMode::Reflect), 0);
  EXPECT_EQ(at(-6, BorderMode::Reflect), 5);
  EXPECT_EQ(at(11, BorderMode::Reflect), 8);
  EXPECT_EQ(at(-1, BorderMode::Reflect101), 1);
  EXPECT_EQ(at(10, BorderMode::Reflect101), 8);
  EXPECT_EQ(at(-3, BorderMode::Zeros), 0);
  EXPECT_EQ(at(4, BorderMode::Zeros), 4);
  for (Impl impl : kImplementations) {
    SKIP_IF_UNAVAILABLE(impl);
    const EightTapFilterBank bank(BorderMode::Zeros, kDb4Coefficients, impl);
    const std::vector<float> y = testing::random_floats(21, 9);
    const Bands b = run_forward(bank, y);
    const Bands r = reference_forward(reference_filters(kDb4Coefficients), y, impl, zero_extended);
    EXPECT_SAME_FLOATS(b.a, r.a);
    EXPECT_SAME_FLOATS(b.d, r.d);
  }
}

TEST(EightTapFilterBank, SynthesisReconstructsTheSignal) {
  for (Impl impl : kImplementations) {
    SKIP_IF_UNAVAILABLE(impl);
    for (const auto& c : {kDb4Coefficients, kSym4Coefficients}) {
      const EightTapFilterBank bank(BorderMode::Wrap, c, impl);
      for (size_t n = 8; n <= 200; ++n) {
        const std::vector<float> x = testing::random_floats(n, static_cast<uint32_t>(n), 1.0f);
        const Bands b = run_forward(bank, x);
        const size_t m = bank.inverse_size(b.a.size(), b.d.size());
        ASSERT_EQ(m, n % 2 == 0 ? n : n + 1);
        const std::vector<float> y = run_inverse(bank, b, std::vector<float>(m));
        for (size_t i = 0; i < n; ++i) ASSERT_NEAR(y[i], x[i], 2e-6) << "n = " << n;
      }
    }
  }
}

TEST(EightTapFilterBank, SizesOfShortSignals) {
  const EightTapFilterBank bank(BorderMode::Wrap, kDb4Coefficients);
  EXPECT_EQ(bank.forward_sizes(8), std::make_pair(size_t{7}, size_t{7}));
  EXPECT_EQ(bank.forward_sizes(9), std::make_pair(size_t{8}, size_t{8}));
  EXPECT_EQ(bank.inverse_size(8, 8), 10u);
  EXPECT_EQ(bank.inverse_size(4, 99), 2u);
  EXPECT_EQ(bank.inverse_size(3, 3), 0u);
  EXPECT_EQ(bank.inverse_size(2, 2), 0u);  // no forward produces such bands
  EXPECT_EQ(bank.filter_length(), 8u);
  EXPECT_EQ(bank.required_scratch_size(100), 0u);
}

TEST(EightTapFilterBank, LengthChecksRunInOrderAndWriteNothing) {
  const EightTapFilterBank bank(BorderMode::Wrap, kDb4Coefficients);
  const std::vector<float> x(10, 1.0f);
  std::vector<float> a(9, -7.0f), d(9, -7.0f);
  auto first = [](std::vector<float>& v, size_t n) { return std::span<float>(v).first(n); };
  EXPECT_EQ(message_of(bank.forward(std::span(x).first(7), first(a, 7), first(d, 7))),
            "Input size 7 can't be less than 8");
  EXPECT_EQ(message_of(bank.forward(x, first(a, 9), first(d, 8))),
            "Approximation and details expected to be half of original signal length but it "
            "was 9");
  EXPECT_EQ(message_of(bank.forward(x, first(a, 8), first(d, 9))),
            "Approximation and details expected to be half of original signal length but it "
            "was 9");
  EXPECT_EQ(a, std::vector<float>(9, -7.0f));
  EXPECT_EQ(d, std::vector<float>(9, -7.0f));
  // The scratch sequence is ignored whatever its length.
  std::vector<float> scratch(3);
  EXPECT_TRUE(bank.forward_with_scratch(x, first(a, 8), first(d, 8), scratch).ok());

  const std::vector<float> four(4, 1.0f), five(5, 1.0f);
  std::vector<float> out3(3, -7.0f), out4(4, -7.0f);
  EXPECT_EQ(message_of(bank.inverse(five, four, out4)),
            "Approx and details must match, but they don't 5x4");
  EXPECT_EQ(message_of(bank.inverse(four, four, out3)), "Output size should be 2, but it was 3");
  EXPECT_EQ(out3, std::vector<float>(3, -7.0f));
  EXPECT_EQ(out4, std::vector<float>(4, -7.0f));
}

TEST(EightTapFilterBank, SynthesisAddsIntoItsOutput) {
  for (Impl impl : kImplementations) {
    SKIP_IF_UNAVAILABLE(impl);
    const EightTapFilterBank bank(BorderMode::Wrap, kDb4Coefficients, impl);
    const Bands zero{std::vector<float>(9), std::vector<float>(9)};
    const std::vector<float> start = testing::random_floats(12, 4);
    EXPECT_EQ(run_inverse(bank, zero, start), start);
  }
}

TEST(EightTapFilterBank, NeitherForwardNorInverseAllocates) {
  const std::vector<float> x = testing::random_floats(1001, 8);
  Bands b{std::vector<float>(504), std::vector<float>(504)};
  std::vector<float> y(1002);
  for (Impl impl : kImplementations) {
    SKIP_IF_UNAVAILABLE(impl);
    const EightTapFilterBank bank(BorderMode::Wrap, kSym4Coefficients, impl);
    EXPECT_EQ(testing::allocations_during([&] { ASSERT_TRUE(bank.forward(x, b.a, b.d).ok()); }),
              0u);
    EXPECT_EQ(testing::allocations_during([&] { ASSERT_TRUE(bank.inverse(b.a, b.d, y).ok()); }),
              0u);
  }
}

TEST(ProcessorFeatures, SelectSse42ExactlyWhenTheProcessorHasIt) {
  uint32_t seen[4] = {};
  std::vector<std::thread> threads;
  for (uint32_t& word : seen) threads.emplace_back([&word] { word = processor_features(); });
  for (auto& t : threads) t.join();
  for (uint32_t word : seen) EXPECT_EQ(word, processor_features());
  EXPECT_TRUE(processor_features() & kFeaturesDetected);
#if defined(__x86_64__) || defined(__i386__)
  const bool sse42 = __builtin_cpu_supports("sse4.2");
  EXPECT_EQ(has_feature(kFeatureSse42), sse42);
  EXPECT_EQ(preferred_implementation(), sse42 ? Impl::Sse42 : Impl::Portable);
#else
  EXPECT_EQ(preferred_implementation(), Impl::Portable);
#endif
  EXPECT_EQ(EightTapFilterBank(BorderMode::Wrap, kDb4Coefficients).implementation(),
            preferred_implementation());
}

}  // namespace
}  // namespace vdx::wavelet
