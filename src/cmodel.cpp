#include "src/cmodel.hpp"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>

#include "src/bit_coder.hpp"
#include "src/decision_bound.hpp"

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
// `width`-bit tree, most significant bit first.
inline void model_nonzero(int16_t c, unsigned width, uint32_t& sign_p, BitModel* tree,
                          RansBitEncoder::Cursor& encoder) {
  const unsigned negative = c < 0;
  encoder.put(negative, sign_p);
  sign_p = BitModel::next(sign_p, negative);
  const uint32_t m = magnitude(c) - 1;
  uint32_t node = 1;
  for (unsigned k = width; k-- > 0;) {
    const unsigned bit = (m >> k) & 1;
    encoder.put(bit, tree[node]);
    node = 2 * node + bit;
  }
}

// The two zero-flag cells and the sign cell are used by this band alone, so
// they live in registers for the band; only the tree stays in the table.
RansBitEncoder::Cursor model_band(std::span<const int16_t> band, unsigned width,
                                  BitModel* cells, RansBitEncoder::Cursor encoder) {
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
      model_nonzero(band[i], width, sign, tree, encoder);
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

// Truncation is looked at once per this many values: a stream cut short
// wastes at most that many values' worth of decoding before it is refused.
constexpr size_t kTruncationCheckInterval = 4096;

// Decodes one band into `out` (zero-filled by the caller). False when the
// coded range ran out of words.
bool decode_band(RansBitDecoder& shared_decoder, BitModel* cells, unsigned width,
                 std::span<int16_t> out) {
  RansBitDecoder decoder = shared_decoder;  // a local copy lives in registers
  uint32_t after_zero = cells[ContextLayout::kZeroAfterZero].p;
  uint32_t after_nonzero = cells[ContextLayout::kZeroAfterNonzero].p;
  uint32_t sign = cells[ContextLayout::kSign].p;
  BitModel* tree = cells + ContextLayout::kTree;
  const uint32_t leaves = uint32_t{1} << width;
  const size_t n = out.size();
  unsigned prev = 0;
  size_t i = 0;
  while (i < n) {
    const size_t stop = std::min(n, i + kTruncationCheckInterval);
    for (; i < stop; ++i) {
      const uint32_t zero_p = prev ? after_nonzero : after_zero;
      const unsigned nonzero = decoder.decode(zero_p);
      const uint32_t updated = BitModel::next(zero_p, nonzero);
      after_nonzero = prev ? updated : after_nonzero;
      after_zero = prev ? after_zero : updated;
      prev = nonzero;
      if (!nonzero) continue;
      const unsigned negative = decoder.decode(sign);
      sign = BitModel::next(sign, negative);
      const uint32_t value = decoder.decode_tree(tree, width) - leaves + 1;  // m + 1; wraps mod 2^16 below
      out[i] = static_cast<int16_t>(static_cast<uint16_t>(negative ? 0u - value : value));
    }
    if (decoder.truncated()) return false;
  }
  shared_decoder = decoder;
  return true;
}

struct StreamParts {
  std::span<const uint8_t> widths;
  std::span<const uint8_t> coded;  // state, then words
};

// Every check before the first decision, in order; the last one refuses a
// request that no stream of this length can satisfy (decision_bound.hpp:
// each value costs at least one decision).
Result<StreamParts, Error> check_stream(std::span<const uint8_t> stream,
                                        std::span<const uint32_t> band_lengths) {
  if (stream.empty()) return fail(Error::Truncated);
  const size_t band_count = stream[0];
  if (band_count != band_lengths.size()) return fail(Error::InconsistentLength);
  if (stream.size() <= band_count) return fail(Error::Truncated);
  const std::span<const uint8_t> widths = stream.subspan(1, band_count);
  for (uint8_t width : widths) {
    if (width > ContextLayout::kMaxWidth) return fail(Error::InconsistentLength);
  }
  const std::span<const uint8_t> coded = stream.subspan(1 + band_count);
  if (coded.size() < 4) return fail(Error::Truncated);
  uint64_t total = 0;
  for (uint32_t length : band_lengths) total += length;
  if (total > max_decodable_decisions(coded.size())) return fail(Error::Truncated);
  return StreamParts{widths, coded};
}

// The shared core of decode and decode_flat: `bands[i]` has the length of
// band i, is zero-filled and receives its values.
Result<void, Error> decode_into(const StreamParts& parts,
                                std::span<const std::span<int16_t>> bands) {
  const ContextLayout layout = ContextLayout::from_widths(parts.widths);
  std::vector<BitModel> cells(std::max<uint32_t>(layout.total_cells, 1));
  std::optional<RansBitDecoder> decoder = RansBitDecoder::open(parts.coded);
  if (!decoder) return fail(Error::Truncated);
  for (size_t i = 0; i < bands.size(); ++i) {
    if (!decode_band(*decoder, cells.data() + layout.offsets[i], parts.widths[i], bands[i])) {
      return fail(Error::Truncated);
    }
  }
  return {};
}

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
    cursor = model_band(bands[i], widths[i], cells.data() + layout.offsets[i], cursor);
  }
  encoder.commit(cursor);
  std::vector<uint8_t> out = encoder.finish(1 + band_count);
  out[0] = static_cast<uint8_t>(band_count);
  if (band_count) std::memcpy(out.data() + 1, widths.data(), band_count);
  return out;
}

Result<std::vector<std::vector<int16_t>>, CoefficientStreamError> CoefficientStream::decode(
    std::span<const uint8_t> stream, std::span<const uint32_t> band_lengths) {
  ASSIGN_OR_RETURN(const StreamParts parts, check_stream(stream, band_lengths));
  std::vector<std::vector<int16_t>> bands(band_lengths.size());
  std::vector<std::span<int16_t>> views(band_lengths.size());
  for (size_t i = 0; i < band_lengths.size(); ++i) {
    bands[i].resize(band_lengths[i]);
    views[i] = bands[i];
  }
  RETURN_IF_ERROR(decode_into(parts, views));
  return bands;
}

Result<std::vector<int16_t>, CoefficientStreamError> CoefficientStream::decode_flat(
    std::span<const uint8_t> stream, std::span<const uint32_t> band_lengths) {
  ASSIGN_OR_RETURN(const StreamParts parts, check_stream(stream, band_lengths));
  size_t total = 0;
  for (uint32_t length : band_lengths) total += length;
  std::vector<int16_t> flat(total);
  std::vector<std::span<int16_t>> views(band_lengths.size());
  size_t offset = 0;
  for (size_t i = 0; i < band_lengths.size(); ++i) {
    views[i] = std::span<int16_t>(flat).subspan(offset, band_lengths[i]);
    offset += band_lengths[i];
  }
  RETURN_IF_ERROR(decode_into(parts, views));
  return flat;
}

}  // namespace vdx
