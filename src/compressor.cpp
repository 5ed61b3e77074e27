#include "src/compressor.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
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

using Bytes = std::vector<uint8_t>;

// Every quantised band in band layout order (the deepest approximation,
// then the details finest first) in one buffer: the flat coders take it as
// it is, the coefficient stream as spans.
struct QuantizedBands {
  std::unique_ptr<int16_t[]> values;
  std::vector<size_t> lengths;
  size_t total = 0;
  size_t detail_count = 0;
};

// A multiplier the reader would replace (negative, infinite, NaN) or whose
// float32 inverse is infinite would come back as silently wrong samples.
bool multiplier_reads_back(float m) {
  if (m == 0.0f) return true;  // all-zero bands, decoded as the mean
  if (!(m > 0.0f) || std::isinf(m)) return false;
  return !std::isinf(1.0f / m);
}

// Every band length in band layout order, summed: what the transform of
// `create_dwt(method)` produces for n samples, derived without creating it.
uint64_t coefficient_count(size_t n, WaveletMethod method) {
  const size_t filter_length = wavelet::filter_length_of(method);
  size_t length = std::max(n, filter_length);
  uint64_t total = 0;
  for (uint8_t level = choose_levels(n, filter_length); level > 0; --level) {
    const auto [approximation, details] = wavelet::forward_sizes_of(method, length);
    total += details;
    length = approximation;
  }
  return total + length;
}

[[gnu::noinline]] Result<void, CodecError> check_request(size_t sample_count,
                                                         const CodecOptions& options) {
  if (sample_count == 0) {
    return fail(CodecError::unsupported_configuration("Can't compress empty data"));
  }
  if (sample_count > kMaxSampleCount) {
    return fail(CodecError::unsupported_configuration(
        "Can't compress data bigger than " + std::to_string(kMaxSampleCount) +
        ", but data was " + std::to_string(sample_count)));
  }
  if (options.has_quant_multiplier && !multiplier_reads_back(options.quant_multiplier)) {
    return fail(CodecError::unsupported_configuration(
        "Quantization multiplier " + shortest_float(options.quant_multiplier) +
        " can't be read back"));
  }
  // The arans decoder would refuse the container, so it is never written.
  if (options.coder == EntropyCoder::Arans) {
    const uint64_t count = coefficient_count(sample_count, options.method);
    if (count > arans::kMaxCoefficients) {
      return fail(CodecError::unsupported_configuration(
          "The arans coder can't hold more than " + std::to_string(arans::kMaxCoefficients) +
          " coefficients, but this signal has " + std::to_string(count)));
    }
  }
  return {};
}

// A clipped coefficient decodes as garbage, so no multiplier may saturate
// one: the default is halved until nothing does (keeping it a power of two),
// a caller's is lowered to the largest float32 at which nothing does.
float choose_multiplier(const CodecOptions& options, const std::vector<wavelet::DwtLevel>& levels) {
  float lo = 0.0f;
  float hi = 0.0f;
  widen_extremes(levels.back().approximation, lo, hi);
  for (const auto& level : levels) widen_extremes(level.details, lo, hi);
  if (options.has_quant_multiplier) return cap_multiplier(options.quant_multiplier, lo, hi);
  return fit_multiplier(std::ldexp(1.0f, options.scale), lo, hi);
}

// The flat coders need every coefficient in one buffer, and that one exact
// reservation is the codec's named allocation: its failure is reported
// with the detail count. The coefficient stream gets the same buffer and
// lets a failure propagate like any other allocation.
Result<QuantizedBands, CodecError> quantize_levels(std::vector<wavelet::DwtLevel> levels,
                                                   float multiplier, uint16_t threshold,
                                                   bool flat_coder) {
  QuantizedBands q;
  const auto& deepest = levels.back().approximation;
  q.lengths.push_back(deepest.size());
  for (const auto& level : levels) {
    q.lengths.push_back(level.details.size());
    q.detail_count += level.details.size();
  }
  q.total = deepest.size() + q.detail_count;
  if (flat_coder) {
    q.values.reset(new (std::nothrow) int16_t[q.total]);
    if (!q.values) return fail(CodecError::out_of_memory(q.detail_count));
  } else {
    q.values.reset(new int16_t[q.total]);
  }
  int16_t* out = q.values.get();
  quantize_band(deepest, multiplier, std::span(out, deepest.size()));
  out += deepest.size();
  for (auto& level : levels) {
    quantize_detail_band(level.details, multiplier, threshold,
                         std::span(out, level.details.size()));
    out += level.details.size();
    // Float bands are dropped as soon as they are quantised to bound peak memory.
    std::vector<float>().swap(level.details);
    std::vector<float>().swap(level.approximation);
  }
  return q;
}

Result<Bytes, CodecError> encode_flat(std::span<const int16_t> flat, EntropyCoder coder) {
  // int16 in memory is already the little-endian two's-complement layout.
  std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(flat.data()),
                                 flat.size() * sizeof(int16_t));
  if (coder == EntropyCoder::Arans) return arans::encode(bytes);
  auto deflated = deflate_compress(bytes);
  if (!deflated.ok()) return fail(CodecError::compress_io(std::move(deflated).error()));
  return std::move(deflated).value();
}

}  // namespace

uint8_t choose_levels(size_t n, size_t filter_length) {
  if (n < 20) return 1;
  if (n < 40) return 2;
  if (n < 60) return 3;
  if (n < 80) return 4;
  const size_t quotient = n / filter_length;
  const int log2 = static_cast<int>(std::bit_width(quotient)) - 1;
  return static_cast<uint8_t>(std::clamp(log2, 1, int{kMaxChosenLevels}));
}

namespace {

[[gnu::noinline]] Result<Bytes, CodecError> compress(std::span<const float> samples,
                                                     const CodecOptions& options) {
  RETURN_IF_ERROR(check_request(samples.size(), options));
  ASSIGN_OR_RETURN(PreparedSignal prepared, prepare_signal(samples, options.method));
  const bool flat_coder =
      options.coder == EntropyCoder::Deflate || options.coder == EntropyCoder::Arans;
  const float multiplier = choose_multiplier(options, prepared.bands);
  ASSIGN_OR_RETURN(QuantizedBands quantized,
                   quantize_levels(std::move(prepared.bands), multiplier,
                                   cutoff_threshold(options.scale, options.cutoff), flat_coder));
  PreparedHeader header = prepared.header;
  header.scale = options.scale;
  return encode_container(header, multiplier, options.coder,
                          std::span<const int16_t>(quantized.values.get(), quantized.total),
                          quantized.lengths);
}

}  // namespace

Result<PreparedSignal, CodecError> prepare_signal(std::span<const float> samples,
                                                  WaveletMethod method, uint8_t levels) {
  const size_t n = samples.size();
  wavelet::DwtHandle dwt = wavelet::create_dwt(method);
  const size_t filter_length = dwt->filter_length();
  PreparedSignal prepared;
  PreparedHeader& header = prepared.header;
  header.method = method;
  header.levels = levels != 0 ? levels : choose_levels(n, filter_length);
  header.sample_count = static_cast<uint32_t>(n);

  // Written in full before it is read, so not zero-filled first.
  const size_t working_length = std::max(n, filter_length);
  std::unique_ptr<float[]> signal(new float[working_length]);
  const std::span<float> samples_in(signal.get(), n);
  const SignalRange range = copy_cleaned(samples, samples_in);
  if (!std::isfinite(range.max_value - range.min_value)) {
    return fail(CodecError::unsupported_configuration(
        "Can't compress data whose range is not finite"));
  }
  header.min_value = range.min_value;
  header.max_value = range.max_value;
  header.mean_value = normalize(samples_in, range);
  // Short signals are extended cyclically to one filter length.
  for (size_t j = n; j < working_length; ++j) signal[j] = signal[j % n];

  auto decomposed =
      dwt->decompose(std::span<const float>(signal.get(), working_length), header.levels);
  if (!decomposed.ok()) return fail(CodecError::transform_failed(decomposed.error().message()));
  prepared.bands = std::move(decomposed).value();
  if (prepared.bands.empty()) {
    return fail(CodecError::transform_failed(
        "Internal DWT returned zero levels, what shouldn't happen"));
  }
  return prepared;
}

Result<Bytes, CodecError> encode_container(const PreparedHeader& header, float multiplier,
                                           EntropyCoder coder, std::span<const int16_t> flat,
                                           std::span<const size_t> lengths) {
  Bytes payload;
  uint8_t coder_id = 2;
  if (coder == EntropyCoder::Deflate || coder == EntropyCoder::Arans) {
    coder_id = static_cast<uint8_t>(coder);
    ASSIGN_OR_RETURN(payload, encode_flat(flat, coder));
  } else {
    std::vector<std::span<const int16_t>> bands;
    bands.reserve(lengths.size());
    size_t offset = 0;
    for (size_t length : lengths) {
      bands.emplace_back(flat.data() + offset, length);
      offset += length;
    }
    payload = CoefficientStream::encode(bands);
  }
  if (payload.size() > UINT32_MAX - kHeaderSize) {
    return fail(CodecError::unsupported_configuration(
        "Payload of " + std::to_string(payload.size()) + " bytes does not fit a container"));
  }

  HeaderFields fields;
  fields.method = header.method;
  fields.levels = header.levels;
  fields.scale = header.scale;
  fields.coder_id = coder_id;
  fields.sample_count = header.sample_count;
  fields.min_value = header.min_value;
  fields.max_value = header.max_value;
  fields.mean_value = header.mean_value;
  fields.payload_length = static_cast<uint32_t>(payload.size());
  fields.multiplier = multiplier;
  Bytes container;
  container.reserve(kHeaderSize + payload.size());
  container.resize(kHeaderSize);
  write_header(fields, std::span<uint8_t, kHeaderSize>(container.data(), kHeaderSize));
  container.insert(container.end(), payload.begin(), payload.end());
  return container;
}

// The entry points compute in IEEE float32 whatever mode the caller runs in;
// the work itself is in functions the compiler cannot hoist above the switch.
Result<void, CodecError> check_compress_request(size_t sample_count, const CodecOptions& options) {
  const IeeeFloatScope ieee;
  return check_request(sample_count, options);
}

Result<Bytes, CodecError> compress_samples(std::span<const float> samples,
                                           const CodecOptions& options) {
  const IeeeFloatScope ieee;
  return compress(samples, options);
}

}  // namespace vdx
