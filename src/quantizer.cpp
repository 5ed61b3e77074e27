#include "src/quantizer.hpp"

#include <array>
#include <bit>
#include <cmath>

#include "src/sample_kernels_sse2.hpp"

namespace vdx {

void quantize_band_scalar(std::span<const float> band, float multiplier, std::span<int16_t> out) {
  for (size_t i = 0; i < band.size(); ++i) out[i] = quantize_value(band[i] * multiplier);
}

void quantize_band(std::span<const float> band, float multiplier, std::span<int16_t> out) {
#if defined(VERDALIX_HAVE_SSE2_KERNELS)
  sse2::quantize(band.data(), band.size(), multiplier, 0, out.data());
#else
  quantize_band_scalar(band, multiplier, out);
#endif
}

void quantize_detail_band_scalar(std::span<const float> band, float multiplier,
                                 uint16_t threshold, std::span<int16_t> out) {
  quantize_band_scalar(band, multiplier, out);
  apply_cutoff(out.first(band.size()), threshold);
}

void quantize_detail_band(std::span<const float> band, float multiplier, uint16_t threshold,
                          std::span<int16_t> out) {
#if defined(VERDALIX_HAVE_SSE2_KERNELS)
  sse2::quantize(band.data(), band.size(), multiplier, threshold, out.data());
#else
  quantize_detail_band_scalar(band, multiplier, threshold, out);
#endif
}

void widen_extremes_scalar(std::span<const float> band, float& smallest, float& largest) {
  for (float c : band) {
    smallest = c < smallest ? c : smallest;
    largest = c > largest ? c : largest;
  }
}

void widen_extremes(std::span<const float> band, float& smallest, float& largest) {
#if defined(VERDALIX_HAVE_SSE2_KERNELS)
  sse2::widen_extremes(band.data(), band.size(), smallest, largest);
#else
  widen_extremes_scalar(band, smallest, largest);
#endif
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

bool saturates(float multiplier, float smallest, float largest) {
  // Rounded halves away from zero, only -32768..32767 fits.
  auto clipped = [](float product) { return product >= 32767.5f || product <= -32768.5f; };
  return clipped(largest * multiplier) || clipped(smallest * multiplier);
}

float fit_multiplier(float multiplier, float smallest, float largest) {
  while (saturates(multiplier, smallest, largest)) multiplier *= 0.5f;
  return multiplier;
}

float cap_multiplier(float multiplier, float smallest, float largest) {
  if (!saturates(multiplier, smallest, largest)) return multiplier;
  // A rounded float32 product never shrinks as the multiplier grows, so
  // saturation is monotone in it; and positive floats are ordered as their
  // bit patterns. Bisection keeps `fits` unsaturated (0 always is) and
  // `clips` saturated until they are neighbours.
  uint32_t fits = 0;
  uint32_t clips = std::bit_cast<uint32_t>(multiplier);
  while (clips - fits > 1) {
    const uint32_t middle = fits + (clips - fits) / 2;
    if (saturates(std::bit_cast<float>(middle), smallest, largest)) {
      clips = middle;
    } else {
      fits = middle;
    }
  }
  return std::bit_cast<float>(fits);
}

void dequantize_band(std::span<const int16_t> band, float multiplier, std::span<float> out) {
  const float inverse = 1.0f / multiplier;
  if (std::isinf(inverse)) {
    for (size_t i = 0; i < band.size(); ++i) out[i] = static_cast<float>(band[i]) / multiplier;
    return;
  }
  const size_t n = band.size();
  const int16_t* in = band.data();
  float* y = out.data();
  for (size_t i = 0; i < n; ++i) y[i] = static_cast<float>(in[i]) * inverse;
}

}  // namespace vdx
