// Coefficient stream: byte-exact output, round trips, every decoder check in
// its order, truncation, and the refusal of requests no stream can back.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "src/cmodel.hpp"
#include "tests/cpp/band_helpers.hpp"
#include "tests/cpp/allocation_probe.hpp"
#include "tests/cpp/vectors.hpp"

namespace vdx {
namespace {

using testing::Bands;
using testing::Bytes;
using testing::encode;
using testing::lengths_of;

// "ok" or the error message, from decode and decode_flat alike (they must agree).
std::string decode_message(const Bytes& stream, const std::vector<uint32_t>& lengths) {
  auto bands = CoefficientStream::decode(stream, lengths);
  auto flat = CoefficientStream::decode_flat(stream, lengths);
  EXPECT_EQ(bands.ok(), flat.ok());
  if (!bands.ok()) {
    EXPECT_EQ(bands.error(), flat.error());
    return message(bands.error());
  }
  return "ok";
}

void expect_round_trip(const Bands& bands) {
  const Bytes stream = encode(bands);
  auto decoded = CoefficientStream::decode(stream, lengths_of(bands));
  ASSERT_TRUE(decoded.ok()) << message(decoded.error());
  EXPECT_EQ(*decoded, bands);
  auto flat = CoefficientStream::decode_flat(stream, lengths_of(bands));
  ASSERT_TRUE(flat.ok());
  std::vector<int16_t> joined;
  for (const auto& band : bands) joined.insert(joined.end(), band.begin(), band.end());
  EXPECT_EQ(*flat, joined);
}

TEST(CoefficientStream, DocumentedVectors) {
  EXPECT_EQ(encode({}), (Bytes{0x00, 0x00, 0x00, 0x01, 0x00}));
  auto none = CoefficientStream::decode(Bytes{0x00, 0x00, 0x00, 0x01, 0x00}, {});
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none->empty());

  const Bands two = {{1, 0, -2}, {0, 0}};
  const Bytes expected = {0x02, 0x02, 0x01, 0x80, 0x0C, 0x99, 0x07};
  EXPECT_EQ(encode(two), expected);
  auto decoded = CoefficientStream::decode(expected, std::vector<uint32_t>{3, 2});
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ(*decoded, two);
}

TEST(CoefficientStream, ReferenceVectors) {
  int checked = 0;
  for (const auto& record : testing::load_vectors("coders")) {
    if (record.at("coder").front() != "cmodel") continue;
    Bands bands;
    for (const std::string& hex : record.at("bands")) bands.push_back(testing::hex_int16s(hex));
    const Bytes stream = testing::hex_bytes(record.at("stream").front());
    EXPECT_EQ(encode(bands), stream) << "record " << checked;
    auto decoded = CoefficientStream::decode(stream, lengths_of(bands));
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(*decoded, bands);
    ++checked;
  }
  EXPECT_GE(checked, 3);
}

TEST(CoefficientStream, BandWidthsAndDecisionCounts) {
  using CS = CoefficientStream;
  EXPECT_EQ(CS::band_width({}), 1);
  EXPECT_EQ(CS::band_width(std::vector<int16_t>{0, 0, 0}), 1);
  EXPECT_EQ(CS::band_width(std::vector<int16_t>{1, -1}), 1);
  EXPECT_EQ(CS::band_width(std::vector<int16_t>{0, 4, -3}), 3);  // of 4 itself, not of 4 - 1
  EXPECT_EQ(CS::band_width(std::vector<int16_t>{-4, 3}), 3);
  EXPECT_EQ(CS::band_width(std::vector<int16_t>{32767}), 15);
  EXPECT_EQ(CS::band_width(std::vector<int16_t>{5, -32768}), 16);
  // Zeros cost their zero flag only; a nonzero of width 3 costs 1 + 1 + 3.
  EXPECT_EQ(CS::decision_count(std::vector<int16_t>{0, 0, 0, 0}, 1), 4u);
  EXPECT_EQ(CS::decision_count(std::vector<int16_t>{0, 4, 0, -1}, 3), 4u + 2 * 4);

  // The width byte the encoder writes for each band.
  const Bytes stream = encode({{0, 0}, {}, {4, -1}, {-32768}});
  EXPECT_EQ(stream[0], 4);
  EXPECT_EQ(Bytes(stream.begin() + 1, stream.begin() + 5), (Bytes{1, 1, 3, 16}));
}

TEST(CoefficientStream, RoundTripsRandomBandsOfEveryWidth) {
  std::mt19937 rng(7);
  for (unsigned width = 1; width <= 16; ++width) {
    Bands bands;
    const int limit = width == 16 ? 32768 : (1 << width) - 1;
    std::uniform_int_distribution<int> value(-limit, std::min(limit, 32767));
    std::bernoulli_distribution zero(0.4);
    for (size_t length : {0u, 1u, 17u, 1000u}) {
      std::vector<int16_t> band(length);
      for (auto& c : band) c = zero(rng) ? 0 : static_cast<int16_t>(value(rng));
      if (length) band[length / 2] = static_cast<int16_t>(width == 16 ? -32768 : limit);
      bands.push_back(band);
    }
    SCOPED_TRACE(width);
    expect_round_trip(bands);
  }
}

TEST(CoefficientStream, RoundTripsAwkwardBands) {
  expect_round_trip({{-32768}});
  expect_round_trip({{-32768, 32767, -32767, 0, -32768}});
  expect_round_trip({{}, {}, {}});
  expect_round_trip({{0, 0, 0}, {}, {5, 0, 0, -7}, {}});
  expect_round_trip({std::vector<int16_t>(100000, 0)});
  expect_round_trip({std::vector<int16_t>(5000, -1), std::vector<int16_t>(5000, 3)});
  Bands many(255, std::vector<int16_t>{1, 0, -1});
  expect_round_trip(many);
}

TEST(CoefficientStream, ChecksComeInTheirOrder) {
  const std::string truncated = "Stream truncated";
  const std::string inconsistent = "Inconsistent length in coefficient stream";
  const std::vector<uint32_t> two = {3, 2};
  EXPECT_EQ(decode_message({}, two), truncated);
  EXPECT_EQ(decode_message({}, {}), truncated);
  // The band count is compared before the length: a lone byte 05 is too
  // short for anything, yet the count mismatch is what is reported.
  EXPECT_EQ(decode_message({0x05}, two), inconsistent);
  EXPECT_EQ(decode_message({0x02, 0x02, 0x01, 0x80, 0x0C, 0x99, 0x07}, {3}), inconsistent);
  EXPECT_EQ(decode_message({0x02, 0x02, 0x01, 0x80, 0x0C, 0x99, 0x07}, {3, 2, 1}), inconsistent);
  // 256 expected bands never match a one-byte count (0 read as 256 would).
  EXPECT_EQ(decode_message({0x00, 0x00, 0x00, 0x01, 0x00}, std::vector<uint32_t>(256, 0)),
            inconsistent);
  EXPECT_EQ(decode_message({0x02}, two), truncated);
  EXPECT_EQ(decode_message({0x02, 0x02}, two), truncated);
  // Width 17 is refused before the missing state is noticed.
  EXPECT_EQ(decode_message({0x02, 0x02, 0x11}, two), inconsistent);
  EXPECT_EQ(decode_message({0x02, 0x11, 0x01, 0x80, 0x0C, 0x99, 0x07}, two), inconsistent);
  // N + 4 bytes: widths complete, state one byte short.
  EXPECT_EQ(decode_message({0x02, 0x02, 0x01, 0x80, 0x0C, 0x99}, two), truncated);
  EXPECT_EQ(decode_message({0x02, 0x02, 0x01, 0x80, 0x0C, 0x99, 0x07}, two), "ok");
}

TEST(CoefficientStream, WidthZeroDecodesUnitMagnitudes) {
  // Random words decode under width 0: every nonzero value is +1 or -1.
  std::mt19937 rng(3);
  Bytes stream = {0x01, 0x00};
  for (int i = 0; i < 200; ++i) stream.push_back(static_cast<uint8_t>(rng()));
  auto decoded = CoefficientStream::decode(stream, std::vector<uint32_t>{40});
  ASSERT_TRUE(decoded.ok()) << message(decoded.error());
  int nonzero = 0;
  for (int16_t v : decoded->front()) {
    EXPECT_TRUE(v == 0 || v == 1 || v == -1) << v;
    nonzero += v != 0;
  }
  EXPECT_GT(nonzero, 0);
}

TEST(CoefficientStream, EveryCutIsTruncatedAndTrailingBytesAreIgnored) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> value(-300, 300);
  Bands bands = {std::vector<int16_t>(400), std::vector<int16_t>(300), {}};
  for (auto& band : bands) {
    for (auto& c : band) c = static_cast<int16_t>(value(rng) / 3);
  }
  const Bytes stream = encode(bands);
  const auto lengths = lengths_of(bands);
  ASSERT_GT(stream.size(), 100u);
  for (size_t cut = 0; cut < stream.size(); ++cut) {
    EXPECT_EQ(decode_message(Bytes(stream.begin(), stream.begin() + cut), lengths),
              "Stream truncated")
        << "cut at " << cut;
  }
  Bytes padded = stream;
  padded.insert(padded.end(), {0xFF, 0x00, 0x13, 0x37, 0xAB});
  auto decoded = CoefficientStream::decode(padded, lengths);
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ(*decoded, bands);
}

TEST(CoefficientStream, EmptyBandsConsumeNoDecisions) {
  // Lengths 0 where the encoder saw a band: the other bands still decode,
  // since an empty band takes nothing from the stream.
  const Bands bands = {{3, 0, -1}, {}, {0, 2}};
  const Bytes stream = encode(bands);
  EXPECT_EQ(encode({{3, 0, -1}, {0, 2}}).size() + 1, stream.size());  // one more width byte
  auto decoded = CoefficientStream::decode(stream, lengths_of(bands));
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ(*decoded, bands);
}

TEST(CoefficientStream, CheapestLegitimateStreamIsAccepted) {
  // A long run of zeros drives the zero flag to its limit of 4081/4096:
  // about 1511 values per stream byte, the most any real stream carries.
  const Bands bands = {std::vector<int16_t>(12'000'000, 0)};
  const Bytes stream = encode(bands);
  const double values_per_byte = 12e6 / static_cast<double>(stream.size() - 2);
  EXPECT_GT(values_per_byte, 1400.0);
  EXPECT_LT(values_per_byte, 2048.0);
  auto decoded = CoefficientStream::decode_flat(stream, lengths_of(bands));
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ(decoded->size(), 12'000'000u);
}

TEST(CoefficientStream, RefusesHugeRequestsBeforeAllocating) {
  const Bytes stream = {0x02, 0x02, 0x01, 0x80, 0x0C, 0x99, 0x07, 0x00, 0x00};
  // 2^31 values from 6 coded bytes, as one band and split over two.
  for (const std::vector<uint32_t>& lengths :
       {std::vector<uint32_t>{3, 0x80000000u}, std::vector<uint32_t>{0xFFFFFFFFu, 0xFFFFFFFFu}}) {
    std::string result;
    const size_t largest = testing::largest_allocation_during(
        [&] { result = decode_message(stream, lengths); });
    EXPECT_EQ(result, "Stream truncated");
    EXPECT_LT(largest, size_t{1} << 16);
  }
  // Precedence: the band-count mismatch still wins over the bound.
  EXPECT_EQ(decode_message(stream, {0x80000000u}), "Inconsistent length in coefficient stream");
  // At the bound itself the request is decoded (and fails only by running out).
  const uint32_t at_bound = 2048 * 6 + 4096 - 3;
  EXPECT_EQ(decode_message(stream, {3, at_bound}), "Stream truncated");
  const size_t largest = testing::largest_allocation_during(
      [&] { (void)CoefficientStream::decode_flat(stream, std::vector<uint32_t>{3, at_bound}); });
  EXPECT_GE(largest, size_t{at_bound} * 2);
}

}  // namespace
}  // namespace vdx
