// Quantisation of wavelet coefficients to int16 and back, the cutoff that
// zeroes small details, and the search for a multiplier that saturates nothing.
#pragma once

#include <cstdint>
#include <span>

#include "src/options.hpp"

namespace vdx {

// q(c * multiplier): the float32 product rounded to the nearest integer,
// halves away from zero, saturated to int16 (NaN saturates to 32767).
inline int16_t quantize_value(float product) {
  if (!(product < 32767.0f)) return 32767;  // also NaN
  if (product <= -32768.0f) return -32768;
  const float truncated = static_cast<float>(static_cast<int32_t>(product));
  const float fraction = product - truncated;  // exact for |product| < 2^23
  int32_t q = static_cast<int32_t>(truncated);
  if (fraction >= 0.5f) q += 1;
  if (fraction <= -0.5f) q -= 1;
  return static_cast<int16_t>(q);
}

void quantize_band(std::span<const float> band, float multiplier, std::span<int16_t> out);

// quantize_band followed by apply_cutoff, in one pass.
void quantize_detail_band(std::span<const float> band, float multiplier, uint16_t threshold,
                          std::span<int16_t> out);

// Widens [smallest, largest] to the band's values (NaN is skipped). Equal
// to the sequential scan with strict comparisons except, possibly, for the
// sign of a zero extreme.
void widen_extremes(std::span<const float> band, float& smallest, float& largest);

// The plain loops the three above must agree with (their vector forms are
// in sample_kernels_sse2.cpp).
void quantize_band_scalar(std::span<const float> band, float multiplier, std::span<int16_t> out);
void quantize_detail_band_scalar(std::span<const float> band, float multiplier,
                                 uint16_t threshold, std::span<int16_t> out);
void widen_extremes_scalar(std::span<const float> band, float& smallest, float& largest);

// Magnitudes are taken as unsigned 16-bit numbers, so -32768 counts as 32768.
uint16_t cutoff_threshold(uint8_t scale, CutoffLevel cutoff);
void apply_cutoff(std::span<int16_t> band, uint16_t threshold);

// True when an extreme coefficient times `multiplier` would round outside
// -32768..32767 and be clipped. Whatever saturates, an extreme does.
bool saturates(float multiplier, float smallest, float largest);

// Halves `multiplier` (exact in float32) until neither extreme coefficient
// quantises outside -32768..32767. Both extremes must be finite.
float fit_multiplier(float multiplier, float smallest, float largest);

// A caller's multiplier (not negative, not NaN) when nothing saturates;
// otherwise the largest float32 below it at which nothing does.
float cap_multiplier(float multiplier, float smallest, float largest);

// v * inverse_multiplier per coefficient; foreign containers whose multiplier
// has an infinite float32 inverse are divided instead so they stay numbers.
void dequantize_band(std::span<const int16_t> band, float multiplier, std::span<float> out);

}  // namespace vdx
