#include "wavelet/cdf97f.hpp"

#include <algorithm>
#include <memory>
#include <tuple>

#include "wavelet/lifting_constants.hpp"
#include "wavelet/lifting_steps.hpp"

namespace vdx::wavelet {

using lifting::Block;
using lifting::negated;
using lifting::Split;

Status Cdf97Lifting::forward(std::span<const float> input, std::span<float> approximation,
                             std::span<float> details) const {
  RETURN_IF_ERROR(check_lifting_forward(input.size(), approximation.size(), details.size(),
                                        minimum_length()));
  const Split split(input.size());
  const float* x = input.data();
  float* s = approximation.data();
  float* dt = details.data();
  // Each step reads its neighbours at i and i + 1 of the previous step's
  // output, so step k runs k − 1 indices behind the first two.
  lifting::sweep(split.m, [&](const Block& block) {
    // dt[i] = ((x[2i] + x[2i+2]) × α) + x[2i+1]
    auto [lo, hi] = block.range(0, split.h);
    lifting::predict<2>(dt, x, x + 1, lo, hi, lifting::kCdf97Alpha, split);
    // s[i] = ((dt[i-1] + dt[i]) × β) + x[2i], the even-sample copy folded in
    std::tie(lo, hi) = block.range(0, split.m);
    lifting::update<2>(s, dt, x, lo, hi, lifting::kCdf97Beta, split);
    // dt[i] = ((s[i] + s[i+1]) × γ) + dt[i]
    std::tie(lo, hi) = block.range(1, split.h);
    lifting::predict<1>(dt, s, dt, lo, hi, lifting::kCdf97Gamma, split);
    // s[i] = (((dt[i-1] + dt[i]) × δ) + s[i]) × K
    std::tie(lo, hi) = block.range(2, split.m);
    lifting::update<1>(s, dt, s, lo, hi, lifting::kCdf97Delta, split);
    lifting::scale(s, s, lo, hi, lifting::kCdf97K);
    // dt[i] = dt[i] × 1/K, once both approximations that read it are done
    std::tie(lo, hi) = block.range(3, split.h);
    lifting::scale(dt, dt, lo, hi, lifting::kCdf97InvK);
  });
  return {};
}

Status Cdf97Lifting::inverse(std::span<const float> approximation,
                             std::span<const float> details, std::span<float> output) const {
  RETURN_IF_ERROR(check_lifting_inverse(approximation.size(), details.size(), output.size(), 2));
  const Split split(output.size());
  // Working copies keep the caller's bands intact.
  auto even = std::make_unique_for_overwrite<float[]>(split.m);
  auto odd = std::make_unique_for_overwrite<float[]>(split.h);
  float* e = even.get();
  float* o = odd.get();
  const float* s = approximation.data();
  const float* dt = details.data();
  float* y = output.data();
  lifting::sweep(split.m, [&](const Block& block) {
    // e[i] = s[i] × 1/K, o[i] = dt[i] × K (the copies are the unscaling)
    auto [lo, hi] = block.range(0, split.m);
    lifting::scale(e, s, lo, hi, lifting::kCdf97InvK);
    std::tie(lo, hi) = block.range(0, split.h);
    lifting::scale(o, dt, lo, hi, lifting::kCdf97K);
    // e[i] = ((o[i-1] + o[i]) × −δ) + e[i]
    std::tie(lo, hi) = block.range(0, split.m);
    lifting::update<1>(e, o, e, lo, hi, negated(lifting::kCdf97Delta), split);
    // o[i] = ((e[i] + e[i+1]) × −γ) + o[i]
    std::tie(lo, hi) = block.range(1, split.h);
    lifting::predict<1>(o, e, o, lo, hi, negated(lifting::kCdf97Gamma), split);
    // e[i] = ((o[i-1] + o[i]) × −β) + e[i]
    std::tie(lo, hi) = block.range(2, split.m);
    lifting::update<1>(e, o, e, lo, hi, negated(lifting::kCdf97Beta), split);
    // o[i] = ((e[i] + e[i+1]) × −α) + o[i], then both are final at i
    std::tie(lo, hi) = block.range(3, split.h);
    lifting::predict<1>(o, e, o, lo, hi, negated(lifting::kCdf97Alpha), split);
    lifting::interleave(y, e, o, lo, hi);
  });
  if (!split.even()) y[split.n - 1] = e[split.m - 1];
  return {};
}

size_t Cdf97Lifting::inverse_size(size_t approximation_length, size_t detail_length) const {
  return std::max<size_t>(approximation_length + detail_length, 4);
}

}  // namespace vdx::wavelet
