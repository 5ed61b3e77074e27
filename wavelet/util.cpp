#include "wavelet/util.hpp"

#include <atomic>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace vdx::wavelet {

namespace {

// Zero until the first detection; concurrent first uses may both detect and
// store the same word, which the atomic makes harmless.
std::atomic<uint32_t> cached_features{0};

#if defined(__x86_64__) || defined(__i386__)

uint32_t detect_features() {
  uint32_t features = 0;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & (1u << 20))) features |= kFeatureSse42;
  return features;
}

#else

uint32_t detect_features() { return 0; }

#endif

}  // namespace

uint32_t processor_features() {
  uint32_t word = cached_features.load(std::memory_order_relaxed);
  if (word == 0) {
    word = detect_features() | kFeaturesDetected;
    cached_features.store(word, std::memory_order_relaxed);
  }
  return word;
}

}  // namespace vdx::wavelet
