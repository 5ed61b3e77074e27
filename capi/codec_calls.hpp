// What the C functions ask of the codec, in the codec's own terms: errors
// are values, and the C boundary (verdalix.cpp) turns them into statuses.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/result.hpp"
#include "src/codec_error.hpp"
#include "src/frame/chunk_codec.hpp"

namespace vdx::capi {

using Bytes = std::vector<uint8_t>;

// One signal of float32 or float64 samples (any alignment) into one
// container: compress_signal's, or the fitter's with a target.
Result<Bytes, CodecError> compress_signal(const void* samples, size_t count, SampleType type,
                                          const ChunkSettings& settings);

// One chunk, as the storage codecs store it.
Result<Bytes, CodecError> compress_chunk(const void* samples, SampleType type,
                                         std::span<const uint64_t> shape,
                                         const ChunkSettings& settings);

Result<ChunkDescription, CodecError> describe(std::span<const uint8_t> data);

// Decodes into `out` (any alignment), `count` samples of `type`; a count
// other than the data's is refused before decoding.
Result<void, CodecError> decompress(std::span<const uint8_t> data, SampleType type, void* out,
                                    uint64_t count);

}  // namespace vdx::capi
