#include "src/cmodel.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstring>
#include <utility>

#include "src/bit_coder.hpp"

namespace vdx {

const char* message(CoefficientStreamError error) {
  switch (error) {
    case CoefficientStreamError::Truncated:
      return "Stream truncated";
    case CoefficientStreamError::InconsistentLength:
      return "Inconsistent length in coefficient stream";
  }
  return "Unknown coefficient stream error";
}

ContextLayout ContextLayout::from_widths(std::span<const uint8_t> widths) {
  ContextLayout layout;
  layout.offsets.reserve(widths.size());
  for (uint8_t width : widths) {
    assert(width <= kMaxWidth);
    layout.offsets.push_back(layout.total_cells);
    layout.total_cells += (uint32_t{1} << width) + kTree;
  }
  return layout;
}

namespace {

using Error = CoefficientStreamError;

// Magnitudes as unsigned 16-bit values, so -32768 has magnitude 32768.
inline uint32_t magnitude(int16_t c) {
  return c < 0 ? 0u - static_cast<uint32_t>(c) : static_cast<uint32_t>(c);
}

// Codes one nonzero value after its zero flag: sign, then |c| - 1 as a
// W-bit tree, most significant bit first. W is a constant, so the walk is
// unrolled and its shifts are immediates.
template <unsigned W>
inline void model_nonzero(int16_t c, uint32_t& sign_p, BitModel* tree,
                          RansBitEncoder::Cursor& encoder) {
  const unsigned negative = c < 0;
  encoder.put(negative, sign_p);
  sign_p = BitModel::next(sign_p, negative);
  const uint32_t m = magnitude(c) - 1;
  uint32_t node = 1;
#pragma GCC unroll 16
  for (unsigned level = 1; level <= W; ++level) {
    const unsigned bit = (m >> (W - level)) & 1;
    encoder.put(bit, tree[node]);
    node = 2 * node + bit;
  }
}

// The two zero-flag cells and the sign cell are used by this band alone, so
// they live in registers for the band; only the tree stays in the table.
template <unsigned W>
RansBitEncoder::Cursor model_band(std::span<const int16_t> band, BitModel* cells,
                                  RansBitEncoder::Cursor encoder) {
  uint32_t after_zero = cells[ContextLayout::kZeroAfterZero].p;
  uint32_t after_nonzero = cells[ContextLayout::kZeroAfterNonzero].p;
  uint32_t sign = cells[ContextLayout::kSign].p;
  BitModel* tree = cells + ContextLayout::kTree;
  const size_t n = band.size();
  size_t i = 0;
  while (i < n) {
    // The first value of the band, or one after a zero.
    while (i < n && band[i] == 0) {
      encoder.put(0, after_zero);
      after_zero = BitModel::next(after_zero, 0);
      ++i;
    }
    if (i == n) break;
    encoder.put(1, after_zero);
    after_zero = BitModel::next(after_zero, 1);
    for (;;) {  // band[i] is nonzero
      model_nonzero<W>(band[i], sign, tree, encoder);
      if (++i == n) break;
      const unsigned nonzero = band[i] != 0;
      encoder.put(nonzero, after_nonzero);
      after_nonzero = BitModel::next(after_nonzero, nonzero);
      if (!nonzero) {
        ++i;
        break;
      }
    }
  }
  return encoder;
}

using BandModeller = RansBitEncoder::Cursor (*)(std::span<const int16_t>, BitModel*,
                                                RansBitEncoder::Cursor);

template <unsigned... W>
constexpr auto band_modellers(std::integer_sequence<unsigned, W...>) {
  return std::array<BandModeller, sizeof...(W)>{&model_band<W>...};
}
// Entry w models a band of width w (the encoder writes 1..16).
constexpr auto kBandModellers =
    band_modellers(std::make_integer_sequence<unsigned, ContextLayout::kMaxWidth + 1>());

}  // namespace

uint8_t CoefficientStream::band_width(std::span<const int16_t> band) {
  uint32_t largest = 0;
  for (int16_t c : band) largest = std::max(largest, magnitude(c));
  return largest == 0 ? 1 : static_cast<uint8_t>(std::bit_width(largest));
}

uint64_t CoefficientStream::decision_count(std::span<const int16_t> band, unsigned width) {
  uint64_t nonzero = 0;
  for (int16_t c : band) nonzero += c != 0;
  return band.size() + nonzero * (1 + width);
}

std::vector<uint8_t> CoefficientStream::encode(std::span<const std::span<const int16_t>> bands) {
  // The band count is one byte; the pipeline makes at most 9 bands.
  assert(bands.size() <= 255);
  const size_t band_count = bands.size();
  std::vector<uint8_t> widths(band_count);
  uint64_t decisions = 0;
  for (size_t i = 0; i < band_count; ++i) {
    widths[i] = band_width(bands[i]);
    decisions += decision_count(bands[i], widths[i]);
  }
  const ContextLayout layout = ContextLayout::from_widths(widths);
  std::vector<BitModel> cells(std::max<uint32_t>(layout.total_cells, 1));
  RansBitEncoder encoder(decisions);
  RansBitEncoder::Cursor cursor = encoder.reserve(decisions);
  for (size_t i = 0; i < band_count; ++i) {
    cursor = kBandModellers[widths[i]](bands[i], cells.data() + layout.offsets[i], cursor);
  }
  encoder.commit(cursor);
  std::vector<uint8_t> out = encoder.finish(1 + band_count);
  out[0] = static_cast<uint8_t>(band_count);
  if (band_count) std::memcpy(out.data() + 1, widths.data(), band_count);
  return out;
}

}  // namespace vdx
