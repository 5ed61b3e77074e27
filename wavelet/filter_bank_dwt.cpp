#include "wavelet/filter_bank_dwt.hpp"

#include <utility>

#include "wavelet/float_buffers.hpp"
#include "wavelet/multilevel.hpp"

namespace vdx::wavelet {

FilterBankDwt::FilterBankDwt(std::shared_ptr<const DwtExecutor> bank)
    : bank_(std::move(bank)), filter_length_(bank_->filter_length()) {}

Status FilterBankDwt::forward(std::span<const float> input, std::span<float> approximation,
                              std::span<float> details) const {
  return bank_->forward(input, approximation, details);
}

Status FilterBankDwt::forward_with_scratch(std::span<const float> input,
                                           std::span<float> approximation,
                                           std::span<float> details,
                                           std::span<float> scratch) const {
  return bank_->forward_with_scratch(input, approximation, details, scratch);
}

size_t FilterBankDwt::required_scratch_size(size_t input_length) const {
  return bank_->required_scratch_size(input_length);
}

std::pair<size_t, size_t> FilterBankDwt::forward_sizes(size_t n) const {
  return bank_->forward_sizes(n);
}

Status FilterBankDwt::inverse(std::span<const float> approximation,
                              std::span<const float> details, std::span<float> output) const {
  return bank_->inverse(approximation, details, output);
}

size_t FilterBankDwt::inverse_size(size_t approximation_length, size_t detail_length) const {
  return bank_->inverse_size(approximation_length, detail_length);
}

size_t FilterBankDwt::filter_length() const { return filter_length_; }

Result<DwtLevel, WaveletError> FilterBankDwt::decompose_to_level(std::span<const float> input,
                                                                 size_t levels) const {
  ASSIGN_OR_RETURN(std::vector<DwtLevel> deepest,
                   decompose_levels(*this, input, levels, LevelRule{filter_length_, false},
                                    /*keep_all=*/false));
  return std::move(deepest.back());
}

Result<std::vector<DwtLevel>, WaveletError> FilterBankDwt::decompose(std::span<const float> input,
                                                                     size_t levels) const {
  return decompose_levels(*this, input, levels, LevelRule{filter_length_, false},
                          /*keep_all=*/true);
}

Result<std::vector<float>, WaveletError> FilterBankDwt::inverse_level(
    std::span<const float> approximation, std::span<const float> details) const {
  if (approximation.size() != details.size()) {
    return fail(wavelet_error(WaveletErrorKind::BandsMismatch, approximation.size(),
                              details.size()));
  }
  ASSIGN_OR_RETURN(std::vector<float> output,
                   zeroed_floats(inverse_size(details.size(), details.size())));
  RETURN_IF_ERROR(bank_->inverse(approximation, details, output));
  return output;
}

Result<std::vector<float>, WaveletError> FilterBankDwt::reconstruct(
    std::span<const float> approximation,
    std::span<const std::span<const float>> details_finest_first) const {
  return reconstruct_levels(*this, approximation, details_finest_first, /*cut_to_band=*/true);
}

DwtHandle create_filter_bank_dwt(const std::array<double, 8>& coefficients,
                                 FilterBankImplementation implementation) {
  return std::make_shared<const FilterBankDwt>(
      std::make_shared<const EightTapFilterBank>(BorderMode::Wrap, coefficients, implementation));
}

}  // namespace vdx::wavelet
