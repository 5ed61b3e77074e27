// The coefficient-stream decoder against the plain reference decoder
// (coder_reference.hpp): the same values or the same error on reference
// vectors, encoder output of every width, arbitrary bytes and every cut.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "src/cmodel.hpp"
#include "tests/cpp/band_helpers.hpp"
#include "tests/cpp/coder_reference.hpp"
#include "tests/cpp/vectors.hpp"

namespace vdx {
namespace {

using testing::Bands;
using testing::Bytes;
using testing::encode;
using testing::lengths_of;

// Both entry points agree with the reference: the error text, or the bands.
void expect_same_as_reference(const Bytes& stream, const std::vector<uint32_t>& lengths) {
  const testing::ReferenceDecode expected = testing::reference_decode(stream, lengths);
  auto bands = CoefficientStream::decode(stream, lengths);
  auto flat = CoefficientStream::decode_flat(stream, lengths);
  if (!expected.error.empty()) {
    ASSERT_FALSE(bands.ok());
    ASSERT_FALSE(flat.ok());
    EXPECT_EQ(message(bands.error()), expected.error);
    EXPECT_EQ(message(flat.error()), expected.error);
    return;
  }
  ASSERT_TRUE(bands.ok()) << message(bands.error());
  ASSERT_TRUE(flat.ok());
  EXPECT_EQ(*bands, expected.bands);
  std::vector<int16_t> joined;
  for (const auto& band : expected.bands) joined.insert(joined.end(), band.begin(), band.end());
  EXPECT_EQ(*flat, joined);
}

// Bands shaped like quantised wavelet bands: long runs of zeros in some,
// none in others, magnitudes up to each band's width.
Bands random_bands(std::mt19937& rng, unsigned max_width) {
  std::uniform_int_distribution<int> count(1, 9), length(0, 3000), width(0, max_width);
  std::uniform_real_distribution<double> zero_share(0.0, 1.0);
  Bands bands(count(rng));
  for (auto& band : bands) {
    const unsigned w = width(rng);
    const int limit = w == 0 ? 0 : (w == 16 ? 32768 : (1 << w) - 1);
    std::uniform_int_distribution<int> magnitude(-limit, std::min(limit, 32767));
    std::bernoulli_distribution zero(zero_share(rng));
    band.resize(length(rng));
    for (auto& c : band) c = zero(rng) ? 0 : static_cast<int16_t>(magnitude(rng));
  }
  return bands;
}

TEST(CoefficientDecoder, ReferenceVectorsDecodeAsTheReferenceDecoderReadsThem) {
  int checked = 0;
  for (const auto& record : testing::load_vectors("coders")) {
    if (record.at("coder").front() != "cmodel") continue;
    Bands bands;
    for (const std::string& hex : record.at("bands")) bands.push_back(testing::hex_int16s(hex));
    const Bytes stream = testing::hex_bytes(record.at("stream").front());
    expect_same_as_reference(stream, lengths_of(bands));
    EXPECT_EQ(testing::reference_decode(stream, lengths_of(bands)).bands, bands);
    ++checked;
  }
  EXPECT_GE(checked, 3);
}

TEST(CoefficientDecoder, EncoderOutputOfEveryWidthAndEveryCut) {
  std::mt19937 rng(2026);
  for (int round = 0; round < 40; ++round) {
    const Bands bands = random_bands(rng, 16);
    const Bytes stream = encode(bands);
    const auto lengths = lengths_of(bands);
    SCOPED_TRACE(round);
    expect_same_as_reference(stream, lengths);
    // Cuts near the front, at random and just short of the end.
    std::uniform_int_distribution<size_t> anywhere(0, stream.size() - 1);
    for (size_t cut : {size_t{0}, size_t{3}, stream.size() / 2, anywhere(rng), anywhere(rng),
                       stream.size() - 2, stream.size() - 1}) {
      expect_same_as_reference(Bytes(stream.begin(), stream.begin() + cut), lengths);
    }
  }
}

TEST(CoefficientEncoder, MatchesThePlainEncoderByteForByte) {
  // Many bands of every width and size, so that bands are modelled out of
  // order beside the backward pass in every arrangement of sizes.
  std::mt19937 rng(77);
  for (int round = 0; round < 40; ++round) {
    const Bands bands = random_bands(rng, 16);
    std::vector<std::vector<int16_t>> plain(bands.begin(), bands.end());
    SCOPED_TRACE(round);
    EXPECT_EQ(encode(bands), testing::reference_encode(plain));
  }
  const Bands lopsided = {std::vector<int16_t>(3, 5), std::vector<int16_t>(40000, -1), {}, {7}};
  EXPECT_EQ(encode(lopsided), testing::reference_encode(lopsided));
  EXPECT_EQ(encode({}), testing::reference_encode({}));
}

TEST(CoefficientDecoder, ArbitraryBytesUnderEveryWidth) {
  // Foreign streams: any widths 0..16 (16 may decode magnitudes beyond
  // 32768, which wrap), random words, band lengths the words may not cover.
  std::mt19937 rng(99);
  std::uniform_int_distribution<int> byte(0, 255), width(0, 16), length(0, 700);
  for (int round = 0; round < 300; ++round) {
    const size_t count = 1 + round % 9;
    Bytes stream = {static_cast<uint8_t>(count)};
    std::vector<uint32_t> lengths;
    for (size_t i = 0; i < count; ++i) {
      stream.push_back(static_cast<uint8_t>(round < 17 ? round : width(rng)));
      lengths.push_back(static_cast<uint32_t>(length(rng)));
    }
    const int words = std::uniform_int_distribution<int>(0, 1200)(rng);
    for (int i = 0; i < words; ++i) stream.push_back(static_cast<uint8_t>(byte(rng)));
    SCOPED_TRACE(round);
    expect_same_as_reference(stream, lengths);
  }
}

TEST(CoefficientDecoder, LongBandsAcrossTheTruncationInterval) {
  // Bands longer than the decoder's truncation-check interval, cut inside
  // and after it, and a run of zeros that spans it.
  std::mt19937 rng(5);
  Bands bands = {std::vector<int16_t>(20000), std::vector<int16_t>(9000, 0), {}};
  std::uniform_int_distribution<int> value(-40, 40);
  for (auto& c : bands[0]) c = static_cast<int16_t>(value(rng) / 4);
  bands[1][8999] = -3;
  const Bytes stream = encode(bands);
  const auto lengths = lengths_of(bands);
  expect_same_as_reference(stream, lengths);
  for (size_t cut = 4; cut < stream.size(); cut += stream.size() / 23) {
    expect_same_as_reference(Bytes(stream.begin(), stream.begin() + cut), lengths);
  }
}

}  // namespace
}  // namespace vdx
