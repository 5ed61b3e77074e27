// describe_chunk and decode_chunk on arbitrary bytes. A chunk is described
// without allocating for what it declares; one that is described decodes
// into exactly its declared count of its own type or fails with the codec's
// error, never for another count or an unrelated type, and decoding is a
// function of the bytes. Chunks that fail to describe fail to decode.
#include <cstring>
#include <vector>

#include "src/frame/chunk_codec.hpp"
#include "src/frame/sample_types.hpp"
#include "tests/fuzz/fuzz_check.hpp"

using namespace vdx;

namespace {

// Decoding allocates the declared count (the caller vouches for it); the
// fuzzer's memory limit is kept by decoding only what a real chunk of at most
// this many samples would hold.
constexpr uint64_t kMaxDecodedSamples = 1 << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> in(data, size);
  auto described = describe_chunk(in);
  std::vector<uint8_t> out(16);
  if (!described.ok()) {
    FUZZ_CHECK(!decode_chunk(in, SampleType::Float32, out.data(), 1).ok());
    return 0;
  }
  const ChunkDescription& chunk = *described;
  uint64_t product = 1;
  for (uint64_t extent : chunk.shape) product *= extent;
  FUZZ_CHECK(product == chunk.sample_count);
  FUZZ_CHECK(chunk.framed || chunk.type == SampleType::Float32);
  if (chunk.sample_count > kMaxDecodedSamples) return 0;

  const size_t bytes = chunk.sample_count * frame::sample_size(chunk.type);
  // Refused: a count one off, and a type the chunk does not hold (int8 is
  // never a widening of anything).
  out.assign(bytes + 16, 0);
  FUZZ_CHECK(!decode_chunk(in, chunk.type, out.data(), chunk.sample_count + 1).ok());
  if (chunk.type != SampleType::Int8) {
    FUZZ_CHECK(!decode_chunk(in, SampleType::Int8, out.data(), chunk.sample_count).ok());
  }
  // Into an unaligned buffer, twice.
  std::vector<uint8_t> first(bytes + 1), second(bytes + 1);
  auto decoded = decode_chunk(in, chunk.type, first.data() + 1, chunk.sample_count);
  if (!decoded.ok()) {
    const CodecErrorKind kind = decoded.error().kind();
    FUZZ_CHECK(kind != CodecErrorKind::OutOfMemory && kind != CodecErrorKind::CompressIo &&
               kind != CodecErrorKind::UnsupportedConfiguration);
    return 0;
  }
  FUZZ_CHECK(decode_chunk(in, chunk.type, second.data() + 1, chunk.sample_count).ok());
  FUZZ_CHECK(first == second);
  return 0;
}
