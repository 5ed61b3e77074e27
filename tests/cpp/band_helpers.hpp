// Bands of coefficients as the coefficient-stream tests build them: encoded
// through the library's encoder, and their lengths as the decoder asks for them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "src/cmodel.hpp"

namespace vdx::testing {

using Bands = std::vector<std::vector<int16_t>>;
using Bytes = std::vector<uint8_t>;

inline Bytes encode(const Bands& bands) {
  std::vector<std::span<const int16_t>> views(bands.begin(), bands.end());
  return CoefficientStream::encode(views);
}

inline std::vector<uint32_t> lengths_of(const Bands& bands) {
  std::vector<uint32_t> lengths;
  for (const auto& band : bands) lengths.push_back(static_cast<uint32_t>(band.size()));
  return lengths;
}

}  // namespace vdx::testing
