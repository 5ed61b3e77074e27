#include "hdf5/cd_values.hpp"

#include <bit>
#include <cstdint>
#include <limits>

namespace vdx::h5 {
namespace {

size_t item_size_of(unsigned dtype) {
  switch (dtype) {
    case VDX_FLOAT32: case VDX_INT32: case VDX_UINT32: return 4;
    case VDX_FLOAT64: return 8;
    case VDX_INT8: case VDX_UINT8: return 1;
    case VDX_INT16: case VDX_UINT16: return 2;
    default: return 0;
  }
}

}  // namespace

bool options_from_values(std::span<const unsigned> values, vdx_options* out, std::string* why) {
  vdx_options options;
  vdx_options_init(&options);
  if (!values.empty() && values[0] != kLayoutVersion) {
    *why = "verdalix filter values of layout " + std::to_string(values[0]) +
           "; this filter reads layout " + std::to_string(kLayoutVersion);
    return false;
  }
  auto at = [&](size_t i, unsigned fallback) { return i < values.size() ? values[i] : fallback; };
  const unsigned default_flags = options.has_axis ? unsigned{kHasAxis} : 0u;
  const uint64_t default_target = std::bit_cast<uint64_t>(options.target_value);
  options.method = static_cast<int32_t>(at(1, options.method));
  options.scale = static_cast<int32_t>(at(2, options.scale));
  options.cutoff = static_cast<int32_t>(at(3, options.cutoff));
  options.coder = static_cast<int32_t>(at(4, options.coder));
  const unsigned flags = at(5, default_flags);
  options.has_quant_multiplier = (flags & kHasMultiplier) != 0;
  options.quant_multiplier = std::bit_cast<float>(at(6, 0));
  options.target = static_cast<int32_t>(at(7, options.target));
  const uint64_t low = at(8, static_cast<uint32_t>(default_target));
  const uint64_t high = at(9, static_cast<uint32_t>(default_target >> 32));
  options.target_value = std::bit_cast<double>(low | high << 32);
  options.has_axis = (flags & kHasAxis) != 0;
  options.axis = static_cast<int32_t>(at(10, static_cast<unsigned>(options.axis)));
  *out = options;
  return true;
}

std::vector<unsigned> values_from_options(const vdx_options& o) {
  const uint64_t target = std::bit_cast<uint64_t>(o.target_value);
  const unsigned flags = (o.has_quant_multiplier ? unsigned{kHasMultiplier} : 0u) |
                         (o.has_axis ? unsigned{kHasAxis} : 0u);
  return {kLayoutVersion,
          static_cast<unsigned>(o.method),
          static_cast<unsigned>(o.scale),
          static_cast<unsigned>(o.cutoff),
          static_cast<unsigned>(o.coder),
          flags,
          std::bit_cast<unsigned>(o.quant_multiplier),
          static_cast<unsigned>(o.target),
          static_cast<unsigned>(target),
          static_cast<unsigned>(target >> 32),
          static_cast<unsigned>(o.axis)};
}

bool read_values(std::span<const unsigned> values, vdx_options* options, ChunkLayout* layout,
                 std::string* why) {
  if (values.size() < kOptionValues + 2) {
    *why = "verdalix filter values are incomplete (" + std::to_string(values.size()) +
           " values): the dataset was not set up by the filter's set_local";
    return false;
  }
  if (!options_from_values(values.first(kOptionValues), options, why)) return false;
  ChunkLayout result;
  result.item_size = item_size_of(values[kOptionValues]);
  if (result.item_size == 0) {
    *why = "unknown sample type " + std::to_string(values[kOptionValues]);
    return false;
  }
  result.dtype = static_cast<vdx_dtype>(values[kOptionValues]);
  const size_t rank = values[kOptionValues + 1];
  if (rank < 1 || rank > kMaxRank || values.size() != kOptionValues + 2 + rank) {
    *why = "verdalix filter values hold a chunk rank of " + std::to_string(rank) + " in " +
           std::to_string(values.size()) + " values";
    return false;
  }
  uint64_t count = 1;
  for (size_t d = 0; d < rank; ++d) {
    const uint64_t extent = values[kOptionValues + 2 + d];
    if (extent == 0 || count > std::numeric_limits<size_t>::max() / result.item_size / extent) {
      *why = "the chunk shape in the filter values is empty or too large";
      return false;
    }
    count *= extent;
    result.shape.push_back(extent);
  }
  result.sample_count = count;
  *layout = std::move(result);
  return true;
}

}  // namespace vdx::h5
