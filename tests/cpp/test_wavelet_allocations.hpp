// Replaces the global allocation functions of the one test program that
// includes it, to count allocations and to make one of a chosen size fail.
// Include from exactly one source file per test program.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace vdx::wavelet::testing {

inline std::atomic<size_t> allocations{0};
inline std::atomic<size_t> failing_size{0};  // 0: none fails

// Allocations made while `run` ran.
template <class F>
size_t allocations_during(F&& run) {
  const size_t before = allocations.load();
  run();
  return allocations.load() - before;
}

// Runs `run` with every allocation of exactly `bytes` failing.
template <class F>
void with_failing_allocation(size_t bytes, F&& run) {
  failing_size.store(bytes);
  run();
  failing_size.store(0);
}

inline void* counted_allocation(size_t size) noexcept {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (size != 0 && size == failing_size.load(std::memory_order_relaxed)) return nullptr;
  return std::malloc(size ? size : 1);
}

}  // namespace vdx::wavelet::testing

void* operator new(size_t size) {
  if (void* p = vdx::wavelet::testing::counted_allocation(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t size) { return ::operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  return vdx::wavelet::testing::counted_allocation(size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  return vdx::wavelet::testing::counted_allocation(size);
}
// The replaced operator new allocates with malloc, so free is the match.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
