#include "src/wide_samples.hpp"

#include <memory>

#include "src/compressor.hpp"
#include "src/float_mode.hpp"

namespace vdx {

Result<std::vector<uint8_t>, CodecError> compress_float64_samples(std::span<const double> samples,
                                                                  const CodecOptions& options) {
  RETURN_IF_ERROR(check_compress_request(samples.size(), options));
  // One pass into an exactly sized buffer, left uninitialised until then;
  // each value rounds to nearest float32 (beyond range: infinity), keeping
  // subnormal results whatever the caller's floating-point mode.
  // Allocation failure throws std::bad_alloc, as every other buffer of the
  // pipeline does; the boundaries (Python, C, HDF5) turn it into their own.
  std::unique_ptr<float[]> converted = std::make_unique_for_overwrite<float[]>(samples.size());
  {
    const IeeeFloatScope ieee;
    for (size_t i = 0; i < samples.size(); ++i) converted[i] = static_cast<float>(samples[i]);
  }
  return compress_samples(std::span<const float>(converted.get(), samples.size()), options);
}

}  // namespace vdx
