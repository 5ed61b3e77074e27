// CodecError: the codec's one error type. Failures of the transforms and the
// entropy coders are folded into it as text where the pipeline receives them.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace vdx {

enum class CodecErrorKind : uint8_t {
  InvalidMethodTag = 0,
  BadMagic = 1,
  InvalidFormatTag = 2,
  InvalidVersion = 3,
  TransformFailed = 4,
  CompressIo = 5,
  OutOfMemory = 6,
  InvalidHeader = 7,
  UnsupportedConfiguration = 8,
  DecompressFailed = 9,
  UnsupportedScale = 10,
  UnknownCoder = 11,
  TargetUnreachable = 12,
};

class CodecError {
 public:
  static CodecError invalid_method_tag(std::span<const uint8_t, 4> tag);
  static CodecError bad_magic(std::span<const uint8_t, 4> magic);
  static CodecError invalid_format_tag(std::span<const uint8_t, 2> tag);
  static CodecError invalid_version(std::span<const uint8_t, 2> version);
  static CodecError transform_failed(std::string text);
  static CodecError compress_io(std::string text);
  static CodecError out_of_memory(uint64_t count);
  static CodecError invalid_header();
  static CodecError unsupported_configuration(std::string text);
  static CodecError decompress_failed(std::string reason);
  static CodecError unsupported_scale(uint8_t scale);
  static CodecError unknown_coder(uint8_t coder_id);
  // The whole message, in the codec's words (error-target refusals).
  static CodecError target_unreachable(std::string text);

  CodecErrorKind kind() const { return kind_; }
  // The text carried by TransformFailed, CompressIo, UnsupportedConfiguration,
  // DecompressFailed and TargetUnreachable (empty for the other kinds).
  const std::string& text() const { return text_; }
  std::string message() const;

 private:
  CodecError(CodecErrorKind kind) : kind_(kind) {}
  static CodecError with_bytes(CodecErrorKind kind, std::span<const uint8_t> bytes);

  CodecErrorKind kind_;
  uint8_t byte_count_ = 0;
  std::array<uint8_t, 4> bytes_{};
  uint64_t number_ = 0;
  std::string text_;
};

// True when `bytes` is well-formed UTF-8 (no overlongs, no surrogates,
// nothing above U+10FFFF).
bool is_valid_utf8(std::span<const uint8_t> bytes);

}  // namespace vdx
