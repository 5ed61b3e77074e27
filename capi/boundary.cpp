#include "capi/boundary.hpp"

#include <cstring>

namespace vdx::capi {

vdx_status status_of(const CodecError& error) {
  switch (error.kind()) {
    case CodecErrorKind::BadMagic:
      return VDX_ERROR_NOT_VERDALIX;
    case CodecErrorKind::InvalidVersion:
      return VDX_ERROR_VERSION;
    case CodecErrorKind::InvalidMethodTag:
    case CodecErrorKind::InvalidFormatTag:
    case CodecErrorKind::InvalidHeader:
    case CodecErrorKind::DecompressFailed:
    case CodecErrorKind::UnknownCoder:
    // Compression checks the scale before the codec runs, so only a header
    // can carry a scale the codec refuses.
    case CodecErrorKind::UnsupportedScale:
      return VDX_ERROR_CORRUPT;
    case CodecErrorKind::UnsupportedConfiguration:
    case CodecErrorKind::TargetUnreachable:
      return VDX_ERROR_UNSUPPORTED;
    case CodecErrorKind::OutOfMemory:
      return VDX_ERROR_OUT_OF_MEMORY;
    case CodecErrorKind::TransformFailed:
    case CodecErrorKind::CompressIo:
      return VDX_ERROR_INTERNAL;
  }
  return VDX_ERROR_INTERNAL;
}

vdx_status report(vdx_error* error, vdx_status status, std::string_view message) {
  if (error == nullptr) return status;
  error->status = status;
  size_t length = std::min(message.size(), sizeof(error->message) - 1);
  // Cut before a UTF-8 continuation byte so the text stays well-formed.
  if (length < message.size()) {
    while (length > 0 && (static_cast<unsigned char>(message[length]) & 0xC0) == 0x80) --length;
  }
  std::memcpy(error->message, message.data(), length);
  error->message[length] = '\0';
  return status;
}

vdx_status report(vdx_error* error, const CodecError& codec_error) {
  return report(error, status_of(codec_error), codec_error.message());
}

}  // namespace vdx::capi
