// How deeply a fitted container decomposes. The compressor stops at eight
// levels; where the deepest approximation band is still a large part of
// the cost (a random walk at a loose bound) the header's ten let the
// fitter decorrelate it further. A signal that holds still for long
// stretches or loops (steps, a recording that repeats, a slow sweep at a
// loose bound) is often smaller in one level under DEFLATE: the
// approximation band is then the signal itself, coarsely rounded, whose
// runs and repeats DEFLATE codes for almost nothing, while the deeper
// bands cut each edge into coefficients paid for one by one. The header
// records the level count, so any reader decodes either.
#pragma once

#include <cstdint>

#include "src/fit/fit_signal.hpp"

namespace vdx::fit {

enum class ShallowOutlook : uint8_t {
  Skip,     // only the compressor's level count is fitted
  Also,     // both are fitted and the smaller container kept
  Instead,  // one level first; the deeper fit only when it does not settle
};

// `shallow` is a one-level decomposition of the samples on which the
// deeper decompositions' plain rounding was estimated at `deep_bits`; the
// outlook compares DEFLATE's real size of its plain rounding with that.
ShallowOutlook shallow_outlook(const Prepared& shallow, double bound, double deep_bits);

// The level count, from the prepared signal's own up to the header's
// largest, whose deepest bands the coefficient stream is expected to code
// in the fewest bits at the first multiplier. Only the approximation band
// is transformed again: the detail bands stay what they are.
uint8_t deeper_levels(const Prepared& p, double bound);

// The wavelet of the one-level candidate: the caller's when named; else
// CDF 5/3, whose two-sample steps keep an edge to one detail coefficient.
WaveletMethod shallow_method(const ErrorTarget& target);

}  // namespace vdx::fit
