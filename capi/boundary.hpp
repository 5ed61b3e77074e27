// The C boundary: codec errors and C++ exceptions become a vdx_status and a
// message in the caller's vdx_error; nothing escapes into C.
#pragma once

#include <exception>
#include <new>
#include <string_view>

#include "capi/verdalix.h"
#include "src/codec_error.hpp"

namespace vdx::capi {

// The status a codec error stands for at the C interface.
vdx_status status_of(const CodecError& error);

// Records status and message in `error` (when not NULL); returns the status.
vdx_status report(vdx_error* error, vdx_status status, std::string_view message);
vdx_status report(vdx_error* error, const CodecError& codec_error);

// Runs `body` (returning vdx_status); an escaping std::bad_alloc is
// VDX_ERROR_OUT_OF_MEMORY, any other exception VDX_ERROR_INTERNAL.
template <class Body>
vdx_status guarded(vdx_error* error, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return report(error, VDX_ERROR_OUT_OF_MEMORY, "Out of memory");
  } catch (const std::exception& e) {
    return report(error, VDX_ERROR_INTERNAL, e.what());
  } catch (...) {
    return report(error, VDX_ERROR_INTERNAL, "Unknown internal failure");
  }
}

}  // namespace vdx::capi
