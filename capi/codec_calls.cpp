// The storage codecs of this release compress a chunk as its C-order
// flattening into one container, float64 rounded to float32 first (with a
// target: the fitter's container); chunks are therefore bare containers,
// and this file produces and reads exactly those.
#include "capi/codec_calls.hpp"

#include <cstring>
#include <memory>
#include <string>

#include "src/compressor.hpp"
#include "src/container.hpp"
#include "src/decompressor.hpp"
#include "src/float_mode.hpp"
#include "src/wide_samples.hpp"

namespace vdx::capi {
namespace {

// The codec reads samples through typed spans, so a misaligned buffer is
// copied first (memcpy: no alignment assumed while copying).
template <class T>
const T* aligned_samples(const void* samples, size_t count, std::unique_ptr<T[]>* copy) {
  if (reinterpret_cast<uintptr_t>(samples) % alignof(T) == 0) {
    return static_cast<const T*>(samples);
  }
  *copy = std::make_unique_for_overwrite<T[]>(count);
  std::memcpy(copy->get(), samples, count * sizeof(T));
  return copy->get();
}

template <class T>
Result<Bytes, CodecError> compress_values(const void* samples, size_t count,
                                          const CodecOptions& options) {
  std::unique_ptr<T[]> copy;
  const T* values = aligned_samples<T>(samples, count, &copy);
  if constexpr (std::is_same_v<T, float>) {
    return compress_samples(std::span(values, count), options);
  } else {
    return compress_float64_samples(std::span(values, count), options);
  }
}

// The fitter compresses float32 samples and proves the target against the
// caller's own, float64 ones included.
template <class T>
Result<Bytes, CodecError> fit_values(const void* samples, size_t count,
                                     const ErrorTarget& target) {
  CodecOptions request;
  request.method = target.method;
  request.coder = target.coder;
  RETURN_IF_ERROR(check_compress_request(count, request));
  std::unique_ptr<T[]> copy;
  const T* values = aligned_samples<T>(samples, count, &copy);
  ReferenceSamples reference;
  std::vector<float> rounded;
  std::span<const float> compressed;
  if constexpr (std::is_same_v<T, float>) {
    compressed = std::span(values, count);
    reference.f32 = compressed;
  } else {
    rounded.resize(count);
    {
      const IeeeFloatScope ieee;  // round to nearest, subnormals kept
      for (size_t i = 0; i < count; ++i) rounded[i] = static_cast<float>(values[i]);
    }
    compressed = rounded;
    reference.f64 = std::span(values, count);
  }
  ASSIGN_OR_RETURN(FittedContainer fitted, compress_within(compressed, reference, {}, target));
  return std::move(fitted.container);
}

CodecError unsupported(const std::string& text) {
  return CodecError::unsupported_configuration(text);
}

}  // namespace

Result<Bytes, CodecError> compress_signal(const void* samples, size_t count, SampleType type,
                                          const ChunkSettings& settings) {
  if (type != SampleType::Float32 && type != SampleType::Float64) {
    return fail(unsupported("A signal is float32 or float64 samples"));
  }
  const bool wide = type == SampleType::Float64;
  if (settings.has_target) {
    return wide ? fit_values<double>(samples, count, settings.target)
                : fit_values<float>(samples, count, settings.target);
  }
  return wide ? compress_values<double>(samples, count, settings.options)
              : compress_values<float>(samples, count, settings.options);
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
