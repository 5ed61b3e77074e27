// Replaces the global operator new of the one test program that includes it
// so a test can see the largest single allocation made while it ran: how a
// decoder is shown to refuse a huge declared size before allocating for it.
// Include from exactly one source file per test program.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace vdx::testing {

inline std::atomic<size_t> largest_allocation{0};

// Largest allocation made while `run` ran.
template <class F>
size_t largest_allocation_during(F&& run) {
  largest_allocation.store(0);
  run();
  return largest_allocation.load();
}

}  // namespace vdx::testing

void* operator new(size_t size) {
  size_t seen = vdx::testing::largest_allocation.load(std::memory_order_relaxed);
  while (size > seen &&
         !vdx::testing::largest_allocation.compare_exchange_weak(seen, size,
                                                                std::memory_order_relaxed)) {
  }
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t size) { return ::operator new(size); }
// The nothrow forms too (the wavelet buffers use them), so every allocation
// is counted and released by the free() below, never a sanitizer's own new.
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  return ::operator new(size, std::nothrow);
}
// Not inlined: seen inside a caller, free() on memory from a new-expression
// looks to the compiler like a mismatched pair.
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete[](void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, size_t) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete[](void* p, size_t) noexcept { std::free(p); }
