// The HDF5 filter's read path (the filter callback with H5Z_FLAG_REVERSE) on
// arbitrary chunk bytes for a given dataset layout, as HDF5 calls it: the
// result is 0 with the caller's buffer untouched, or the chunk's exact size
// in a new buffer holding what vdx_decompress gives for the same bytes.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "hdf5/cd_values.hpp"
#include "hdf5/filter.hpp"
#include "tests/fuzz/fuzz_check.hpp"
#include "tests/fuzz/h5_filter_input.hpp"

using namespace vdx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::H5FilterInput input;
  if (!fuzz::parse_h5_filter_input(std::span(data, size), &input)) return 0;
  uint64_t count = 1;
  for (unsigned extent : input.chunk) count *= extent;
  if (count > (1u << 20)) return 0;

  vdx_options options;
  vdx_options_init(&options);
  std::vector<unsigned> values = h5::values_from_options(options);
  values.push_back(input.dtype);
  values.push_back(static_cast<unsigned>(input.chunk.size()));
  values.insert(values.end(), input.chunk.begin(), input.chunk.end());

  // HDF5's buffer: exactly the stored bytes, so reading past them is seen.
  const size_t nbytes = input.stored.size();
  void* buf = std::malloc(nbytes == 0 ? 1 : nbytes);
  if (nbytes > 0) std::memcpy(buf, input.stored.data(), nbytes);
  void* const given = buf;
  size_t buf_size = nbytes;
  const size_t result =
      h5::filter(h5::H5Z_FLAG_REVERSE, values.size(), values.data(), nbytes, &buf_size, &buf);
  if (result == 0) {
    FUZZ_CHECK(buf == given && buf_size == nbytes);
    FUZZ_CHECK(nbytes == 0 || std::memcmp(buf, input.stored.data(), nbytes) == 0);
    std::free(buf);
    return 0;
  }
  h5::ChunkLayout layout;
  std::string why;
  FUZZ_CHECK(h5::read_values(values, &options, &layout, &why));
  FUZZ_CHECK(result == count * layout.item_size && buf_size == result);
  std::vector<uint8_t> again(result);
  FUZZ_CHECK(vdx_decompress(input.stored.data(), nbytes, static_cast<vdx_dtype>(input.dtype),
                            again.data(), count, nullptr) == VDX_OK);
  FUZZ_CHECK(std::memcmp(again.data(), buf, result) == 0);
  std::free(buf);
  return 0;
}
