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

// The backward pass over the band after the one being modelled, advanced
// a few records per modelled value so that the two run side by side.
struct Overlap {
  RansBackwardPass pass;
  size_t stop = 0;   // the first record of the band the pass is coding
  size_t steps = 0;  // records per modelled value

  void advance() {
    const size_t next = pass.next();
    if (next > stop) pass.code_down_to(next - stop > steps ? next - steps : stop);
  }
};

// The two zero-flag cells and the sign cell are used by this band alone, so
// they live in registers for the band; only the tree stays in the table.
// With Overlapped, `overlap` advances once per value.
template <unsigned W, bool Overlapped>
RansBitEncoder::Cursor model_band(std::span<const int16_t> band, BitModel* cells,
                                  RansBitEncoder::Cursor encoder, Overlap& shared_overlap) {
  Overlap overlap = shared_overlap;  // a local copy lives in registers
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
      if constexpr (Overlapped) overlap.advance();
      ++i;
    }
    if (i == n) break;
    encoder.put(1, after_zero);
    after_zero = BitModel::next(after_zero, 1);
    for (;;) {  // band[i] is nonzero
      model_nonzero<W>(band[i], sign, tree, encoder);
      if constexpr (Overlapped) overlap.advance();
      if (++i == n) break;
      const unsigned nonzero = band[i] != 0;
      encoder.put(nonzero, after_nonzero);
      after_nonzero = BitModel::next(after_nonzero, nonzero);
      if (!nonzero) {
        if constexpr (Overlapped) overlap.advance();
        ++i;
        break;
      }
    }
  }
  shared_overlap = overlap;
  return encoder;
}

using BandModeller = RansBitEncoder::Cursor (*)(std::span<const int16_t>, BitModel*,
                                                RansBitEncoder::Cursor, Overlap&);

template <bool Overlapped, unsigned... W>
constexpr auto band_modellers(std::integer_sequence<unsigned, W...>) {
  return std::array<BandModeller, sizeof...(W)>{&model_band<W, Overlapped>...};
}
// Entry w models a band of width w (the encoder writes 1..16), alone or
// beside the backward pass.
constexpr auto kWidths = std::make_integer_sequence<unsigned, ContextLayout::kMaxWidth + 1>();
constexpr auto kBandModellers = band_modellers<false>(kWidths);
constexpr auto kOverlappedBandModellers = band_modellers<true>(kWidths);

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
  std::array<size_t, 256 + 1> first_record;  // band i's records start here
  size_t decisions = 0;
  for (size_t i = 0; i < band_count; ++i) {
    widths[i] = band_width(bands[i]);
    first_record[i] = decisions;
    decisions += decision_count(bands[i], widths[i]);
  }
  first_record[band_count] = decisions;
  const ContextLayout layout = ContextLayout::from_widths(widths);
  std::vector<BitModel> cells(std::max<uint32_t>(layout.total_cells, 1));
  RansBitEncoder encoder(decisions);
  RansBitEncoder::Cursor cursor = encoder.reserve(decisions);
  // Bands share no cells, so they can be modelled in any order: last band
  // first, then each band beside the backward pass over the band after it
  // (the pass needs the later records first). The records, and so the
  // output, are the same as in band order.
  Overlap overlap{encoder.backward_pass()};
  for (size_t i = band_count; i-- > 0;) {
    BitModel* band_cells = cells.data() + layout.offsets[i];
    const RansBitEncoder::Cursor at = encoder.cursor_at(first_record[i]);
    if (i + 1 == band_count) {
      cursor = kBandModellers[widths[i]](bands[i], band_cells, at, overlap);
    } else {
      overlap.stop = first_record[i + 1];
      const size_t later = first_record[i + 2] - first_record[i + 1];
      overlap.steps = later / std::max<size_t>(bands[i].size(), 1) + 1;
      kOverlappedBandModellers[widths[i]](bands[i], band_cells, at, overlap);
      overlap.pass.code_down_to(overlap.stop);
    }
  }
  encoder.commit(cursor);
  overlap.pass.code_down_to(0);
  std::vector<uint8_t> out = overlap.pass.output(1 + band_count);
  out[0] = static_cast<uint8_t>(band_count);
  if (band_count) std::memcpy(out.data() + 1, widths.data(), band_count);
  return out;
}

}  // namespace vdx
