// FilterBankDwt: gives a single-level filter bank the multi-level operations.
// Every DwtExecutor operation forwards to the wrapped bank unchanged, except
// filter_length, which is copied once when the adapter is built.
#pragma once

#include <array>
#include <memory>

#include "wavelet/dwt.hpp"
#include "wavelet/wavelet8taps.hpp"

namespace vdx::wavelet {

class FilterBankDwt final : public MultiLevelDwt {
 public:
  explicit FilterBankDwt(std::shared_ptr<const DwtExecutor> bank);

  Status forward(std::span<const float> input, std::span<float> approximation,
                 std::span<float> details) const override;
  Status forward_with_scratch(std::span<const float> input, std::span<float> approximation,
                              std::span<float> details,
                              std::span<float> scratch) const override;
  size_t required_scratch_size(size_t input_length) const override;
  std::pair<size_t, size_t> forward_sizes(size_t n) const override;
  Status inverse(std::span<const float> approximation, std::span<const float> details,
                 std::span<float> output) const override;
  size_t inverse_size(size_t approximation_length, size_t detail_length) const override;
  size_t filter_length() const override;

  Result<DwtLevel, WaveletError> decompose_to_level(std::span<const float> input,
                                                    size_t levels) const override;
  Result<std::vector<DwtLevel>, WaveletError> decompose(std::span<const float> input,
                                                        size_t levels) const override;
  // Bands must have equal lengths; the output has inverse_size(d, d) samples.
  Result<std::vector<float>, WaveletError> inverse_level(
      std::span<const float> approximation, std::span<const float> details) const override;
  // The result has 2·a₀ − 6 samples (a₀ = finest band length): the signal
  // length, or one more for odd-length signals.
  Result<std::vector<float>, WaveletError> reconstruct(
      std::span<const float> approximation,
      std::span<const std::span<const float>> details_finest_first) const override;

 private:
  std::shared_ptr<const DwtExecutor> bank_;
  size_t filter_length_;
};

// A FilterBankDwt over an 8-tap filter bank with `Wrap` borders and the
// given implementation (the processor's preferred one is what create_dwt
// uses); tests build both to check each.
DwtHandle create_filter_bank_dwt(const std::array<double, 8>& coefficients,
                                 FilterBankImplementation implementation);

}  // namespace vdx::wavelet
