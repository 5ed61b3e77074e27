#include "src/container.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

#include "src/byte_io.hpp"

namespace vdx {
namespace {

constexpr std::array<uint8_t, 4> kMagic = {'V', 'R', 'D', 'X'};
constexpr std::array<uint8_t, 2> kFormatTag = {'f', '3'};
constexpr uint8_t kVersionMajor = 1;
constexpr uint8_t kVersionMinor = 2;

// Indexed by WaveletMethod. Three tags differ from their option keywords.
constexpr std::array<std::array<uint8_t, 4>, 4> kMethodTags = {{
    {'c', 'f', '5', '3'},
    {'c', 'f', '9', '7'},
    {'d', 'b', '0', '4'},
    {'s', 'y', 'm', '4'},
}};

bool is_finite_bits(float value) {
  return (std::bit_cast<uint32_t>(value) & 0x7F800000u) != 0x7F800000u;
}

}  // namespace

std::string shortest_float(float value) {
  char text[32];
  auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

std::array<uint8_t, 4> method_tag_of(WaveletMethod method) {
  return kMethodTags[static_cast<size_t>(method)];
}

void write_header(const HeaderFields& f, std::span<uint8_t, kHeaderSize> out) {
  uint8_t* p = out.data();
  std::memset(p, 0, kHeaderSize);
  std::memcpy(p + 0, kMagic.data(), 4);
  p[4] = kVersionMajor;
  p[5] = kVersionMinor;
  std::memcpy(p + 6, kFormatTag.data(), 2);
  std::memcpy(p + 8, method_tag_of(f.method).data(), 4);
  p[12] = f.levels;
  p[13] = f.scale;
  p[14] = f.coder_id;
  store_u32le(p + 16, f.sample_count);
  store_f32le(p + 20, f.min_value);
  store_f32le(p + 24, f.max_value);
  store_f32le(p + 28, f.mean_value);
  store_u32le(p + 32, f.payload_length);
  store_f32le(p + 36, f.multiplier);
}

Result<ContainerHeader, CodecError> parse_header(std::span<const uint8_t> container) {
  if (container.size() < kHeaderSize) return fail(CodecError::invalid_header());
  const uint8_t* p = container.data();
  ContainerHeader h;
  std::memcpy(h.magic.data(), p, 4);
  h.version_major = p[4];
  h.version_minor = p[5];
  std::memcpy(h.format_tag.data(), p + 6, 2);
  std::memcpy(h.method_tag.data(), p + 8, 4);
  h.levels = p[12];
  h.scale = p[13];
  h.coder_id = p[14];
  h.sample_count = load_u32le(p + 16);
  h.min_value = load_f32le(p + 20);
  h.max_value = load_f32le(p + 24);
  h.mean_value = load_f32le(p + 28);
  h.payload_length = load_u32le(p + 32);
  h.multiplier = load_f32le(p + 36);

  if (h.magic != kMagic) return fail(CodecError::bad_magic(std::span(h.magic)));
  if (h.version_major != kVersionMajor) {
    return fail(CodecError::invalid_version(std::span<const uint8_t, 2>(p + 4, 2)));
  }
  if (h.format_tag != kFormatTag) {
    return fail(CodecError::invalid_format_tag(std::span(h.format_tag)));
  }
  bool known_tag = false;
  for (size_t i = 0; i < kMethodTags.size(); ++i) {
    if (h.method_tag == kMethodTags[i]) {
      h.method = static_cast<WaveletMethod>(i);
      known_tag = true;
    }
  }
  if (!known_tag) return fail(CodecError::invalid_method_tag(std::span(h.method_tag)));
  if (h.scale < 6 || h.scale > 12) return fail(CodecError::unsupported_scale(h.scale));
  if (h.coder_id > 2) return fail(CodecError::unknown_coder(h.coder_id));
  if (!is_finite_bits(h.min_value) || !is_finite_bits(h.max_value) ||
      !is_finite_bits(h.mean_value)) {
    return fail(CodecError::invalid_header());
  }
  return h;
}

float effective_multiplier(float stored, uint8_t scale) {
  if (stored > 0.0f && is_finite_bits(stored)) return stored;
  return std::ldexp(1.0f, scale);
}

Result<CheckedContainer, CodecError> check_container(const ContainerHeader& h,
                                                     std::span<const uint8_t> container) {
  // 64-bit sum: 52 + a u32 length cannot wrap.
  const uint64_t needed = uint64_t{kHeaderSize} + h.payload_length;
  if (container.size() < needed) {
    return fail(CodecError::decompress_failed("Minimum data size is " + std::to_string(needed) +
                                              ", but it was " +
                                              std::to_string(container.size())));
  }
  CheckedContainer checked;
  checked.header = h;
  checked.multiplier = effective_multiplier(h.multiplier, h.scale);
  checked.payload = container.subspan(kHeaderSize, h.payload_length);
  if (h.sample_count > kMaxSampleCount) {
    return fail(CodecError::decompress_failed(
        "Can't decompress data bigger than " + std::to_string(kMaxSampleCount) +
        ", but data was " + std::to_string(h.sample_count)));
  }
  if (h.levels > kMaxReadLevels) {
    return fail(CodecError::decompress_failed("Max supported level is 10 but it was " +
                                              std::to_string(h.levels)));
  }
  if (h.levels == 0) {
    return fail(CodecError::decompress_failed("Min supported level is 1 but it was " +
                                              std::to_string(h.levels)));
  }
  // Denormalisation multiplies by the range: an infinite one makes every
  // sample infinite or NaN. The compressor refuses such signals.
  if (!std::isfinite(h.max_value - h.min_value)) {
    return fail(CodecError::decompress_failed("Range from " + shortest_float(h.min_value) +
                                              " to " + shortest_float(h.max_value) +
                                              " is not finite"));
  }
  return checked;
}

}  // namespace vdx
