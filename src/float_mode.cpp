#include "src/float_mode.hpp"

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#define VERDALIX_HAVE_MXCSR 1
#endif

namespace vdx {

#if defined(VERDALIX_HAVE_MXCSR)

namespace {
// The power-on value: all six exceptions masked, round to nearest, FTZ
// (bit 15) and DAZ (bit 6) clear, no flag raised.
constexpr uint32_t kIeeeMxcsr = 0x1F80u;
}  // namespace

// Out of line on purpose: a call the compiler cannot see into keeps the
// arithmetic of the guarded code from being moved across the mode switch.
IeeeFloatScope::IeeeFloatScope() noexcept : saved_(_mm_getcsr()) {
  if (saved_ != kIeeeMxcsr) _mm_setcsr(kIeeeMxcsr);
}

IeeeFloatScope::~IeeeFloatScope() {
  // Flags our arithmetic raised are ours, not the caller's: restoring the
  // whole register hands back exactly what the caller had.
  _mm_setcsr(saved_);
}

#else

// Other targets keep the caller's mode; their flush controls are not
// touched by this codec.
IeeeFloatScope::IeeeFloatScope() noexcept = default;
IeeeFloatScope::~IeeeFloatScope() = default;

#endif

}  // namespace vdx
