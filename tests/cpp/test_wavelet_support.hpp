// Helpers shared by the wavelet tests.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "common/result.hpp"
#include "wavelet/wavelet_error.hpp"

namespace vdx::wavelet::testing {

// Equal bits, or NaN on both sides: the payload of a NaN that meets another
// NaN depends on operand order, which the compiler may swap in a commutative
// addition.
inline bool same_value(float a, float b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
}

// Index of the first difference, or -1.
inline long first_difference(std::span<const float> a, std::span<const float> b) {
  if (a.size() != b.size()) return static_cast<long>(std::min(a.size(), b.size()));
  for (size_t i = 0; i < a.size(); ++i) {
    if (!same_value(a[i], b[i])) return static_cast<long>(i);
  }
  return -1;
}

#define EXPECT_SAME_FLOATS(a, b)                                                       \
  do {                                                                                 \
    const long vdx_at_ = ::vdx::wavelet::testing::first_difference((a), (b));         \
    EXPECT_EQ(vdx_at_, -1) << "first difference at index " << vdx_at_ << " (sizes "   \
                           << std::span<const float>(a).size() << ", "               \
                           << std::span<const float>(b).size() << ")";              \
  } while (0)

inline std::vector<float> random_floats(size_t n, uint32_t seed, float range = 100.0f) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-range, range);
  std::vector<float> out(n);
  for (float& v : out) v = dist(rng);
  return out;
}

inline std::vector<float> random_integers(size_t n, uint32_t seed, int range = 1000) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> dist(-range, range);
  std::vector<float> out(n);
  for (float& v : out) v = static_cast<float>(dist(rng));
  return out;
}

// Random values with a sprinkling of NaN and ±∞, and a NaN or ∞ at each end
// so that the boundary substitutions meet them too.
inline std::vector<float> random_with_specials(size_t n, uint32_t seed) {
  std::vector<float> out = random_floats(n, seed);
  const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity()};
  std::mt19937 rng(seed ^ 0x9e3779b9u);
  for (size_t i = 0; i < n; ++i) {
    if (rng() % 29 == 0) out[i] = specials[rng() % 3];
  }
  if (n > 0) out[0] = specials[seed % 3];
  if (n > 1) out[n - 1] = specials[(seed + 1) % 3];
  return out;
}

// The message of a failed result, or "ok".
template <class T>
std::string message_of(const Result<T, WaveletError>& result) {
  return result.ok() ? std::string("ok") : result.error().message();
}

// A float printed with 8 significant digits, as the worked examples are.
inline std::string eight_digits(float v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.8g", static_cast<double>(v));
  return text;
}

inline std::vector<std::string> eight_digits(std::span<const float> values) {
  std::vector<std::string> out;
  for (float v : values) out.push_back(eight_digits(v));
  return out;
}

}  // namespace vdx::wavelet::testing
