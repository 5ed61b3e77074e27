#include "wavelet/multilevel.hpp"

#include <algorithm>
#include <utility>

#include "wavelet/float_buffers.hpp"

namespace vdx::wavelet {

namespace {

WaveletError too_small_for_level() {
  return wavelet_error(WaveletErrorKind::BufferTooSmallForLevel);
}

// Every accepted level shrinks its input (to about half), so no request can
// succeed with more levels than a size_t has bits; reserving beyond that would
// only risk a length_error for a call that is bound to fail anyway.
constexpr size_t kMaxUsefulLevels = 8 * sizeof(size_t);

Result<std::vector<DwtLevel>, WaveletError> decompose_single(const DwtExecutor& transform,
                                                             std::span<const float> input) {
  const auto [a, d] = transform.forward_sizes(input.size());
  ASSIGN_OR_RETURN(std::vector<float> approximation, zeroed_floats(a));
  ASSIGN_OR_RETURN(std::vector<float> details, zeroed_floats(d));
  RETURN_IF_ERROR(transform.forward(input, approximation, details));
  std::vector<DwtLevel> result;
  result.push_back(DwtLevel{std::move(approximation), std::move(details)});
  return result;
}

}  // namespace

Result<std::vector<DwtLevel>, WaveletError> decompose_levels(const DwtExecutor& transform,
                                                             std::span<const float> input,
                                                             size_t levels, const LevelRule& rule,
                                                             bool keep_all) {
  if (rule.checks_single_level && input.size() < rule.minimum_length) {
    return fail(too_small_for_level());
  }
  if (levels <= 1) return decompose_single(transform, input);

  std::vector<float> current(input.begin(), input.end());
  std::vector<float> approximation;  // reused from level to level
  std::vector<DwtLevel> result;
  result.reserve(keep_all ? std::min(levels, kMaxUsefulLevels) : 1);
  for (size_t level = 1; level <= levels; ++level) {
    if (current.size() < rule.minimum_length) return fail(too_small_for_level());
    const auto [a, d] = transform.forward_sizes(current.size());
    RETURN_IF_ERROR(resize_zeroed(approximation, a));
    ASSIGN_OR_RETURN(std::vector<float> details, zeroed_floats(d));
    RETURN_IF_ERROR(transform.forward(current, approximation, details));
    if (keep_all || level == levels) {
      result.push_back(DwtLevel{approximation, std::move(details)});
    }
    std::swap(current, approximation);
  }
  return result;
}

Result<std::vector<float>, WaveletError> reconstruct_levels(
    const MultiLevelDwt& transform, std::span<const float> approximation,
    std::span<const std::span<const float>> details_finest_first, bool cut_to_band) {
  if (details_finest_first.empty() || approximation.empty()) {
    return fail(wavelet_error(WaveletErrorKind::ZeroSizedInput));
  }
  ASSIGN_OR_RETURN(std::vector<float> current,
                   transform.inverse_level(approximation, details_finest_first.back()));
  for (size_t k = details_finest_first.size() - 1; k-- > 0;) {
    const std::span<const float> band = details_finest_first[k];
    std::span<const float> coarse = current;
    if (cut_to_band) {
      if (coarse.size() < band.size()) {
        return fail(wavelet_error(WaveletErrorKind::BandsMismatch, coarse.size(), band.size()));
      }
      coarse = coarse.first(band.size());
    }
    ASSIGN_OR_RETURN(std::vector<float> finer, transform.inverse_level(coarse, band));
    current = std::move(finer);
  }
  return current;
}

}  // namespace vdx::wavelet
