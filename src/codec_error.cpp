#include "src/codec_error.hpp"

#include <algorithm>

namespace vdx {
namespace {

// A byte group is shown as text when it is valid UTF-8 as a whole, control
// characters and NUL included; otherwise one '?' per byte replaces it all.
std::string render_bytes(const std::array<uint8_t, 4>& bytes, uint8_t count) {
  std::span<const uint8_t> group(bytes.data(), count);
  if (!is_valid_utf8(group)) return std::string(count, '?');
  return std::string(group.begin(), group.end());
}

}  // namespace

bool is_valid_utf8(std::span<const uint8_t> bytes) {
  size_t i = 0;
  while (i < bytes.size()) {
    const uint8_t lead = bytes[i];
    size_t length;
    uint32_t min_code;
    uint32_t code;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, min_code = 0x80, code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, min_code = 0x800, code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, min_code = 0x10000, code = lead & 0x07;
    } else {
      return false;
    }
    if (bytes.size() - i < length) return false;
    for (size_t k = 1; k < length; ++k) {
      const uint8_t next = bytes[i + k];
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    if (code < min_code || code > 0x10FFFF) return false;
    if (code >= 0xD800 && code <= 0xDFFF) return false;
    i += length;
  }
  return true;
}

CodecError CodecError::with_bytes(CodecErrorKind kind, std::span<const uint8_t> bytes) {
  CodecError e(kind);
  std::copy(bytes.begin(), bytes.end(), e.bytes_.begin());
  e.byte_count_ = static_cast<uint8_t>(bytes.size());
  return e;
}

CodecError CodecError::invalid_method_tag(std::span<const uint8_t, 4> tag) {
  return with_bytes(CodecErrorKind::InvalidMethodTag, tag);
}

CodecError CodecError::bad_magic(std::span<const uint8_t, 4> magic) {
  return with_bytes(CodecErrorKind::BadMagic, magic);
}

CodecError CodecError::invalid_format_tag(std::span<const uint8_t, 2> tag) {
  return with_bytes(CodecErrorKind::InvalidFormatTag, tag);
}

CodecError CodecError::invalid_version(std::span<const uint8_t, 2> version) {
  return with_bytes(CodecErrorKind::InvalidVersion, version);
}

CodecError CodecError::transform_failed(std::string text) {
  CodecError e(CodecErrorKind::TransformFailed);
  e.text_ = std::move(text);
  return e;
}

CodecError CodecError::compress_io(std::string text) {
  CodecError e(CodecErrorKind::CompressIo);
  e.text_ = std::move(text);
  return e;
}

CodecError CodecError::out_of_memory(uint64_t count) {
  CodecError e(CodecErrorKind::OutOfMemory);
  e.number_ = count;
  return e;
}

CodecError CodecError::invalid_header() { return CodecError(CodecErrorKind::InvalidHeader); }

CodecError CodecError::unsupported_configuration(std::string text) {
  CodecError e(CodecErrorKind::UnsupportedConfiguration);
  e.text_ = std::move(text);
  return e;
}

CodecError CodecError::decompress_failed(std::string reason) {
  CodecError e(CodecErrorKind::DecompressFailed);
  e.text_ = std::move(reason);
  return e;
}

CodecError CodecError::unsupported_scale(uint8_t scale) {
  CodecError e(CodecErrorKind::UnsupportedScale);
  e.number_ = scale;
  return e;
}

CodecError CodecError::unknown_coder(uint8_t coder_id) {
  CodecError e(CodecErrorKind::UnknownCoder);
  e.number_ = coder_id;
  return e;
}

CodecError CodecError::target_unreachable(std::string text) {
  CodecError e(CodecErrorKind::TargetUnreachable);
  e.text_ = std::move(text);
  return e;
}

std::string CodecError::message() const {
  switch (kind_) {
    case CodecErrorKind::InvalidMethodTag:
    case CodecErrorKind::InvalidFormatTag:
      return "Invalid compression method '" + render_bytes(bytes_, byte_count_) + "'";
    case CodecErrorKind::BadMagic:
      return "Magic should be 'VRDX' but it was '" + render_bytes(bytes_, byte_count_) + "'";
    case CodecErrorKind::InvalidVersion:
      return "Invalid header version '" + render_bytes(bytes_, byte_count_) + "'";
    case CodecErrorKind::TransformFailed:
    case CodecErrorKind::CompressIo:
      return text_;
    case CodecErrorKind::OutOfMemory:
      return "Out of memory, can't allocate additional " + std::to_string(number_);
    case CodecErrorKind::InvalidHeader:
      return "Header is invalid";
    case CodecErrorKind::UnsupportedConfiguration:
      return "Unsupported compression configuration '" + text_ + "'";
    case CodecErrorKind::DecompressFailed:
      return "Can't decompress data, reason: " + text_;
    case CodecErrorKind::UnsupportedScale:
      return "Only scaled 6..12 is supported, but it was " + std::to_string(number_);
    case CodecErrorKind::UnknownCoder:
      return "Unknown entropy coder " + std::to_string(number_);
    case CodecErrorKind::TargetUnreachable:
      return text_;
  }
  return {};
}

}  // namespace vdx
