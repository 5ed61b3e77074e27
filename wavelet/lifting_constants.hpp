// Lifting constants, defined by their float32 bit patterns so that no
// decimal-to-binary conversion can move them.
#pragma once

#include <bit>
#include <cstdint>

namespace vdx::wavelet::lifting {

constexpr float from_bits(uint32_t bits) { return std::bit_cast<float>(bits); }
constexpr float negated(float c) { return std::bit_cast<float>(std::bit_cast<uint32_t>(c) ^ 0x80000000u); }

// LeGall 5/3: exact dyadic values.
inline constexpr float kCdf53Predict = from_bits(0xBF000000u);  // −0.5
inline constexpr float kCdf53Update = from_bits(0x3E800000u);   // 0.25

// CDF 9/7, float32 roundings of the Daubechies–Sweldens lifting factorisation.
inline constexpr float kCdf97Alpha = from_bits(0xBFCB0673u);  // −1.5861343
inline constexpr float kCdf97Beta = from_bits(0xBD5901AEu);   // −0.052980117
inline constexpr float kCdf97Gamma = from_bits(0x3F620676u);  // 0.8829111
inline constexpr float kCdf97Delta = from_bits(0x3EE31355u);  // 0.44350687
inline constexpr float kCdf97K = from_bits(0x3F93263Du);      // 1.1496044
// The float32 rounding of the exact 1/K, one unit above the float32
// reciprocal of the rounded K (0x3F5EAF6F).
inline constexpr float kCdf97InvK = from_bits(0x3F5EAF70u);  // 0.86986446

}  // namespace vdx::wavelet::lifting
