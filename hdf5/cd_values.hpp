// The filter's client data (HDF5's cd_values, unsigned ints stored with the
// dataset): the options a writer chose, then what set_local adds from the
// dataset, the sample type and the chunk's shape. Layout, one value each:
//   0  layout version (1)          6  quant_multiplier, float32 bits
//   1  method (vdx_method)          7  target (vdx_target)
//   2  scale                        8  target value, float64 bits 0..31
//   3  cutoff (vdx_cutoff)          9  target value, float64 bits 32..63
//   4  coder (vdx_coder)           10  axis (int32, two's complement)
//   5  flags: 1 quant_multiplier given, 2 lines along the axis
//  11  sample type (vdx_dtype)     12  rank R, then 13..13+R the chunk dims
// A writer may give fewer than 11 values: the missing ones are the
// defaults of vdx_options_init. Documented in docs/guide/hdf5.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "capi/verdalix.h"

namespace vdx::h5 {

// Chosen in the range HDF5 reserves for testing (256 to 511); a registered
// id (32000 and up) is to be requested from The HDF Group.
inline constexpr int kFilterId = 384;
inline constexpr unsigned kLayoutVersion = 1;
inline constexpr size_t kOptionValues = 11;
inline constexpr size_t kMaxRank = 32;
inline constexpr size_t kMaxValues = kOptionValues + 2 + kMaxRank;

enum CdFlags : unsigned { kHasMultiplier = 1, kHasAxis = 2 };

// The options values as a writer gives them, completed with the defaults;
// false with `why` set for a layout version this filter does not know.
bool options_from_values(std::span<const unsigned> values, vdx_options* out, std::string* why);

std::vector<unsigned> values_from_options(const vdx_options& options);

struct ChunkLayout {
  vdx_dtype dtype = VDX_FLOAT32;
  std::vector<uint64_t> shape;
  uint64_t sample_count = 0;
  size_t item_size = 4;
};

// Everything a stored dataset's values hold; false with `why` set when they
// are not what set_local writes (too few, unknown type, zero or too many dims,
// a chunk larger than memory).
bool read_values(std::span<const unsigned> values, vdx_options* options, ChunkLayout* layout,
                 std::string* why);

}  // namespace vdx::h5
