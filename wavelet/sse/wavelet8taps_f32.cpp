#include "wavelet/sse/wavelet8taps_f32.hpp"

#if VDX_HAVE_SSE42_KERNELS

#include <immintrin.h>

#define VDX_TARGET_SSE42 __attribute__((target("sse4.2")))

namespace vdx::wavelet::eight_tap {

namespace {

struct Taps {
  __m128 h_low, h_high, g_low, g_high;
};

VDX_TARGET_SSE42 inline Taps load_taps(const EightTapFilters& f) {
  return {_mm_load_ps(f.h.data()), _mm_load_ps(f.h.data() + 4), _mm_load_ps(f.g.data()),
          _mm_load_ps(f.g.data() + 4)};
}

// [A0 + A1, A2 + A3, D0 + D1, D2 + D3] for the window at w, where
// A_j = h[j]·w[j] + h[j+4]·w[j+4] and D_j likewise with g.
VDX_TARGET_SSE42 inline __m128 half_sums(const Taps& t, const float* w) {
  const __m128 low = _mm_loadu_ps(w);
  const __m128 high = _mm_loadu_ps(w + 4);
  const __m128 a = _mm_add_ps(_mm_mul_ps(t.h_low, low), _mm_mul_ps(t.h_high, high));
  const __m128 d = _mm_add_ps(_mm_mul_ps(t.g_low, low), _mm_mul_ps(t.g_high, high));
  return _mm_hadd_ps(a, d);
}

// One output from a window in memory: (A0 + A1) + (A2 + A3), likewise for D.
VDX_TARGET_SSE42 inline void one_output(const Taps& t, const float* w, float* approximation,
                                        float* details) {
  const __m128 s = half_sums(t, w);
  const __m128 sums = _mm_hadd_ps(s, s);  // [A, D, A, D]
  _mm_store_ss(approximation, sums);
  _mm_store_ss(details, _mm_movehdup_ps(sums));
}

VDX_TARGET_SSE42 inline void border_output(const Taps& t, const float* x, size_t n, size_t i,
                                           BorderMode mode, float* approximation,
                                           float* details) {
  alignas(16) float w[kTaps];
  gather_window(x, n, i, mode, w);
  one_output(t, w, approximation + i, details + i);
}

}  // namespace

VDX_TARGET_SSE42 void forward_sse42(const EightTapFilters& filters, BorderMode mode,
                                    const float* x, size_t n, float* approximation,
                                    float* details) {
  const Taps t = load_taps(filters);
  const size_t outputs = band_length(n);
  const size_t inner_end = interior_end(n);
  for (size_t i = 0; i < kInteriorBegin; ++i) {
    border_output(t, x, n, i, mode, approximation, details);
  }
  size_t i = kInteriorBegin;
  // Two outputs per step; their windows start 2 samples apart.
  for (; i + 2 <= inner_end; i += 2) {
    const float* w = x + 2 * i - 6;
    const __m128 sums = _mm_hadd_ps(half_sums(t, w), half_sums(t, w + 2));  // [A, D, A', D']
    const __m128 bands = _mm_shuffle_ps(sums, sums, _MM_SHUFFLE(3, 1, 2, 0));
    _mm_storel_pi(reinterpret_cast<__m64*>(approximation + i), bands);
    _mm_storeh_pi(reinterpret_cast<__m64*>(details + i), bands);
  }
  if (i < inner_end) {
    one_output(t, x + 2 * i - 6, approximation + i, details + i);
    ++i;
  }
  for (; i < outputs; ++i) border_output(t, x, n, i, mode, approximation, details);
}

VDX_TARGET_SSE42 void inverse_sse42(const EightTapFilters& filters, const float* approximation,
                                    const float* details, size_t band_length, float* output) {
  // Four output pairs per step, each as synthesise_pair computes it.
  const size_t pairs = synthesis_pairs(band_length);
  const float* h = filters.h.data();
  const float* g = filters.g.data();
  // Broadcast once: the stores to `output` could alias the filters as far as
  // the compiler knows, so taps read inside the loop would be reloaded.
  __m128 h_even[4], h_odd[4], g_even[4], g_odd[4];
  for (size_t j = 0; j < 4; ++j) {
    h_even[j] = _mm_set1_ps(h[6 - 2 * j]);
    h_odd[j] = _mm_set1_ps(h[7 - 2 * j]);
    g_even[j] = _mm_set1_ps(g[6 - 2 * j]);
    g_odd[j] = _mm_set1_ps(g[7 - 2 * j]);
  }
  size_t q = 0;
  for (; q + 4 <= pairs; q += 4) {
    const __m128 first = _mm_loadu_ps(output + 2 * q);
    const __m128 second = _mm_loadu_ps(output + 2 * q + 4);
    __m128 even = _mm_shuffle_ps(first, second, _MM_SHUFFLE(2, 0, 2, 0));
    __m128 odd = _mm_shuffle_ps(first, second, _MM_SHUFFLE(3, 1, 3, 1));
    for (size_t j = 0; j < 4; ++j) {
      const __m128 a = _mm_loadu_ps(approximation + q + j);
      const __m128 d = _mm_loadu_ps(details + q + j);
      even = _mm_add_ps(_mm_add_ps(even, _mm_mul_ps(h_even[j], a)), _mm_mul_ps(g_even[j], d));
      odd = _mm_add_ps(_mm_add_ps(odd, _mm_mul_ps(h_odd[j], a)), _mm_mul_ps(g_odd[j], d));
    }
    _mm_storeu_ps(output + 2 * q, _mm_unpacklo_ps(even, odd));
    _mm_storeu_ps(output + 2 * q + 4, _mm_unpackhi_ps(even, odd));
  }
  for (; q < pairs; ++q) {
    synthesise_pair<SynthesisOrder::ApproximationFirst>(h, g, approximation, details, q, output);
  }
}

}  // namespace vdx::wavelet::eight_tap

#endif  // VDX_HAVE_SSE42_KERNELS
