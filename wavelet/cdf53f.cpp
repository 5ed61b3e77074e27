#include "wavelet/cdf53f.hpp"

#include <algorithm>
#include <memory>
#include <tuple>

#include "wavelet/float_buffers.hpp"
#include "wavelet/lifting_constants.hpp"
#include "wavelet/lifting_steps.hpp"

namespace vdx::wavelet {

using lifting::Block;
using lifting::Split;

Status Cdf53Lifting::forward(std::span<const float> input, std::span<float> approximation,
                             std::span<float> details) const {
  RETURN_IF_ERROR(check_lifting_forward(input.size(), approximation.size(), details.size(),
                                        minimum_length()));
  const Split split(input.size());
  const float* x = input.data();
  float* s = approximation.data();
  float* dt = details.data();
  lifting::sweep(split.m, [&](const Block& block) {
    // dt[i] = ((x[2i] + x[2i+2]) × −0.5) + x[2i+1]
    auto [lo, hi] = block.range(0, split.h);
    lifting::predict<2>(dt, x, x + 1, lo, hi, lifting::kCdf53Predict, split);
    // s[i] = ((dt[i-1] + dt[i]) × 0.25) + x[2i]; the copy of the even
    // samples is folded into the update.
    std::tie(lo, hi) = block.range(0, split.m);
    lifting::update<2>(s, dt, x, lo, hi, lifting::kCdf53Update, split);
  });
  return {};
}

Status Cdf53Lifting::inverse(std::span<const float> approximation,
                             std::span<const float> details, std::span<float> output) const {
  RETURN_IF_ERROR(check_lifting_inverse(approximation.size(), details.size(), output.size(), 1));
  const Split split(output.size());
  // Working copies keep the caller's bands intact.
  auto even = std::make_unique_for_overwrite<float[]>(split.m);
  ASSIGN_OR_RETURN(std::unique_ptr<float[]> odd, uninitialised_floats(split.h));
  float* e = even.get();
  float* o = odd.get();
  const float* s = approximation.data();
  const float* dt = details.data();
  float* y = output.data();
  lifting::sweep(split.m, [&](const Block& block) {
    // e[i] = ((dt[i-1] + dt[i]) × −0.25) + s[i]
    auto [lo, hi] = block.range(0, split.m);
    lifting::update<1>(e, dt, s, lo, hi, lifting::negated(lifting::kCdf53Update), split);
    // o[i] = ((e[i] + e[i+1]) × 0.5) + dt[i]
    std::tie(lo, hi) = block.range(1, split.h);
    lifting::predict<1>(o, e, dt, lo, hi, lifting::negated(lifting::kCdf53Predict), split);
    lifting::interleave(y, e, o, lo, hi);
  });
  if (!split.even()) y[split.n - 1] = e[split.m - 1];
  return {};
}

size_t Cdf53Lifting::inverse_size(size_t approximation_length, size_t detail_length) const {
  return std::max<size_t>(approximation_length + detail_length, 3);
}

}  // namespace vdx::wavelet
