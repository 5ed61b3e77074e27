// vdx_options to the codec's settings, refused where CompressionOptions (and
// the storage codecs' target rules) refuse, so the C library accepts exactly
// what Python accepts.
#pragma once

#include "capi/verdalix.h"
#include "src/frame/chunk_codec.hpp"

namespace vdx::capi {

// NULL options are the defaults. Returns VDX_OK or reports the refusal.
vdx_status parse_options(const vdx_options* in, ChunkSettings* out, vdx_error* error);

}  // namespace vdx::capi
