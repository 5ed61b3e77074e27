// compress_samples: float32 signal + options -> one container.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "src/codec_error.hpp"
#include "src/options.hpp"
#include "common/result.hpp"
#include "wavelet/dwt.hpp"

namespace vdx {

Result<std::vector<uint8_t>, CodecError> compress_samples(std::span<const float> samples,
                                                          const CodecOptions& options);

}  // namespace vdx

namespace vdx {

// The refusals that depend only on the request, in their order: no samples,
// more samples than a container can announce, a multiplier the reader could
// not honour, more coefficients than the arans decoder accepts. None reads a
// sample or allocates for one. compress_samples runs them first; callers that
// must convert the samples may run them before spending memory on it.
Result<void, CodecError> check_compress_request(size_t sample_count, const CodecOptions& options);

// Level count from the sample count and the wavelet's filter length: fixed
// small counts below 80 samples, then floor(log2(n / L)) within
// 1..kMaxChosenLevels.
inline constexpr uint8_t kMaxChosenLevels = 8;
uint8_t choose_levels(size_t sample_count, size_t filter_length);

}  // namespace vdx

namespace vdx {

// The header fields a signal's preparation decides; the scale is the
// caller's to set (it only names the cutoff when a multiplier is stored).
struct PreparedHeader {
  WaveletMethod method = WaveletMethod::Cdf97;
  uint8_t levels = 0;
  uint8_t scale = 0;
  uint32_t sample_count = 0;
  float min_value = 0.0f;
  float max_value = 0.0f;
  float mean_value = 0.0f;
};

// The compressor's stages before quantisation, for callers that quantise
// the bands themselves (the error-target fitter): the cleaned, normalised
// and decomposed signal, finest level first. The caller holds the
// IeeeFloatScope and has run check_compress_request.
struct PreparedSignal {
  PreparedHeader header;
  std::vector<wavelet::DwtLevel> bands;
};
// `levels` 0 is the compressor's own level count; others (1 to the
// header's 10) are for the fitter, whose containers may decompose less or
// more deeply than it would.
Result<PreparedSignal, CodecError> prepare_signal(std::span<const float> samples,
                                                  WaveletMethod method, uint8_t levels = 0);

// The container of quantised bands in band layout order (the deepest
// approximation, then the details finest first) under `multiplier`, coded
// by `coder` (Auto is the coefficient stream): the compressor's own last
// stage, so a caller's bands are written exactly as its own would be.
Result<std::vector<uint8_t>, CodecError> encode_container(const PreparedHeader& header,
                                                          float multiplier, EntropyCoder coder,
                                                          std::span<const int16_t> flat,
                                                          std::span<const size_t> lengths);

}  // namespace vdx
