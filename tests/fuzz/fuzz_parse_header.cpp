// parse_header and check_container on arbitrary bytes: every accepted header
// is written back byte for byte by write_header (so each field was read from
// its place), and every accepted container's payload lies inside the input.
#include <cmath>
#include <cstring>

#include "src/container.hpp"
#include "tests/fuzz/fuzz_check.hpp"

using namespace vdx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> in(data, size);
  auto header = parse_header(in);
  if (!header.ok()) {
    if (size < kHeaderSize) FUZZ_CHECK(header.error().kind() == CodecErrorKind::InvalidHeader);
    return 0;
  }
  FUZZ_CHECK(size >= kHeaderSize);
  const ContainerHeader& h = *header;

  HeaderFields f;
  f.method = h.method;
  f.levels = h.levels;
  f.scale = h.scale;
  f.coder_id = h.coder_id;
  f.sample_count = h.sample_count;
  f.min_value = h.min_value;
  f.max_value = h.max_value;
  f.mean_value = h.mean_value;
  f.payload_length = h.payload_length;
  f.multiplier = h.multiplier;
  uint8_t written[kHeaderSize];
  write_header(f, std::span<uint8_t, kHeaderSize>(written));
  // Byte 5 (minor version), 15 and 40..51 are not checked on reading.
  FUZZ_CHECK(std::memcmp(written, data, 5) == 0);
  FUZZ_CHECK(std::memcmp(written + 6, data + 6, 9) == 0);
  FUZZ_CHECK(std::memcmp(written + 16, data + 16, 24) == 0);
  FUZZ_CHECK(h.version_minor == data[5]);

  auto checked = check_container(h, in);
  if (!checked.ok()) {
    FUZZ_CHECK(checked.error().kind() == CodecErrorKind::DecompressFailed);
    return 0;
  }
  const CheckedContainer& c = *checked;
  FUZZ_CHECK(c.payload.data() == data + kHeaderSize);
  FUZZ_CHECK(c.payload.size() == h.payload_length);
  FUZZ_CHECK(kHeaderSize + uint64_t{h.payload_length} <= size);
  FUZZ_CHECK(h.levels >= 1 && h.levels <= kMaxReadLevels);
  FUZZ_CHECK(h.sample_count <= kMaxSampleCount);
  // The multiplier rule: the stored value when positive and finite, else 2^scale.
  const bool stored_usable = h.multiplier > 0.0f && std::isfinite(h.multiplier);
  FUZZ_CHECK(c.multiplier == (stored_usable ? h.multiplier : std::ldexp(1.0f, h.scale)));
  return 0;
}
