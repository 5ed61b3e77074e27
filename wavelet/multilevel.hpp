// The level-by-level decomposition and reconstruction loops shared by every
// MultiLevelDwt. The transforms differ only in their minimum-length rule and
// in whether a reconstruction is cut to the next band's length.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "wavelet/dwt.hpp"

namespace vdx::wavelet {

struct LevelRule {
  // A level whose input is shorter than this fails with
  // "Buffer was too small for provided level".
  size_t minimum_length = 0;
  // Lifting transforms apply the minimum even to a single-level request; the
  // filter bank leaves that case to its own forward check.
  bool checks_single_level = false;
};

// Runs max(levels, 1) forward steps. With `keep_all` the result holds every
// level, finest first; otherwise only the deepest.
Result<std::vector<DwtLevel>, WaveletError> decompose_levels(const DwtExecutor& transform,
                                                             std::span<const float> input,
                                                             size_t levels, const LevelRule& rule,
                                                             bool keep_all);

// Inverts the deepest level first, then each finer band. With
// `cut_to_band`, an intermediate result longer than the next band (odd-length
// data through a filter bank) loses its surplus tail.
Result<std::vector<float>, WaveletError> reconstruct_levels(
    const MultiLevelDwt& transform, std::span<const float> approximation,
    std::span<const std::span<const float>> details_finest_first, bool cut_to_band);

}  // namespace vdx::wavelet
