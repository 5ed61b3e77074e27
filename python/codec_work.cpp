#include "python/codec_work.hpp"

#include "python/errors.hpp"
#include "src/compressor.hpp"
#include "src/decompressor.hpp"
#include "src/wide_samples.hpp"

namespace vdx::python {
namespace {

Result<std::vector<uint8_t>, CodecError> compress_source(const SampleSource& source,
                                                         const CodecOptions& options) {
  if (!source.is_float64) {
    return compress_samples(std::span(static_cast<const float*>(source.data), source.count),
                            options);
  }
  return compress_float64_samples(
      std::span(static_cast<const double*>(source.data), source.count), options);
}

}  // namespace

PyObject* compress_to_bytes(const SampleSource& samples, const CodecOptions& options, Gil gil) {
  auto container = [&] {
    GilScope scope(gil);
    return compress_source(samples, options);
  }();
  if (!container.ok()) {
    raise_codec_error(container.error());
    return nullptr;
  }
  const auto& bytes = container.value();
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<Py_ssize_t>(bytes.size()));
}

std::optional<std::vector<float>> decompress_to_vector(std::span<const uint8_t> container,
                                                       Gil gil) {
  auto samples = [&] {
    GilScope scope(gil);
    return decompress_container(container);
  }();
  if (!samples.ok()) {
    raise_codec_error(samples.error());
    return std::nullopt;
  }
  return std::move(samples).value();
}

}  // namespace vdx::python
