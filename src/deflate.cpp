#include "src/deflate.hpp"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <new>

namespace vdx {
namespace {

constexpr int kLevel = 6;
constexpr int kRawWindowBits = -15;  // negative: raw DEFLATE, 32 KiB window
constexpr int kMemLevel = 8;         // zlib's default
constexpr size_t kChunk = 32 * 1024;

constexpr const char* kCorrupt = "corrupt deflate stream";
constexpr const char* kFinishError = "deflate compression error";

// zlib counts in 32-bit uInt; larger buffers go in pieces of this size.
constexpr size_t kMaxPiece = size_t{1} << 30;

struct Deflater {
  z_stream z{};
  Deflater() {
    if (deflateInit2(&z, kLevel, Z_DEFLATED, kRawWindowBits, kMemLevel, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
      throw std::bad_alloc();  // zlib's only failure with valid parameters
    }
  }
  ~Deflater() { deflateEnd(&z); }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;
};

struct Inflater {
  z_stream z{};
  Inflater() {
    if (inflateInit2(&z, kRawWindowBits) != Z_OK) throw std::bad_alloc();
  }
  ~Inflater() { inflateEnd(&z); }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
};

// One deflate() call into a fresh 32 KiB chunk, appended to `out`.
int deflate_chunk(z_stream& z, int flush, std::array<uint8_t, kChunk>& chunk,
                  std::vector<uint8_t>& out) {
  z.next_out = chunk.data();
  z.avail_out = kChunk;
  const int status = deflate(&z, flush);
  out.insert(out.end(), chunk.data(), chunk.data() + (kChunk - z.avail_out));
  return status;
}

}  // namespace

Result<std::vector<uint8_t>, std::string> deflate_compress(std::span<const uint8_t> input) {
  Deflater deflater;
  z_stream& z = deflater.z;
  std::array<uint8_t, kChunk> chunk;
  std::vector<uint8_t> out;
  size_t fed = 0;
  do {
    const size_t piece = std::min(kMaxPiece, input.size() - fed);
    // zlib's interface is not const-correct; it never writes through next_in.
    z.next_in = const_cast<Bytef*>(input.data() + fed);
    z.avail_in = static_cast<uInt>(piece);
    fed += piece;
    while (z.avail_in > 0) {
      if (deflate_chunk(z, Z_NO_FLUSH, chunk, out) == Z_STREAM_ERROR) return fail(kCorrupt);
    }
  } while (fed < input.size());
  for (;;) {
    const int status = deflate_chunk(z, Z_FINISH, chunk, out);
    if (status == Z_STREAM_END) break;
    if (status != Z_OK && status != Z_BUF_ERROR) return fail(kFinishError);
  }
  return out;
}

Result<InflateOutput, std::string> deflate_decompress(std::span<const uint8_t> payload,
                                                      size_t keep_limit) {
  Inflater inflater;
  z_stream& z = inflater.z;
  std::array<uint8_t, kChunk> chunk;
  InflateOutput result;
  size_t fed = 0;
  for (;;) {
    if (z.avail_in == 0 && fed < payload.size()) {
      const size_t piece = std::min(kChunk, payload.size() - fed);
      z.next_in = const_cast<Bytef*>(payload.data() + fed);
      z.avail_in = static_cast<uInt>(piece);
      fed += piece;
    }
    z.next_out = chunk.data();
    z.avail_out = kChunk;
    const int status = inflate(&z, Z_NO_FLUSH);
    if (status == Z_MEM_ERROR) throw std::bad_alloc();
    if (status == Z_DATA_ERROR || status == Z_NEED_DICT || status == Z_STREAM_ERROR) {
      return fail(kCorrupt);
    }
    const size_t produced = kChunk - z.avail_out;
    const uint64_t kept = result.bytes.size();
    if (kept < keep_limit) {
      const size_t keep = static_cast<size_t>(std::min<uint64_t>(produced, keep_limit - kept));
      result.bytes.insert(result.bytes.end(), chunk.data(), chunk.data() + keep);
    }
    result.total_length += produced;
    if (status == Z_STREAM_END) break;
    // Out of input with nothing more to flush: a cut payload, not an error.
    const bool input_exhausted = z.avail_in == 0 && fed == payload.size();
    if (input_exhausted && (status == Z_BUF_ERROR || z.avail_out != 0)) break;
  }
  return result;
}

}  // namespace vdx
