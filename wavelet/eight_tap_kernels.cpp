#include "wavelet/eight_tap_kernels.hpp"

namespace vdx::wavelet {

EightTapFilters make_eight_tap_filters(const std::array<double, 8>& coefficients) {
  EightTapFilters f{};
  for (size_t k = 0; k < 8; ++k) f.h[k] = static_cast<float>(coefficients[k]);
  // g[k] = (−1)^k · h[7 − k]; negation is exact.
  for (size_t k = 0; k < 8; ++k) f.g[k] = (k % 2 == 0) ? f.h[7 - k] : -f.h[7 - k];
  return f;
}

namespace eight_tap {

void forward_portable(const EightTapFilters& filters, BorderMode mode, const float* x, size_t n,
                      float* approximation, float* details) {
  const float* h = filters.h.data();
  const float* g = filters.g.data();
  const size_t outputs = band_length(n);
  const size_t inner_end = interior_end(n);
  float w[kTaps];
  auto border_output = [&](size_t i) {
    gather_window(x, n, i, mode, w);
    approximation[i] = dot_in_order(h, w);
    details[i] = dot_in_order(g, w);
  };
  for (size_t i = 0; i < kInteriorBegin; ++i) border_output(i);
  for (size_t i = kInteriorBegin; i < inner_end; ++i) {
    const float* window = x + 2 * i - 6;
    approximation[i] = dot_in_order(h, window);
    details[i] = dot_in_order(g, window);
  }
  for (size_t i = inner_end; i < outputs; ++i) border_output(i);
}

void inverse_portable(const EightTapFilters& filters, const float* approximation,
                      const float* details, size_t band_length, float* output) {
  // Output pair q (samples 2q, 2q + 1) takes coefficients q + j, j = 0..3,
  // through taps 6 − 2j (even sample) and 7 − 2j (odd sample).
  const float* h = filters.h.data();
  const float* g = filters.g.data();
  const size_t pairs = band_length >= 3 ? band_length - 3 : 0;
  for (size_t q = 0; q < pairs; ++q) {
    float even = output[2 * q];
    float odd = output[2 * q + 1];
    for (size_t j = 0; j < 4; ++j) {
      const float a = approximation[q + j];
      const float d = details[q + j];
      even = (even + g[6 - 2 * j] * d) + h[6 - 2 * j] * a;
      odd = (odd + g[7 - 2 * j] * d) + h[7 - 2 * j] * a;
    }
    output[2 * q] = even;
    output[2 * q + 1] = odd;
  }
}

}  // namespace eight_tap
}  // namespace vdx::wavelet
