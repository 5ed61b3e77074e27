// Which entropy coder a fitted container is written with, when the caller
// left the choice open. The coefficient stream models each band's values
// one at a time and cannot see repeats; raw DEFLATE finds them (a recording
// that loops, a slowly sweeping tone whose quantised coefficients recur),
// and then writes containers several times smaller. DEFLATE at the
// container's level costs up to several plain compressions on dense
// coefficients, so a cheap search for repeats in a few slices decides
// whether it runs at all.
#pragma once

#include <cstdint>
#include <span>

namespace vdx::fit {

// True when what repeats of eight coefficients or more would save is a
// large enough share of the estimated coefficient-stream cost of sampled
// slices of `values` (band layout order) for DEFLATE to be worth running.
bool deflate_may_win(std::span<const int16_t> values);

}  // namespace vdx::fit
