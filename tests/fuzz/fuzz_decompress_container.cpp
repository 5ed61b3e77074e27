// decompress_container on arbitrary bytes: samples or one error. Accepted
// containers give exactly sample_count samples, every one finite (the
// decoder clamps overflow at the edge of the float32 range and refuses what
// would decode to NaN), and decoding is a function of the bytes: a second
// run gives the same bits.
#include <cmath>
#include <cstring>

#include "src/byte_io.hpp"
#include "src/container.hpp"
#include "src/decompressor.hpp"
#include "tests/fuzz/fuzz_check.hpp"

using namespace vdx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> in(data, size);
  auto decoded = decompress_container(in);
  if (!decoded.ok()) {
    // Only the header checks may fail before the payload is read; whatever
    // fails afterwards is the decoder's (or transform's) failure.
    const CodecErrorKind kind = decoded.error().kind();
    FUZZ_CHECK(kind != CodecErrorKind::OutOfMemory && kind != CodecErrorKind::CompressIo &&
               kind != CodecErrorKind::UnsupportedConfiguration);
    return 0;
  }
  const std::vector<float>& samples = *decoded;
  FUZZ_CHECK(size >= kHeaderSize);
  FUZZ_CHECK(samples.size() == load_u32le(data + 16));
  for (float v : samples) FUZZ_CHECK(std::isfinite(v));

  auto again = decompress_container(in);
  FUZZ_CHECK(again.ok());
  FUZZ_CHECK(again->size() == samples.size());
  FUZZ_CHECK(samples.empty() ||
             std::memcmp(again->data(), samples.data(), samples.size() * sizeof(float)) == 0);
  return 0;
}
