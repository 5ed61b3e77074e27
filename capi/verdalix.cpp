// The extern "C" functions of verdalix.h: argument checks, then the codec
// calls of codec_calls.cpp, inside `guarded` so that no exception crosses.
#include "capi/verdalix.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "capi/boundary.hpp"
#include "capi/codec_calls.hpp"
#include "capi/options.hpp"
#include "src/container.hpp"

using vdx::capi::guarded;
using vdx::capi::report;

namespace {

constexpr const char* kStatusTexts[] = {
    "success",          "invalid argument", "invalid options", "unsupported request",
    "not verdalix data", "unsupported format version", "corrupt data",
    "size mismatch",    "out of memory",    "internal error",
};

bool known_dtype(vdx_dtype dtype) { return dtype >= VDX_FLOAT32 && dtype <= VDX_UINT32; }

size_t item_size(vdx_dtype dtype) {
  switch (dtype) {
    case VDX_FLOAT64: return 8;
    case VDX_INT8: case VDX_UINT8: return 1;
    case VDX_INT16: case VDX_UINT16: return 2;
    default: return 4;
  }
}

vdx_status invalid(vdx_error* error, const std::string& message) {
  return report(error, VDX_ERROR_INVALID_ARGUMENT, message);
}

// The container moved into a malloc'd buffer the caller frees with
// vdx_buffer_free (malloc, so that C code may also free() it).
vdx_status hand_over(const std::vector<uint8_t>& bytes, vdx_buffer* out, vdx_error* error) {
  auto* data = static_cast<uint8_t*>(std::malloc(bytes.empty() ? 1 : bytes.size()));
  if (data == nullptr) return report(error, VDX_ERROR_OUT_OF_MEMORY, "Out of memory");
  std::memcpy(data, bytes.data(), bytes.size());
  out->data = data;
  out->size = bytes.size();
  return report(error, VDX_OK, "");
}

// Struct versions: a struct smaller than this library's is from an older
// header, which has no such struct yet; refuse rather than write past it.
template <class T>
bool sized(const T* record) {
  return record != nullptr && record->size >= sizeof(T);
}

}  // namespace

extern "C" {

const char* vdx_status_message(vdx_status status) {
  const auto index = static_cast<size_t>(status);
  if (index < std::size(kStatusTexts)) return kStatusTexts[index];
  return "unknown status";
}

const char* vdx_version(void) { return VERDALIX_VERSION; }

void vdx_buffer_free(vdx_buffer* buffer) {
  if (buffer == nullptr) return;
  std::free(buffer->data);
  buffer->data = nullptr;
  buffer->size = 0;
}

void vdx_description_init(vdx_description* description) {
  if (description == nullptr) return;
  *description = vdx_description{};
  description->size = sizeof(vdx_description);
}

void vdx_header_init(vdx_header* header) {
  if (header == nullptr) return;
  *header = vdx_header{};
  header->size = sizeof(vdx_header);
}

vdx_status vdx_compress(const void* samples, size_t count, vdx_dtype dtype,
                        const vdx_options* options, vdx_buffer* out, vdx_error* error) {
  return guarded(error, [&] {
    if (out == nullptr) return invalid(error, "out is NULL");
    *out = vdx_buffer{};
    if (samples == nullptr && count > 0) return invalid(error, "samples is NULL");
    if (dtype != VDX_FLOAT32 && dtype != VDX_FLOAT64) {
      return invalid(error, "A signal is VDX_FLOAT32 or VDX_FLOAT64 samples");
    }
    vdx::ChunkSettings settings;
    if (const vdx_status s = vdx::capi::parse_options(options, &settings, error); s != VDX_OK) {
      return s;
    }
    auto container = vdx::capi::compress_signal(samples, count,
                                                 static_cast<vdx::SampleType>(dtype), settings);
    if (!container.ok()) return report(error, container.error());
    return hand_over(container.value(), out, error);
  });
}

vdx_status vdx_compress_chunk(const void* samples, vdx_dtype dtype, const uint64_t* shape,
                              size_t ndim, const vdx_options* options, vdx_buffer* out,
                              vdx_error* error) {
  return guarded(error, [&] {
    if (out == nullptr) return invalid(error, "out is NULL");
    *out = vdx_buffer{};
    if (!known_dtype(dtype)) return invalid(error, "Unknown dtype " + std::to_string(dtype));
    if (shape == nullptr || ndim < 1 || ndim > VDX_MAX_DIMS) {
      return invalid(error, "A chunk has 1 to 32 dimensions, given by shape");
    }
    // The product must stay addressable in bytes; the codec itself refuses
    // more than 2^31 - 1 samples per line with its own message.
    uint64_t bytes = item_size(dtype);
    for (size_t d = 0; d < ndim; ++d) {
      if (shape[d] != 0 && bytes > SIZE_MAX / shape[d]) {
        return invalid(error, "The chunk's shape holds more bytes than memory can");
      }
      bytes *= shape[d];
    }
    if (samples == nullptr && bytes > 0) return invalid(error, "samples is NULL");
    vdx::ChunkSettings settings;
    if (const vdx_status s = vdx::capi::parse_options(options, &settings, error); s != VDX_OK) {
      return s;
    }
    auto chunk = vdx::capi::compress_chunk(samples, static_cast<vdx::SampleType>(dtype),
                                           std::span(shape, ndim), settings);
    if (!chunk.ok()) return report(error, chunk.error());
    return hand_over(chunk.value(), out, error);
  });
}

vdx_status vdx_describe(const void* data, size_t size, vdx_description* out, vdx_error* error) {
  return guarded(error, [&] {
    if (!sized(out)) return invalid(error, "out is NULL or not initialised (vdx_description_init)");
    if (data == nullptr && size > 0) return invalid(error, "data is NULL");
    auto description = vdx::capi::describe(std::span(static_cast<const uint8_t*>(data), size));
    if (!description.ok()) return report(error, description.error());
    const auto& d = description.value();
    vdx_description result{};
    result.size = sizeof(vdx_description);
    result.framed = d.framed ? 1 : 0;
    result.dtype = static_cast<int32_t>(d.type);
    result.sample_count = d.sample_count;
    result.ndim = static_cast<uint32_t>(std::min<size_t>(d.shape.size(), VDX_MAX_DIMS));
    std::copy_n(d.shape.begin(), result.ndim, result.shape);
    result.has_axis = d.has_axis ? 1 : 0;
    result.axis = static_cast<int32_t>(d.axis);
    *out = result;
    return report(error, VDX_OK, "");
  });
}

vdx_status vdx_decompress(const void* data, size_t size, vdx_dtype out_dtype, void* out,
                          size_t out_count, vdx_error* error) {
  return guarded(error, [&] {
    if (data == nullptr && size > 0) return invalid(error, "data is NULL");
    if (!known_dtype(out_dtype)) return invalid(error, "Unknown dtype " + std::to_string(out_dtype));
    const std::span bytes(static_cast<const uint8_t*>(data), size);
    auto description = vdx::capi::describe(bytes);
    if (!description.ok()) return report(error, description.error());
    const vdx::SampleType stored = description->type;
    const auto wanted = static_cast<vdx::SampleType>(out_dtype);
    // float32 samples may also be widened to float64 (exactly).
    if (stored != wanted &&
        !(stored == vdx::SampleType::Float32 && wanted == vdx::SampleType::Float64)) {
      return report(error, VDX_ERROR_SIZE_MISMATCH,
                    "The data holds samples of dtype " + std::to_string(static_cast<int>(stored)) +
                        ", not of dtype " + std::to_string(out_dtype));
    }
    const uint64_t declared = description->sample_count;
    if (declared != out_count) {
      return report(error, VDX_ERROR_SIZE_MISMATCH,
                    "The data holds " + std::to_string(declared) +
                        " samples, but the output has room for " + std::to_string(out_count));
    }
    if (out == nullptr && out_count > 0) return invalid(error, "out is NULL");
    auto decoded = vdx::capi::decompress(bytes, static_cast<vdx::SampleType>(out_dtype), out,
                                         out_count);
    if (!decoded.ok()) return report(error, decoded.error());
    return report(error, VDX_OK, "");
  });
}

vdx_status vdx_read_header(const void* container, size_t size, vdx_header* out,
                           vdx_error* error) {
  return guarded(error, [&] {
    if (!sized(out)) return invalid(error, "out is NULL or not initialised (vdx_header_init)");
    if (container == nullptr && size > 0) return invalid(error, "container is NULL");
    auto parsed = vdx::parse_header(std::span(static_cast<const uint8_t*>(container), size));
    if (!parsed.ok()) return report(error, parsed.error());
    const vdx::ContainerHeader& h = parsed.value();
    // Indexed by the codec's tags and coder ids, valued in the ABI's enums.
    constexpr vdx_method kMethodOfTag[] = {VDX_METHOD_CDF53, VDX_METHOD_CDF97, VDX_METHOD_DB4,
                                           VDX_METHOD_SYM4};
    constexpr vdx_coder kCoderOfId[] = {VDX_CODER_DEFLATE, VDX_CODER_ARANS, VDX_CODER_CMODEL};
    vdx_header result{};
    result.size = sizeof(vdx_header);
    result.version_major = h.version_major;
    result.version_minor = h.version_minor;
    result.method = kMethodOfTag[static_cast<size_t>(h.method)];
    result.levels = h.levels;
    result.scale = h.scale;
    result.coder = kCoderOfId[h.coder_id];  // parse_header refuses ids above 2
    result.sample_count = h.sample_count;
    result.min_value = h.min_value;
    result.max_value = h.max_value;
    result.mean_value = h.mean_value;
    result.payload_length = h.payload_length;
    result.quant_multiplier = h.multiplier;
    *out = result;
    return report(error, VDX_OK, "");
  });
}

}  // extern "C"
