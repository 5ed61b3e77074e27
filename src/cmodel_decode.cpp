// Decoding of the coefficient stream. Decisions come in the order the
// encoder modelled them: per value a zero flag, then for a nonzero value its
// sign and `width` magnitude bits down the band's bit tree.
//
// The width is fixed per band, so each band runs a loop compiled for its
// width: the tree walk is unrolled, the only branch on the data is the zero
// flag, and within the tree the next cell's probability is fetched for both
// children before the decision and picked by it (decode_tree).
#include <algorithm>
#include <array>
#include <optional>
#include <utility>

#include "src/bit_coder.hpp"
#include "src/cmodel.hpp"
#include "src/decision_bound.hpp"

namespace vdx {
namespace {

using Error = CoefficientStreamError;

// Truncation is looked at once per this many values: a stream cut short
// wastes at most that many values' worth of decoding before it is refused.
constexpr size_t kTruncationCheckInterval = 4096;

// The zero-flag, sign and tree cells of the band being decoded; the first
// three are this band's alone, so they are held in registers.
struct BandCells {
  uint32_t after_zero;
  uint32_t after_nonzero;
  uint32_t sign;
  BitModel* tree;
};

// Sign and magnitude of a value whose zero flag said nonzero.
template <unsigned W>
inline int16_t decode_nonzero(RansBitDecoder& decoder, BandCells& cells) {
  const unsigned negative = decoder.decode_update(cells.sign);
  // m + 1; a width-16 field of a foreign stream wraps mod 2^16 below.
  const uint32_t value = decoder.decode_tree<W>(cells.tree) - (uint32_t{1} << W) + 1;
  return static_cast<int16_t>(static_cast<uint16_t>(negative ? 0u - value : value));
}

// Decodes values[i, stop) (zero-filled by the caller: only nonzero values
// are written), `prev` being the zero flag before values[i]; returns the
// last zero flag. Which zero-flag cell comes next is where the code is, not
// a variable: the only branch on the data is the zero flag itself.
template <unsigned W>
inline unsigned decode_values(RansBitDecoder& decoder, BandCells& cells, int16_t* values,
                              size_t i, size_t stop, unsigned prev) {
  if (prev) goto after_nonzero;
  while (i < stop) {
    if (!decoder.decode_update(cells.after_zero)) {
      ++i;
      continue;
    }
    for (;;) {
      values[i] = decode_nonzero<W>(decoder, cells);
      if (++i == stop) return 1;
    after_nonzero:
      if (!decoder.decode_update(cells.after_nonzero)) {
        ++i;
        break;
      }
    }
  }
  return 0;
}

// Decodes one band of width W into `out` (zero-filled by the caller). False
// when the coded range ran out of words.
template <unsigned W>
bool decode_band(RansBitDecoder& shared_decoder, BitModel* cells, std::span<int16_t> out) {
  RansBitDecoder decoder = shared_decoder;  // a local copy lives in registers
  BandCells band{cells[ContextLayout::kZeroAfterZero].p, cells[ContextLayout::kZeroAfterNonzero].p,
                 cells[ContextLayout::kSign].p, cells + ContextLayout::kTree};
  const size_t n = out.size();
  unsigned prev = 0;
  for (size_t i = 0; i < n; i += kTruncationCheckInterval) {
    const size_t stop = std::min(n, i + kTruncationCheckInterval);
    prev = decode_values<W>(decoder, band, out.data(), i, stop, prev);
    if (decoder.truncated()) return false;
  }
  shared_decoder = decoder;
  return true;
}

using BandDecoder = bool (*)(RansBitDecoder&, BitModel*, std::span<int16_t>);

template <unsigned... W>
constexpr auto band_decoders(std::integer_sequence<unsigned, W...>) {
  return std::array<BandDecoder, sizeof...(W)>{&decode_band<W>...};
}
// Entry w decodes a band of width w.
constexpr auto kBandDecoders =
    band_decoders(std::make_integer_sequence<unsigned, ContextLayout::kMaxWidth + 1>());

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
    const BandDecoder decode_band_of_width = kBandDecoders[parts.widths[i]];
    if (!decode_band_of_width(*decoder, cells.data() + layout.offsets[i], bands[i])) {
      return fail(Error::Truncated);
    }
  }
  return {};
}

}  // namespace

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
