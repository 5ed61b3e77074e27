// How the coefficient-stream fuzz target splits its input into the band
// lengths it asks for and the stream it decodes, shared with the seed
// generator: byte 0 is the count k, then k u32 LE band lengths, then the
// stream. The count is free, so it can disagree with the stream's own.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "src/byte_io.hpp"

namespace vdx::fuzz {

struct BandLengthsCase {
  std::vector<uint32_t> band_lengths;
  std::span<const uint8_t> stream;
};

inline std::optional<BandLengthsCase> parse_band_lengths(std::span<const uint8_t> in) {
  if (in.empty()) return std::nullopt;
  const size_t count = in[0];
  if (in.size() < 1 + 4 * count) return std::nullopt;
  BandLengthsCase c;
  for (size_t i = 0; i < count; ++i) c.band_lengths.push_back(load_u32le(in.data() + 1 + 4 * i));
  c.stream = in.subspan(1 + 4 * count);
  return c;
}

inline std::vector<uint8_t> format_band_lengths(std::span<const uint32_t> lengths,
                                                std::span<const uint8_t> stream) {
  std::vector<uint8_t> out(1 + 4 * lengths.size());
  out[0] = static_cast<uint8_t>(lengths.size());
  for (size_t i = 0; i < lengths.size(); ++i) store_u32le(out.data() + 1 + 4 * i, lengths[i]);
  out.insert(out.end(), stream.begin(), stream.end());
  return out;
}

}  // namespace vdx::fuzz
