#include "src/sample_kernels_sse2.hpp"

#if defined(VERDALIX_HAVE_SSE2_KERNELS)

#include <emmintrin.h>

#include <limits>

#include "src/quantizer.hpp"

namespace vdx::sse2 {
namespace {

// minps(a, b) is a < b ? a : b and maxps(a, b) is a > b ? a : b, lane by
// lane: the scalar scans' strict comparisons, with the new value first.
inline __m128 cleaned(__m128 x) {
  const __m128 magnitude = _mm_andnot_ps(_mm_set1_ps(-0.0f), x);
  // False for NaN and both infinities; NaN also fails x > 0.
  const __m128 finite = _mm_cmple_ps(magnitude, _mm_set1_ps(std::numeric_limits<float>::max()));
  const __m128 positive = _mm_and_ps(_mm_cmpgt_ps(x, _mm_setzero_ps()), _mm_set1_ps(1.0f));
  return _mm_or_ps(_mm_and_ps(finite, x), _mm_andnot_ps(finite, positive));
}

// Lanes of several accumulators folded in index order with the same strict
// comparisons; only a zero's sign can come out differently from one scan.
inline void fold(const __m128* lanes, int count, bool smallest, float& into) {
  alignas(16) float values[4];
  for (int k = 0; k < count; ++k) {
    _mm_store_ps(values, lanes[k]);
    for (float v : values) {
      into = smallest ? (v < into ? v : into) : (v > into ? v : into);
    }
  }
}

float first_zero(const float* x, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (x[i] == 0.0f) return x[i];
  }
  return 0.0f;
}

}  // namespace

SignalRange copy_cleaned(const float* input, float* out, size_t n) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  __m128 lo[2] = {_mm_set1_ps(kInf), _mm_set1_ps(kInf)};
  __m128 hi[2] = {_mm_set1_ps(-kInf), _mm_set1_ps(-kInf)};
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128 a = cleaned(_mm_loadu_ps(input + i));
    const __m128 b = cleaned(_mm_loadu_ps(input + i + 4));
    _mm_storeu_ps(out + i, a);
    _mm_storeu_ps(out + i + 4, b);
    lo[0] = _mm_min_ps(a, lo[0]);
    lo[1] = _mm_min_ps(b, lo[1]);
    hi[0] = _mm_max_ps(a, hi[0]);
    hi[1] = _mm_max_ps(b, hi[1]);
  }
  float low = kInf, high = -kInf;
  fold(lo, 2, true, low);
  fold(hi, 2, false, high);
  for (; i < n; ++i) {
    const float x = _mm_cvtss_f32(cleaned(_mm_set_ss(input[i])));
    out[i] = x;
    low = x < low ? x : low;
    high = x > high ? x : high;
  }
  // Cleaned samples hold no NaN, and +0 and -0 are the only equal values
  // that differ: a zero extreme is whichever zero came first.
  if (low == 0.0f) low = first_zero(out, n);
  if (high == 0.0f) high = first_zero(out, n);
  return {low, high};
}

void quantize(const float* band, size_t n, float multiplier, uint16_t threshold, int16_t* out) {
  const __m128 m = _mm_set1_ps(multiplier);
  const __m128 top = _mm_set1_ps(32767.0f);
  const __m128 bottom = _mm_set1_ps(-32768.0f);
  const __m128 half = _mm_set1_ps(0.5f);
  const __m128 minus_half = _mm_set1_ps(-0.5f);
  const __m128i limit = _mm_set1_epi32(threshold);
  auto four = [&](const float* at) {
    // Saturating first (NaN fails p < 32767 and so becomes 32767) leaves
    // truncation in range, and 32767 or -32768 then round to themselves.
    __m128 p = _mm_min_ps(_mm_mul_ps(_mm_loadu_ps(at), m), top);
    p = _mm_max_ps(p, bottom);
    const __m128i truncated = _mm_cvttps_epi32(p);
    const __m128 fraction = _mm_sub_ps(p, _mm_cvtepi32_ps(truncated));  // exact
    // Comparison masks are -1 where true: subtracting one rounds up.
    __m128i q = _mm_sub_epi32(truncated, _mm_castps_si128(_mm_cmpge_ps(fraction, half)));
    q = _mm_add_epi32(q, _mm_castps_si128(_mm_cmple_ps(fraction, minus_half)));
    const __m128i sign = _mm_srai_epi32(q, 31);
    const __m128i magnitude = _mm_sub_epi32(_mm_xor_si128(q, sign), sign);  // up to 32768
    return _mm_andnot_si128(_mm_cmplt_epi32(magnitude, limit), q);
  };
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    // Every value fits int16, so the saturating pack is exact.
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                     _mm_packs_epi32(four(band + i), four(band + i + 4)));
  }
  for (; i < n; ++i) {
    const int16_t v = quantize_value(band[i] * multiplier);
    const int32_t wide = v;
    out[i] = (wide < 0 ? -wide : wide) < threshold ? int16_t{0} : v;
  }
}

void widen_extremes(const float* band, size_t n, float& smallest, float& largest) {
  __m128 lo[2] = {_mm_set1_ps(smallest), _mm_set1_ps(smallest)};
  __m128 hi[2] = {_mm_set1_ps(largest), _mm_set1_ps(largest)};
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128 a = _mm_loadu_ps(band + i);
    const __m128 b = _mm_loadu_ps(band + i + 4);
    lo[0] = _mm_min_ps(a, lo[0]);
    lo[1] = _mm_min_ps(b, lo[1]);
    hi[0] = _mm_max_ps(a, hi[0]);
    hi[1] = _mm_max_ps(b, hi[1]);
  }
  fold(lo, 2, true, smallest);
  fold(hi, 2, false, largest);
  for (; i < n; ++i) {
    smallest = band[i] < smallest ? band[i] : smallest;
    largest = band[i] > largest ? band[i] : largest;
  }
}

}  // namespace vdx::sse2

#endif
