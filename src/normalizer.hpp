// Cleaning and normalisation of a signal before the transform, and the
// inverse after reconstruction. Every float32 operation happens in a fixed
// order: the decompressor undoes the compressor's steps with the stored
// values, so any reordering changes decoded bits.
#pragma once

#include <cstddef>
#include <span>

namespace vdx {

struct SignalRange {
  float min_value;
  float max_value;
};

// Copies `input` into `out` replacing NaN by 0, +inf by 1 and -inf by 0, and
// returns the smallest and largest cleaned samples. The scan uses strict
// comparisons, so the first of several equal extremes wins (which decides the
// sign of a zero extreme).
SignalRange copy_cleaned(std::span<const float> input, std::span<float> out);
// The plain loops copy_cleaned must agree with (its vector form is in
// sample_kernels_sse2.cpp).
SignalRange copy_cleaned_scalar(std::span<const float> input, std::span<float> out);

// A signal is flat, stored as its minimum alone, only when it is constant or
// its range is so small that the float32 inverse overflows (below about
// 2.9e-39). Every other range is normalised, whatever the signal's units.
bool is_flat_range(float width);

// Maps the cleaned signal to [0, 1] and centres it on its mean, in place.
// Returns the mean (0 for a flat signal, whose samples all become 0).
float normalize(std::span<float> signal, SignalRange range);

// ((y + mean) * range) + min per sample, each step rounded to float32, with
// results beyond the float32 range clamped to +-FLT_MAX. False when a sample
// came out NaN, which only values the compressor never writes can cause.
bool denormalize(std::span<float> signal, float min_value, float max_value, float mean_value);

}  // namespace vdx
