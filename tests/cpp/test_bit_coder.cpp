// Adaptive bit coder: the probability range the fast arithmetic relies on,
// the division-free encoder against a plain one, and the decoder's limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include "src/bit_coder.hpp"

namespace vdx {
namespace {

using Bytes = std::vector<uint8_t>;

struct Decision {
  unsigned bit;
  size_t cell;
};

// The encoder as plainly written: integer division, bytes appended high
// first, the whole buffer reversed at the end.
Bytes plain_encode(const std::vector<Decision>& decisions, size_t cells) {
  std::vector<uint32_t> p(cells, 2048);
  std::vector<std::pair<uint32_t, uint32_t>> pairs;  // (start, freq)
  for (const Decision& d : decisions) {
    uint32_t& q = p[d.cell];
    pairs.emplace_back(d.bit ? q : 0, d.bit ? 4096 - q : q);
    uint32_t next = d.bit ? q - (q >> 4) : q + ((4096 - q) >> 4);
    q = std::clamp<uint32_t>(next, 1, 4095);
  }
  Bytes out;
  uint32_t x = 65536;
  for (size_t i = pairs.size(); i-- > 0;) {
    const auto [start, freq] = pairs[i];
    while (x >= freq * (1u << 20)) {
      out.push_back(static_cast<uint8_t>(x >> 8));
      out.push_back(static_cast<uint8_t>(x));
      x >>= 16;
    }
    x = (x / freq) * 4096 + (x % freq) + start;
  }
  for (int shift : {24, 16, 8, 0}) out.push_back(static_cast<uint8_t>(x >> shift));
  std::reverse(out.begin(), out.end());
  return out;
}

Bytes fast_encode(const std::vector<Decision>& decisions, size_t cells, size_t hint) {
  std::vector<BitModel> table(cells);
  RansBitEncoder encoder(hint);
  for (const Decision& d : decisions) encoder.put(d.bit, table[d.cell]);
  EXPECT_EQ(encoder.decisions(), decisions.size());
  return encoder.finish();
}

// Decisions over `cells` cells, each cell with its own skew, so that some
// cells sit at the probability limits and others wander.
std::vector<Decision> random_decisions(size_t count, size_t cells, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<double> skew(cells);
  for (auto& s : skew) s = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
  skew[0] = 0.0;
  if (cells > 1) skew[1] = 1.0;
  std::vector<Decision> out(count);
  for (auto& d : out) {
    d.cell = std::uniform_int_distribution<size_t>(0, cells - 1)(rng);
    d.bit = std::bernoulli_distribution(skew[d.cell])(rng);
  }
  return out;
}

TEST(BitModel, ProbabilitiesStayWithin15And4081) {
  // Every probability reachable from 2048, by breadth-first search.
  std::set<uint32_t> seen = {BitModel::kInitial};
  std::vector<uint32_t> frontier = {BitModel::kInitial};
  while (!frontier.empty()) {
    const uint32_t p = frontier.back();
    frontier.pop_back();
    for (unsigned bit = 0; bit < 2; ++bit) {
      const uint32_t next = BitModel::next(p, bit);
      const uint32_t plain = bit ? p - (p >> 4) : p + ((4096 - p) >> 4);
      EXPECT_EQ(next, std::clamp<uint32_t>(plain, 1, 4095)) << p << " " << bit;
      if (seen.insert(next).second) frontier.push_back(next);
    }
  }
  EXPECT_EQ(*seen.begin(), 15u);
  EXPECT_EQ(*seen.rbegin(), 4081u);
}

TEST(BitCoder, SymbolCodingsHoldEveryRecordsFrequencyAndExactDivision) {
  __extension__ using u128 = unsigned __int128;
  std::mt19937 rng(1);
  for (uint32_t record = 0; record < 2 * kProbTotal; ++record) {
    const uint32_t p = record & 4095, bit = record >> 12;
    const uint32_t f = bit ? 4096 - p : p;
    if (f < 2 || f >= 4096) continue;  // no probability outside 15..4081 is recorded
    const SymbolCoding& symbol = kSymbolCodings.of[record];
    ASSERT_EQ(symbol.bound, f << 20) << record;
    ASSERT_EQ(symbol.cofrequency, 4096 - f) << record;
    ASSERT_EQ(symbol.start, bit ? p : 0) << record;
    const auto divide = [&](uint32_t x) {
      return static_cast<uint32_t>((static_cast<u128>(x) * symbol.reciprocal) >> 64);
    };
    // Multiples of f and their neighbours up to the top of the 32-bit range,
    // where an inexact reciprocal first shows.
    const uint32_t top = UINT32_MAX / f;
    for (uint32_t k : {0u, 1u, 2u, top / 2, top - 1, top}) {
      for (int delta : {-1, 0, 1}) {
        const uint32_t x = k * f + static_cast<uint32_t>(delta);
        if (delta < 0 && k == 0) continue;
        ASSERT_EQ(divide(x), x / f) << x << " / " << f;
      }
    }
    ASSERT_EQ(divide(UINT32_MAX), UINT32_MAX / f) << f;
    for (int i = 0; i < 32; ++i) {
      const uint32_t x = static_cast<uint32_t>(rng());
      ASSERT_EQ(divide(x), x / f) << x << " / " << f;
    }
  }
}

TEST(BitCoder, MatchesThePlainEncoderByteForByte) {
  EXPECT_EQ(fast_encode({}, 1, 0), (Bytes{0x00, 0x00, 0x01, 0x00}));
  for (size_t cells : {1u, 2u, 7u, 300u}) {
    for (size_t count : {1u, 2u, 100u, 5000u, 100000u}) {
      const auto decisions = random_decisions(count, cells, static_cast<uint32_t>(count + cells));
      const Bytes plain = plain_encode(decisions, cells);
      // With an exact record size, none, and a too-small one (it must grow).
      EXPECT_EQ(fast_encode(decisions, cells, count), plain) << cells << " " << count;
      EXPECT_EQ(fast_encode(decisions, cells, 0), plain) << cells << " " << count;
      EXPECT_EQ(fast_encode(decisions, cells, count / 3 + 1), plain) << cells << " " << count;
    }
  }
}

TEST(BitCoder, DecoderRecoversDecisionsAndEndsAtTheStartState) {
  const size_t cells = 50;
  const auto decisions = random_decisions(200000, cells, 99);
  const Bytes coded = fast_encode(decisions, cells, decisions.size());
  auto decoder = RansBitDecoder::open(coded);
  ASSERT_TRUE(decoder.has_value());
  std::vector<BitModel> table(cells);
  for (size_t i = 0; i < decisions.size(); ++i) {
    ASSERT_EQ(decoder->get(table[decisions[i].cell]), decisions[i].bit) << i;
  }
  EXPECT_FALSE(decoder->truncated());
  EXPECT_EQ(decoder->remaining(), 0u);      // every word was needed
  EXPECT_EQ(decoder->state(), 65536u);       // the encoder's starting state
}

TEST(BitCoder, DecoderStopsAtTheEndOfItsRange) {
  EXPECT_FALSE(RansBitDecoder::open(Bytes{1, 2, 3}).has_value());
  const auto decisions = random_decisions(3000, 3, 5);
  const Bytes coded = fast_encode(decisions, 3, 0);
  ASSERT_GT(coded.size(), 8u);
  // Cut the last word: the decisions before it still come out right, then
  // the missing word is reported.
  const Bytes cut(coded.begin(), coded.end() - 1);
  auto decoder = RansBitDecoder::open(cut);
  std::vector<BitModel> table(3);
  size_t matched = 0;
  while (matched < decisions.size() && !decoder->truncated()) {
    if (decoder->get(table[decisions[matched].cell]) != decisions[matched].bit) break;
    ++matched;
  }
  EXPECT_TRUE(decoder->truncated());
  EXPECT_GT(matched, decisions.size() / 2);
}

TEST(BitCoder, ForeignStatesBelowTheLowerBound) {
  // A state of 0 decodes a 0 and stays 0, so the refill shifts in a word
  // that is itself below 2^16 and needs a second one.
  Bytes coded = {0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x07, 0x00};
  auto decoder = RansBitDecoder::open(coded);
  BitModel cell;
  EXPECT_EQ(decoder->get(cell), 0u);
  EXPECT_FALSE(decoder->truncated());
  EXPECT_EQ(decoder->state(), 0x00050007u);
  EXPECT_EQ(decoder->remaining(), 0u);
  // The same with only one word: truncated, and nothing read beyond.
  coded.resize(6);
  decoder = RansBitDecoder::open(coded);
  BitModel fresh;
  decoder->get(fresh);
  EXPECT_TRUE(decoder->truncated());
}

}  // namespace
}  // namespace vdx
