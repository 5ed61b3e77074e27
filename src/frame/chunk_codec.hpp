// One stored chunk of an array: its samples split into lines along a time
// axis, each line an ordinary container, behind a small frame that records
// the sample type, the shape and what is kept exactly. A float32 chunk that
// is one line with nothing kept aside is stored as the bare container, so
// such chunks are what compress_signal gives for the same samples; decoding
// tells a frame from a bare container by its first bytes.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/result.hpp"
#include "src/codec_error.hpp"
#include "src/fit/error_target.hpp"
#include "src/options.hpp"

namespace vdx {

// Values are part of the frame format and must never be renumbered.
enum class SampleType : uint8_t {
  Float32 = 0, Float64 = 1,
  Int8 = 2, Uint8 = 3, Int16 = 4, Uint16 = 5, Int32 = 6, Uint32 = 7,
};

struct ChunkSettings {
  CodecOptions options;     // used when has_target is false
  bool has_target = false;
  ErrorTarget target;
  bool has_axis = true;     // false: the chunk's C-order flattening is one line
  int32_t axis = -1;        // negative counts from the last dimension
};

// `data` holds product(shape) samples of `type` in C order (any alignment),
// at most 32 dimensions. With a target, each line is fitted on its own and the
// bound holds on its samples outside the kept runs (integers: in counts, after
// the reader's rounding).
Result<std::vector<uint8_t>, CodecError> encode_chunk(const void* data, SampleType type,
                                                      std::span<const uint64_t> shape,
                                                      const ChunkSettings& settings);

struct ChunkDescription {
  bool framed = false;       // false: a bare container (float32 samples)
  SampleType type = SampleType::Float32;
  uint64_t sample_count = 0;
  std::vector<uint64_t> shape;  // as recorded; one dimension for a bare container
  bool has_axis = false;     // false: one line, the C-order flattening
  uint32_t axis = 0;         // the dimension the lines run along, when has_axis
};

// Reads only the frame (or container header): nothing is allocated in
// proportion to what the chunk declares.
Result<ChunkDescription, CodecError> describe_chunk(std::span<const uint8_t> chunk);

// Decodes into `out` (any alignment), `sample_count` samples of `type` in C
// order. A chunk declaring another count, or holding another type, is
// refused before anything is decoded; float32 chunks (framed or bare) may be
// asked for as Float64 and are widened. Integers come back rounded to
// nearest (halves away from zero) and clipped to their type's range.
Result<void, CodecError> decode_chunk(std::span<const uint8_t> chunk, SampleType type, void* out,
                                      uint64_t sample_count);

}  // namespace vdx
