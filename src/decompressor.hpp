// decompress_container: one container -> exactly sample_count float32 samples.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "src/codec_error.hpp"
#include "common/result.hpp"

namespace vdx {

Result<std::vector<float>, CodecError> decompress_container(std::span<const uint8_t> container);

}  // namespace vdx
