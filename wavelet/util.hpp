// Filter coefficient tables and the processor-feature word.
#pragma once

#include <array>
#include <cstdint>

namespace vdx::wavelet {

// Scaling filters h0..h7 in double precision: Daubechies' extremal-phase
// filter with four vanishing moments (db4) and her least-asymmetric one
// (sym4), in the order in which they are tabulated as reconstruction low-pass
// filters; the analysis low-pass filter is h reversed. Each sums to √2 and has
// unit energy; filter banks round them to float32.
inline constexpr std::array<double, 8> kDb4Coefficients = {
    0.2303778133088965,   0.7148465705529157,  0.6308807679298589, -0.027983769416859854,
    -0.18703481171909309, 0.030841381835560764, 0.0328830116668852, -0.010597401785069032,
};
inline constexpr std::array<double, 8> kSym4Coefficients = {
    0.0322231006040427,  -0.012603967262037833, -0.09921954357684722, 0.29785779560527736,
    0.8037387518059161,  0.49761866763201545,   -0.02963552764599851, -0.07576571478927333,
};

// Bits of the processor-feature word.
enum ProcessorFeature : uint32_t {
  kFeatureSse42 = 1u << 0,  // CPUID.1:ECX bit 20
  kFeaturesDetected = 1u << 31,
};

// The processor's features, detected on first use and cached for the process.
uint32_t processor_features();

inline bool has_feature(ProcessorFeature feature) {
  return (processor_features() & feature) != 0;
}

}  // namespace vdx::wavelet
