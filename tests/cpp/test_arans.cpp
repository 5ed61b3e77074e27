// Adaptive rANS byte coder: byte-exact streams, the stored form of short
// inputs, round trips, every decoder check in its order, and the refusal
// of pair counts that the coded planes cannot back.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "src/arans.hpp"
#include "src/leb128.hpp"
#include "tests/cpp/allocation_probe.hpp"
#include "tests/cpp/coder_reference.hpp"
#include "tests/cpp/vectors.hpp"

namespace vdx::arans {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes random_bytes(size_t n, uint32_t seed, int alphabet = 256) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> byte(0, alphabet - 1);
  Bytes out(n);
  for (auto& b : out) b = static_cast<uint8_t>(byte(rng));
  return out;
}

std::string decode_message(const Bytes& stream) {
  auto decoded = decode(stream);
  return decoded.ok() ? "ok" : message(decoded.error());
}

Bytes must_decode(const Bytes& stream) {
  auto decoded = decode(stream);
  if (!decoded.ok()) {
    ADD_FAILURE() << message(decoded.error());
    return {};
  }
  return std::move(decoded).value();
}

// An arans stream put together field by field.
Bytes assemble(uint8_t odd_flag, uint8_t context_bits, uint64_t pairs, uint64_t length_a,
               const Bytes& rest) {
  Bytes out = {odd_flag, context_bits};
  append_leb128(out, pairs);
  append_leb128(out, length_a);
  out.insert(out.end(), rest.begin(), rest.end());
  return out;
}

const std::string kTruncated = "Stream truncated";
const std::string kInconsistent = "Inconsistent or oversized length in stream";

TEST(Arans, DocumentedVectors) {
  const Bytes letters = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
  const Bytes coded_letters = {0x00, 0x03, 0x04, 0x06, 0xCB, 0x36, 0x34, 0x7A,
                               0x80, 0xAA, 0xEF, 0x30, 0x32, 0x89, 0xC8, 0xF4};
  EXPECT_EQ(encode(letters), coded_letters);
  EXPECT_EQ(must_decode(coded_letters), letters);

  const Bytes zeros(7, 0);
  const Bytes coded_zeros = {0x01, 0x03, 0x03, 0x06, 0xF4, 0x07, 0x3C, 0x00, 0x70,
                             0xA0, 0xF4, 0x07, 0x3C, 0x00, 0x70, 0xA0, 0x00};
  EXPECT_EQ(encode(zeros), coded_zeros);
  EXPECT_EQ(must_decode(coded_zeros), zeros);
}

TEST(Arans, ReferenceVectors) {
  int checked = 0;
  for (const auto& record : testing::load_vectors("coders")) {
    if (record.at("coder").front() != "arans") continue;
    const Bytes input = testing::hex_bytes(record.at("input").front());
    const Bytes stream = testing::hex_bytes(record.at("stream").front());
    EXPECT_EQ(encode(input), stream) << "input of " << input.size() << " bytes";
    auto decoded = decode(stream);
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(*decoded, input);
    ++checked;
  }
  EXPECT_GE(checked, 5);
}

TEST(Arans, ShortInputsAreStoredAsTheyAre) {
  for (size_t n = 0; n < 6; ++n) {
    const Bytes input = random_bytes(n, 100 + static_cast<uint32_t>(n));
    EXPECT_EQ(encode(input), input);
    EXPECT_EQ(must_decode(input), input);
  }
  // Whatever the bytes: a context-bits byte of 0xFF means nothing here.
  EXPECT_EQ(must_decode(Bytes{0x01, 0xFF, 0xFF, 0xFF, 0xFF}), (Bytes{0x01, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(Arans, RoundTripsAndPicksContextBits) {
  for (size_t n = 0; n <= 20; ++n) {
    for (int alphabet : {2, 256}) {
      const Bytes input = random_bytes(n, static_cast<uint32_t>(n * 7 + alphabet), alphabet);
      auto decoded = decode(encode(input));
      ASSERT_TRUE(decoded.ok()) << n;
      EXPECT_EQ(*decoded, input) << n;
    }
  }
  for (size_t n : {16382u, 16383u, 16384u, 16385u, 16386u}) {
    const Bytes input = random_bytes(n, static_cast<uint32_t>(n), 40);
    const Bytes stream = encode(input);
    EXPECT_EQ(stream[0], n & 1);
    EXPECT_EQ(stream[1], n < 16384 ? 3 : 8) << n;
    auto decoded = decode(stream);
    ASSERT_TRUE(decoded.ok()) << n;
    EXPECT_EQ(*decoded, input) << n;
  }
}

TEST(Arans, EveryContextWidthDecodes) {
  // The encoder writes 3 or 8, but any of 0..8 is a valid stream.
  const Bytes input = random_bytes(301, 5, 17);
  Bytes low, high;
  for (size_t i = 0; i + 1 < input.size(); i += 2) {
    low.push_back(input[i]);
    high.push_back(input[i + 1]);
  }
  for (unsigned c = 0; c <= 8; ++c) {
    Bytes a = encode_byte_plane(low, c), rest = a;
    const Bytes b = encode_byte_plane(high, c);
    rest.insert(rest.end(), b.begin(), b.end());
    rest.push_back(input.back());
    auto decoded = decode(assemble(1, static_cast<uint8_t>(c), low.size(), a.size(), rest));
    ASSERT_TRUE(decoded.ok()) << c;
    EXPECT_EQ(*decoded, input) << c;
  }
  EXPECT_TRUE(encode_byte_plane({}, 3).empty());
  EXPECT_TRUE(decode_byte_plane({}, 0, 3)->empty());
  EXPECT_EQ(decode_byte_plane(Bytes{1, 2, 3}, 1, 3).error(), AransError::Truncated);
}

TEST(Arans, HeaderChecksComeInTheirOrder) {
  // Context bits 9 is refused before the LEB128 number that runs off the end.
  EXPECT_EQ(decode_message({0x00, 0x09, 0x80, 0x80, 0x80, 0x80}), kInconsistent);
  EXPECT_EQ(decode_message({0x00, 0x08, 0x80, 0x80, 0x80, 0x80}), kTruncated);
  // The pair count: running off the end, a tenth byte with bit 7 set, over 2^28.
  Bytes ten_bytes = {0x00, 0x03};
  ten_bytes.insert(ten_bytes.end(), 9, 0x80);
  EXPECT_EQ(decode_message(ten_bytes), kTruncated);
  ten_bytes.push_back(0x80);
  EXPECT_EQ(decode_message(ten_bytes), kInconsistent);
  ten_bytes.back() = 0x7F;  // ten bytes, but the last ends the number: huge, not malformed
  ten_bytes.push_back(0x00);
  EXPECT_EQ(decode_message(ten_bytes), kInconsistent);  // > 2^28
  EXPECT_EQ(decode_message(assemble(0, 3, (1u << 28) + 1, 4, Bytes(8, 0))), kInconsistent);
  // The pair-count cap comes before the plane A length's own errors.
  EXPECT_EQ(decode_message({0x00, 0x03, 0x81, 0x80, 0x80, 0x80, 0x02, 0x80}), kInconsistent);
  // The plane A length: running off the end, too long a number.
  EXPECT_EQ(decode_message({0x00, 0x03, 0x04, 0x80, 0x80, 0x80}), kTruncated);
  Bytes long_length = {0x00, 0x03, 0x04};
  long_length.insert(long_length.end(), 10, 0xFF);
  EXPECT_EQ(decode_message(long_length), kInconsistent);
}

TEST(Arans, PlaneRangeChecks) {
  const Bytes input = random_bytes(40, 21, 30);
  const Bytes stream = encode(input);
  ASSERT_EQ(stream[2], 20);  // one-byte pair count
  const uint8_t length_a = stream[3];
  const Bytes body(stream.begin() + 4, stream.end());
  EXPECT_EQ(must_decode(assemble(0, 3, 20, length_a, body)), input);
  // Plane A reaching past the end (less the odd byte when flagged).
  EXPECT_EQ(decode_message(assemble(0, 3, 20, body.size() + 1, body)), kTruncated);
  EXPECT_EQ(decode_message(assemble(1, 3, 20, body.size(), body)), kTruncated);
  // An end past 2^32 - 1, and a length near 2^64 that would wrap the sum.
  // (Both lengths take five LEB128 bytes, so plane A starts at 8.)
  EXPECT_EQ(decode_message(assemble(0, 3, 20, (uint64_t{1} << 32) - 8, body)), kInconsistent);
  EXPECT_EQ(decode_message(assemble(0, 3, 20, (uint64_t{1} << 32) - 9, body)), kTruncated);
  EXPECT_EQ(decode_message(assemble(0, 3, 20, ~uint64_t{0} - 1, body)), kInconsistent);
  EXPECT_EQ(decode_message(assemble(0, 3, 20, ~uint64_t{0}, body)), kInconsistent);
  // Plane B of fewer than 4 bytes with pairs to decode.
  const Bytes a_only(body.begin(), body.begin() + length_a);
  for (size_t extra = 0; extra < 4; ++extra) {
    Bytes short_b = a_only;
    short_b.insert(short_b.end(), extra, 0x55);
    EXPECT_EQ(decode_message(assemble(0, 3, 20, length_a, short_b)), kTruncated) << extra;
  }
  // No pairs: both planes empty, nothing looked at; the odd byte survives.
  EXPECT_EQ(must_decode(assemble(1, 3, 0, 0, {0xAA, 0xBB, 0x42})), (Bytes{0x42}));
}

TEST(Arans, OnlyBitZeroOfTheFirstByteMarksOddInput) {
  const Bytes even = random_bytes(30, 2, 20);
  Bytes stream = encode(even);
  stream[0] = 0x02;
  EXPECT_EQ(must_decode(stream), even);
  Bytes odd = random_bytes(31, 4, 20);
  stream = encode(odd);
  ASSERT_EQ(stream[0], 0x01);
  stream[0] = 0x03;
  EXPECT_EQ(must_decode(stream), odd);
  stream[0] = 0xFE;  // read as even: the carried byte becomes part of plane B
  EXPECT_EQ(must_decode(stream).size(), 30u);
}

TEST(Arans, EveryCutIsTruncatedAndTrailingBytesAreIgnored) {
  for (size_t n : {64u, 65u}) {
    const Bytes input = random_bytes(n, static_cast<uint32_t>(n), 50);
    const Bytes stream = encode(input);
    for (size_t cut = 6; cut < stream.size(); ++cut) {
      EXPECT_EQ(decode_message(Bytes(stream.begin(), stream.begin() + cut)), kTruncated)
          << n << " bytes cut at " << cut;
    }
  }
  const Bytes input = random_bytes(64, 8, 50);
  Bytes padded = encode(input);
  padded.insert(padded.end(), {0x00, 0xFF, 0x10});
  EXPECT_EQ(must_decode(padded), input);
}

TEST(Arans, CheapestLegitimateInputIsAccepted) {
  // Zero bytes drive all eight cells of their tree path to 4081/4096: about
  // 189 plane bytes per coded byte, the most a real plane carries.
  const Bytes zeros(4'000'000, 0);
  const Bytes stream = encode(zeros);
  EXPECT_GT(zeros.size() / stream.size(), 150u);
  auto decoded = decode(stream);
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ(*decoded, zeros);
}

TEST(Arans, RefusesPairCountsThePlanesCannotBack) {
  // 20 bytes declaring 2^28 pairs: "Stream truncated" at once, no plane buffer.
  const Bytes stream = assemble(0, 3, uint64_t{1} << 28, 8, Bytes(12, 0x5A));
  ASSERT_EQ(stream.size(), 20u);
  std::string result;
  const size_t largest =
      testing::largest_allocation_during([&] { result = decode_message(stream); });
  EXPECT_EQ(result, kTruncated);
  EXPECT_LT(largest, size_t{1} << 20);
  // The same on a bare plane: 256 pairs per coded byte plus 512 are allowed.
  const Bytes coded(10, 0x5A);
  EXPECT_EQ(decode_byte_plane(coded, 256 * 10 + 513, 8).error(), AransError::Truncated);
  const size_t at_bound = testing::largest_allocation_during(
      [&] { (void)decode_byte_plane(coded, 256 * 10 + 512, 8); });
  EXPECT_GE(at_bound, size_t{256 * 10 + 512});
}

TEST(Arans, PlaneDecoderAgreesWithThePlainReference) {
  // Encoder output of skewed and uniform planes, every context width, cut
  // anywhere, and arbitrary bytes read as a plane.
  std::mt19937 rng(41);
  std::uniform_int_distribution<int> width(0, 8), count(1, 5000);
  for (int round = 0; round < 60; ++round) {
    const unsigned bits = round < 9 ? round : width(rng);
    const Bytes plane = random_bytes(count(rng), round, round % 2 ? 256 : 5);
    Bytes coded = encode_byte_plane(plane, bits);
    if (round % 3 == 0) coded = random_bytes(coded.size(), round + 1000);  // foreign words
    const size_t cut = round % 4 == 0 ? coded.size() : coded.size() * (round % 4) / 4;
    const std::span<const uint8_t> range(coded.data(), cut);
    const auto expected = testing::reference_byte_plane(range, plane.size(), bits);
    auto decoded = decode_byte_plane(range, plane.size(), bits);
    SCOPED_TRACE(round);
    ASSERT_EQ(decoded.ok(), expected.has_value());
    if (decoded.ok()) {
      EXPECT_EQ(*decoded, *expected);
    } else {
      EXPECT_EQ(decoded.error(), AransError::Truncated);
    }
  }
}

}  // namespace
}  // namespace vdx::arans
