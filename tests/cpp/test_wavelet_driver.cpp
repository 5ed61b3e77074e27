// The multi-level driver and factory: band lengths, level checks, error texts,
// round trips over several levels and the independent reference vectors.
#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/cpp/test_wavelet_support.hpp"
#include "tests/cpp/vectors.hpp"
#include "wavelet/cdf53f.hpp"
#include "wavelet/cdf97f.hpp"
#include "wavelet/dwt.hpp"
#include "wavelet/filter_bank_dwt.hpp"
#include "wavelet/float_buffers.hpp"
#include "wavelet/util.hpp"

namespace vdx::wavelet {
namespace {

using testing::message_of;
using Sizes = std::pair<size_t, size_t>;

const WaveletMethod kMethods[] = {WaveletMethod::Cdf53, WaveletMethod::Cdf97,
                                  WaveletMethod::Db4, WaveletMethod::Sym4};

std::vector<size_t> band_lengths(const std::vector<DwtLevel>& levels) {
  std::vector<size_t> out;
  for (const DwtLevel& level : levels) out.push_back(level.details.size());
  return out;
}

// Detail bands finest first, as reconstruct takes them.
std::vector<std::span<const float>> detail_spans(const std::vector<DwtLevel>& levels) {
  std::vector<std::span<const float>> out;
  for (const DwtLevel& level : levels) out.emplace_back(level.details);
  return out;
}

Result<std::vector<float>, WaveletError> reconstruct_all(const MultiLevelDwt& t,
                                                         const std::vector<DwtLevel>& levels) {
  const auto details = detail_spans(levels);
  return t.reconstruct(levels.back().approximation, details);
}

TEST(WaveletError, EveryKindHasItsMessage) {
  auto text = [](WaveletErrorKind kind, uint64_t a = 0, uint64_t b = 0) {
    return wavelet_error(kind, a, b).message();
  };
  using K = WaveletErrorKind;
  EXPECT_EQ(text(K::AllocationFailed, 4000), "Cannot allocate 4000 bytes to vector");
  EXPECT_EQ(text(K::HalfLengthMismatch, 9),
            "Approximation and details expected to be half of original signal length but it "
            "was 9");
  EXPECT_EQ(text(K::BandsMismatch, 5, 4), "Approx and details must match, but they don't 5x4");
  EXPECT_EQ(text(K::NotDivisible, 2), "Input must be divisible by 2");
  EXPECT_EQ(text(K::Overflow), "Overflow is happened");
  EXPECT_EQ(text(K::OutputSizeMismatch, 3, 4), "Output size should be 3, but it was 4");
  EXPECT_EQ(text(K::InputTooShort, 5, 8), "Input size 5 can't be less than 8");
  EXPECT_EQ(text(K::InputOutputMismatch, 6, 7), "Input size 6 does not match output size 7");
  EXPECT_EQ(text(K::BadWaveletLength), "Zero or odd sized wavelet");
  EXPECT_EQ(text(K::FilterCenterTooLarge, 9, 8), "Filter center 9 was larger than filter size 8");
  EXPECT_EQ(text(K::BufferTooSmallForLevel), "Buffer was too small for provided level");
  EXPECT_EQ(text(K::ApproximationSizeMismatch, 4, 3),
            "Approximate size 4 does not match required size 3");
  EXPECT_EQ(text(K::DetailsSizeMismatch, 1, 2), "Details size 1 does not match required size 2");
  EXPECT_EQ(text(K::ZeroSizedInput), "Zero sized input is not supported");
  EXPECT_EQ(text(K::InputSizeMismatch, 10, 11), "Input size expected to be 10 but it was 11");
  EXPECT_EQ(text(K::ScratchSizeMismatch, 12, 0), "Scratch size expected to be 12 but it was 0");
  EXPECT_EQ(text(K::AllocationFailed, std::numeric_limits<uint64_t>::max()),
            "Cannot allocate 18446744073709551615 bytes to vector");
}

TEST(CreateDwt, SizesOfEachTransform) {
  const DwtHandle cdf53 = create_dwt(WaveletMethod::Cdf53);
  const DwtHandle cdf97 = create_dwt(WaveletMethod::Cdf97);
  ASSERT_TRUE(dynamic_cast<const Cdf53Lifting*>(cdf53.get()));
  ASSERT_TRUE(dynamic_cast<const Cdf97Lifting*>(cdf97.get()));
  for (WaveletMethod m : {WaveletMethod::Db4, WaveletMethod::Sym4}) {
    const DwtHandle fb = create_dwt(m);
    ASSERT_TRUE(dynamic_cast<const FilterBankDwt*>(fb.get()));
    EXPECT_EQ(fb->forward_sizes(100), Sizes(53, 53));
    EXPECT_EQ(fb->forward_sizes(9), Sizes(8, 8));
    EXPECT_EQ(fb->inverse_size(53, 53), 100u);
    EXPECT_EQ(fb->filter_length(), 8u);
    EXPECT_EQ(fb->required_scratch_size(100), 0u);
  }
  EXPECT_EQ(cdf53->forward_sizes(2), Sizes(2, 1));
  EXPECT_EQ(cdf97->forward_sizes(3), Sizes(2, 2));
  EXPECT_EQ(cdf53->inverse_size(2, 1), 3u);
  EXPECT_EQ(cdf97->inverse_size(1, 1), 4u);
  EXPECT_EQ(cdf53->filter_length(), 6u);
  EXPECT_EQ(cdf97->filter_length(), 10u);
}

TEST(CreateDwt, SizesWithoutATransformAgreeWithIt) {
  for (WaveletMethod m : {WaveletMethod::Cdf53, WaveletMethod::Cdf97, WaveletMethod::Db4,
                          WaveletMethod::Sym4}) {
    const DwtHandle dwt = create_dwt(m);
    EXPECT_EQ(filter_length_of(m), dwt->filter_length());
    for (size_t n : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{100},
                     size_t{101}, (size_t{1} << 28) + 1, std::numeric_limits<size_t>::max() / 2}) {
      EXPECT_EQ(forward_sizes_of(m, n), dwt->forward_sizes(n)) << int(m) << " " << n;
    }
  }
}

TEST(Decompose, LevelZeroMeansOneLevel) {
  const std::vector<float> x = testing::random_floats(40, 1);
  for (WaveletMethod m : kMethods) {
    const DwtHandle t = create_dwt(m);
    auto zero = t->decompose(x, 0);
    auto one = t->decompose(x, 1);
    ASSERT_TRUE(zero.ok() && one.ok());
    ASSERT_EQ(zero->size(), 1u);
    EXPECT_EQ((*zero)[0].approximation, (*one)[0].approximation);
    EXPECT_EQ((*zero)[0].details, (*one)[0].details);
  }
}

TEST(Decompose, FilterBankLevelChecks) {
  const DwtHandle db4 = create_dwt(WaveletMethod::Db4);
  const std::vector<float> five = testing::random_floats(5, 2);
  EXPECT_EQ(message_of(db4->decompose(five, 1)), "Input size 5 can't be less than 8");
  EXPECT_EQ(message_of(db4->decompose(five, 2)), "Buffer was too small for provided level");
  const std::vector<float> ten = testing::random_floats(10, 3);
  auto two = db4->decompose(ten, 2);
  ASSERT_TRUE(two.ok()) << two.error().message();
  EXPECT_EQ(band_lengths(*two), (std::vector<size_t>{8, 7}));
  EXPECT_EQ(message_of(db4->decompose(ten, 3)), "Buffer was too small for provided level");
  EXPECT_EQ(message_of(db4->decompose_to_level(ten, 3)),
            "Buffer was too small for provided level");
  EXPECT_EQ(message_of(db4->decompose_to_level(five, 1)), "Input size 5 can't be less than 8");
}

TEST(Decompose, LiftingMinimumAppliesEvenToOneLevel) {
  const std::vector<float> x = {1, 2, 3};
  const DwtHandle cdf53 = create_dwt(WaveletMethod::Cdf53);
  const DwtHandle cdf97 = create_dwt(WaveletMethod::Cdf97);
  EXPECT_EQ(message_of(cdf53->decompose(std::span(x).first(2), 1)),
            "Buffer was too small for provided level");
  EXPECT_EQ(message_of(cdf53->decompose(std::span(x).first(2), 0)),
            "Buffer was too small for provided level");
  EXPECT_EQ(message_of(cdf97->decompose(x, 1)), "Buffer was too small for provided level");
  EXPECT_EQ(message_of(cdf97->decompose_to_level(x, 1)),
            "Buffer was too small for provided level");
  EXPECT_EQ(message_of(cdf53->decompose(x, 1)), "ok");
  // 3 → (2, 1), then 2 is below the minimum.
  EXPECT_EQ(message_of(cdf53->decompose(x, 2)), "Buffer was too small for provided level");
}

TEST(Decompose, WorkedBandLengthsAndReconstructionLengths) {
  const std::vector<float> x = testing::random_floats(100, 4);
  for (WaveletMethod m : {WaveletMethod::Db4, WaveletMethod::Sym4}) {
    const DwtHandle fb = create_dwt(m);
    auto levels = fb->decompose(x, 3);
    ASSERT_TRUE(levels.ok());
    EXPECT_EQ(band_lengths(*levels), (std::vector<size_t>{53, 30, 18}));
    for (const DwtLevel& level : *levels) {
      EXPECT_EQ(level.approximation.size(), level.details.size());
    }
    // 2·18 − 6 = 30; 2·30 − 6 = 54, cut to 53; 2·53 − 6 = 100.
    auto y = reconstruct_all(*fb, *levels);
    ASSERT_TRUE(y.ok());
    EXPECT_EQ(y->size(), 100u);
  }
  const DwtHandle cdf53 = create_dwt(WaveletMethod::Cdf53);
  auto levels = cdf53->decompose(x, 3);
  ASSERT_TRUE(levels.ok());
  EXPECT_EQ(band_lengths(*levels), (std::vector<size_t>{50, 25, 12}));
  EXPECT_EQ((*levels)[2].approximation.size(), 13u);
  EXPECT_EQ(cdf53->inverse_level((*levels)[2].approximation, (*levels)[2].details)->size(), 25u);
  auto y = reconstruct_all(*cdf53, *levels);
  ASSERT_TRUE(y.ok());
  EXPECT_EQ(y->size(), 100u);
}

TEST(Decompose, OddFilterBankSignalReconstructsOneExtraSample) {
  const std::vector<float> x = testing::random_floats(9, 5, 1.0f);
  const DwtHandle db4 = create_dwt(WaveletMethod::Db4);
  auto levels = db4->decompose(x, 1);
  ASSERT_TRUE(levels.ok());
  EXPECT_EQ(band_lengths(*levels), (std::vector<size_t>{8}));
  auto y = reconstruct_all(*db4, *levels);
  ASSERT_TRUE(y.ok());
  ASSERT_EQ(y->size(), 10u);
  for (size_t i = 0; i < 9; ++i) EXPECT_NEAR((*y)[i], x[i], 1e-6);
}

TEST(Decompose, ToLevelKeepsTheDeepestLevelOfDecompose) {
  const std::vector<float> x = testing::random_floats(777, 6);
  for (WaveletMethod m : kMethods) {
    const DwtHandle t = create_dwt(m);
    for (size_t levels : {1u, 2u, 5u}) {
      auto all = t->decompose(x, levels);
      auto deepest = t->decompose_to_level(x, levels);
      ASSERT_TRUE(all.ok() && deepest.ok());
      ASSERT_EQ(all->size(), levels);
      EXPECT_SAME_FLOATS(all->back().approximation, deepest->approximation);
      EXPECT_SAME_FLOATS(all->back().details, deepest->details);
    }
  }
}

TEST(Reconstruct, RejectsEmptyInputs) {
  const std::vector<float> band(10, 1.0f);
  const std::vector<std::span<const float>> one = {band};
  for (WaveletMethod m : kMethods) {
    const DwtHandle t = create_dwt(m);
    EXPECT_EQ(message_of(t->reconstruct(band, {})), "Zero sized input is not supported");
    EXPECT_EQ(message_of(t->reconstruct({}, one)), "Zero sized input is not supported");
  }
}

TEST(Reconstruct, FilterBankBandMismatches) {
  const DwtHandle db4 = create_dwt(WaveletMethod::Db4);
  const std::vector<float> five(5, 1.0f), four(4, 1.0f);
  EXPECT_EQ(message_of(db4->inverse_level(five, four)),
            "Approx and details must match, but they don't 5x4");
  // The deepest pair of 4 gives 2 samples, shorter than the next band of 5.
  const std::vector<std::span<const float>> details = {five, four};
  EXPECT_EQ(message_of(db4->reconstruct(four, details)),
            "Approx and details must match, but they don't 2x5");
  const std::vector<std::span<const float>> deepest_only = {four};
  EXPECT_EQ(message_of(db4->reconstruct(five, deepest_only)),
            "Approx and details must match, but they don't 5x4");
}

TEST(Reconstruct, LiftingPassesBandErrorsThrough) {
  const DwtHandle cdf97 = create_dwt(WaveletMethod::Cdf97);
  const std::vector<float> two(2, 1.0f), one(1, 1.0f);
  EXPECT_EQ(message_of(cdf97->inverse_level(two, one)),
            "Details size 1 does not match required size 2");
  const std::vector<std::span<const float>> details = {two, one};
  EXPECT_EQ(message_of(cdf97->reconstruct(two, details)),
            "Details size 1 does not match required size 2");
}

TEST(RoundTrip, EveryAcceptedLevelCountOverManyLengths) {
  for (WaveletMethod m : kMethods) {
    const DwtHandle t = create_dwt(m);
    for (size_t n = 8; n <= 200; n += 3) {
      const std::vector<float> x = testing::random_floats(n, static_cast<uint32_t>(n), 1.0f);
      for (size_t levels = 1;; ++levels) {
        auto decomposed = t->decompose(x, levels);
        if (!decomposed.ok()) {
          EXPECT_EQ(decomposed.error().message(), "Buffer was too small for provided level");
          ASSERT_GT(levels, 1u);
          break;
        }
        auto y = reconstruct_all(*t, *decomposed);
        ASSERT_TRUE(y.ok()) << y.error().message();
        const bool filter_bank = m == WaveletMethod::Db4 || m == WaveletMethod::Sym4;
        ASSERT_EQ(y->size(), filter_bank && n % 2 ? n + 1 : n);
        for (size_t i = 0; i < n; ++i) {
          ASSERT_NEAR((*y)[i], x[i], 1e-5) << "n = " << n << ", levels = " << levels;
        }
      }
    }
  }
}

TEST(RoundTrip, FiveThreeIsExactOnIntegersOverSeveralLevels) {
  const DwtHandle cdf53 = create_dwt(WaveletMethod::Cdf53);
  for (size_t n : {3u, 17u, 64u, 1000u, 4099u}) {
    const std::vector<float> x = testing::random_integers(n, static_cast<uint32_t>(n));
    auto levels = cdf53->decompose(x, n >= 64 ? 5 : 1);
    ASSERT_TRUE(levels.ok());
    auto y = reconstruct_all(*cdf53, *levels);
    ASSERT_TRUE(y.ok());
    EXPECT_EQ(*y, x) << "n = " << n;
  }
}

TEST(SharedHandle, ConcurrentCallsOnOneObjectAgree) {
  const std::vector<float> x = testing::random_floats(5000, 7);
  for (WaveletMethod m : kMethods) {
    const DwtHandle t = create_dwt(m);
    auto expected = t->decompose(x, 4);
    ASSERT_TRUE(expected.ok());
    std::vector<std::vector<DwtLevel>> results(4);
    std::vector<std::thread> threads;
    for (auto& r : results) {
      threads.emplace_back([&t, &x, &r] { r = std::move(t->decompose(x, 4).value()); });
    }
    for (auto& th : threads) th.join();
    for (const auto& r : results) {
      ASSERT_EQ(r.size(), expected->size());
      for (size_t k = 0; k < r.size(); ++k) {
        EXPECT_SAME_FLOATS(r[k].details, (*expected)[k].details);
      }
    }
  }
}

TEST(FallibleBuffers, ImpossibleRequestsReportTheirByteSize) {
  EXPECT_EQ(message_of(zeroed_floats(std::numeric_limits<size_t>::max() / 2)),
            "Cannot allocate 18446744073709551615 bytes to vector");
  const size_t too_many = std::numeric_limits<size_t>::max() / 8;
  EXPECT_EQ(message_of(uninitialised_floats(too_many)),
            "Cannot allocate " + std::to_string(too_many * 4) + " bytes to vector");
  std::vector<float> buffer = {1, 2};
  EXPECT_EQ(message_of(resize_zeroed(buffer, std::numeric_limits<size_t>::max() / 4)),
            "Cannot allocate 18446744073709551612 bytes to vector");
  EXPECT_EQ(buffer, (std::vector<float>{1, 2}));
  ASSERT_TRUE(resize_zeroed(buffer, 4).ok());
  EXPECT_EQ(buffer, (std::vector<float>{1, 2, 0, 0}));
}

// ---------------------------------------------------------------------------
// Reference vectors from an independent implementation.

DwtHandle transform_for(const std::string& method, const std::string& implementation) {
  if (method == "cdf53") return create_dwt(WaveletMethod::Cdf53);
  if (method == "cdf97") return create_dwt(WaveletMethod::Cdf97);
  const auto impl = implementation == "portable" ? FilterBankImplementation::Portable
                                                 : FilterBankImplementation::Sse42;
  if (!implementation_available(impl)) return nullptr;
  return create_filter_bank_dwt(method == "db4" ? kDb4Coefficients : kSym4Coefficients, impl);
}

TEST(ReferenceVectors, DecomposeAndReconstructBitForBit) {
  const auto records = vdx::testing::load_vectors("wavelets");
  ASSERT_FALSE(records.empty());
  size_t checked = 0;
  for (const auto& record : records) {
    const std::string method = record.at("method").at(0);
    const std::string implementation = record.at("implementation").at(0);
    SCOPED_TRACE(method + "/" + implementation + " record " + std::to_string(checked));
    const DwtHandle t = transform_for(method, implementation);
    if (!t) continue;  // that implementation cannot run on this processor
    const std::vector<float> input = vdx::testing::hex_floats(record.at("input").at(0));
    const size_t levels = std::stoul(record.at("levels").at(0));
    auto decomposed = t->decompose(input, levels);
    ASSERT_TRUE(decomposed.ok()) << decomposed.error().message();
    EXPECT_EQ(vdx::testing::float_bits(decomposed->back().approximation),
              vdx::testing::float_bits(
                  vdx::testing::hex_floats(record.at("approximation").at(0))));
    const auto& details = record.at("details");
    ASSERT_EQ(details.size(), decomposed->size());
    for (size_t k = 0; k < details.size(); ++k) {
      EXPECT_EQ(vdx::testing::float_bits((*decomposed)[k].details),
                vdx::testing::float_bits(vdx::testing::hex_floats(details[k])))
          << "level " << k;
    }
    auto y = reconstruct_all(*t, *decomposed);
    ASSERT_TRUE(y.ok()) << y.error().message();
    EXPECT_EQ(vdx::testing::float_bits(*y),
              vdx::testing::float_bits(
                  vdx::testing::hex_floats(record.at("reconstructed").at(0))));
    ++checked;
  }
  EXPECT_GE(checked, 16u);  // all but the sse4.2 filter-bank records run everywhere
}

}  // namespace
}  // namespace vdx::wavelet
