// Little-endian loads and stores on byte buffers. memcpy keeps them free of
// alignment and aliasing faults; compilers turn them into single moves.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace vdx {

static_assert(std::endian::native == std::endian::little,
              "the byte formats are little-endian and so is every target we build for");

inline uint16_t load_u16le(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline uint32_t load_u32le(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline float load_f32le(const uint8_t* p) { return std::bit_cast<float>(load_u32le(p)); }

inline void store_u16le(uint8_t* p, uint16_t v) { std::memcpy(p, &v, sizeof v); }
inline void store_u32le(uint8_t* p, uint32_t v) { std::memcpy(p, &v, sizeof v); }
inline void store_f32le(uint8_t* p, float v) { store_u32le(p, std::bit_cast<uint32_t>(v)); }

}  // namespace vdx
