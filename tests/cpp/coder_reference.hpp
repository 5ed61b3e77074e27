// The coefficient stream (both ways) and arans byte planes coded the plain
// way, one decision at a time with their own rANS arithmetic and cell
// updates, sharing no code with the library's coders: the oracles that the
// optimised coders are compared with on reference, random and cut streams.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vdx::testing {

struct ReferenceDecode {
  std::string error;  // empty on success
  std::vector<std::vector<int16_t>> bands;
};

class ReferenceBits {
 public:
  explicit ReferenceBits(std::span<const uint8_t> coded)
      : coded_(coded), x_(coded[0] | coded[1] << 8 | coded[2] << 16 | uint32_t{coded[3]} << 24) {}

  // False once a needed word was missing.
  bool get(uint16_t& cell, unsigned& bit) {
    const uint32_t p = cell, slot = x_ % 4096;
    bit = slot >= p;
    x_ = bit ? (4096 - p) * (x_ / 4096) + slot - p : p * (x_ / 4096) + slot;
    while (x_ < 65536) {
      if (pos_ + 2 > coded_.size()) return false;
      x_ = x_ << 16 | coded_[pos_] | coded_[pos_ + 1] << 8;
      pos_ += 2;
    }
    cell = static_cast<uint16_t>(bit ? p - p / 16 : p + (4096 - p) / 16);
    return true;
  }

 private:
  std::span<const uint8_t> coded_;
  uint32_t x_;
  size_t pos_ = 4;
};

// The coefficient stream of `bands`: bands modelled in order, decisions
// recorded as (start, frequency), then coded last-first with a division.
inline std::vector<uint8_t> reference_encode(const std::vector<std::vector<int16_t>>& bands) {
  std::vector<uint8_t> head = {static_cast<uint8_t>(bands.size())};
  std::vector<std::pair<uint32_t, uint32_t>> symbols;
  for (const auto& band : bands) {
    uint32_t largest = 0;
    for (int16_t c : band) largest = std::max<uint32_t>(largest, c < 0 ? 0u - c : c);
    unsigned width = 1;
    while (largest >> width) ++width;
    head.push_back(static_cast<uint8_t>(width));
    std::vector<uint16_t> cells((size_t{1} << width) + 3, 2048);
    auto put = [&](uint16_t& cell, unsigned bit) {
      const uint32_t p = cell;
      symbols.emplace_back(bit ? p : 0, bit ? 4096 - p : p);
      cell = static_cast<uint16_t>(bit ? p - p / 16 : p + (4096 - p) / 16);
    };
    unsigned prev = 0;
    for (int16_t c : band) {
      put(cells[prev], c != 0);
      prev = c != 0;
      if (!c) continue;
      put(cells[2], c < 0);
      const uint32_t m = (c < 0 ? 0u - static_cast<uint32_t>(c) : static_cast<uint32_t>(c)) - 1;
      uint32_t node = 1;
      for (unsigned k = width; k-- > 0;) {
        put(cells[3 + node], (m >> k) & 1);
        node = 2 * node + ((m >> k) & 1);
      }
    }
  }
  std::vector<uint8_t> tail;  // built backwards
  uint64_t x = 65536;
  for (size_t i = symbols.size(); i-- > 0;) {
    const auto [start, freq] = symbols[i];
    while (x >= uint64_t{freq} << 20) {
      tail.push_back(static_cast<uint8_t>(x >> 8));
      tail.push_back(static_cast<uint8_t>(x));
      x >>= 16;
    }
    x = (x / freq) * 4096 + x % freq + start;
  }
  for (int shift : {24, 16, 8, 0}) tail.push_back(static_cast<uint8_t>(x >> shift));
  head.insert(head.end(), tail.rbegin(), tail.rend());
  return head;
}

inline ReferenceDecode reference_decode(std::span<const uint8_t> stream,
                                        std::span<const uint32_t> lengths) {
  const std::string truncated = "Stream truncated";
  const std::string inconsistent = "Inconsistent length in coefficient stream";
  if (stream.empty()) return {truncated, {}};
  const size_t count = stream[0];
  if (count != lengths.size()) return {inconsistent, {}};
  if (stream.size() <= count) return {truncated, {}};
  for (size_t i = 1; i <= count; ++i) {
    if (stream[i] > 16) return {inconsistent, {}};
  }
  if (stream.size() - 1 - count < 4) return {truncated, {}};
  ReferenceBits bits(stream.subspan(1 + count));
  ReferenceDecode out;
  for (size_t b = 0; b < count; ++b) {
    const unsigned width = stream[1 + b];
    std::vector<uint16_t> cells((size_t{1} << width) + 3, 2048);
    std::vector<int16_t> band(lengths[b]);
    unsigned prev = 0, bit = 0;
    for (auto& value : band) {
      if (!bits.get(cells[prev], bit)) return {truncated, {}};
      prev = bit;
      if (!bit) continue;
      unsigned negative = 0;
      if (!bits.get(cells[2], negative)) return {truncated, {}};
      uint32_t node = 1, m = 0;
      for (unsigned k = 0; k < width; ++k) {
        if (!bits.get(cells[3 + node], bit)) return {truncated, {}};
        m = 2 * m + bit;
        node = 2 * node + bit;
      }
      value = static_cast<int16_t>(static_cast<uint16_t>(negative ? 0u - (m + 1) : m + 1));
    }
    out.bands.push_back(std::move(band));
  }
  return out;
}

// A coded byte plane: `count` bytes under `context_bits`, or nothing when a
// needed word is missing.
inline std::optional<std::vector<uint8_t>> reference_byte_plane(std::span<const uint8_t> coded,
                                                                size_t count,
                                                                unsigned context_bits) {
  if (count == 0) return std::vector<uint8_t>{};
  if (coded.size() < 4) return std::nullopt;
  ReferenceBits bits(coded);
  std::vector<uint16_t> cells(size_t{256} << context_bits, 2048);
  std::vector<uint8_t> plane;
  unsigned prev = 0;
  for (size_t i = 0; i < count; ++i) {
    const size_t base = (prev >> (8 - context_bits)) << 8;
    unsigned node = 1, bit = 0;
    for (int k = 0; k < 8; ++k) {
      if (!bits.get(cells[base + node], bit)) return std::nullopt;
      node = 2 * node + bit;
    }
    plane.push_back(static_cast<uint8_t>(prev = node - 256));
  }
  return plane;
}

}  // namespace vdx::testing
