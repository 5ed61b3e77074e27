#include "src/normalizer.hpp"

#include <cmath>
#include <limits>

#include "src/sample_kernels_sse2.hpp"

namespace vdx {

SignalRange copy_cleaned_scalar(std::span<const float> input, std::span<float> out) {
  const size_t n = input.size();
  for (size_t i = 0; i < n; ++i) {
    const float x = input[i];
    // NaN fails both comparisons and so lands on 0.
    out[i] = std::isfinite(x) ? x : (x > 0.0f ? 1.0f : 0.0f);
  }
  float lo = std::numeric_limits<float>::infinity();
  float hi = -std::numeric_limits<float>::infinity();
  for (size_t i = 0; i < n; ++i) {
    const float x = out[i];
    if (x < lo) lo = x;
    if (x > hi) hi = x;
  }
  return {lo, hi};
}

SignalRange copy_cleaned(std::span<const float> input, std::span<float> out) {
#if defined(VERDALIX_HAVE_SSE2_KERNELS)
  return sse2::copy_cleaned(input.data(), out.data(), input.size());
#else
  return copy_cleaned_scalar(input, out);
#endif
}

bool is_flat_range(float width) { return !(width > 0.0f) || std::isinf(1.0f / width); }

float normalize(std::span<float> signal, SignalRange range) {
  const float width = range.max_value - range.min_value;
  if (is_flat_range(width)) {
    for (float& x : signal) x = 0.0f;
    return 0.0f;
  }
  const float inverse_width = 1.0f / width;
  const float lo = range.min_value;
  for (float& x : signal) x = (x - lo) * inverse_width;
  // The mean is a strictly sequential float32 sum: a tree or lane-wise sum
  // would round differently.
  float sum = 0.0f;
  for (float x : signal) sum += x;
  const float mean = sum / static_cast<float>(signal.size());
  for (float& x : signal) x = x - mean;
  return mean;
}

bool denormalize(std::span<float> signal, float min_value, float max_value, float mean_value) {
  const float width = max_value - min_value;
  constexpr float kMax = std::numeric_limits<float>::max();
  bool numbers = true;
  for (float& y : signal) {
    const float centred = y + mean_value;
    const float scaled = centred * width;
    float v = scaled + min_value;
    if (std::isinf(scaled)) [[unlikely]] {
      // Only ranges near the float32 limit get here: the product overflows
      // although adding the (opposite-signed) minimum would bring it back,
      // so the last two steps are redone where they cannot overflow.
      v = static_cast<float>(double{centred} * double{width} + double{min_value});
    }
    // The input had no infinities (they were cleaned), so what still
    // overflows is rounding at the edge of the float32 range.
    v = v > kMax ? kMax : v;
    v = v < -kMax ? -kMax : v;
    numbers &= v == v;
    y = v;
  }
  return numbers;
}

}  // namespace vdx
