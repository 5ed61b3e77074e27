// compress_within: every container it returns meets its target on the
// caller's own samples, measured here from the definitions with the real
// decoder; refusals name the finest error and come after bounded work.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "src/compressor.hpp"
#include "src/decompressor.hpp"
#include "src/fit/atoms.hpp"
#include "src/fit/error_target.hpp"
#include "src/fit/fit_signal.hpp"
#include "tests/cpp/signals.hpp"

#if defined(__x86_64__) || defined(__SSE__)
#include <xmmintrin.h>
#define VDX_HAVE_MXCSR 1
#endif

namespace vdx {
namespace {

using testing::Shape;

struct Measured {
  double max_error = 0.0, rms_error = 0.0, prd = 0.0;
  double of(TargetKind k) const {
    return k == TargetKind::MaxError ? max_error : k == TargetKind::RmsError ? rms_error : prd;
  }
};

// The three measures over the finite, unskipped reference samples.
Measured measured(const std::vector<float>& decoded, const std::vector<double>& reference,
                  const std::vector<uint8_t>& skip = {}) {
  double sum = 0.0, count = 0.0;
  auto bounded = [&](size_t i) {
    return std::isfinite(reference[i]) && (skip.empty() || skip[i] == 0);
  };
  for (size_t i = 0; i < reference.size(); ++i) {
    if (bounded(i)) sum += reference[i], count += 1.0;
  }
  const double mean = count > 0 ? sum / count : 0.0;
  double sq = 0.0, spread = 0.0;
  Measured m;
  for (size_t i = 0; i < reference.size(); ++i) {
    if (!bounded(i)) continue;
    const double d = double{decoded[i]} - reference[i];
    m.max_error = std::max(m.max_error, std::abs(d));
    sq += d * d;
    spread += (reference[i] - mean) * (reference[i] - mean);
  }
  m.rms_error = count > 0 ? std::sqrt(sq / count) : 0.0;
  m.prd = sq == 0.0 ? 0.0 : spread > 0 ? 100.0 * std::sqrt(sq / spread) : INFINITY;
  return m;
}

std::vector<float> to_f32(const std::vector<double>& x) {
  return std::vector<float>(x.begin(), x.end());
}

ErrorTarget target_of(TargetKind kind, double value) {
  ErrorTarget t;
  t.kind = kind;
  t.value = value;
  return t;
}

Result<FittedContainer, CodecError> fit64(const std::vector<double>& x, const ErrorTarget& t,
                                          const std::vector<uint8_t>& skip = {}) {
  const std::vector<float> samples = to_f32(x);
  ReferenceSamples ref;
  ref.f64 = x;
  return compress_within(samples, ref, skip, t);
}

// Checks one fitted container against the definitions: decoded by the
// reader's entry point, measured against the float64 reference.
void expect_meets(const FittedContainer& f, const std::vector<double>& x, const ErrorTarget& t,
                  const std::vector<uint8_t>& skip = {}) {
  auto decoded = decompress_container(f.container);
  ASSERT_TRUE(decoded.ok()) << decoded.error().message();
  const Measured m = measured(*decoded, x, skip);
  EXPECT_LE(m.of(t.kind), t.value);
  EXPECT_NEAR(m.max_error, f.max_error, 1e-12 * (1 + m.max_error));
  EXPECT_NEAR(m.rms_error, f.rms_error, 1e-12 * (1 + m.rms_error));
  if (f.options_reproduce) {
    auto again = compress_samples(to_f32(x), f.options);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(*again, f.container);
  }
}

std::vector<double> signal64(Shape shape, size_t n, double scale, double offset,
                             uint32_t seed = 3) {
  const auto base = testing::make_signal(shape, n, seed);
  std::vector<double> x(n);
  for (size_t i = 0; i < n; ++i) x[i] = offset + scale * double{base[i]};
  return x;
}

double range_of(const std::vector<double>& x) {
  double lo = INFINITY, hi = -INFINITY;
  for (double v : x) {
    if (std::isfinite(v)) lo = std::min(lo, v), hi = std::max(hi, v);
  }
  return hi > lo ? hi - lo : 1.0;
}

// ---- the guarantee --------------------------------------------------------

TEST(FitGuarantee, EveryTargetIsMetOnTheCallersSamplesOverARandomisedMatrix) {
  std::mt19937 rng(11);
  const Shape shapes[] = {Shape::Tones, Shape::Walk, Shape::Steps, Shape::Noise, Shape::Chirp};
  const size_t lengths[] = {1, 2, 7, 33, 200, 1500, 6000};
  int fitted = 0, refused = 0;
  for (int round = 0; round < 70; ++round) {
    const Shape shape = shapes[rng() % 5];
    const size_t n = lengths[rng() % 7];
    // Offsets up to 1e4 at scales down to 1e-3: float64 detail below the
    // float32 spacing of the offset.
    const double scale = std::pow(10.0, static_cast<int>(rng() % 5) - 3);
    const double offset = (rng() % 3 == 0) ? std::pow(10.0, rng() % 5) : 0.0;
    std::vector<double> x = signal64(shape, n, scale, offset, rng());
    if (n > 20 && rng() % 4 == 0) {
      x[n / 3] = NAN, x[n / 2] = INFINITY, x[n / 2 + 1] = -INFINITY;
    }
    const auto kind = static_cast<TargetKind>(rng() % 3);
    const double relative = std::pow(10.0, -(static_cast<double>(rng() % 300) / 100.0) - 0.5);
    const double value = kind == TargetKind::Prd ? 100.0 * relative : relative * range_of(x);
    const ErrorTarget t = target_of(kind, value);
    auto f = fit64(x, t);
    SCOPED_TRACE(std::string(testing::shape_name(shape)) + " n=" + std::to_string(n) +
                 " kind=" + std::to_string(int(kind)) + " value=" + std::to_string(value) +
                 " offset=" + std::to_string(offset));
    if (!f.ok()) {
      // Refused only when the finest error named is above the target.
      EXPECT_EQ(f.error().kind(), CodecErrorKind::TargetUnreachable) << f.error().message();
      const std::string text = f.error().message();
      const double finest = std::stod(text.substr(text.rfind('=') + 1));
      EXPECT_GT(finest, value) << text;
      ++refused;
      continue;
    }
    ++fitted;
    expect_meets(*f, x, t);
  }
  EXPECT_GT(fitted, 50);
  EXPECT_GT(refused, 0);  // the matrix reaches below float32's spacing
}

// Long signals rank the wavelets on a probe from their middle: a middle
// unlike the rest (smooth there, steps and noise around it) may rank them
// wrongly, which costs bytes but never the bound.
TEST(FitGuarantee, LongSignalsRankedOnAMisleadingProbeStillMeetTheBound) {
  const size_t n = size_t{1} << 16;
  auto x = signal64(Shape::Steps, n, 1.0, 0.0, 5);
  const auto noise = signal64(Shape::Noise, n, 0.2, 0.0, 6);
  const auto smooth = signal64(Shape::Tones, n, 1.0, 0.0, 7);
  for (size_t i = 0; i < n; ++i) {
    const bool middle = i > n / 2 - 8192 && i < n / 2 + 8192;
    x[i] = middle ? smooth[i] : x[i] + noise[i];
  }
  for (double relative : {1e-3, 1e-2, 1e-1}) {
    const ErrorTarget t = target_of(TargetKind::MaxError, relative * range_of(x));
    auto f = fit64(x, t);
    ASSERT_TRUE(f.ok()) << f.error().message();
    expect_meets(*f, x, t);
  }
}

// A ramp of 32768 counts at half a count: only the finest multiplier that
// saturates nothing comes close, plain rounding there misses, and the
// wavelet that settles under repairs is not among those the ranking
// favours. Whatever wavelet is asked for or found, a container that meets
// the bound exists (cdf53's), so the fitter must find one.
TEST(FitGuarantee, WideRampsAtHalfACountSettleOnTheWaveletRankedLast) {
  std::vector<double> x(1000);
  for (size_t i = 0; i < x.size(); ++i) x[i] = std::round(-32768.0 + 98304.0 * i / 2999.0);
  const ErrorTarget t = target_of(TargetKind::MaxError, 0.4999);
  auto f = fit64(x, t);
  ASSERT_TRUE(f.ok()) << f.error().message();
  expect_meets(*f, x, t);
}

TEST(FitGuarantee, ConstantAndMeanOnlySignalsAreExactOrSmall) {
  std::vector<double> flat(500, 3.25);
  for (auto kind : {TargetKind::MaxError, TargetKind::RmsError, TargetKind::Prd}) {
    auto f = fit64(flat, target_of(kind, 0.0));
    ASSERT_TRUE(f.ok()) << f.error().message();
    EXPECT_EQ(f->max_error, 0.0);
    expect_meets(*f, flat, target_of(kind, 0.0));
  }
  auto walk = signal64(Shape::Walk, 4000, 1.0, 0.0);
  auto loose = fit64(walk, target_of(TargetKind::Prd, 101.0));
  ASSERT_TRUE(loose.ok());
  EXPECT_EQ(loose->options.quant_multiplier, 0.0f);
  EXPECT_LT(loose->container.size(), 100u);
}

TEST(FitGuarantee, Float32ReferenceAndSkippedSamples) {
  auto x32 = testing::make_signal(Shape::Tones, 3000);
  std::vector<float> samples = x32;
  std::vector<uint8_t> skip(x32.size(), 0);
  // Samples kept exactly elsewhere: what is compressed there is unrelated.
  for (size_t i = 1000; i < 1100; ++i) samples[i] = 0.0f, skip[i] = 1;
  ReferenceSamples ref;
  ref.f32 = x32;
  const std::vector<double> x(x32.begin(), x32.end());
  for (auto kind : {TargetKind::MaxError, TargetKind::Prd}) {
    const ErrorTarget t = target_of(kind, kind == TargetKind::Prd ? 1.0 : 0.01);
    auto f = compress_within(samples, ref, skip, t);
    ASSERT_TRUE(f.ok()) << f.error().message();
    auto decoded = decompress_container(f->container);
    ASSERT_TRUE(decoded.ok());
    EXPECT_LE(measured(*decoded, x, skip).of(kind), t.value);
  }
}

TEST(FitGuarantee, PlainOptionsAreUnchanged) {
  // compress_samples does not go through the fitter; its bytes for plain
  // options are pinned by the reference vectors. Here: a fitted rms
  // container is the one compress_samples gives for its options.
  auto x = signal64(Shape::Chirp, 5000, 1.0, 0.0);
  auto f = fit64(x, target_of(TargetKind::RmsError, 0.05));
  ASSERT_TRUE(f.ok());
  ASSERT_TRUE(f->options_reproduce);
  expect_meets(*f, x, target_of(TargetKind::RmsError, 0.05));
}

TEST(FitGuarantee, BoundAwareContainersBeatPlainRoundingAtTheSameBound) {
  for (Shape shape : {Shape::Tones, Shape::Walk, Shape::Chirp}) {
    auto x = signal64(shape, 20000, 1.0, 0.0);
    const ErrorTarget t = target_of(TargetKind::MaxError, 0.01 * range_of(x));
    auto f = fit64(x, t);
    ASSERT_TRUE(f.ok());
    EXPECT_FALSE(f->options_reproduce);  // the coefficients were placed
    expect_meets(*f, x, t);
    // The smallest plain container over multipliers a quarter octave apart.
    size_t plain_best = SIZE_MAX;
    for (int j = 0; j < 80; ++j) {
      CodecOptions o;
      o.method = f->options.method;
      o.has_quant_multiplier = true;
      o.quant_multiplier = std::ldexp(1.0f, j / 4) * std::pow(2.0f, (j % 4) / 4.0f);
      auto blob = compress_samples(to_f32(x), o);
      ASSERT_TRUE(blob.ok());
      auto decoded = decompress_container(*blob);
      ASSERT_TRUE(decoded.ok());
      if (measured(*decoded, x).max_error <= t.value) {
        plain_best = std::min(plain_best, blob->size());
      }
    }
    EXPECT_LT(f->container.size(), plain_best) << testing::shape_name(shape);
  }
}

// Where a coarser multiplier than the first aim settles with fewer bits the
// fit keeps it (tones at a tenth of their range do), and still meets the
// bound; without that retry the multipliers only ever move finer.
TEST(FitGuarantee, CoarserMultipliersThanTheFirstAimAreKeptWhenTheySettleSmaller) {
  size_t coarser = 0;
  for (Shape shape : {Shape::Tones, Shape::Noise, Shape::Chirp}) {
    const auto x = signal64(shape, 16384, 1.0, 0.0);
    const double width = range_of(x);
    for (double fraction : {1e-3, 1e-2, 1e-1}) {
      const ErrorTarget t = target_of(TargetKind::MaxError, fraction * width);
      auto f = fit64(x, t);
      ASSERT_TRUE(f.ok());
      expect_meets(*f, x, t);
      // The first aim: 0.7 range / bound, 1.0 for cdf53.
      const bool cdf53 = f->options.method == WaveletMethod::Cdf53;
      const double first = (cdf53 ? 1.0 : 0.7) * width / t.value;
      coarser += f->options.quant_multiplier < 0.99 * first;
    }
  }
  EXPECT_GT(coarser, 0u);
}

// ---- the proof stands between a miss and the caller -----------------------

class LooseTrials : public ::testing::Test {
 protected:
  void SetUp() override { fit::trial_slack_for_tests() = 3.0; }
  void TearDown() override { fit::trial_slack_for_tests() = 1.0; }
};

TEST_F(LooseTrials, TheFinalProofCatchesWhatTheTrialsLetThrough) {
  // Trials and the bound-aware quantiser accept three times the target, so
  // every container they propose misses it: only the proof on the real
  // decoder (and its fallback) can turn that into a container that meets it.
  for (auto kind : {TargetKind::MaxError, TargetKind::RmsError, TargetKind::Prd}) {
    auto x = signal64(Shape::Tones, 4000, 2.0, 1.0);
    const ErrorTarget t = target_of(kind, kind == TargetKind::Prd ? 0.5 : 0.004);
    fit::counters_for_tests() = {};
    auto f = fit64(x, t);
    ASSERT_TRUE(f.ok()) << f.error().message();
    EXPECT_GT(fit::counters_for_tests().proofs_failed, 0u);
    expect_meets(*f, x, t);
  }
}

// ---- refusals ---------------------------------------------------------------

double finest_named(const CodecError& e, const char* kind) {
  EXPECT_EQ(e.kind(), CodecErrorKind::TargetUnreachable);
  std::smatch found;
  const std::string text = e.message();
  const std::regex pattern(std::string("no setting reaches ") + kind +
                           "=(\\S+) on this signal; the finest reaches " + kind + "=(\\S+)");
  if (!std::regex_match(text, found, pattern)) {
    ADD_FAILURE() << text;
    return NAN;
  }
  return std::stod(found[2].str());
}

// The rms and prd searches run on the modelled error without decoding: a
// wrong band gain or scale would leave only the proof to notice. For the
// orthogonal wavelet the model follows the decoder within a few parts in a
// thousand here, for the biorthogonal ones within some per cent.
TEST(FitModel, ModelledErrorFollowsTheDecodedError) {
  const auto x = testing::make_signal(Shape::Tones, 1 << 14);
  ReferenceSamples ref;
  ref.f32 = x;
  const fit::Bounds bounds = fit::bounds_of(ref, {});
  for (WaveletMethod method : {WaveletMethod::Db4, WaveletMethod::Cdf97, WaveletMethod::Cdf53}) {
    auto p = fit::prepare(x, method);
    ASSERT_TRUE(p.ok());
    auto atoms = fit::cached_atoms(*p);
    ASSERT_TRUE(atoms.ok());
    std::vector<double> gains;
    for (const fit::Atom& a : **atoms) {
      double g = 0.0;
      for (float v : a.values) g += double{v} * v;
      gains.push_back(g);
    }
    const double tolerance = method == WaveletMethod::Db4 ? 0.02 : 0.1;
    for (float m : {30.0f, 300.0f, 3000.0f}) {
      for (uint16_t threshold : {uint16_t{0}, uint16_t{3}}) {
        auto exact = fit::plain_trial(*p, bounds, m, threshold);
        ASSERT_TRUE(exact.ok());
        const fit::Trial modelled = fit::modelled_trial(*p, bounds, gains, m, threshold);
        EXPECT_EQ(modelled.values, exact->values);
        EXPECT_NEAR(modelled.errors.prd / exact->errors.prd, 1.0, tolerance)
            << static_cast<int>(method) << " m=" << m << " threshold=" << threshold;
        EXPECT_NEAR(modelled.errors.rms_error / exact->errors.rms_error, 1.0, tolerance);
      }
    }
  }
}

// The bit estimate and the modelled energy skip runs of zero values; bands
// whose lengths are not multiples of the run, zeros mixed with extremes and
// a reused values buffer must give what one value at a time gives.
TEST(FitModel, ZeroRunShortcutsGiveThePlainSums) {
  const std::vector<size_t> lengths = {5, 13, 8, 30};
  std::vector<int16_t> values(56, 0);
  values[3] = -32768, values[9] = 1, values[20] = 32767, values[27] = -2, values[55] = 7;
  double bits = 0.0;
  size_t offset = 0;
  for (size_t length : lengths) {
    std::vector<uint32_t> classes(18, 0);
    for (size_t i = offset; i < offset + length; ++i) {
      const int32_t v = values[i];
      ++classes[std::bit_width(static_cast<uint32_t>(v < 0 ? -v : v))];
    }
    for (size_t k = 0; k < classes.size(); ++k) {
      if (classes[k]) bits -= classes[k] * std::log2(double(classes[k]) / double(length));
      if (k >= 2) bits += double(classes[k]) * double(k - 1);
    }
    bits += double(length - classes[0]);
    offset += length;
  }
  EXPECT_NEAR(fit::estimate_bits(values, lengths), bits, 1e-9 * bits);

  const auto x = testing::make_signal(Shape::Steps, 1 << 12);
  ReferenceSamples ref;
  ref.f32 = x;
  const fit::Bounds bounds = fit::bounds_of(ref, {});
  auto p = fit::prepare(x, WaveletMethod::Cdf97);
  ASSERT_TRUE(p.ok());
  const std::vector<double> gains(p->lengths.size(), 1.0);
  for (float m : {0.0f, 40.0f, 4000.0f}) {
    fit::Trial fresh;
    fit::quantize_trial(*p, m, 0, fresh);
    double energy = 0.0;
    const double inverse = 1.0 / double{m};
    for (size_t i = 0; i < fresh.values.size(); ++i) {
      const double d = double{p->coefficients[i]} - fresh.values[i] * inverse;
      energy += d * d;
    }
    const double modelled = fit::modelled_energy(*p, gains, m, fresh.values);
    if (m == 0.0f) {
      EXPECT_TRUE(std::isnan(modelled));  // as one value at a time gives
      continue;
    }
    EXPECT_NEAR(modelled, energy, 1e-12 * energy) << "m=" << m;
    std::vector<int16_t> stale(fresh.values.size(), 5);
    const fit::Trial reused = fit::modelled_trial(*p, bounds, gains, m, 0, std::move(stale));
    const fit::Trial unused = fit::modelled_trial(*p, bounds, gains, m, 0);
    EXPECT_EQ(reused.values, unused.values);
    EXPECT_EQ(reused.bits, unused.bits);
    EXPECT_EQ(reused.errors.prd, unused.errors.prd);
  }
}

TEST(FitRefusals, UnreachableTargetsNameTheFinestErrorWhichIsReachable) {
  auto x = signal64(Shape::Walk, 3000, 1.0, 0.0);
  const std::pair<TargetKind, const char*> kinds[] = {
      {TargetKind::MaxError, "max_error"}, {TargetKind::RmsError, "rms_error"},
      {TargetKind::Prd, "prd"}};
  for (auto [kind, name] : kinds) {
    fit::counters_for_tests() = {};
    auto refused = fit64(x, target_of(kind, 0.0));
    ASSERT_FALSE(refused.ok());
    // Bounded work: a few multiplier searches, not a sweep.
    EXPECT_LT(fit::counters_for_tests().decodes, 120u);
    const double finest = finest_named(refused.error(), name);
    ASSERT_GT(finest, 0.0);
    auto reached = fit64(x, target_of(kind, finest * 1.001));
    ASSERT_TRUE(reached.ok()) << reached.error().message();
    expect_meets(*reached, x, target_of(kind, finest * 1.001));
  }
}

TEST(FitRefusals, BoundsFinerThanFloat32CanHoldAreRefusedQuickly) {
  // 1e6 + sin: float32 spacing there is 0.0625, so 1e-4 cannot be met.
  std::vector<double> x(4096);
  for (size_t i = 0; i < x.size(); ++i) x[i] = 1e6 + std::sin(0.01 * static_cast<double>(i));
  fit::counters_for_tests() = {};
  auto refused = fit64(x, target_of(TargetKind::MaxError, 1e-4));
  ASSERT_FALSE(refused.ok());
  EXPECT_LT(fit::counters_for_tests().decodes, 60u);
  const double finest = finest_named(refused.error(), "max_error");
  EXPECT_GE(finest, 0.03);  // the float32 floor: about half of 0.0625
  // Non-finite and negative targets are not targets.
  for (double bad : {-1.0, double{NAN}, double{INFINITY}}) {
    auto f = fit64(x, target_of(TargetKind::Prd, bad));
    ASSERT_FALSE(f.ok());
    EXPECT_EQ(f.error().kind(), CodecErrorKind::UnsupportedConfiguration);
  }
}

// ---- independent of the caller's mode and thread ------------------------------

TEST(FitDeterminism, SameBytesFromSeveralThreads) {
  auto x = signal64(Shape::Chirp, 6000, 1.0, 0.0);
  std::vector<std::vector<uint8_t>> results(4);
  std::vector<std::thread> threads;
  for (size_t k = 0; k < results.size(); ++k) {
    threads.emplace_back([&, k] {
      auto f = fit64(x, target_of(k % 2 ? TargetKind::MaxError : TargetKind::Prd,
                                  k % 2 ? 0.5 : 0.3));
      if (f.ok()) results[k] = std::move(f->container);
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_FALSE(results[0].empty());
  ASSERT_FALSE(results[1].empty());
  EXPECT_EQ(results[0], results[2]);
  EXPECT_EQ(results[1], results[3]);
}

#ifdef VDX_HAVE_MXCSR
TEST(FitDeterminism, CallerFlushToZeroChangesNothing) {
  // Subnormal samples: under DAZ they would read as zero and the bound,
  // measured in the codec's arithmetic, would be met by a flat signal.
  std::vector<double> tiny(3000);
  for (size_t i = 0; i < tiny.size(); ++i) {
    tiny[i] = (2e6 + 1.5e6 * std::sin(static_cast<double>(i) * 0.02)) *
              double{std::numeric_limits<float>::denorm_min()};
  }
  auto tones = signal64(Shape::Tones, 3000, 1.0, 0.0);
  for (const auto* x : {&tiny, &tones}) {
    for (auto kind : {TargetKind::MaxError, TargetKind::Prd}) {
      const ErrorTarget t =
          target_of(kind, kind == TargetKind::Prd ? 1.0 : 0.004 * range_of(*x));
      auto plain = fit64(*x, t);
      // Converted before the mode is set: the caller's samples are these.
      const std::vector<float> samples = to_f32(*x);
      ReferenceSamples ref;
      ref.f64 = *x;
      const uint32_t saved = _mm_getcsr();
      const uint32_t mode = saved | (1u << 15) | (1u << 6);  // FTZ and DAZ
      _mm_setcsr(mode);
      auto flushed = compress_within(samples, ref, {}, t);
      const uint32_t after = _mm_getcsr();
      _mm_setcsr(saved);
      constexpr uint32_t kFlags = 0x3F;  // sticky exception flags
      EXPECT_EQ(after & ~kFlags, mode & ~kFlags);
      ASSERT_EQ(plain.ok(), flushed.ok());
      if (!plain.ok()) continue;
      EXPECT_EQ(plain->container, flushed->container);
      expect_meets(*plain, *x, t);
    }
  }
}
#endif

}  // namespace
}  // namespace vdx
