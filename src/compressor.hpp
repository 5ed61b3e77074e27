// compress_samples: float32 signal + options -> one container.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "src/codec_error.hpp"
#include "src/options.hpp"
#include "src/result.hpp"

namespace vdx {

Result<std::vector<uint8_t>, CodecError> compress_samples(std::span<const float> samples,
                                                          const CodecOptions& options);

}  // namespace vdx
