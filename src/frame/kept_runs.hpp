// The samples a frame keeps exactly, and the smooth stand-ins the codec
// compresses in their place.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "src/frame/sample_types.hpp"

namespace vdx::frame {

// A repeated finite value is kept from this many samples on. Shorter repeats
// are common in quantised recordings (a quiet int16 channel sits on one count
// for a few samples) and cost the wavelet little; a record costs 12 bytes plus
// the value, about what 64 samples cost at the codec's usual ratios, so a
// shorter threshold would make ordinary data grow.
inline constexpr uint32_t kMinKeptRun = 64;

struct FoundRun {
  uint32_t start = 0;
  uint32_t length = 0;
  uint64_t bits = 0;  // the sample's bit pattern, zero-extended
};

// Appends the line's kept runs (maximal stretches of one bit pattern that are
// either not finite as float32 or at least kMinKeptRun long) and marks their
// samples in `kept` (one flag per sample, cleared first).
template <class T>
void find_kept_runs(const T* line, uint32_t length, std::vector<FoundRun>& runs,
                    std::span<uint8_t> kept) {
  std::fill(kept.begin(), kept.end(), uint8_t{0});
  uint32_t start = 0;
  while (start < length) {
    // Most samples of a recording differ from the next and are finite: such
    // stretches are skipped eight at a time in a loop without branches
    // inside, which compilers vectorise (the per-run loop below costs a few
    // percent of a compression otherwise).
    while (start + 8 < length) {
      unsigned special = 0;
      for (uint32_t k = 0; k < 8; ++k) {
        special |= static_cast<unsigned>(sample_bits(line[start + k]) ==
                                         sample_bits(line[start + k + 1])) |
                   static_cast<unsigned>(needs_keeping(line[start + k]));
      }
      if (special != 0) break;
      start += 8;
    }
    const auto bits = sample_bits(line[start]);
    uint32_t end = start + 1;
    while (end < length && sample_bits(line[end]) == bits) ++end;
    if (end - start >= kMinKeptRun || needs_keeping(line[start])) {
      runs.push_back({start, end - start, static_cast<uint64_t>(bits)});
      std::fill(kept.begin() + start, kept.begin() + end, uint8_t{1});
    }
    start = end;
  }
}

// Replaces every stretch of kept samples in `work` by the straight line
// between its neighbours (or the one neighbour it has), so a gap or padding
// neither widens the range nor adds an edge. False when every sample is kept.
bool fill_kept(std::span<float> work, std::span<const uint8_t> kept);

}  // namespace vdx::frame
