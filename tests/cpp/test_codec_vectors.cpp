// Whole-codec reference vectors from an independent implementation: the
// container bytes and the decoded bits must match exactly.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "src/byte_io.hpp"
#include "src/compressor.hpp"
#include "src/container.hpp"
#include "src/decompressor.hpp"
#include "src/deflate.hpp"
#include "tests/cpp/vectors.hpp"

namespace vdx {
namespace {

CodecOptions options_of(const testing::VectorRecord& r) {
  CodecOptions o;
  const std::string& method = r.at("method")[0];
  o.method = method == "cdf53"  ? WaveletMethod::Cdf53
             : method == "cdf97" ? WaveletMethod::Cdf97
             : method == "db4"   ? WaveletMethod::Db4
                                 : WaveletMethod::Sym4;
  const std::string& coder = r.at("coder")[0];
  o.coder = coder == "deflate" ? EntropyCoder::Deflate
            : coder == "arans" ? EntropyCoder::Arans
                               : EntropyCoder::Cmodel;
  const std::string& cutoff = r.at("cutoff")[0];
  o.cutoff = cutoff == "low" ? CutoffLevel::Low
             : cutoff == "medium" ? CutoffLevel::Medium
                                  : CutoffLevel::High;
  o.scale = static_cast<uint8_t>(std::stoi(r.at("scale")[0]));
  return o;
}

std::string label(const testing::VectorRecord& r) {
  return r.at("method")[0] + "/" + r.at("coder")[0] + "/" + r.at("signal")[0] + "/scale " +
         r.at("scale")[0] + "/" + r.at("cutoff")[0];
}

std::vector<uint8_t> inflated_payload(const std::vector<uint8_t>& container) {
  std::span<const uint8_t> payload(container.data() + kHeaderSize,
                                   load_u32le(&container[32]));
  auto inflated = deflate_decompress(payload);
  EXPECT_TRUE(inflated.ok());
  return inflated.ok() ? inflated->bytes : std::vector<uint8_t>{};
}

TEST(CodecVectors, CompressorWritesTheReferenceContainers) {
  auto records = testing::load_vectors("containers");
  ASSERT_EQ(records.size(), 32u);
  for (const auto& r : records) {
    SCOPED_TRACE(label(r));
    const auto samples = testing::hex_floats(r.at("samples")[0]);
    const auto expected = testing::hex_bytes(r.at("container")[0]);
    auto written = compress_samples(samples, options_of(r));
    ASSERT_TRUE(written.ok()) << written.error().message();
    if (r.at("coder")[0] != "deflate") {
      EXPECT_EQ(*written, expected);
      continue;
    }
    // Deflate's exact bytes belong to zlib: compare the header without the
    // payload length, then the inflated payloads.
    ASSERT_GE(written->size(), kHeaderSize);
    EXPECT_EQ(0, std::memcmp(written->data(), expected.data(), 32));
    EXPECT_EQ(0, std::memcmp(written->data() + 36, expected.data() + 36, 16));
    EXPECT_EQ(inflated_payload(*written), inflated_payload(expected));
  }
}

TEST(CodecVectors, DecompressorRestoresTheReferenceSamplesBitForBit) {
  for (const auto& r : testing::load_vectors("containers")) {
    SCOPED_TRACE(label(r));
    const auto container = testing::hex_bytes(r.at("container")[0]);
    const auto expected = testing::hex_floats(r.at("decoded")[0]);
    auto decoded = decompress_container(container);
    ASSERT_TRUE(decoded.ok()) << decoded.error().message();
    EXPECT_EQ(testing::float_bits(*decoded), testing::float_bits(expected));
  }
}

}  // namespace
}  // namespace vdx
