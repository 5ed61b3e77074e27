// Deterministic test signals shared by the codec tests and benchmarks.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace vdx::testing {

enum class Shape { Tones, Walk, Steps, Noise, Chirp };

inline const char* shape_name(Shape s) {
  switch (s) {
    case Shape::Tones: return "tones";
    case Shape::Walk: return "walk";
    case Shape::Steps: return "steps";
    case Shape::Noise: return "noise";
    case Shape::Chirp: return "chirp";
  }
  return "?";
}

inline std::vector<float> make_signal(Shape shape, size_t n, uint32_t seed = 7) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> gauss(0.0f, 1.0f);
  std::vector<float> x(n);
  float level = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    const float t = static_cast<float>(i);
    switch (shape) {
      case Shape::Tones:
        x[i] = std::sin(t * 0.05f) + 0.5f * std::sin(t * 0.31f) + 0.05f * gauss(rng);
        break;
      case Shape::Walk:
        level += gauss(rng);
        x[i] = level;
        break;
      case Shape::Steps:
        if (i % 97 == 0) level = std::floor(gauss(rng) * 4.0f);
        x[i] = level;
        break;
      case Shape::Noise:
        x[i] = gauss(rng);
        break;
      case Shape::Chirp:
        x[i] = std::sin(t * t * 2e-5f) * 100.0f + 3.0f;
        break;
    }
  }
  return x;
}

}  // namespace vdx::testing
