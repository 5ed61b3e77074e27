// Raw DEFLATE (RFC 1951, no zlib/gzip wrapper) over zlib, level 6.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "common/result.hpp"

namespace vdx {

Result<std::vector<uint8_t>, std::string> deflate_compress(std::span<const uint8_t> input);

struct InflateOutput {
  std::vector<uint8_t> bytes;  // the first min(total_length, keep_limit) bytes
  uint64_t total_length = 0;   // everything the stream decoded to
};

// Decodes to the end of the final block or of the payload, whichever comes
// first (a cut payload is not an error). Only the first `keep_limit` bytes are
// stored, so memory follows what the caller needs, not what the stream claims.
Result<InflateOutput, std::string> deflate_decompress(
    std::span<const uint8_t> payload,
    size_t keep_limit = std::numeric_limits<size_t>::max());

}  // namespace vdx
