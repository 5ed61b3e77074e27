// How a filter bank extends a signal beyond its ends.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vdx::wavelet {

enum class BorderMode : uint32_t {
  Clamp = 0,       // nearest edge sample
  Wrap = 1,        // periodic: x[j mod n]
  Reflect = 2,     // mirrored with the edge sample repeated: x[−1] = x[0]
  Reflect101 = 3,  // mirrored about the edge sample: x[−1] = x[1]
  Zeros = 4,       // zero
};

// x̃[j] for a position j that lies at most n samples outside 0..n−1 (the
// 8-tap filter bank asks for −6..n+6 with n ≥ 8).
inline float extended_sample(const float* x, size_t n, ptrdiff_t j, BorderMode mode) {
  const ptrdiff_t len = static_cast<ptrdiff_t>(n);
  if (j >= 0 && j < len) return x[j];
  switch (mode) {
    case BorderMode::Clamp:
      return j < 0 ? x[0] : x[len - 1];
    case BorderMode::Wrap:
      return j < 0 ? x[j + len] : x[j - len];
    case BorderMode::Reflect:
      return j < 0 ? x[-j - 1] : x[2 * len - 1 - j];
    case BorderMode::Reflect101:
      return j < 0 ? x[-j] : x[2 * len - 2 - j];
    case BorderMode::Zeros:
      break;
  }
  return 0.0f;
}

}  // namespace vdx::wavelet
