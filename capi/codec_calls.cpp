// Signals are containers (compress_signal's, or the fitter's with a
// target); chunks are the chunk frame's (src/frame), which the storage
// codecs write and read too.
#include "capi/codec_calls.hpp"

#include <cstring>
#include <memory>
#include <string>

#include "src/compressor.hpp"
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

}  // namespace

Result<Bytes, CodecError> compress_signal(const void* samples, size_t count, SampleType type,
                                          const ChunkSettings& settings) {
  if (type != SampleType::Float32 && type != SampleType::Float64) {
    return fail(CodecError::unsupported_configuration("A signal is float32 or float64 samples"));
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
  return encode_chunk(samples, type, shape, settings);
}

Result<ChunkDescription, CodecError> describe(std::span<const uint8_t> data) {
  return describe_chunk(data);
}

Result<void, CodecError> decompress(std::span<const uint8_t> data, SampleType type, void* out,
                                    uint64_t count) {
  return decode_chunk(data, type, out, count);
}

}  // namespace vdx::capi
