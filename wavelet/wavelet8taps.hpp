// EightTapFilterBank: one analysis and one synthesis step of an orthogonal
// wavelet with eight-tap filters (db4, sym4), the signal extended at its ends
// by a border mode. Analysis output i is Σ h[k]·x̃[2i − 6 + k] (approximation)
// and Σ g[k]·x̃[2i − 6 + k] (details); (n + 7) / 2 outputs per band.
//
// Two implementations of the arithmetic differ only in summation order (see
// eight_tap_kernels.hpp and sse/wavelet8taps_f32.hpp), so their results may
// differ in the last bit; both are correct.
#pragma once

#include <array>
#include <cstdint>

#include "wavelet/border_mode.hpp"
#include "wavelet/dwt.hpp"
#include "wavelet/eight_tap_kernels.hpp"

namespace vdx::wavelet {

enum class FilterBankImplementation : uint8_t { Portable = 0, Sse42 = 1 };

// Whether this build and processor can run `implementation`.
bool implementation_available(FilterBankImplementation implementation);

// SSE4.2 where the processor has it, else portable; decided once per process.
FilterBankImplementation preferred_implementation();

class EightTapFilterBank final : public DwtExecutor {
 public:
  // Uses preferred_implementation().
  EightTapFilterBank(BorderMode mode, const std::array<double, 8>& coefficients);
  // Uses `implementation` if available, the portable one otherwise.
  EightTapFilterBank(BorderMode mode, const std::array<double, 8>& coefficients,
                     FilterBankImplementation implementation);

  // Requires n ≥ 8 and both bands of (n + 7) / 2 elements; overwrites them.
  Status forward(std::span<const float> input, std::span<float> approximation,
                 std::span<float> details) const override;
  // The scratch buffer is ignored, whatever its length.
  Status forward_with_scratch(std::span<const float> input, std::span<float> approximation,
                              std::span<float> details,
                              std::span<float> scratch) const override;
  size_t required_scratch_size(size_t input_length) const override;
  std::pair<size_t, size_t> forward_sizes(size_t n) const override;
  // Requires equal band lengths a and an output of 2·a − 6 samples, and adds
  // the synthesis into it (callers pass it zero-filled).
  Status inverse(std::span<const float> approximation, std::span<const float> details,
                 std::span<float> output) const override;
  // 2·a − 6, or 0 for bands shorter than 3, which forward never produces.
  size_t inverse_size(size_t approximation_length, size_t detail_length) const override;
  size_t filter_length() const override { return eight_tap::kTaps; }

  BorderMode border_mode() const { return border_mode_; }
  const EightTapFilters& filters() const { return filters_; }
  FilterBankImplementation implementation() const { return implementation_; }

 private:
  BorderMode border_mode_;
  EightTapFilters filters_;
  FilterBankImplementation implementation_;
};

}  // namespace vdx::wavelet
