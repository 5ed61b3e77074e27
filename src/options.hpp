// The native options record that CompressionOptions produces and the
// compression pipeline consumes. Enumerator values are part of the container
// format (wavelet tags, coder ids), so they must never be renumbered.
#pragma once

#include <cstdint>

#include "common/wavelet_method.hpp"

namespace vdx {

enum class CutoffLevel : uint8_t { Low = 0, Medium = 1, High = 2 };
enum class EntropyCoder : uint8_t { Deflate = 0, Arans = 1, Cmodel = 2, Auto = 3 };

struct CodecOptions {
  bool has_quant_multiplier = false;
  float quant_multiplier = 0.0f;
  CutoffLevel cutoff = CutoffLevel::Low;
  WaveletMethod method = WaveletMethod::Cdf97;
  EntropyCoder coder = EntropyCoder::Auto;
  uint8_t scale = 11;
};

}  // namespace vdx
