#include "hdf5/filter.hpp"

#include <cstring>
#include <string>

#include "hdf5/cd_values.hpp"
#include "hdf5/h5_runtime.hpp"

namespace vdx::h5 {
namespace {

// The sample type of an HDF5 datatype, or false for one the codec does not
// store (big-endian, 64-bit integers, compound, ...).
bool dtype_of(const Hdf5Functions& hdf5, hid_t type, vdx_dtype* out, std::string* why) {
  const H5T_class_t type_class = hdf5.get_class(type);
  const size_t size = hdf5.get_size(type);
  if (hdf5.get_order(type) != H5T_ORDER_LE) {
    *why = "verdalix stores little-endian samples only";
    return false;
  }
  if (type_class == H5T_FLOAT && (size == 4 || size == 8)) {
    *out = size == 4 ? VDX_FLOAT32 : VDX_FLOAT64;
    return true;
  }
  if (type_class == H5T_INTEGER && (size == 1 || size == 2 || size == 4)) {
    const bool is_signed = hdf5.get_sign(type) == H5T_SGN_2;
    // vdx_dtype orders each width signed, then unsigned.
    const int width_index = size == 1 ? 0 : size == 2 ? 1 : 2;
    *out = static_cast<vdx_dtype>(VDX_INT8 + 2 * width_index + (is_signed ? 0 : 1));
    return true;
  }
  *why = "verdalix stores float32, float64 and 8- to 32-bit integer samples";
  return false;
}

// Everything set_local and can_apply read from the dataset's properties.
struct DatasetFacts {
  vdx_dtype dtype = VDX_FLOAT32;
  std::vector<uint64_t> chunk;
  unsigned flags = 0;
  std::vector<unsigned> values;  // the writer's
};

bool read_facts(const Hdf5Functions& hdf5, hid_t dcpl, hid_t type, DatasetFacts* facts,
                std::string* why) {
  if (!hdf5.has_property_calls()) {
    *why = "the verdalix filter did not find HDF5's functions in the library that called it";
    return false;
  }
  if (!dtype_of(hdf5, type, &facts->dtype, why)) return false;
  hsize_t dims[H5S_MAX_RANK];
  const int rank = hdf5.get_chunk(dcpl, H5S_MAX_RANK, dims);
  if (rank < 1) {
    *why = "the verdalix filter needs a chunked dataset";
    return false;
  }
  facts->chunk.assign(dims, dims + rank);
  unsigned values[kMaxValues];
  size_t count = kMaxValues;
  if (hdf5.get_filter_by_id(dcpl, kFilterId, &facts->flags, &count, values, 0, nullptr,
                            nullptr) < 0) {
    *why = "the verdalix filter is not in the dataset's pipeline";
    return false;
  }
  // HDF5 reports how many values there are, even beyond what it copied.
  facts->values.assign(values, values + std::min(count, kOptionValues));
  return true;
}

// One sample of zero in the dataset's type and rank, compressed with
// `options`: it fails only where the options, the type or the axis do (a
// refused multiplier, a type the codec does not store, an axis outside the
// chunk), so that a setting a write would refuse is refused when the
// dataset is created.
bool probe(vdx_dtype dtype, size_t rank, const vdx_options& options, std::string* why) {
  const uint64_t zeros = 0;
  const std::vector<uint64_t> ones(rank, 1);
  vdx_buffer out{};
  vdx_error error{};
  if (vdx_compress_chunk(&zeros, dtype, ones.data(), ones.size(), &options, &out, &error) !=
      VDX_OK) {
    *why = error.message;
    return false;
  }
  vdx_buffer_free(&out);
  return true;
}

bool check_settings(const DatasetFacts& facts, vdx_options* options, std::string* why) {
  if (!options_from_values(facts.values, options, why)) return false;
  for (uint64_t extent : facts.chunk) {
    if (extent > UINT32_MAX) {
      *why = "chunk dimensions beyond 2^32 - 1 do not fit the filter values";
      return false;
    }
  }
  return probe(facts.dtype, facts.chunk.size(), *options, why);
}

size_t fail_with(const Hdf5Functions& hdf5, const char* function, const std::string& message) {
  push_error(hdf5, function, message.c_str());
  return 0;
}

size_t encode(const Hdf5Functions& hdf5, const vdx_options& options, const ChunkLayout& layout,
              size_t nbytes, size_t* buf_size, void** buf) {
  if (nbytes != layout.sample_count * layout.item_size) {
    return fail_with(hdf5, "verdalix encode",
                     "the chunk has " + std::to_string(nbytes) + " bytes, not " +
                         std::to_string(layout.sample_count) + " samples");
  }
  vdx_buffer compressed{};
  vdx_error error{};
  if (vdx_compress_chunk(*buf, layout.dtype, layout.shape.data(), layout.shape.size(), &options,
                         &compressed, &error) != VDX_OK) {
    return fail_with(hdf5, "verdalix encode", error.message);
  }
  void* stored = allocate_buffer(hdf5, compressed.size);
  if (stored == nullptr) {
    vdx_buffer_free(&compressed);
    return fail_with(hdf5, "verdalix encode", "out of memory");
  }
  std::memcpy(stored, compressed.data, compressed.size);
  const size_t size = compressed.size;
  vdx_buffer_free(&compressed);
  free_buffer(hdf5, *buf);
  *buf = stored;
  *buf_size = size;
  return size;
}

size_t decode(const Hdf5Functions& hdf5, const ChunkLayout& layout, size_t nbytes,
              size_t* buf_size, void** buf) {
  // The declared count is checked against the chunk's before the output
  // buffer exists, so a damaged header cannot size an allocation.
  vdx_description description;
  vdx_description_init(&description);
  vdx_error error{};
  if (vdx_describe(*buf, nbytes, &description, &error) != VDX_OK) {
    return fail_with(hdf5, "verdalix decode", error.message);
  }
  if (description.sample_count != layout.sample_count) {
    return fail_with(hdf5, "verdalix decode",
                     "the chunk declares " + std::to_string(description.sample_count) +
                         " samples, the dataset's chunk has " +
                         std::to_string(layout.sample_count));
  }
  const size_t size = layout.sample_count * layout.item_size;
  void* samples = allocate_buffer(hdf5, size);
  if (samples == nullptr) return fail_with(hdf5, "verdalix decode", "out of memory");
  if (vdx_decompress(*buf, nbytes, layout.dtype, samples, layout.sample_count, &error) != VDX_OK) {
    free_buffer(hdf5, samples);
    return fail_with(hdf5, "verdalix decode", error.message);
  }
  free_buffer(hdf5, *buf);
  *buf = samples;
  *buf_size = size;
  return size;
}

}  // namespace

htri_t can_apply(hid_t dcpl, hid_t type, hid_t) {
  const Hdf5Functions hdf5 = resolve_hdf5(__builtin_return_address(0));
  DatasetFacts facts;
  std::string why;
  // "Cannot apply" is an answer, not an error: HDF5 skips an optional
  // filter then (and refuses a mandatory one with its own message).
  vdx_options defaults;
  vdx_options_init(&defaults);
  const bool applies = read_facts(hdf5, dcpl, type, &facts, &why) &&
                       probe(facts.dtype, facts.chunk.size(), defaults, &why);
  return applies ? 1 : 0;
}

herr_t set_local(hid_t dcpl, hid_t type, hid_t) {
  const Hdf5Functions hdf5 = resolve_hdf5(__builtin_return_address(0));
  DatasetFacts facts;
  vdx_options options;
  std::string why;
  if (!read_facts(hdf5, dcpl, type, &facts, &why) || !check_settings(facts, &options, &why)) {
    push_error(hdf5, "verdalix set_local", why.c_str());
    return -1;
  }
  std::vector<unsigned> values = values_from_options(options);
  values.push_back(facts.dtype);
  values.push_back(static_cast<unsigned>(facts.chunk.size()));
  for (uint64_t extent : facts.chunk) values.push_back(static_cast<unsigned>(extent));
  return hdf5.modify_filter(dcpl, kFilterId, facts.flags, values.size(), values.data());
}

size_t filter(unsigned flags, size_t cd_nelmts, const unsigned cd_values[], size_t nbytes,
              size_t* buf_size, void** buf) {
  const Hdf5Functions hdf5 = resolve_hdf5(__builtin_return_address(0));
  vdx_options options;
  ChunkLayout layout;
  std::string why;
  if (cd_values == nullptr || buf == nullptr || *buf == nullptr || buf_size == nullptr ||
      !read_values(std::span(cd_values, cd_nelmts), &options, &layout, &why)) {
    return fail_with(hdf5, "verdalix filter", why.empty() ? "no chunk given" : why);
  }
  if (flags & H5Z_FLAG_REVERSE) return decode(hdf5, layout, nbytes, buf_size, buf);
  return encode(hdf5, options, layout, nbytes, buf_size, buf);
}

const H5Z_class2_t& filter_class() {
  static const H5Z_class2_t kClass = {
      H5Z_CLASS_T_VERS, kFilterId, 1, 1, "verdalix", can_apply, set_local, filter,
  };
  return kClass;
}

}  // namespace vdx::h5
