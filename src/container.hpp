// The 52-byte container header: writing it, and reading it back with every
// check in its fixed order (the first failing check decides the error).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "src/codec_error.hpp"
#include "src/options.hpp"
#include "common/result.hpp"

namespace vdx {

inline constexpr size_t kHeaderSize = 52;
inline constexpr uint32_t kMaxSampleCount = 2147483647u;
inline constexpr uint8_t kMaxReadLevels = 10;

// What the compressor records; write_header adds the fixed fields.
struct HeaderFields {
  WaveletMethod method = WaveletMethod::Cdf97;  // stored as its 4-byte tag
  uint8_t levels = 0;
  uint8_t scale = 0;
  uint8_t coder_id = 0;
  uint32_t sample_count = 0;
  float min_value = 0.0f;
  float max_value = 0.0f;
  float mean_value = 0.0f;
  uint32_t payload_length = 0;
  float multiplier = 0.0f;
};

// Every field as stored, the fixed ones included.
struct ContainerHeader : HeaderFields {
  std::array<uint8_t, 4> magic{};
  uint8_t version_major = 0;
  uint8_t version_minor = 0;
  std::array<uint8_t, 2> format_tag{};
  std::array<uint8_t, 4> method_tag{};
};

void write_header(const HeaderFields& fields, std::span<uint8_t, kHeaderSize> out);

// Checks 1 to 8: length, magic, version, format tag, method tag, scale, coder
// id, finite normalisation values. Reads nothing past the first 52 bytes.
Result<ContainerHeader, CodecError> parse_header(std::span<const uint8_t> container);

struct CheckedContainer {
  ContainerHeader header;
  float multiplier = 0.0f;            // after the multiplier rule
  std::span<const uint8_t> payload;   // exactly payload_length bytes
};

// Checks 9 to 13 and the multiplier rule, for the decompression pipeline,
// then a range (max - min) that must be finite.
Result<CheckedContainer, CodecError> check_container(const ContainerHeader& header,
                                                     std::span<const uint8_t> container);

// The multiplier a reader uses: the stored one when it is positive and
// finite, else 2^scale (exact).
float effective_multiplier(float stored, uint8_t scale);

std::array<uint8_t, 4> method_tag_of(WaveletMethod method);

// The shortest text that reads back as `value` ("1e-40", "-2", "inf").
std::string shortest_float(float value);

}  // namespace vdx
