// Moving samples between the chunk's C order and lines laid end to end.
// Lines along the last axis are already contiguous; along any other axis the
// move is a transpose of each outer block, done in tiles so that both sides
// are walked a cache line at a time rather than one sample per cache line.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "src/frame/frame_format.hpp"

namespace vdx::frame {

// 32 x 32 samples: at most 8 KiB of float64 per side, well inside L1.
inline constexpr uint64_t kTransposeTile = 32;

// Calls move(chunk_offset, line_offset) for every sample, in tiles: chunk
// sample (o * length + j) * inner + i is line sample (o * inner + i) * length + j.
template <class Move>
void for_each_tiled(const LineGeometry& g, Move move) {
  for (uint64_t o = 0; o < g.outer; ++o) {
    const uint64_t block = o * g.length * g.inner;
    for (uint64_t j0 = 0; j0 < g.length; j0 += kTransposeTile) {
      const uint64_t j1 = std::min(g.length, j0 + kTransposeTile);
      for (uint64_t i0 = 0; i0 < g.inner; i0 += kTransposeTile) {
        const uint64_t i1 = std::min(g.inner, i0 + kTransposeTile);
        for (uint64_t j = j0; j < j1; ++j) {
          for (uint64_t i = i0; i < i1; ++i) move(block + j * g.inner + i, block + i * g.length + j);
        }
      }
    }
  }
}

// The chunk's samples as lines laid end to end. `chunk` may be unaligned;
// `lines` is an aligned array of T.
template <class T>
void gather_lines(const uint8_t* chunk, const LineGeometry& g, T* lines) {
  for_each_tiled(g, [&](uint64_t c, uint64_t l) {
    std::memcpy(&lines[l], chunk + c * sizeof(T), sizeof(T));
  });
}

// The inverse of gather_lines: `chunk` (any alignment) from the lines.
template <class T>
void scatter_lines(const T* lines, const LineGeometry& g, uint8_t* chunk) {
  for_each_tiled(g, [&](uint64_t c, uint64_t l) {
    std::memcpy(chunk + c * sizeof(T), &lines[l], sizeof(T));
  });
}

}  // namespace vdx::frame
