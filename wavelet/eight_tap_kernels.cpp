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
  const size_t pairs = synthesis_pairs(band_length);
  for (size_t q = 0; q < pairs; ++q) {
    synthesise_pair<SynthesisOrder::DetailFirst>(filters.h.data(), filters.g.data(),
                                                 approximation, details, q, output);
  }
}

}  // namespace eight_tap
}  // namespace vdx::wavelet
