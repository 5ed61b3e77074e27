// SSE4.2 kernels of the 8-tap filter bank. Same contracts as the portable
// kernels in eight_tap_kernels.hpp, with a different summation order:
// analysis forms the pair sums P_j = t[j]·x_j + t[j+4]·x_{j+4} and adds them
// as (P0 + P1) + (P2 + P3); synthesis adds ((out + h·a) + g·d).
//
// Compiled with function-level target attributes; call only when the
// processor has SSE4.2 (processor_features()).
#pragma once

#include <cstddef>

#include "wavelet/eight_tap_kernels.hpp"

#if defined(__x86_64__) || defined(__i386__)
#define VDX_HAVE_SSE42_KERNELS 1
#else
#define VDX_HAVE_SSE42_KERNELS 0
#endif

namespace vdx::wavelet::eight_tap {

#if VDX_HAVE_SSE42_KERNELS
void forward_sse42(const EightTapFilters& filters, BorderMode mode, const float* x, size_t n,
                   float* approximation, float* details);

void inverse_sse42(const EightTapFilters& filters, const float* approximation,
                   const float* details, size_t band_length, float* output);
#endif

}  // namespace vdx::wavelet::eight_tap
