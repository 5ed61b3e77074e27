#include "src/fit/coder_choice.hpp"

#include <algorithm>
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
// Repeats must cover this share of the slices' non-zero stretches before
// DEFLATE is run. On the bench's signals it won from 0.45 up (loops, and a
// chirp's recurring coefficients), never below 0.3; its literals cost a
// quarter to a half more than the coefficient stream's codes, so a share
// well above this can still lose (steps, walks), and only the two
// containers' sizes decide.
constexpr double kRepeatShare = 0.4;
constexpr size_t kHashBits = 12;

uint64_t key_at(const int16_t* v) {
  uint64_t k;
  std::memcpy(&k, v, sizeof k);
  return k;
}

uint32_t hash_of(uint64_t key) {
  return static_cast<uint32_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - kHashBits));
}

struct Coverage {
  size_t repeated = 0;  // coefficients inside a repeat
  size_t busy = 0;      // coefficients in windows that are not all zero
};

// Greedy parse of one slice, as a fast DEFLATE would: the last position
// with the same four coefficients is the only candidate.
void cover(const int16_t* v, size_t n, std::vector<int32_t>& last, Coverage& c) {
  std::fill(last.begin(), last.end(), -1);
  size_t i = 0;
  while (i + kKey <= n) {
    const uint64_t key = key_at(v + i);
    int32_t& slot = last[hash_of(key)];
    const int32_t j = slot;
    slot = static_cast<int32_t>(i);
    if (key == 0) {  // runs of zeros cost little in either coder
      ++i;
      continue;
    }
    size_t length = 0;
    if (j >= 0) {
      while (i + length < n && length < kLongestRepeat && v[j + length] == v[i + length]) {
        ++length;
      }
    }
    if (length >= kShortestRepeat) {
      c.repeated += length, c.busy += length, i += length;
    } else {
      ++c.busy, ++i;
    }
  }
}

}  // namespace

bool deflate_may_win(std::span<const int16_t> values) {
  const size_t n = values.size();
  if (n < 2 * kShortestRepeat) return false;
  const size_t slice = std::min(n, kSliceValues);
  const size_t slices = n <= kSlices * kSliceValues ? 1 : kSlices;
  std::vector<int32_t> last(size_t{1} << kHashBits);
  Coverage c;
  for (size_t s = 0; s < slices; ++s) {
    const size_t from = slices == 1 ? 0 : (n - slice) * s / (slices - 1);
    const size_t to = slices == 1 ? n : from + slice;
    cover(values.data() + from, to - from, last, c);
  }
  const double share = c.busy ? static_cast<double>(c.repeated) / static_cast<double>(c.busy) : 0.0;
  return share >= kRepeatShare;
}

}  // namespace vdx::fit
