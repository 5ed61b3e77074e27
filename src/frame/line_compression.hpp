// One line's container: with explicit options the codec's own, with an error
// target the fitter's, measured against the caller's samples outside the
// kept runs.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/result.hpp"
#include "src/codec_error.hpp"
#include "src/compressor.hpp"
#include "src/frame/chunk_codec.hpp"

namespace vdx::frame {

class LineCompressor {
 public:
  explicit LineCompressor(const ChunkSettings& settings) : settings_(settings) {}

  // `work` holds the line as float32 with its kept samples filled in,
  // `original` the caller's samples, `kept` one flag per sample.
  template <class T>
  Result<std::vector<uint8_t>, CodecError> compress(std::span<const float> work, const T* original,
                                                    std::span<const uint8_t> kept) {
    if (!settings_.has_target) return compress_samples(work, settings_.options);
    return compress_to_target(work, original, kept);
  }

 private:
  template <class T>
  Result<std::vector<uint8_t>, CodecError> compress_to_target(std::span<const float>, const T*,
                                                              std::span<const uint8_t>) {
    return fail(CodecError::unsupported_configuration(
        "Error targets are not yet fitted by the chunk codec"));
  }

  const ChunkSettings& settings_;
};

}  // namespace vdx::frame
