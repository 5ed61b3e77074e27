// float64 input: every sample rounded to float32 once, then compressed as
// compress_samples compresses float32. The Python module, the C library and
// the HDF5 filter all take float64 signals through here, so the rounding is
// one implementation.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/result.hpp"
#include "src/codec_error.hpp"
#include "src/options.hpp"

namespace vdx {

// Refusals that need no samples come before the float32 copy is allocated.
Result<std::vector<uint8_t>, CodecError> compress_float64_samples(std::span<const double> samples,
                                                                  const CodecOptions& options);

}  // namespace vdx
