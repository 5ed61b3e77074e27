// The storage codecs of this release compress a chunk as its C-order
// flattening into one container, float64 rounded to float32 first; chunks
// are therefore bare containers, and this file produces and reads exactly
// those.
#include "capi/codec_calls.hpp"

#include <cstring>
#include <memory>
#include <string>

#include "src/compressor.hpp"
#include "src/container.hpp"
#include "src/decompressor.hpp"
#include "src/wide_samples.hpp"

namespace vdx::capi {
namespace {

template <class T>
Result<Bytes, CodecError> compress_values(const void* samples, size_t count,
                                          const CodecOptions& options) {
  // The codec reads samples through typed spans, so a misaligned buffer is
  // copied first (memcpy: no alignment assumed while copying).
  std::unique_ptr<T[]> aligned;
  const T* values = static_cast<const T*>(samples);
  if (reinterpret_cast<uintptr_t>(samples) % alignof(T) != 0) {
    aligned = std::make_unique_for_overwrite<T[]>(count);
    std::memcpy(aligned.get(), samples, count * sizeof(T));
    values = aligned.get();
  }
  if constexpr (std::is_same_v<T, float>) {
    return compress_samples(std::span(values, count), options);
  } else {
    return compress_float64_samples(std::span(values, count), options);
  }
}

CodecError unsupported(const std::string& text) {
  return CodecError::unsupported_configuration(text);
}

}  // namespace

Result<Bytes, CodecError> compress_signal(const void* samples, size_t count, SampleType type,
                                          const ChunkSettings& settings) {
  if (settings.has_target) {
    return fail(unsupported("Error targets need the native fitter, which this build lacks"));
  }
  if (type == SampleType::Float32) return compress_values<float>(samples, count, settings.options);
  if (type == SampleType::Float64) return compress_values<double>(samples, count, settings.options);
  return fail(unsupported("A signal is float32 or float64 samples"));
}

Result<Bytes, CodecError> compress_chunk(const void* samples, SampleType type,
                                         std::span<const uint64_t> shape,
                                         const ChunkSettings& settings) {
  uint64_t count = 1;
  uint64_t lines = 1;
  const int32_t axis = settings.axis < 0 ? settings.axis + static_cast<int32_t>(shape.size())
                                         : settings.axis;
  for (size_t d = 0; d < shape.size(); ++d) {
    count *= shape[d];  // the caller has checked that the product fits
    if (static_cast<int32_t>(d) != axis) lines *= shape[d];
  }
  if (settings.has_axis && (axis < 0 || axis >= static_cast<int32_t>(shape.size()))) {
    return fail(unsupported("Axis " + std::to_string(settings.axis) + " is outside a chunk of " +
                            std::to_string(shape.size()) + " dimensions"));
  }
  if (settings.has_axis && lines > 1) {
    return fail(unsupported("Chunks of several lines along an axis need the chunk frame, "
                            "which this build lacks; compress the flattening (has_axis = 0)"));
  }
  if (type != SampleType::Float32 && type != SampleType::Float64) {
    return fail(unsupported("This build stores float32 and float64 chunks only"));
  }
  return compress_signal(samples, count, type, settings);
}

Result<ChunkDescription, CodecError> describe(std::span<const uint8_t> data) {
  ASSIGN_OR_RETURN(const ContainerHeader header, parse_header(data));
  ChunkDescription description;
  description.sample_count = header.sample_count;
  description.shape = {header.sample_count};
  return description;
}

Result<void, CodecError> decompress(std::span<const uint8_t> data, SampleType type, void* out,
                                    uint64_t count) {
  ASSIGN_OR_RETURN(const ContainerHeader header, parse_header(data));
  if (header.sample_count != count) {
    return fail(CodecError::decompress_failed("The container holds " +
                                              std::to_string(header.sample_count) +
                                              " samples, but the output has " +
                                              std::to_string(count)));
  }
  if (type != SampleType::Float32 && type != SampleType::Float64) {
    return fail(unsupported("A container decodes to float32 or float64 samples"));
  }
  ASSIGN_OR_RETURN(const std::vector<float> samples, decompress_container(data));
  auto* bytes = static_cast<uint8_t*>(out);
  if (type == SampleType::Float32) {
    std::memcpy(bytes, samples.data(), samples.size() * sizeof(float));
    return {};
  }
  for (size_t i = 0; i < samples.size(); ++i) {
    const double wide = samples[i];
    std::memcpy(bytes + i * sizeof(double), &wide, sizeof(double));
  }
  return {};
}

}  // namespace vdx::capi
