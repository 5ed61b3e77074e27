// SSE2 forms of the pipeline's per-sample loops: cleaning with the range
// scan, quantisation with the cutoff, and the extremes of a band. SSE2 is
// part of every x86-64 processor, so nothing is detected at run time; other
// targets use the scalar loops (normalizer.cpp, quantizer.cpp), which are
// also the references the tests compare these against bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "src/normalizer.hpp"

#if defined(__SSE2__)
#define VERDALIX_HAVE_SSE2_KERNELS 1

namespace vdx::sse2 {

// copy_cleaned (normalizer.hpp), including the sign of a zero extreme.
SignalRange copy_cleaned(const float* input, float* out, size_t n);

// q(c * multiplier) per value, then values whose magnitude is below
// `threshold` become 0 (threshold 0 keeps everything).
void quantize(const float* band, size_t n, float multiplier, uint16_t threshold, int16_t* out);

// widen_extremes (quantizer.hpp).
void widen_extremes(const float* band, size_t n, float& smallest, float& largest);

}  // namespace vdx::sse2

#endif
