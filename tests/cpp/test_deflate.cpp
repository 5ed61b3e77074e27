// Raw DEFLATE back end: its stream against zlib driven directly, streams
// from other settings, cut and padded payloads, wrapped streams, and the
// keep limit. (Interoperation with Python's zlib: test_deflate_interop.py.)
#include <gtest/gtest.h>

#include <zlib.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "src/deflate.hpp"

namespace vdx {
namespace {

using Bytes = std::vector<uint8_t>;

// Something deflate compresses by a fair factor but not trivially: a slow
// walk of small 16-bit values, like quantised coefficients.
Bytes coefficient_like(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 6.0);
  Bytes out(n);
  for (size_t i = 0; i + 1 < n; i += 2) {
    const auto v = static_cast<int16_t>(noise(rng));
    out[i] = static_cast<uint8_t>(v);
    out[i + 1] = static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8);
  }
  return out;
}

// zlib used directly in one call, with the given settings.
Bytes zlib_deflate(const Bytes& input, int level, int window_bits, int mem_level, int strategy) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, window_bits, mem_level, strategy), Z_OK);
  Bytes out(deflateBound(&z, input.size()) + 64);
  z.next_in = const_cast<Bytef*>(input.data());
  z.avail_in = static_cast<uInt>(input.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

Bytes compress(const Bytes& input) {
  auto result = deflate_compress(input);
  EXPECT_TRUE(result.ok());
  return result.ok() ? std::move(result).value() : Bytes{};
}

InflateOutput decompress(const Bytes& payload, size_t keep = SIZE_MAX) {
  auto result = deflate_decompress(payload, keep);
  if (!result.ok()) {
    ADD_FAILURE() << result.error();
    return {};
  }
  return std::move(result).value();
}

std::string decompress_error(const Bytes& payload) {
  auto result = deflate_decompress(payload);
  return result.ok() ? "ok" : result.error();
}

TEST(Deflate, EmptyInput) {
  const Bytes stream = compress({});
  EXPECT_FALSE(stream.empty());
  EXPECT_LT(stream.size(), 8u);
  const InflateOutput out = decompress(stream);
  EXPECT_TRUE(out.bytes.empty());
  EXPECT_EQ(out.total_length, 0u);
}

TEST(Deflate, IsRawLevelSixAsZlibWritesIt) {
  // Sizes around the 32 KiB chunk, and one large enough for several chunks
  // of output: the chunked loop must not change a byte.
  for (size_t n : {1u, 100u, 32767u, 32768u, 32769u, 300000u}) {
    const Bytes input = coefficient_like(n, static_cast<uint32_t>(n));
    const Bytes stream = compress(input);
    EXPECT_EQ(stream, zlib_deflate(input, 6, -15, 8, Z_DEFAULT_STRATEGY)) << n;
    const InflateOutput out = decompress(stream);
    EXPECT_EQ(out.bytes, input) << n;
    EXPECT_EQ(out.total_length, n);
  }
  std::mt19937 rng(3);
  Bytes noise(200000);
  for (auto& b : noise) b = static_cast<uint8_t>(rng());
  EXPECT_EQ(decompress(compress(noise)).bytes, noise);
}

TEST(Deflate, InflatesStreamsWrittenWithOtherSettings) {
  const Bytes input = coefficient_like(120000, 17);
  const struct {
    int level, window_bits, mem_level, strategy;
  } settings[] = {{0, -15, 8, Z_DEFAULT_STRATEGY}, {1, -15, 8, Z_DEFAULT_STRATEGY},
                  {9, -15, 9, Z_DEFAULT_STRATEGY}, {6, -9, 1, Z_DEFAULT_STRATEGY},
                  {6, -15, 8, Z_FILTERED},         {6, -15, 8, Z_HUFFMAN_ONLY},
                  {6, -15, 8, Z_RLE},              {6, -15, 8, Z_FIXED}};
  for (const auto& s : settings) {
    const Bytes stream = zlib_deflate(input, s.level, s.window_bits, s.mem_level, s.strategy);
    EXPECT_EQ(decompress(stream).bytes, input) << s.level << " " << s.strategy;
  }
}

TEST(Deflate, CutPayloadGivesThePrefixAndPaddingIsIgnored) {
  const Bytes input = coefficient_like(50000, 4);
  const Bytes stream = compress(input);
  uint64_t previous = 0;
  for (size_t cut = 0; cut < stream.size(); cut += 1 + cut / 50) {
    const InflateOutput out = decompress(Bytes(stream.begin(), stream.begin() + cut));
    ASSERT_LE(out.bytes.size(), input.size());
    EXPECT_TRUE(std::equal(out.bytes.begin(), out.bytes.end(), input.begin())) << cut;
    EXPECT_EQ(out.total_length, out.bytes.size());
    EXPECT_GE(out.total_length, previous);
    previous = out.total_length;
  }
  EXPECT_GT(previous, input.size() / 2);
  Bytes padded = stream;
  padded.insert(padded.end(), {0x07, 0xFF, 0x00, 0x42});
  EXPECT_EQ(decompress(padded).bytes, input);
}

TEST(Deflate, CorruptAndWrappedStreams) {
  const std::string corrupt = "corrupt deflate stream";
  EXPECT_EQ(decompress_error({0x07}), corrupt);                    // block type 3 is reserved
  EXPECT_EQ(decompress_error({0x01, 0x05, 0x00, 0x00, 0x00}), corrupt);  // LEN ^ NLEN != 0xFFFF
  // Fixed codes: a match of length 3 at distance 1 before any output.
  EXPECT_EQ(decompress_error({0x03, 0x02, 0x00}), corrupt);
  const Bytes input = coefficient_like(5000, 8);
  EXPECT_EQ(decompress_error(zlib_deflate(input, 6, 15, 8, Z_DEFAULT_STRATEGY)), corrupt);  // zlib
  EXPECT_EQ(decompress_error(zlib_deflate(input, 6, 31, 8, Z_DEFAULT_STRATEGY)), corrupt);  // gzip
  // Two stored blocks of 40000 bytes, then a reserved block type: found
  // even when only the first bytes are kept.
  Bytes damaged;
  for (int block = 0; block < 2; ++block) {
    damaged.insert(damaged.end(), {0x00, 0x40, 0x9C, 0xBF, 0x63});  // LEN 40000, NLEN
    damaged.insert(damaged.end(), 40000, static_cast<uint8_t>(block + 1));
  }
  damaged.push_back(0x07);
  for (size_t keep : {size_t{10}, SIZE_MAX}) {
    auto result = deflate_decompress(damaged, keep);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), corrupt);
  }
  damaged.pop_back();  // without it the stream is merely cut: 80000 bytes
  EXPECT_EQ(decompress(damaged, 10).total_length, 80000u);
}

TEST(Deflate, KeepLimitStoresAPrefixButDecodesEverything) {
  const Bytes input = coefficient_like(100000, 6);
  const Bytes stream = compress(input);
  for (size_t keep : {size_t{0}, size_t{1}, size_t{32768}, size_t{40000}, size_t{100000},
                      size_t{250000}}) {
    const InflateOutput out = decompress(stream, keep);
    EXPECT_EQ(out.total_length, input.size()) << keep;
    const size_t kept = std::min(keep, input.size());
    EXPECT_EQ(out.bytes, Bytes(input.begin(), input.begin() + kept)) << keep;
  }
}

}  // namespace
}  // namespace vdx
