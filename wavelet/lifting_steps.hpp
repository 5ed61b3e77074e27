// Building blocks of the CDF lifting transforms: one predict or update step
// over a range of band indices, with the whole-sample symmetric boundary
// substitutions taken out of the loops, and a blocked sweep that runs a chain
// of steps while the data is still in L1.
//
// Every step computes target = ((p + q) × c) + target with one float32
// rounding per operation. The loops are plain element-wise loops: the compiler
// vectorises them without reassociating (no fast-math, no contraction), so the
// vector lanes give the scalar formula's bits.
#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>

namespace vdx::wavelet::lifting {

// n samples split into m = n − n/2 approximation (even) and h = n/2 detail
// (odd) elements.
struct Split {
  size_t n;
  size_t h;
  size_t m;
  explicit Split(size_t length) : n(length), h(length / 2), m(length - length / 2) {}
  bool even() const { return (n & 1) == 0; }
};

// out[i] = ((a[S·i] + a[S·i + S]) × c) + t[S·i] for i in [lo, hi) ⊆ [0, h).
// For even n the last detail has no right neighbour: a[S·h] is taken as
// a[S·(h − 1)]. `out` may be `t` (an in-place step).
template <size_t S>
inline void predict(float* out, const float* a, const float* t, size_t lo, size_t hi, float c,
                    const Split& split) {
  if (lo >= hi) return;
  const bool mirrored_end = split.even() && hi == split.h;
  const size_t end = mirrored_end ? hi - 1 : hi;
  for (size_t i = lo; i < end; ++i) out[i] = ((a[S * i] + a[S * i + S]) * c) + t[S * i];
  if (mirrored_end) {
    const size_t i = hi - 1;
    out[i] = ((a[S * i] + a[S * i]) * c) + t[S * i];
  }
}

// out[i] = ((d[i − 1] + d[i]) × c) + t[S·i] for i in [lo, hi) ⊆ [0, m).
// d[−1] is taken as d[0] and, for odd n, d[h] as d[h − 1]. `out` may be `t`.
template <size_t S>
inline void update(float* out, const float* d, const float* t, size_t lo, size_t hi, float c,
                   const Split& split) {
  if (lo >= hi) return;
  size_t begin = lo;
  if (lo == 0) {
    out[0] = ((d[0] + d[0]) * c) + t[0];
    begin = 1;
  }
  const bool mirrored_end = !split.even() && hi == split.m;
  const size_t end = mirrored_end ? hi - 1 : hi;
  for (size_t i = begin; i < end; ++i) out[i] = ((d[i - 1] + d[i]) * c) + t[S * i];
  if (mirrored_end && end >= begin) {
    const size_t i = hi - 1;
    out[i] = ((d[i - 1] + d[i - 1]) * c) + t[S * i];
  }
}

// out[i] = in[i] × k for i in [lo, hi). Eight per iteration: two vectors in
// flight hide the multiply latency.
inline void scale(float* out, const float* in, size_t lo, size_t hi, float k) {
  size_t i = lo;
  for (; i + 8 <= hi; i += 8) {
    for (size_t j = 0; j < 8; ++j) out[i + j] = in[i + j] * k;
  }
  for (; i < hi; ++i) out[i] = in[i] * k;
}

// y[2i] = e[i], y[2i + 1] = o[i] for i in [lo, hi).
inline void interleave(float* y, const float* e, const float* o, size_t lo, size_t hi) {
  for (size_t i = lo; i < hi; ++i) {
    y[2 * i] = e[i];
    y[2 * i + 1] = o[i];
  }
}

// Index ranges of one block of a sweep. A step that reads results of an
// earlier step at index i + 1 runs one index behind it (its lag), so that
// every neighbour it reads is final and none it still needs is overwritten.
class Block {
 public:
  Block(size_t begin, size_t end, bool first, bool last)
      : begin_(begin), end_(end), first_(first), last_(last) {}
  // The range of a step with `lag` over a band of `band_length` elements.
  std::pair<size_t, size_t> range(size_t lag, size_t band_length) const {
    const size_t lo = first_ ? 0 : std::min(begin_ - lag, band_length);
    const size_t hi = last_ ? band_length : std::min(end_ - lag, band_length);
    return {lo, hi};
  }

 private:
  size_t begin_, end_;
  bool first_, last_;
};

// Largest lag any chain uses; blocks must be at least this long.
constexpr size_t kMaxLag = 3;
// 2048 band indices: the input (4096 samples) and both bands take 32 KiB.
constexpr size_t kBlockLength = 2048;
static_assert(kBlockLength >= kMaxLag);

// Calls body(Block) for consecutive blocks covering [0, total).
template <class Body>
inline void sweep(size_t total, Body&& body) {
  for (size_t begin = 0; begin < total; begin += kBlockLength) {
    const size_t end = std::min(total, begin + kBlockLength);
    body(Block(begin, end, begin == 0, end == total));
  }
}

}  // namespace vdx::wavelet::lifting
