// What the frame needs to know about each sample type: its size, how a sample
// becomes the float32 the codec compresses, how a decoded float32 becomes a
// sample again, and which samples cannot pass through float32 at all.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "src/frame/chunk_codec.hpp"

namespace vdx::frame {

inline constexpr uint8_t kSampleTypeCount = 8;

size_t sample_size(SampleType type);
const char* sample_type_name(SampleType type);

// Calls f with a value-initialised sample of the C++ type `type` stands for.
template <class F>
decltype(auto) visit_sample_type(SampleType type, F&& f) {
  switch (type) {
    case SampleType::Float64: return f(double{});
    case SampleType::Int8: return f(int8_t{});
    case SampleType::Uint8: return f(uint8_t{});
    case SampleType::Int16: return f(int16_t{});
    case SampleType::Uint16: return f(uint16_t{});
    case SampleType::Int32: return f(int32_t{});
    case SampleType::Uint32: return f(uint32_t{});
    case SampleType::Float32: break;
  }
  return f(float{});
}

// The bits of a sample as an unsigned integer of its size: runs are runs of
// one bit pattern, so -0.0 is not 0.0 and every NaN payload is its own value.
template <class T>
auto sample_bits(T value) {
  if constexpr (sizeof(T) == 1) return std::bit_cast<uint8_t>(value);
  else if constexpr (sizeof(T) == 2) return std::bit_cast<uint16_t>(value);
  else if constexpr (sizeof(T) == 4) return std::bit_cast<uint32_t>(value);
  else return std::bit_cast<uint64_t>(value);
}

template <class T>
T load_sample(const uint8_t* p) {
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

// float32 rounds to nearest (float64 beyond float32's range: infinity;
// int32/uint32 beyond 2^24: the nearest float32).
template <class T>
float working_value(T value) {
  return static_cast<float>(value);
}

// Samples whose float32 is not finite cannot be compressed; they are kept.
template <class T>
bool needs_keeping(T value) {
  if constexpr (std::is_floating_point_v<T>) return !std::isfinite(static_cast<float>(value));
  else return false;
}

// Integers: to nearest, halves away from zero, clipped to the type's range.
// Independent of the floating-point mode (std::round does not read it).
template <class T>
T sample_from_decoded(float value) {
  if constexpr (std::is_floating_point_v<T>) {
    return static_cast<T>(value);
  } else {
    const double rounded = std::round(static_cast<double>(value));
    if (rounded <= static_cast<double>(std::numeric_limits<T>::min())) {
      return std::numeric_limits<T>::min();
    }
    if (rounded >= static_cast<double>(std::numeric_limits<T>::max())) {
      return std::numeric_limits<T>::max();
    }
    return static_cast<T>(rounded);
  }
}

}  // namespace vdx::frame
