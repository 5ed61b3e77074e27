// decompress_container: one container -> exactly sample_count float32 samples.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "src/codec_error.hpp"
#include "common/result.hpp"
#include "src/container.hpp"
#include "wavelet/dwt.hpp"

namespace vdx {

Result<std::vector<float>, CodecError> decompress_container(std::span<const uint8_t> container);

// The decoder's stages after the payload: dequantisation of `flat` (band
// layout order) with the multiplier a reader uses, reconstruction and
// denormalisation, giving exactly header.sample_count samples. The caller
// holds the IeeeFloatScope. decompress_container ends with this very call,
// so an encoder that predicts a container's samples with it predicts them
// bit for bit.
Result<std::vector<float>, CodecError> reconstruct_checked(const wavelet::MultiLevelDwt& dwt,
                                                           const HeaderFields& header,
                                                           float multiplier,
                                                           std::vector<int16_t> flat,
                                                           std::span<const uint32_t> lengths);

// Band lengths in band layout order for a signal of sample_count samples.
std::vector<uint32_t> band_lengths_of(const wavelet::MultiLevelDwt& dwt, uint32_t sample_count,
                                      uint8_t levels);

}  // namespace vdx
