// Coefficient stream model: quantised bands coded as adaptive binary
// decisions (zero flag, sign, magnitude bit tree) over the rANS bit coder.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "src/result.hpp"

namespace vdx {

enum class CoefficientStreamError : uint8_t { Truncated, InconsistentLength };

const char* message(CoefficientStreamError error);

struct CoefficientStream {
  static std::vector<uint8_t> encode(std::span<const std::span<const int16_t>> bands);

  // Band i of the result holds exactly band_lengths[i] values.
  static Result<std::vector<std::vector<int16_t>>, CoefficientStreamError> decode(
      std::span<const uint8_t> stream, std::span<const uint32_t> band_lengths);

  // Same checks and results as decode, with the bands concatenated in order
  // into one vector (what the decompression pipeline needs).
  static Result<std::vector<int16_t>, CoefficientStreamError> decode_flat(
      std::span<const uint8_t> stream, std::span<const uint32_t> band_lengths);
};

}  // namespace vdx
