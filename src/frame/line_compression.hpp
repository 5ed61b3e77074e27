// One line's container: with explicit options the codec's own, with an error
// target the fitter's, measured against the caller's samples outside the
// kept runs. Integer samples meet the target after the reader's rounding.
#pragma once

#include <cmath>
#include <cstdio>
#include <string>
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

#include "common/result.hpp"
#include "src/codec_error.hpp"
#include "src/compressor.hpp"
#include "src/decompressor.hpp"
#include "src/fit/error_target.hpp"
#include "src/fit/fit_signal.hpp"
#include "src/frame/chunk_codec.hpp"
#include "src/frame/sample_types.hpp"

namespace vdx::frame {

// Errors of integer samples as the reader returns them (rounded, clipped),
// over the samples that carry a bound.
template <class T>
fit::Errors rounded_errors(const fit::Bounds& bounds, std::span<const float> decoded) {
  double peak = 0.0, squares = 0.0;
  for (size_t i = 0; i < bounds.reference.size(); ++i) {
    const double r = bounds.reference[i];
    if (r != r) continue;
    const double d = std::abs(static_cast<double>(sample_from_decoded<T>(decoded[i])) - r);
    peak = std::max(peak, d);
    squares += d * d;
  }
  fit::Errors e;
  if (bounds.counted == 0) return e;
  e.max_error = peak;
  e.rms_error = std::sqrt(squares / static_cast<double>(bounds.counted));
  e.prd = squares == 0.0 ? 0.0
          : bounds.spread > 0.0 ? 100.0 * std::sqrt(squares / bounds.spread) : INFINITY;
  return e;
}

class LineCompressor {
 public:
  explicit LineCompressor(const ChunkSettings& settings) : settings_(settings) {}

  // `work` holds the line as float32 with its kept samples filled in,
  // `original` the caller's samples, `kept` one flag per sample.
  template <class T>
  Result<std::vector<uint8_t>, CodecError> compress(std::span<const float> work, const T* original,
                                                    std::span<const uint8_t> kept) {
    if (!settings_.has_target) return compress_samples(work, settings_.options);
    ReferenceSamples reference;
    if constexpr (std::is_same_v<T, float>) {
      reference.f32 = {original, work.size()};
    } else if constexpr (std::is_same_v<T, double>) {
      reference.f64 = {original, work.size()};
    } else {
      wide_.assign(original, original + work.size());
      reference.f64 = wide_;
    }
    if constexpr (std::is_floating_point_v<T>) {
      ASSIGN_OR_RETURN(FittedContainer fitted,
                       compress_within(work, reference, kept, settings_.target));
      return std::move(fitted.container);
    } else {
      return fit_integers<T>(work, reference, kept);
    }
  }

 private:
  // Tighter float targets before the last resort (exact integers).
  static constexpr int kIntegerAttempts = 4;

  // The target in counts, met after rounding: max_error B holds when every
  // decoded value is within floor(B) + 1/2 (exclusive) of its integer; rms
  // and prd can be pushed over by rounding, so a miss is retried at half the
  // target, and at last with the integers kept exact (max_error below 1/2),
  // which meets every target. Each container is decoded and measured after
  // rounding before it is returned.
  template <class T>
  Result<std::vector<uint8_t>, CodecError> fit_integers(std::span<const float> work,
                                                        const ReferenceSamples& reference,
                                                        std::span<const uint8_t> kept) {
    const ErrorTarget& asked = settings_.target;
    const fit::Bounds bounds = fit::bounds_of(reference, kept);
    ErrorTarget target = asked;
    if (asked.kind == TargetKind::MaxError) {
      target.value = std::nextafter(std::floor(asked.value) + 0.5, 0.0);
    }
    for (int attempt = 0; attempt <= kIntegerAttempts; ++attempt) {
      if (attempt == kIntegerAttempts) {
        target.kind = TargetKind::MaxError;
        target.value = std::nextafter(0.5, 0.0);
      }
      auto fitted = compress_within(work, reference, kept, target);
      if (!fitted.ok()) {
        // A tightened target may be out of reach where the asked one was
        // not; the exact fallback still decides.
        if (attempt == 0 || attempt == kIntegerAttempts) {
          return fail(in_counts(std::move(fitted).error()));
        }
        attempt = kIntegerAttempts - 1;
        continue;
      }
      ASSIGN_OR_RETURN(const std::vector<float> decoded, decompress_container(fitted->container));
      if (rounded_errors<T>(bounds, decoded).of(asked.kind) <= asked.value) {
        return std::move(fitted->container);
      }
      target.value *= 0.5;
    }
    return fail(CodecError::target_unreachable(
        "no setting reaches the target on this line's integers once rounded"));
  }

  // The fitter names the float target it was given; the caller's is in counts.
  CodecError in_counts(CodecError error) const {
    if (error.kind() != CodecErrorKind::TargetUnreachable) return error;
    static constexpr const char* kNames[] = {"max_error", "rms_error", "prd"};
    char asked[64];
    std::snprintf(asked, sizeof asked, "%s=%g", kNames[static_cast<int>(settings_.target.kind)],
                  settings_.target.value);
    return CodecError::target_unreachable(std::string("integer samples: ") + asked +
                                          " (in counts, after rounding) is out of reach; " +
                                          error.message());
  }

  const ChunkSettings& settings_;
  std::vector<double> wide_;
};

}  // namespace vdx::frame
