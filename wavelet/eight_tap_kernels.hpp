// The arithmetic of the 8-tap filter bank, shared by the portable and the
// SSE4.2 kernels: filters, window geometry and the portable kernels.
//
// Analysis output i reads the window x̃[2i − 6 .. 2i + 1]. Outputs 0..2 and
// those from interior_end(n) on reach past an end and take their samples
// through the border mode; the interior between them reads the input directly.
#pragma once

#include <array>
#include <cstddef>

#include "wavelet/border_mode.hpp"

namespace vdx::wavelet {

// Low-pass h and high-pass g = (h7, −h6, h5, −h4, h3, −h2, h1, −h0), float32.
struct EightTapFilters {
  alignas(16) std::array<float, 8> h;
  alignas(16) std::array<float, 8> g;
};

// Rounds each coefficient to the nearest float32 and derives g exactly.
EightTapFilters make_eight_tap_filters(const std::array<double, 8>& coefficients);

namespace eight_tap {

constexpr size_t kTaps = 8;
// Outputs before this index have windows that start before x[0].
constexpr size_t kInteriorBegin = 3;

// Number of analysis outputs per band for n samples.
constexpr size_t band_length(size_t n) { return (n + 7) / 2; }

// First output whose window passes x[n − 1]: 2i + 1 ≤ n − 1 ⇔ i < n / 2.
constexpr size_t interior_end(size_t n) { return n / 2; }

// Copies the window of output i, with border samples, into w.
inline void gather_window(const float* x, size_t n, size_t i, BorderMode mode, float* w) {
  const ptrdiff_t first = static_cast<ptrdiff_t>(2 * i) - 6;
  for (size_t k = 0; k < kTaps; ++k) {
    w[k] = extended_sample(x, n, first + static_cast<ptrdiff_t>(k), mode);
  }
}

// Σ taps[k]·w[k] from +0.0, k = 0..7 in order.
inline float dot_in_order(const float* taps, const float* w) {
  float sum = 0.0f;
  for (size_t k = 0; k < kTaps; ++k) sum = sum + taps[k] * w[k];
  return sum;
}

// Which product joins a synthesis sample first.
enum class SynthesisOrder { DetailFirst, ApproximationFirst };

// Synthesis of output pair q (samples 2q, 2q + 1), one at a time: the pair
// takes coefficients q + j, j = 0..3, through taps 6 − 2j (even sample) and
// 7 − 2j (odd sample), in increasing j.
template <SynthesisOrder order>
inline void synthesise_pair(const float* h, const float* g, const float* approximation,
                            const float* details, size_t q, float* output) {
  float even = output[2 * q];
  float odd = output[2 * q + 1];
  for (size_t j = 0; j < 4; ++j) {
    const float a = approximation[q + j];
    const float d = details[q + j];
    if constexpr (order == SynthesisOrder::DetailFirst) {
      even = (even + g[6 - 2 * j] * d) + h[6 - 2 * j] * a;
      odd = (odd + g[7 - 2 * j] * d) + h[7 - 2 * j] * a;
    } else {
      even = (even + h[6 - 2 * j] * a) + g[6 - 2 * j] * d;
      odd = (odd + h[7 - 2 * j] * a) + g[7 - 2 * j] * d;
    }
  }
  output[2 * q] = even;
  output[2 * q + 1] = odd;
}

// Output pairs of a synthesis from bands of `band_length` coefficients.
constexpr size_t synthesis_pairs(size_t band_length) {
  return band_length >= 3 ? band_length - 3 : 0;
}

// Portable analysis of n ≥ 8 samples into band_length(n) outputs per band.
void forward_portable(const EightTapFilters& filters, BorderMode mode, const float* x, size_t n,
                      float* approximation, float* details);

// Portable synthesis of bands of `band_length` ≥ 3 coefficients, added into
// the 2·band_length − 6 samples of `output`: each sample accumulates the four
// coefficients that reach it, in increasing coefficient order, as
// ((out + g·d) + h·a).
void inverse_portable(const EightTapFilters& filters, const float* approximation,
                      const float* details, size_t band_length, float* output);

}  // namespace eight_tap
}  // namespace vdx::wavelet
