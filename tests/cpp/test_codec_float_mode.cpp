// The codec's results do not depend on the caller's floating-point mode:
// flush-to-zero, denormals-are-zero, another rounding direction or unmasked
// exceptions set around a call change no byte and no sample, and the mode
// is handed back as it was.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

#include "src/compressor.hpp"
#include "src/decompressor.hpp"
#include "tests/cpp/signals.hpp"

#if defined(__x86_64__) || defined(__SSE__)
#include <xmmintrin.h>

namespace vdx {
namespace {

constexpr uint32_t kFlushToZero = 1u << 15;
constexpr uint32_t kDenormalsAreZero = 1u << 6;
constexpr uint32_t kRoundTowardZero = 3u << 13;
constexpr uint32_t kInvalidAndOverflowMasks = (1u << 7) | (1u << 10);

// The mode a fast-math library or a careless caller leaves behind.
class CallerMode {
 public:
  CallerMode(uint32_t set, uint32_t clear) : saved_(_mm_getcsr()) {
    mode_ = (saved_ | set) & ~clear;
    _mm_setcsr(mode_);
  }
  ~CallerMode() { _mm_setcsr(saved_); }
  uint32_t mode() const { return mode_; }

 private:
  uint32_t saved_;
  uint32_t mode_;
};

struct Case {
  const char* name;
  std::vector<float> samples;
  CodecOptions options;
};

std::vector<Case> sensitive_cases() {
  std::vector<Case> cases;
  // A range above 8.5e37 has a subnormal inverse, which FTZ makes 0.
  auto huge = testing::make_signal(testing::Shape::Tones, 3000);
  for (float& v : huge) v *= 6e37f;
  cases.push_back({"huge range", huge, {}});
  // A subnormal range: DAZ reads it as 0, a flat signal.
  std::vector<float> tiny(3000);
  for (size_t i = 0; i < tiny.size(); ++i) {
    tiny[i] = std::round(1.5e6f + 1.5e6f * std::sin(static_cast<float>(i) * 0.02f)) *
              std::numeric_limits<float>::denorm_min();
  }
  cases.push_back({"subnormal range", tiny, {}});
  // A subnormal multiplier: DAZ would make 1/m infinite and the call a refusal.
  CodecOptions subnormal_multiplier;
  subnormal_multiplier.has_quant_multiplier = true;
  subnormal_multiplier.quant_multiplier = 3e-39f;
  cases.push_back({"subnormal multiplier", testing::make_signal(testing::Shape::Walk, 3000),
                   subnormal_multiplier});
  // Ordinary signals, with NaN and infinities to clean, through every coder.
  auto tones = testing::make_signal(testing::Shape::Tones, 5000);
  tones[7] = NAN, tones[8] = INFINITY, tones[9] = -INFINITY;
  for (EntropyCoder c : {EntropyCoder::Deflate, EntropyCoder::Arans, EntropyCoder::Cmodel}) {
    for (WaveletMethod m : {WaveletMethod::Cdf97, WaveletMethod::Db4}) {
      CodecOptions o;
      o.coder = c, o.method = m;
      cases.push_back({"tones", tones, o});
    }
  }
  return cases;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

void expect_mode_does_not_matter(uint32_t set, uint32_t clear) {
  for (const Case& c : sensitive_cases()) {
    auto reference = compress_samples(c.samples, c.options);
    ASSERT_TRUE(reference.ok()) << c.name << ": " << reference.error().message();
    auto decoded = decompress_container(*reference);
    ASSERT_TRUE(decoded.ok()) << c.name;

    CallerMode caller(set, clear);
    auto bytes = compress_samples(c.samples, c.options);
    EXPECT_EQ(_mm_getcsr(), caller.mode()) << c.name;
    auto samples = decompress_container(*reference);
    EXPECT_EQ(_mm_getcsr(), caller.mode()) << c.name;
    ASSERT_TRUE(bytes.ok() && samples.ok()) << c.name;
    EXPECT_EQ(*bytes, *reference) << c.name;
    EXPECT_TRUE(same_bits(*samples, *decoded)) << c.name;
  }
}

TEST(FloatMode, FlushToZeroAndDenormalsAreZero) {
  expect_mode_does_not_matter(kFlushToZero | kDenormalsAreZero, 0);
}

TEST(FloatMode, RoundingTowardZero) { expect_mode_does_not_matter(kRoundTowardZero, 0); }

TEST(FloatMode, UnmaskedExceptionsDoNotTrap) {
  // NaN samples make the cleaning compares raise invalid; huge ranges overflow.
  expect_mode_does_not_matter(0, kInvalidAndOverflowMasks);
}

TEST(FloatMode, ModeIsRestoredOnRefusals) {
  CallerMode caller(kFlushToZero | kDenormalsAreZero, 0);
  EXPECT_FALSE(compress_samples({}, {}).ok());
  EXPECT_EQ(_mm_getcsr(), caller.mode());
  EXPECT_FALSE(check_compress_request(0, {}).ok());
  EXPECT_EQ(_mm_getcsr(), caller.mode());
  const std::vector<uint8_t> junk(60, 0xAB);
  EXPECT_FALSE(decompress_container(junk).ok());
  EXPECT_EQ(_mm_getcsr(), caller.mode());
}

}  // namespace
}  // namespace vdx

#endif
