// The codec's container-level behaviour: header contents it writes, what the
// reader tolerates and refuses, and the refusals of the compressor.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "src/byte_io.hpp"
#include "src/compressor.hpp"
#include "src/container.hpp"
#include "src/decompressor.hpp"
#include "tests/cpp/signals.hpp"
#include "wavelet/dwt.hpp"

// The largest single allocation since the last reset: hostile headers must
// not make the decoder allocate for what they announce.
static std::atomic<size_t> g_largest_allocation{0};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t size) {
  size_t seen = g_largest_allocation.load();
  while (size > seen && !g_largest_allocation.compare_exchange_weak(seen, size)) {
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace vdx {
namespace {

using testing::Shape;

std::vector<uint8_t> compress_ok(const std::vector<float>& x, const CodecOptions& o = {}) {
  auto c = compress_samples(x, o);
  EXPECT_TRUE(c.ok()) << c.error().message();
  return c.ok() ? *c : std::vector<uint8_t>{};
}

std::string compress_message(std::span<const float> x, const CodecOptions& o = {}) {
  auto c = compress_samples(x, o);
  return c.ok() ? "ok" : c.error().message();
}

std::string decompress_message(const std::vector<uint8_t>& bytes) {
  auto d = decompress_container(bytes);
  return d.ok() ? "ok" : d.error().message();
}

CodecOptions with_coder(EntropyCoder c) {
  CodecOptions o;
  o.coder = c;
  return o;
}

CodecOptions with_multiplier(float m) {
  CodecOptions o;
  o.has_quant_multiplier = true;
  o.quant_multiplier = m;
  return o;
}

TEST(CodecHeader, WorkedExampleOfFourSamples) {
  auto bytes = compress_ok({2.0f, 5.0f, 3.5f, 8.0f});
  const uint8_t expected[] = {0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x41,
                              0x00, 0x00, 0xE0, 0x3E};
  EXPECT_EQ(0, std::memcmp(&bytes[20], expected, sizeof expected));
  EXPECT_EQ(load_u32le(&bytes[16]), 4u);
  EXPECT_EQ(bytes[12], 1);  // levels
  auto y = decompress_container(bytes);
  ASSERT_TRUE(y.ok());
  EXPECT_EQ(y->size(), 4u);
}

TEST(CodecHeader, ThousandSamplesWithDefaults) {
  auto bytes = compress_ok(testing::make_signal(Shape::Tones, 1000));
  const uint8_t head[] = {'V', 'R', 'D', 'X', 1, 2, 'f', '3', 'c', 'f', '9', '7',
                          6, 11, 2, 0, 0xE8, 0x03, 0x00, 0x00};
  EXPECT_EQ(0, std::memcmp(bytes.data(), head, sizeof head));
  EXPECT_EQ(load_u32le(&bytes[32]), bytes.size() - kHeaderSize);
  EXPECT_EQ(load_u32le(&bytes[36]), 0x45000000u);  // 2048.0
  for (size_t i = 40; i < 52; ++i) EXPECT_EQ(bytes[i], 0);
}

TEST(CodecHeader, LevelCountsAtTheBoundary) {
  for (WaveletMethod m : {WaveletMethod::Cdf53, WaveletMethod::Cdf97, WaveletMethod::Db4,
                          WaveletMethod::Sym4}) {
    CodecOptions o;
    o.method = m;
    EXPECT_EQ(compress_ok(testing::make_signal(Shape::Noise, 79), o)[12], 4);
    EXPECT_EQ(compress_ok(testing::make_signal(Shape::Noise, 1), o)[12], 1);
  }
  EXPECT_EQ(compress_ok(testing::make_signal(Shape::Noise, 80))[12], 3);
}

TEST(CodecHeader, AutoCmodelAndDefaultAreTheSameContainer) {
  auto x = testing::make_signal(Shape::Walk, 2000);
  auto a = compress_ok(x, with_coder(EntropyCoder::Auto));
  EXPECT_EQ(a, compress_ok(x, with_coder(EntropyCoder::Cmodel)));
  EXPECT_EQ(a, compress_ok(x));
  EXPECT_EQ(a[14], 2);
  EXPECT_EQ(compress_ok(x, with_coder(EntropyCoder::Arans))[14], 1);
  EXPECT_EQ(compress_ok(x, with_coder(EntropyCoder::Deflate))[14], 0);
}

TEST(CodecCompressor, RefusalsInTheirOrder) {
  EXPECT_EQ(compress_message({}),
            "Unsupported compression configuration 'Can't compress empty data'");
  EXPECT_EQ(compress_message(std::vector<float>{}, with_multiplier(-1.0f)),
            "Unsupported compression configuration 'Can't compress empty data'");
  std::vector<float> huge_range = {-3e38f, 3e38f, 0.0f};
  EXPECT_EQ(compress_message(huge_range),
            "Unsupported compression configuration 'Can't compress data whose range is not "
            "finite'");
  EXPECT_EQ(compress_message(huge_range, with_multiplier(-2.0f)),
            "Unsupported compression configuration 'Quantization multiplier -2 can't be read "
            "back'");
}

TEST(CodecCompressor, MultipliersTheReaderCannotHonourAreRefused) {
  auto x = testing::make_signal(Shape::Tones, 100);
  auto text = [](const char* m) {
    return std::string("Unsupported compression configuration 'Quantization multiplier ") + m +
           " can't be read back'";
  };
  EXPECT_EQ(compress_message(x, with_multiplier(-2.0f)), text("-2"));
  EXPECT_EQ(compress_message(x, with_multiplier(INFINITY)), text("inf"));
  EXPECT_EQ(compress_message(x, with_multiplier(-INFINITY)), text("-inf"));
  EXPECT_EQ(compress_message(x, with_multiplier(std::numeric_limits<float>::quiet_NaN())),
            text("nan"));
  EXPECT_EQ(compress_message(x, with_multiplier(1e-40f)), text("1e-40"));
  EXPECT_EQ(compress_message(x, with_multiplier(3e-39f)), "ok");
  EXPECT_EQ(compress_message(x, with_multiplier(-0.0f)), "ok");
}

TEST(CodecCompressor, OversizedInputIsRefusedBeforeReadingIt) {
  // 2^31 samples of address space, never touched.
  const size_t n = size_t{1} << 31;
  void* mem = mmap(nullptr, n * sizeof(float), PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                   -1, 0);
  ASSERT_NE(mem, MAP_FAILED);
  std::span<const float> x(static_cast<const float*>(mem), n);
  EXPECT_EQ(compress_message(x),
            "Unsupported compression configuration 'Can't compress data bigger than "
            "2147483647, but data was 2147483648'");
  munmap(mem, n * sizeof(float));
}

TEST(CodecCompressor, ZeroMultiplierGivesAllZeroBands) {
  auto x = testing::make_signal(Shape::Tones, 1000);
  auto bytes = compress_ok(x, with_multiplier(0.0f));
  EXPECT_EQ(load_u32le(&bytes[36]), 0u);
  auto y = decompress_container(bytes);
  ASSERT_TRUE(y.ok());
  // Every sample decodes to the signal's mean.
  for (float v : *y) EXPECT_EQ(v, (*y)[0]);
}

TEST(CodecCompressor, CallerMultiplierThatSaturatesIsLowered) {
  // A sine of amplitude 100 at 2^14 clips its deepest coefficients; used
  // unchanged it decoded with a maximum error of 47.
  std::vector<float> x(4096);
  for (size_t i = 0; i < x.size(); ++i) x[i] = 100.0f * std::sin(static_cast<float>(i) * 0.01f);
  auto bytes = compress_ok(x, with_multiplier(16384.0f));
  const float used = load_f32le(&bytes[36]);
  EXPECT_LT(used, 16384.0f);
  // The largest that fits: given as it is it stays, one step up it is lowered.
  EXPECT_EQ(compress_ok(x, with_multiplier(used)), bytes);
  const float above = std::nextafter(used, INFINITY);
  EXPECT_EQ(load_f32le(&compress_ok(x, with_multiplier(above))[36]), used);
  auto y = decompress_container(bytes);
  ASSERT_TRUE(y.ok());
  float worst = 0.0f;
  for (size_t i = 0; i < x.size(); ++i) worst = std::max(worst, std::fabs((*y)[i] - x[i]));
  EXPECT_LT(worst, 0.05f);
}

TEST(CodecCompressor, MultipliersThatSaturateNothingAreKeptBitForBit) {
  auto x = testing::make_signal(Shape::Walk, 100000);
  for (float m : {2047.9f, 1234.567f, 3e-39f, 0.0f, -0.0f}) {
    auto bytes = compress_ok(x, with_multiplier(m));
    EXPECT_EQ(load_u32le(&bytes[36]), std::bit_cast<uint32_t>(m)) << m;
  }
  // The default multiplier is still halved, so it stays a power of two.
  CodecOptions d;
  d.scale = 12;
  EXPECT_EQ(load_f32le(&compress_ok(x, d)[36]), 2048.0f);
}

// Band lengths the way the reader derives them, from a real transform.
uint64_t coefficients_of(size_t n, WaveletMethod method) {
  auto dwt = wavelet::create_dwt(method);
  size_t length = std::max(n, dwt->filter_length());
  uint64_t total = 0;
  for (int level = choose_levels(n, dwt->filter_length()); level > 0; --level) {
    total += dwt->forward_sizes(length).second;
    length = dwt->forward_sizes(length).first;
  }
  return total + length;
}

TEST(CodecCompressor, AransRefusesMoreCoefficientsThanItsDecoderReads) {
  constexpr uint64_t kLimit = uint64_t{1} << 28;
  // Past the limit on an inaccessible mapping: reading a sample would fault.
  const size_t n = (size_t{1} << 28) + 64;
  void* mem = mmap(nullptr, n * sizeof(float), PROT_NONE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(mem, MAP_FAILED);
  for (WaveletMethod m : {WaveletMethod::Cdf53, WaveletMethod::Cdf97, WaveletMethod::Db4,
                          WaveletMethod::Sym4}) {
    // The largest signal the decoder can take, and one sample more.
    size_t fits = kLimit;
    while (coefficients_of(fits, m) > kLimit) --fits;
    CodecOptions o = with_coder(EntropyCoder::Arans);
    o.method = m;
    EXPECT_TRUE(check_compress_request(fits, o).ok()) << int(m);
    std::span<const float> x(static_cast<const float*>(mem), fits + 1);
    g_largest_allocation = 0;
    EXPECT_EQ(compress_message(x, o),
              "Unsupported compression configuration 'The arans coder can't hold more than "
              "268435456 coefficients, but this signal has " +
                  std::to_string(coefficients_of(fits + 1, m)) + "'");
    EXPECT_LT(g_largest_allocation.load(), size_t{1024});
    // After the multiplier refusal; the other coders have no such limit.
    o.has_quant_multiplier = true, o.quant_multiplier = -1.0f;
    EXPECT_NE(compress_message(x, o).find("Quantization multiplier -1"), std::string::npos);
    EXPECT_TRUE(check_compress_request(fits + 1, with_coder(EntropyCoder::Deflate)).ok());
  }
  munmap(mem, n * sizeof(float));
}

TEST(CodecReader, MultiplierRuleOnRead) {
  auto bytes = compress_ok(testing::make_signal(Shape::Tones, 1000));
  auto reference = decompress_container(bytes);
  ASSERT_TRUE(reference.ok());
  for (float stored : {0.0f, -0.0f, -5.0f, std::numeric_limits<float>::quiet_NaN(),
                       std::numeric_limits<float>::infinity()}) {
    auto patched = bytes;
    store_f32le(&patched[36], stored);
    auto y = decompress_container(patched);
    ASSERT_TRUE(y.ok());
    EXPECT_EQ(*y, *reference) << stored;
  }
}

TEST(CodecReader, CraftedHeadersThatWouldDecodeToNaNAreRefused) {
  const auto x = testing::make_signal(Shape::Tones, 1000);
  for (EntropyCoder c : {EntropyCoder::Deflate, EntropyCoder::Arans, EntropyCoder::Cmodel}) {
    const auto bytes = compress_ok(x, with_coder(c));
    // Both ends finite, their difference not.
    auto wide = bytes;
    store_f32le(&wide[20], -3e38f);
    store_f32le(&wide[24], 3e38f);
    EXPECT_EQ(decompress_message(wide),
              "Can't decompress data, reason: Range from -3e+38 to 3e+38 is not finite");
    // A subnormal multiplier turns a coefficient of 1 into about 1e40.
    auto tiny = bytes;
    store_f32le(&tiny[36], 1e-40f);
    EXPECT_EQ(decompress_message(tiny).rfind(
                  "Can't decompress data, reason: Multiplier 1e-40 is subnormal, but a "
                  "coefficient is ", 0),
              0u);
    // A mean at the float32 limit over a zero range: inf x 0 in
    // denormalisation, caught on the samples themselves.
    auto flat = bytes;
    store_f32le(&flat[20], 1.0f);
    store_f32le(&flat[24], 1.0f);
    store_f32le(&flat[28], std::numeric_limits<float>::max());
    store_f32le(&flat[36], 1e-32f);
    EXPECT_EQ(decompress_message(flat),
              "Can't decompress data, reason: Decoded samples are not all numbers");
  }
  // What the compressor writes under a subnormal multiplier has only zero
  // coefficients, and still decodes.
  auto y = decompress_container(compress_ok(x, with_multiplier(3e-39f)));
  ASSERT_TRUE(y.ok()) << y.error().message();
  for (float v : *y) ASSERT_TRUE(std::isfinite(v));
}

TEST(CodecReader, ExtraBytesIgnoredAndCutPayloadRefused) {
  for (EntropyCoder c : {EntropyCoder::Deflate, EntropyCoder::Arans, EntropyCoder::Cmodel}) {
    auto bytes = compress_ok(testing::make_signal(Shape::Tones, 1000), with_coder(c));
    auto reference = decompress_container(bytes);
    ASSERT_TRUE(reference.ok());
    auto longer = bytes;
    longer.insert(longer.end(), {0xFF, 0x00, 0x13});
    auto y = decompress_container(longer);
    ASSERT_TRUE(y.ok());
    EXPECT_EQ(*y, *reference);
    auto cut = bytes;
    cut.pop_back();
    EXPECT_EQ(decompress_message(cut),
              "Can't decompress data, reason: Minimum data size is " +
                  std::to_string(bytes.size()) + ", but it was " +
                  std::to_string(bytes.size() - 1));
  }
}

TEST(CodecReader, PayloadFailures) {
  auto bytes = compress_ok(testing::make_signal(Shape::Tones, 1000));
  auto empty = std::vector<uint8_t>(bytes.begin(), bytes.begin() + kHeaderSize);
  store_u32le(&empty[32], 0);
  EXPECT_EQ(decompress_message(empty), "Can't decompress data, reason: Stream truncated");
  auto deflated = compress_ok(testing::make_signal(Shape::Tones, 1000),
                              with_coder(EntropyCoder::Deflate));
  deflated[kHeaderSize] = 0xFF;  // reserved block type 3
  EXPECT_EQ(decompress_message(deflated), "Can't decompress data, reason: corrupt deflate stream");
}

TEST(CodecReader, FlatPayloadWithTooFewCoefficients) {
  // 1000 samples of cdf97 need 1000 + 6 * (clamps) coefficients; give a
  // payload from a 500-sample signal under the 1000-sample header.
  for (EntropyCoder c : {EntropyCoder::Deflate, EntropyCoder::Arans}) {
    auto small = compress_ok(testing::make_signal(Shape::Tones, 500), with_coder(c));
    auto big = compress_ok(testing::make_signal(Shape::Tones, 1000), with_coder(c));
    std::memcpy(&small[16], &big[16], 4);
    small[12] = big[12];
    const std::string message = decompress_message(small);
    EXPECT_EQ(message.rfind("Can't decompress data, reason: Payload holds 500 coefficients, but ", 0),
              0u)
        << message;
    EXPECT_NE(message.find(" are required"), std::string::npos);
  }
}

TEST(CodecReader, HostileSampleCountAllocatesNothingLarge) {
  const std::pair<EntropyCoder, const char*> cases[] = {
      {EntropyCoder::Cmodel, "Can't decompress data, reason: Stream truncated"},
      {EntropyCoder::Arans, "Can't decompress data, reason: Payload holds 10 coefficients, but "},
      {EntropyCoder::Deflate, "Can't decompress data, reason: Payload holds 10 coefficients, but "},
  };
  for (auto [coder, expected] : cases) {
    auto bytes = compress_ok({1.0f, 2.0f, 3.0f, 4.0f}, with_coder(coder));
    store_u32le(&bytes[16], 2147483647u);
    g_largest_allocation = 0;
    const std::string message = decompress_message(bytes);
    EXPECT_EQ(message.rfind(expected, 0), 0u) << message;
    EXPECT_LT(g_largest_allocation.load(), size_t{1} << 20) << message;
  }
}

TEST(CodecReader, ZeroSampleContainerDecodesToNothing) {
  auto bytes = compress_ok({1.0f, 2.0f, 3.0f});
  store_u32le(&bytes[16], 0);
  auto y = decompress_container(bytes);
  ASSERT_TRUE(y.ok()) << y.error().message();
  EXPECT_TRUE(y->empty());
}

}  // namespace
}  // namespace vdx
