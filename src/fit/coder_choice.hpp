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

enum class DeflateOutlook : uint8_t {
  Loses,   // the coefficient stream alone is written
  MayWin,  // both are written and the smaller kept
  Wins,    // repeats are most of the cost: DEFLATE alone is written
};

// What repeats of eight coefficients or more would save, as a share of the
// estimated coefficient-stream cost of sampled slices of `values` (band
// layout order), says whether DEFLATE is worth running, and whether the
// coefficient stream still is.
DeflateOutlook deflate_outlook(std::span<const int16_t> values);

}  // namespace vdx::fit
