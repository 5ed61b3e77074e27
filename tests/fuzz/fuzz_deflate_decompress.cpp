// deflate_decompress on arbitrary bytes, against zlib driven directly in one
// call with all the input at once: the same outcome, the same total length
// and the same bytes, whatever the chunking. The first input byte picks the
// keep limit, which must only cut what is stored, never what is counted.
#include <zlib.h>

#include <algorithm>
#include <array>
#include <bit>
#include <utility>
#include <vector>

#include "src/deflate.hpp"
#include "tests/fuzz/fuzz_check.hpp"

using namespace vdx;

namespace {

enum class Ending : unsigned { Corrupt = 0, FinalBlock = 1, Cut = 2 };

struct Reference {
  Ending ending = Ending::Cut;
  std::vector<uint8_t> bytes;
};

// zlib is not instrumented, so the fuzzer sees almost nothing of what an
// input does inside it. One function per (ending, output size class) gives
// each such shape an edge of its own, so inputs that reach a new one are kept.
constexpr unsigned kSizeClasses = 24;
volatile unsigned shape_sink;
template <unsigned K>
[[gnu::noinline]] void reached_shape() {
  shape_sink = K;
}
template <size_t... K>
constexpr std::array<void (*)(), sizeof...(K)> shape_marks(std::index_sequence<K...>) {
  return {reached_shape<K>...};
}
constexpr auto kShapeMarks = shape_marks(std::make_index_sequence<3 * kSizeClasses>{});

void mark_shape(Ending ending, uint64_t length) {
  const unsigned size_class = std::min<unsigned>(std::bit_width(length), kSizeClasses - 1);
  kShapeMarks[static_cast<unsigned>(ending) * kSizeClasses + size_class]();
}

// Inflates until the final block ends, the data turns out corrupt, or the
// input runs out (a cut stream yields what was decoded up to the cut).
Reference reference_inflate(std::span<const uint8_t> in) {
  Reference r;
  z_stream z{};
  FUZZ_CHECK(inflateInit2(&z, -15) == Z_OK);
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  size_t used = 0;
  for (;;) {
    if (used == r.bytes.size()) r.bytes.resize(std::max<size_t>(65536, 2 * used));
    z.next_out = r.bytes.data() + used;
    z.avail_out = static_cast<uInt>(r.bytes.size() - used);
    const int status = inflate(&z, Z_NO_FLUSH);
    used = r.bytes.size() - z.avail_out;
    if (status == Z_STREAM_END) {
      r.ending = Ending::FinalBlock;
      break;
    }
    if (status == Z_DATA_ERROR || status == Z_NEED_DICT || status == Z_STREAM_ERROR) {
      r.ending = Ending::Corrupt;
      break;
    }
    FUZZ_CHECK(status != Z_MEM_ERROR);
    if (status == Z_BUF_ERROR || (z.avail_in == 0 && z.avail_out != 0)) break;
  }
  r.bytes.resize(used);
  inflateEnd(&z);
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // Limits around zero, the 32 KiB chunk and "everything".
  static constexpr size_t kLimits[] = {0, 1, 2, 1000, 32767, 32768, 32769, 100000};
  const size_t limit = data[0] < 8 ? kLimits[data[0]] : size_t{data[0]} * 331;
  const std::span<const uint8_t> payload(data + 1, size - 1);

  const Reference expected = reference_inflate(payload);
  mark_shape(expected.ending, expected.bytes.size());
  auto whole = deflate_decompress(payload);
  auto kept = deflate_decompress(payload, limit);
  FUZZ_CHECK(whole.ok() == (expected.ending != Ending::Corrupt));
  FUZZ_CHECK(kept.ok() == whole.ok());
  if (!whole.ok()) {
    FUZZ_CHECK(whole.error() == "corrupt deflate stream");
    return 0;
  }
  FUZZ_CHECK(whole->total_length == expected.bytes.size());
  FUZZ_CHECK(whole->bytes == expected.bytes);
  FUZZ_CHECK(kept->total_length == whole->total_length);
  FUZZ_CHECK(kept->bytes.size() == std::min<uint64_t>(limit, whole->total_length));
  FUZZ_CHECK(std::equal(kept->bytes.begin(), kept->bytes.end(), whole->bytes.begin()));
  return 0;
}
