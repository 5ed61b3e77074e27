// Adaptive rANS byte coder: the input split into a low-byte and a high-byte
// plane, each coded bit by bit with the previous byte of its plane as context.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/result.hpp"

namespace vdx::arans {

// The decoder refuses a stream announcing more byte pairs, that is more
// int16 coefficients, than this.
inline constexpr uint64_t kMaxCoefficients = uint64_t{1} << 28;

enum class AransError : uint8_t { Truncated, InconsistentLength };

const char* message(AransError error);

std::vector<uint8_t> encode(std::span<const uint8_t> input);
Result<std::vector<uint8_t>, AransError> decode(std::span<const uint8_t> stream);

std::vector<uint8_t> encode_byte_plane(std::span<const uint8_t> plane, unsigned context_bits);
Result<std::vector<uint8_t>, AransError> decode_byte_plane(std::span<const uint8_t> coded,
                                                           size_t count,
                                                           unsigned context_bits);

}  // namespace vdx::arans
