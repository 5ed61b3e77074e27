#include "capi/options.hpp"

#include <cmath>
#include <cstddef>
#include <string>

#include "capi/boundary.hpp"

namespace vdx::capi {
namespace {

// The wavelet enum of the ABI is ordered by default first; the codec's by
// its container tags. Indexed by vdx_method.
constexpr WaveletMethod kMethods[] = {WaveletMethod::Cdf97, WaveletMethod::Cdf53,
                                      WaveletMethod::Db4, WaveletMethod::Sym4};
constexpr CutoffLevel kCutoffs[] = {CutoffLevel::Low, CutoffLevel::Medium, CutoffLevel::High};
constexpr EntropyCoder kCoders[] = {EntropyCoder::Auto, EntropyCoder::Cmodel,
                                    EntropyCoder::Arans, EntropyCoder::Deflate};
constexpr const char* kTargetNames[] = {"", "max_error", "rms_error", "prd"};

// CompressionOptions' limits (python/options_parse.cpp).
constexpr int32_t kMinScale = 6;
constexpr int32_t kMaxScale = 12;
constexpr int32_t kDefaultScale = 11;

template <class E, size_t N>
bool pick(const E (&table)[N], int32_t value, E* out) {
  if (value < 0 || static_cast<size_t>(value) >= N) return false;
  *out = table[value];
  return true;
}

vdx_status refuse(vdx_error* error, const std::string& message) {
  return report(error, VDX_ERROR_INVALID_OPTIONS, message);
}

vdx_status parse_target(const vdx_options& in, ChunkSettings* out, vdx_error* error) {
  const char* name = kTargetNames[in.target];
  if (in.scale != kDefaultScale || in.cutoff != VDX_CUTOFF_LOW || in.has_quant_multiplier) {
    return refuse(error, std::string("A target (") + name +
                             ") is given instead of scale, cutoff and quant_multiplier, "
                             "not beside them");
  }
  if (!std::isfinite(in.target_value) || in.target_value < 0.0) {
    return refuse(error, std::string(name) + " must be a finite number >= 0, but it was " +
                             std::to_string(in.target_value));
  }
  out->has_target = true;
  out->target.kind = static_cast<TargetKind>(in.target - 1);
  out->target.value = in.target_value;
  out->target.has_method = in.method != VDX_METHOD_ANY;
  out->target.method = out->options.method;
  out->target.coder = out->options.coder;
  return VDX_OK;
}

}  // namespace

vdx_status parse_options(const vdx_options* given, ChunkSettings* out, vdx_error* error) {
  vdx_options in;
  vdx_options_init(&in);
  if (given != nullptr) {
    if (given->size < sizeof(vdx_options)) {
      return report(error, VDX_ERROR_INVALID_ARGUMENT,
                    "vdx_options.size is " + std::to_string(given->size) +
                        "; initialise the options with vdx_options_init");
    }
    in = *given;
  }
  ChunkSettings settings;
  CodecOptions& codec = settings.options;
  const bool any_method = in.method == VDX_METHOD_ANY && in.target != VDX_TARGET_NONE;
  if (!any_method && !pick(kMethods, in.method, &codec.method)) {
    return refuse(error, "Unknown method " + std::to_string(in.method) +
                             ", expected VDX_METHOD_CDF97, _CDF53, _DB4 or _SYM4"
                             " (or _ANY with a target)");
  }
  if (!pick(kCutoffs, in.cutoff, &codec.cutoff)) {
    return refuse(error, "Unknown cutoff level " + std::to_string(in.cutoff) +
                             ", expected VDX_CUTOFF_LOW, _MEDIUM or _HIGH");
  }
  if (in.scale < kMinScale || in.scale > kMaxScale) {
    return refuse(error, "Only scaled 6..12 is supported, but it was " + std::to_string(in.scale));
  }
  codec.scale = static_cast<uint8_t>(in.scale);
  if (!pick(kCoders, in.coder, &codec.coder)) {
    return refuse(error, "Unknown coder " + std::to_string(in.coder) +
                             ", expected VDX_CODER_AUTO, _CMODEL, _ARANS or _DEFLATE");
  }
  // The multiplier's value is the codec's to check (check_compress_request),
  // as it is for compress_signal.
  codec.has_quant_multiplier = in.has_quant_multiplier != 0;
  codec.quant_multiplier = codec.has_quant_multiplier ? in.quant_multiplier : 0.0f;
  if (in.target < VDX_TARGET_NONE || in.target > VDX_TARGET_PRD) {
    return refuse(error, "Unknown target " + std::to_string(in.target) +
                             ", expected VDX_TARGET_NONE, _MAX_ERROR, _RMS_ERROR or _PRD");
  }
  if (in.target != VDX_TARGET_NONE) {
    const vdx_status status = parse_target(in, &settings, error);
    if (status != VDX_OK) return status;
  }
  settings.has_axis = in.has_axis != 0;
  settings.axis = in.axis;
  *out = settings;
  return VDX_OK;
}

}  // namespace vdx::capi

extern "C" void vdx_options_init(vdx_options* options) {
  if (options == nullptr) return;
  *options = vdx_options{};
  options->size = sizeof(vdx_options);
  options->method = VDX_METHOD_CDF97;
  options->scale = vdx::capi::kDefaultScale;
  options->cutoff = VDX_CUTOFF_LOW;
  options->coder = VDX_CODER_AUTO;
  options->target = VDX_TARGET_NONE;
  options->has_axis = 1;
  options->axis = -1;
}
