// How many decisions a coded range can possibly deliver: decoders compare a
// requested count against it before allocating, so a few bytes declaring
// billions of values fail at once instead of after a huge allocation.
#pragma once

#include <cstdint>

namespace vdx {

// Derivation. A decision decoded from state x = 4096·h + s (h >= 16 since
// x >= 2^16) with frequency f leaves x' = f·h + s' with s' <= f - 1, so
//   x'/x <= (f·h + f - 1) / (4096·h + f - 1),
// which falls as h grows (its derivative has the sign of (f-1)(f-4096) < 0)
// and rises with f. Every probability stays in [15, 4081] (bit_coder.hpp),
// so f <= 4081 and h = 16 give x'/x <= 69376 / 69616 ≈ 0.996553: each
// decision removes at least 0.0049822 bits of state. After a refill (or at
// the opening) x < 2^32, and the next word is needed once x < 2^16, so at
// most ⌊16 / 0.0049822⌋ + 1 = 3212 decisions run between two words. With W
// words after the 4-byte state the decoder delivers at most 3212·(W + 1)
// decisions; for B coded bytes W <= (B - 4) / 2, so at most
//   3212·((B - 4) / 2 + 1) = 1606·B - 3212  <  2048·B + 4096.
// A request above this bound must end in a missing word. The cheapest
// legitimate decision (a 0 at p = 4081) costs -log2(4081/4096) ≈ 0.00529
// bits, about 1511 per byte, so encoder output stays well inside the bound.
constexpr uint64_t max_decodable_decisions(uint64_t coded_bytes) {
  return 2048 * coded_bytes + 4096;
}

}  // namespace vdx
