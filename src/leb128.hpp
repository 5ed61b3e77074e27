// Unsigned LEB128: seven bits per byte, least significant group first, bit 7
// set when another byte follows. Values are 64-bit, so at most 10 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vdx {

inline constexpr size_t kMaxLeb128Bytes = 10;

inline void append_leb128(std::vector<uint8_t>& out, uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<uint8_t>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<uint8_t>(value));
}

enum class Leb128Status : uint8_t { Ok, Truncated, TooLong };

struct Leb128Read {
  Leb128Status status;
  uint64_t value;
  size_t next;  // position after the number
};

// Reads at `pos`. The input ending inside the number is Truncated; a tenth
// byte that announces an eleventh is TooLong. Of a tenth byte only bit 0
// fits in 64 bits; its other bits are dropped by the shift.
inline Leb128Read read_leb128(std::span<const uint8_t> in, size_t pos) {
  uint64_t value = 0;
  for (size_t i = 0; i < kMaxLeb128Bytes; ++i) {
    if (pos + i >= in.size()) return {Leb128Status::Truncated, 0, pos};
    const uint8_t byte = in[pos + i];
    value |= static_cast<uint64_t>(byte & 0x7F) << (7 * i);
    if (!(byte & 0x80)) return {Leb128Status::Ok, value, pos + i + 1};
  }
  return {Leb128Status::TooLong, 0, pos};
}

}  // namespace vdx
