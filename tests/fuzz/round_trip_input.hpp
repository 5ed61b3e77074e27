// How the round-trip fuzz target reads options and samples out of its input,
// shared with the seed generator so seeds mean what they were made to mean.
//
// An 8-byte prefix, then the sample bytes:
//   byte 0     bits 0-1 wavelet, bits 2-3 coder (3 = auto), bits 4-7 cutoff (mod 3)
//   byte 1     scale 6 + (byte mod 7)
//   byte 2     bit 0 set: a quant_multiplier is given
//   bytes 3-6  the quant_multiplier, f32 LE
//   byte 7     bits 0-1 sample kind, bits 2-7 exponent e (unit = 2^(e - 32))
// Sample kinds, chosen so that mutations of few bytes still make signals:
//   0  raw float32 LE, any bit pattern (NaN, infinities, subnormals)
//   1  int8 values times the unit
//   2  a random walk of int8 steps times the unit
//   3  int16 LE values times the unit, plus 1.0 (rounding against an offset)
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "src/options.hpp"

namespace vdx::fuzz {

enum class SampleKind : uint8_t { RawFloat = 0, Int8 = 1, Walk = 2, OffsetInt16 = 3 };

inline constexpr size_t kRoundTripPrefix = 8;

struct RoundTripCase {
  CodecOptions options;
  std::vector<float> samples;
};

inline RoundTripCase parse_round_trip(std::span<const uint8_t> in) {
  RoundTripCase c;
  if (in.size() < kRoundTripPrefix) return c;
  CodecOptions& o = c.options;
  o.method = static_cast<WaveletMethod>(in[0] & 3);
  o.coder = static_cast<EntropyCoder>((in[0] >> 2) & 3);
  o.cutoff = static_cast<CutoffLevel>((in[0] >> 4) % 3);
  o.scale = static_cast<uint8_t>(6 + in[1] % 7);
  o.has_quant_multiplier = in[2] & 1;
  std::memcpy(&o.quant_multiplier, in.data() + 3, 4);
  const auto kind = static_cast<SampleKind>(in[7] & 3);
  const float unit = std::ldexp(1.0f, (in[7] >> 2) - 32);
  const std::span<const uint8_t> body = in.subspan(kRoundTripPrefix);
  std::vector<float>& x = c.samples;
  switch (kind) {
    case SampleKind::RawFloat:
      x.resize(body.size() / 4);
      if (!x.empty()) std::memcpy(x.data(), body.data(), x.size() * 4);
      break;
    case SampleKind::Int8:
      for (uint8_t b : body) x.push_back(static_cast<float>(static_cast<int8_t>(b)) * unit);
      break;
    case SampleKind::Walk: {
      float level = 0.0f;
      for (uint8_t b : body) {
        level += static_cast<float>(static_cast<int8_t>(b)) * unit;
        x.push_back(level);
      }
      break;
    }
    case SampleKind::OffsetInt16:
      for (size_t i = 0; i + 1 < body.size(); i += 2) {
        const auto v = static_cast<int16_t>(body[i] | (body[i + 1] << 8));
        x.push_back(static_cast<float>(v) * unit + 1.0f);
      }
      break;
  }
  return c;
}

inline std::vector<uint8_t> format_round_trip(const CodecOptions& o, SampleKind kind,
                                              uint8_t exponent,
                                              std::span<const uint8_t> sample_bytes) {
  std::vector<uint8_t> out(kRoundTripPrefix);
  out[0] = static_cast<uint8_t>(static_cast<unsigned>(o.method) |
                                static_cast<unsigned>(o.coder) << 2 |
                                static_cast<unsigned>(o.cutoff) << 4);
  out[1] = static_cast<uint8_t>(o.scale - 6);
  out[2] = o.has_quant_multiplier ? 1 : 0;
  std::memcpy(out.data() + 3, &o.quant_multiplier, 4);
  out[7] = static_cast<uint8_t>(static_cast<unsigned>(kind) | (exponent & 63u) << 2);
  out.insert(out.end(), sample_bytes.begin(), sample_bytes.end());
  return out;
}

}  // namespace vdx::fuzz
