#include "src/quantizer.hpp"

#include <array>
#include <cmath>

namespace vdx {

void quantize_band(std::span<const float> band, float multiplier, std::span<int16_t> out) {
  for (size_t i = 0; i < band.size(); ++i) out[i] = quantize_value(band[i] * multiplier);
}

uint16_t cutoff_threshold(uint8_t scale, CutoffLevel cutoff) {
  // Base per scale 6..12; finer scales keep more of the small details.
  static constexpr std::array<uint16_t, 7> kBase = {0, 0, 1, 1, 2, 2, 3};
  static constexpr std::array<uint16_t, 3> kFactor = {1, 3, 7};
  if (scale < 6 || scale > 12) return 0;
  return static_cast<uint16_t>(kBase[scale - 6] * kFactor[static_cast<size_t>(cutoff)]);
}

void apply_cutoff(std::span<int16_t> band, uint16_t threshold) {
  if (threshold == 0) return;
  for (int16_t& v : band) {
    const int32_t wide = v;
    const uint32_t magnitude = static_cast<uint32_t>(wide < 0 ? -wide : wide);
    v = magnitude < threshold ? int16_t{0} : v;
  }
}

float fit_multiplier(float multiplier, float smallest, float largest) {
  auto saturates = [](float product) {
    // Rounded halves away from zero, only -32768..32767 fits.
    return product >= 32767.5f || product <= -32768.5f;
  };
  while (saturates(largest * multiplier) || saturates(smallest * multiplier)) {
    multiplier *= 0.5f;
  }
  return multiplier;
}

void dequantize_band(std::span<const int16_t> band, float multiplier, std::span<float> out) {
  const float inverse = 1.0f / multiplier;
  if (std::isinf(inverse)) {
    for (size_t i = 0; i < band.size(); ++i) out[i] = static_cast<float>(band[i]) / multiplier;
    return;
  }
  for (size_t i = 0; i < band.size(); ++i) out[i] = static_cast<float>(band[i]) * inverse;
}

}  // namespace vdx
