// Single-level (DwtExecutor) and multi-level (MultiLevelDwt) transform
// interfaces, the decomposition level record and the factory.
//
// Operation order in the interfaces is fixed; implementations list them the
// same way. Transform objects are immutable and shared through DwtHandle,
// whose reference count is atomic (std::shared_ptr).
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "common/result.hpp"
#include "common/wavelet_method.hpp"
#include "wavelet/wavelet_error.hpp"

namespace vdx::wavelet {

struct DwtLevel {
  std::vector<float> approximation;
  std::vector<float> details;
};

using Status = Result<void, WaveletError>;

class DwtExecutor {
 public:
  virtual ~DwtExecutor() = default;

  virtual Status forward(std::span<const float> input, std::span<float> approximation,
                         std::span<float> details) const = 0;
  virtual Status forward_with_scratch(std::span<const float> input,
                                      std::span<float> approximation,
                                      std::span<float> details,
                                      std::span<float> scratch) const = 0;
  virtual size_t required_scratch_size(size_t input_length) const = 0;
  // (approximation length, detail length) that forward requires for n.
  virtual std::pair<size_t, size_t> forward_sizes(size_t n) const = 0;
  // Filter banks add into `output` (callers pass it zero-filled); the lifting
  // wavelets overwrite it.
  virtual Status inverse(std::span<const float> approximation,
                         std::span<const float> details, std::span<float> output) const = 0;
  virtual size_t inverse_size(size_t approximation_length, size_t detail_length) const = 0;
  virtual size_t filter_length() const = 0;
};

class MultiLevelDwt : public DwtExecutor {
 public:
  virtual Result<DwtLevel, WaveletError> decompose_to_level(std::span<const float> input,
                                                            size_t levels) const = 0;
  // Finest level first; exactly max(levels, 1) entries on success.
  virtual Result<std::vector<DwtLevel>, WaveletError> decompose(std::span<const float> input,
                                                                size_t levels) const = 0;
  virtual Result<std::vector<float>, WaveletError> inverse_level(
      std::span<const float> approximation, std::span<const float> details) const = 0;
  // `details` finest first; the result is untrimmed (see each transform).
  virtual Result<std::vector<float>, WaveletError> reconstruct(
      std::span<const float> approximation,
      std::span<const std::span<const float>> details) const = 0;
};

using DwtHandle = std::shared_ptr<const MultiLevelDwt>;

// Cdf53 and Cdf97: the lifting wavelets; Db4 and Sym4: a FilterBankDwt over
// the 8-tap filter bank with periodic borders, in the processor's preferred
// implementation. nullptr for a value outside the enumeration, which the
// option parser and the container reader never let through.
DwtHandle create_dwt(WaveletMethod method);

// filter_length and forward_sizes of the transform create_dwt(method) makes,
// without making it: for refusals that must not allocate.
size_t filter_length_of(WaveletMethod method);
std::pair<size_t, size_t> forward_sizes_of(WaveletMethod method, size_t n);

}  // namespace vdx::wavelet
