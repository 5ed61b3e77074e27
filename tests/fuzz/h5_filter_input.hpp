// The input of fuzz_h5_filter_decode: the dataset layout the filter's client
// data would hold, then the stored chunk.
//   byte 0      sample type (vdx_dtype, taken modulo 8)
//   byte 1      rank - 1 (modulo 3: ranks 1 to 3)
//   2 bytes     per dimension, its extent (little-endian; 0 reads as 1)
//   the rest    the chunk's bytes as HDF5 hands them to the filter
// The layout is the dataset's metadata, which HDF5 itself trusts (it
// allocates every chunk's buffer from it), so the target keeps it below
// 2^20 samples and fuzzes the chunk's bytes against it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace vdx::fuzz {

struct H5FilterInput {
  unsigned dtype = 0;
  std::vector<unsigned> chunk;
  std::span<const uint8_t> stored;
};

inline bool parse_h5_filter_input(std::span<const uint8_t> in, H5FilterInput* out) {
  if (in.size() < 2) return false;
  out->dtype = in[0] % 8;
  const size_t rank = in[1] % 3 + 1;
  if (in.size() < 2 + 2 * rank) return false;
  out->chunk.clear();
  for (size_t d = 0; d < rank; ++d) {
    const unsigned extent = in[2 + 2 * d] | (in[3 + 2 * d] << 8);
    out->chunk.push_back(extent == 0 ? 1 : extent);
  }
  out->stored = in.subspan(2 + 2 * rank);
  return true;
}

inline std::vector<uint8_t> format_h5_filter_input(unsigned dtype, std::span<const unsigned> chunk,
                                                   std::span<const uint8_t> stored) {
  std::vector<uint8_t> out{static_cast<uint8_t>(dtype), static_cast<uint8_t>(chunk.size() - 1)};
  for (unsigned extent : chunk) {
    out.push_back(static_cast<uint8_t>(extent));
    out.push_back(static_cast<uint8_t>(extent >> 8));
  }
  out.insert(out.end(), stored.begin(), stored.end());
  return out;
}

}  // namespace vdx::fuzz
