#include "src/decompressor.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <cstring>
#include <memory>
#include <string>

#include "src/arans.hpp"
#include "src/cmodel.hpp"
#include "src/container.hpp"
#include "src/deflate.hpp"
#include "src/float_mode.hpp"
#include "src/normalizer.hpp"
#include "src/quantizer.hpp"
#include "wavelet/dwt.hpp"

namespace vdx {
namespace {

// Band lengths in band layout order: the deepest approximation, then the
// details finest first. Signals shorter than the filter were extended to one
// filter length before the transform, so their bands follow that length.
std::vector<uint32_t> band_lengths_for(const wavelet::MultiLevelDwt& dwt, uint32_t sample_count,
                                       uint8_t levels) {
  size_t length = std::max<size_t>(sample_count, dwt.filter_length());
  std::vector<uint32_t> lengths(size_t{levels} + 1);
  for (uint8_t level = 0; level < levels; ++level) {
    const auto [approximation, details] = dwt.forward_sizes(length);
    lengths[level + 1] = static_cast<uint32_t>(details);
    length = approximation;
  }
  lengths[0] = static_cast<uint32_t>(length);
  return lengths;
}

uint64_t total_of(const std::vector<uint32_t>& lengths) {
  uint64_t total = 0;
  for (uint32_t length : lengths) total += length;
  return total;
}

CodecError too_few_coefficients(uint64_t found, uint64_t needed) {
  return CodecError::decompress_failed("Payload holds " + std::to_string(found) +
                                       " coefficients, but " + std::to_string(needed) +
                                       " are required");
}

// Flat coefficient bytes -> int16, checked against what the bands need
// before anything of that size is allocated.
Result<std::vector<int16_t>, CodecError> read_flat(std::span<const uint8_t> bytes,
                                                   uint64_t decoded_length, uint64_t needed) {
  const uint64_t found = decoded_length / 2;
  if (found < needed) return fail(too_few_coefficients(found, needed));
  std::vector<int16_t> flat(needed);
  // Host order is little-endian (byte_io.hpp), so the bytes copy as they are.
  if (needed) std::memcpy(flat.data(), bytes.data(), needed * sizeof(int16_t));
  return flat;
}

Result<std::vector<int16_t>, CodecError> decode_payload(const CheckedContainer& c,
                                                        const std::vector<uint32_t>& lengths) {
  const uint64_t needed = total_of(lengths);
  switch (c.header.coder_id) {
    case 0: {
      // Only the bytes the bands need are kept, but inflation runs to the
      // end so that late corruption is still reported.
      auto inflated = deflate_decompress(c.payload, static_cast<size_t>(needed * 2));
      if (!inflated.ok()) return fail(CodecError::decompress_failed(inflated.error()));
      return read_flat(inflated->bytes, inflated->total_length, needed);
    }
    case 1: {
      auto decoded = arans::decode(c.payload);
      if (!decoded.ok()) return fail(CodecError::decompress_failed(arans::message(decoded.error())));
      return read_flat(*decoded, decoded->size(), needed);
    }
    default: {
      auto decoded = CoefficientStream::decode_flat(c.payload, lengths);
      if (!decoded.ok()) return fail(CodecError::decompress_failed(message(decoded.error())));
      return std::move(decoded).value();
    }
  }
}

// Under a subnormal multiplier a coefficient of 1 already dequantises to
// about 1e38 or to infinity. The compressor writes one only when every
// coefficient rounded to 0, so any other is a damaged or crafted container.
Result<void, CodecError> check_small_multiplier(float multiplier,
                                                const std::vector<int16_t>& flat) {
  if (!(multiplier < std::numeric_limits<float>::min())) return {};
  for (int16_t v : flat) {
    if (v != 0) {
      return fail(CodecError::decompress_failed("Multiplier " + shortest_float(multiplier) +
                                                " is subnormal, but a coefficient is " +
                                                std::to_string(v)));
    }
  }
  return {};
}

[[gnu::noinline]] Result<std::vector<float>, CodecError> decompress(
    std::span<const uint8_t> container) {
  ASSIGN_OR_RETURN(const ContainerHeader header, parse_header(container));
  ASSIGN_OR_RETURN(const CheckedContainer checked, check_container(header, container));
  wavelet::DwtHandle dwt = wavelet::create_dwt(header.method);
  const std::vector<uint32_t> lengths = band_lengths_for(*dwt, header.sample_count, header.levels);
  ASSIGN_OR_RETURN(std::vector<int16_t> flat, decode_payload(checked, lengths));
  return reconstruct_checked(*dwt, header, checked.multiplier, std::move(flat), lengths);
}

}  // namespace

Result<std::vector<float>, CodecError> reconstruct_checked(const wavelet::MultiLevelDwt& dwt,
                                                           const HeaderFields& header,
                                                           float multiplier,
                                                           std::vector<int16_t> flat,
                                                           std::span<const uint32_t> lengths) {
  RETURN_IF_ERROR(check_small_multiplier(multiplier, flat));

  // Every coefficient is written by dequantisation before it is read.
  std::unique_ptr<float[]> coefficients(new float[flat.size()]);
  std::vector<std::span<const float>> details;
  details.reserve(header.levels);
  size_t offset = 0;
  for (size_t band = 0; band < lengths.size(); ++band) {
    std::span<const int16_t> source(flat.data() + offset, lengths[band]);
    std::span<float> target(coefficients.get() + offset, lengths[band]);
    dequantize_band(source, multiplier, target);
    if (band > 0) details.emplace_back(target);
    offset += lengths[band];
  }
  std::vector<int16_t>().swap(flat);

  auto reconstructed =
      dwt.reconstruct(std::span<const float>(coefficients.get(), lengths[0]), details);
  if (!reconstructed.ok()) {
    return fail(CodecError::transform_failed(reconstructed.error().message()));
  }
  std::vector<float> samples = std::move(reconstructed).value();
  coefficients.reset();

  const size_t kept = std::min<size_t>(samples.size(), header.sample_count);
  // Infinities are clamped, so only NaN can come out, and only of a crafted
  // header (a mean near the float32 limit over a zero range, say).
  if (!denormalize(std::span(samples).first(kept), header.min_value, header.max_value,
                   header.mean_value)) {
    return fail(CodecError::decompress_failed("Decoded samples are not all numbers"));
  }
  samples.resize(header.sample_count, 0.0f);
  return samples;
}

std::vector<uint32_t> band_lengths_of(const wavelet::MultiLevelDwt& dwt, uint32_t sample_count,
                                      uint8_t levels) {
  return band_lengths_for(dwt, sample_count, levels);
}

// Computes in IEEE float32 whatever mode the caller runs in; the work is in
// a function the compiler cannot hoist above the switch.
Result<std::vector<float>, CodecError> decompress_container(std::span<const uint8_t> container) {
  const IeeeFloatScope ieee;
  return decompress(container);
}

}  // namespace vdx
