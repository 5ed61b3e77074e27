// Compression to an error target: the smallest container found whose decoded
// samples meet one bound, measured against the caller's own samples (not a
// float32 copy of them). The container is an ordinary one: the format and the
// decoder know nothing of targets.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/result.hpp"
#include "common/wavelet_method.hpp"
#include "src/codec_error.hpp"
#include "src/options.hpp"

namespace vdx {

enum class TargetKind : uint8_t { MaxError = 0, RmsError = 1, Prd = 2 };

struct ErrorTarget {
  TargetKind kind = TargetKind::MaxError;
  double value = 0.0;  // finite and >= 0; anything else is refused
  bool has_method = false;  // false: the fitter chooses the wavelet
  WaveletMethod method = WaveletMethod::Cdf97;
  EntropyCoder coder = EntropyCoder::Auto;
};

// The caller's samples that errors are measured against: exactly one of the
// two spans is non-empty, as long as the samples compressed. A non-finite
// reference sample carries no bound (it cannot be met by a finite output).
struct ReferenceSamples {
  std::span<const float> f32;
  std::span<const double> f64;
};

struct FittedContainer {
  std::vector<uint8_t> container;
  // The settings the container was made with: method, coder and the
  // multiplier its header records, with the scale/cutoff pair that names the
  // cutoff threshold used.
  CodecOptions options;
  // Measured with the decoder's own output against the reference, over the
  // samples that carry a bound.
  double max_error = 0.0;
  double rms_error = 0.0;
  double prd = 0.0;
  // True when compress_samples(samples, options) gives `container` byte for
  // byte (plain quantisation with the options' cutoff); false for the
  // bound-aware quantiser's containers, whose coefficients were moved
  // individually and which no options reproduce.
  bool options_reproduce = true;
};

// `samples` are compressed (cleaned as compress_samples cleans them);
// `reference` is what the bound holds against; `skip` is empty or holds one
// flag per sample, and a non-zero flag exempts that sample from the bound
// (samples kept exactly elsewhere, such as a chunk's runs). The target is
// proven on the decoder's output before anything is returned.
//
// Refusals: a target that is not finite and >= 0, a max_error below half the
// float32 spacing at some bounded sample, and a target no setting reaches
// give a TargetUnreachable error naming the finest error reachable, after
// a bounded number of trials (none encodes more than a few containers).
Result<FittedContainer, CodecError> compress_within(std::span<const float> samples,
                                                    const ReferenceSamples& reference,
                                                    std::span<const uint8_t> skip,
                                                    const ErrorTarget& target);

}  // namespace vdx
