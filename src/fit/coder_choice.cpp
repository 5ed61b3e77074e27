#include "src/fit/coder_choice.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

namespace vdx::fit {
namespace {

// Slices probed and their length in coefficients: 8 KiB of flat bytes each
// holds eight periods of the finest band of a 1024-sample loop.
constexpr size_t kSlices = 4;
constexpr size_t kSliceValues = 4096;
// A repeat: this many coefficients found again earlier in the slice; 8
// coefficients are the 16 bytes DEFLATE codes as one match for about the
// cost of a single literal.
constexpr size_t kKey = 4;
constexpr size_t kShortestRepeat = 8;
constexpr size_t kLongestRepeat = 129;  // DEFLATE's 258 bytes
// A match's own cost: length and distance codes with their extra bits.
constexpr double kMatchBits = 24.0;
// What repeats save must reach this share of the slices' estimated
// coefficient-stream cost before DEFLATE is run. Over the bench's signals
// and targets (144 cases) DEFLATE won on every case from 0.138 up but five
// (sparse random walks, loose tones and chirps at 0.18-0.57) and on none
// below 0.135; its literals cost a quarter to a half more than the
// coefficient stream's codes, so only the two containers' sizes decide.
constexpr double kRepeatShare = 0.135;
// From this share on DEFLATE won every case, by 3.2x or more (loops):
// the coefficient stream is not written at all.
constexpr double kRepeatsDominate = 0.7;
constexpr size_t kHashBits = 12;

uint64_t key_at(const int16_t* v) {
  uint64_t k;
  std::memcpy(&k, v, sizeof k);
  return k;
}

uint32_t hash_of(uint64_t key) {
  return static_cast<uint32_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - kHashBits));
}

// A coefficient's rough cost in the coefficient stream, in bits: zeros
// cost little there, the rest a sign, a magnitude class and raw bits.
double cost_of(int16_t v) {
  if (v == 0) return 0.25;
  const uint32_t m = static_cast<uint32_t>(v < 0 ? -int32_t{v} : int32_t{v});
  return 2.0 + 2.0 * std::bit_width(m);
}

struct Coverage {
  double repeated = 0.0;  // cost of the coefficients inside a repeat
  double total = 0.0;
};

// Greedy parse of one slice, as a fast DEFLATE would: the last position
// with the same four coefficients is the only candidate (runs of zeros
// are left out: the coefficient stream codes them for almost nothing).
void cover(const int16_t* v, size_t n, std::vector<int32_t>& last, Coverage& c) {
  std::fill(last.begin(), last.end(), -1);
  size_t i = 0;
  while (i < n) {
    if (i + kKey > n) {
      c.total += cost_of(v[i++]);
      continue;
    }
    const uint64_t key = key_at(v + i);
    int32_t& slot = last[hash_of(key)];
    const int32_t j = slot;
    slot = static_cast<int32_t>(i);
    size_t length = 0;
    if (j >= 0 && key != 0) {
      while (i + length < n && length < kLongestRepeat && v[j + length] == v[i + length]) {
        ++length;
      }
    }
    if (length < kShortestRepeat) length = 1;
    double cost = 0.0;
    for (size_t t = i; t < i + length; ++t) cost += cost_of(v[t]);
    c.total += cost;
    // What a match saves over coding its coefficients one by one.
    if (length >= kShortestRepeat) c.repeated += std::max(0.0, cost - kMatchBits);
    i += length;
  }
}

}  // namespace

DeflateOutlook deflate_outlook(std::span<const int16_t> values) {
  const size_t n = values.size();
  if (n < 2 * kShortestRepeat) return DeflateOutlook::Loses;
  const size_t slice = std::min(n, kSliceValues);
  const size_t slices = n <= kSlices * kSliceValues ? 1 : kSlices;
  std::vector<int32_t> last(size_t{1} << kHashBits);
  Coverage c;
  for (size_t s = 0; s < slices; ++s) {
    const size_t from = slices == 1 ? 0 : (n - slice) * s / (slices - 1);
    const size_t to = slices == 1 ? n : from + slice;
    cover(values.data() + from, to - from, last, c);
  }
  const double share = c.total > 0.0 ? c.repeated / c.total : 0.0;
  return share >= kRepeatsDominate ? DeflateOutlook::Wins
         : share >= kRepeatShare    ? DeflateOutlook::MayWin
                                    : DeflateOutlook::Loses;
}

}  // namespace vdx::fit
