// The codec's float32 results are fixed bit for bit, so they must not follow
// the caller's floating-point mode: a library built with fast-math can set
// flush-to-zero and denormals-are-zero for the whole process, and then a
// subnormal inverse range becomes 0 and the signal is lost. Each native
// entry point holds an IeeeFloatScope while it computes.
#pragma once

#include <cstdint>

namespace vdx {

class IeeeFloatScope {
 public:
  // Saves the mode and selects IEEE behaviour: subnormals kept, rounding to
  // nearest, every exception masked (so no trap, whatever the caller chose).
  IeeeFloatScope() noexcept;
  // Restores the saved mode, flags included, on every path out.
  ~IeeeFloatScope();
  IeeeFloatScope(const IeeeFloatScope&) = delete;
  IeeeFloatScope& operator=(const IeeeFloatScope&) = delete;

 private:
  uint32_t saved_ = 0;
};

}  // namespace vdx
