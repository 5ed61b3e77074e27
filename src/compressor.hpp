// compress_samples: float32 signal + options -> one container.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "src/codec_error.hpp"
#include "src/options.hpp"
#include "common/result.hpp"

namespace vdx {

Result<std::vector<uint8_t>, CodecError> compress_samples(std::span<const float> samples,
                                                          const CodecOptions& options);

}  // namespace vdx

namespace vdx {

// The refusals that depend only on the request, in their order: no samples,
// more samples than a container can announce, a multiplier the reader could
// not honour, more coefficients than the arans decoder accepts. None reads a
// sample or allocates for one. compress_samples runs them first; callers that
// must convert the samples may run them before spending memory on it.
Result<void, CodecError> check_compress_request(size_t sample_count, const CodecOptions& options);

// Level count from the sample count and the wavelet's filter length: fixed
// small counts below 80 samples, then floor(log2(n / L)) within 1..8.
uint8_t choose_levels(size_t sample_count, size_t filter_length);

}  // namespace vdx
