// Coefficient stream model: quantised bands coded as adaptive binary
// decisions (zero flag, sign, magnitude bit tree) over the rANS bit coder.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/result.hpp"

namespace vdx {

enum class CoefficientStreamError : uint8_t { Truncated, InconsistentLength };

const char* message(CoefficientStreamError error);

// Where each band's cells sit in the one flat table of a stream. Band i of
// width w gets 2^w + 3 cells from offsets[i]: two zero flags (after a zero,
// after a nonzero), the sign, then the magnitude bit tree at +3 + node.
struct ContextLayout {
  static constexpr uint32_t kZeroAfterZero = 0;
  static constexpr uint32_t kZeroAfterNonzero = 1;
  static constexpr uint32_t kSign = 2;
  static constexpr uint32_t kTree = 3;  // + node, node in 1 .. 2^w - 1
  static constexpr unsigned kMaxWidth = 16;

  // widths are 0..16.
  static ContextLayout from_widths(std::span<const uint8_t> widths);

  std::vector<uint32_t> offsets;
  uint32_t total_cells = 0;
};

struct CoefficientStream {
  static std::vector<uint8_t> encode(std::span<const std::span<const int16_t>> bands);

  // Bit width the encoder writes for a band: the bit length of its largest
  // magnitude (-32768 counting as 32768), 1 for an empty or all-zero band.
  static uint8_t band_width(std::span<const int16_t> band);
  // Decisions the encoder makes for a band of that width: one zero flag per
  // value, plus a sign and `width` magnitude bits per nonzero value.
  static uint64_t decision_count(std::span<const int16_t> band, unsigned width);

  // Band i of the result holds exactly band_lengths[i] values.
  static Result<std::vector<std::vector<int16_t>>, CoefficientStreamError> decode(
      std::span<const uint8_t> stream, std::span<const uint32_t> band_lengths);

  // Same checks and results as decode, with the bands concatenated in order
  // into one vector (what the decompression pipeline needs).
  static Result<std::vector<int16_t>, CoefficientStreamError> decode_flat(
      std::span<const uint8_t> stream, std::span<const uint32_t> band_lengths);
};

}  // namespace vdx
