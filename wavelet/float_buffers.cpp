#include "wavelet/float_buffers.hpp"

#include <limits>
#include <new>
#include <stdexcept>

namespace vdx::wavelet {

size_t float_bytes(size_t count) {
  constexpr size_t kMaxCount = std::numeric_limits<size_t>::max() / sizeof(float);
  return count > kMaxCount ? std::numeric_limits<size_t>::max() : count * sizeof(float);
}

static WaveletError allocation_failed(size_t count) {
  return wavelet_error(WaveletErrorKind::AllocationFailed, float_bytes(count));
}

Result<std::vector<float>, WaveletError> zeroed_floats(size_t count) {
  std::vector<float> buffer;
  RETURN_IF_ERROR(resize_zeroed(buffer, count));
  return buffer;
}

Result<void, WaveletError> resize_zeroed(std::vector<float>& buffer, size_t count) {
  try {
    buffer.resize(count);
  } catch (const std::bad_alloc&) {
    return fail(allocation_failed(count));
  } catch (const std::length_error&) {
    return fail(allocation_failed(count));
  }
  return {};
}

Result<std::unique_ptr<float[]>, WaveletError> uninitialised_floats(size_t count) {
  // operator new[] cannot represent more than PTRDIFF_MAX bytes; refuse such
  // requests here rather than relying on the allocator's reaction to them.
  if (count > static_cast<size_t>(std::numeric_limits<ptrdiff_t>::max()) / sizeof(float)) {
    return fail(allocation_failed(count));
  }
  std::unique_ptr<float[]> buffer;
  try {
    // An array length the compiler deems too large throws even in the
    // nothrow form.
    buffer.reset(new (std::nothrow) float[count]);
  } catch (const std::bad_alloc&) {
    return fail(allocation_failed(count));
  }
  if (!buffer) return fail(allocation_failed(count));
  return buffer;
}

}  // namespace vdx::wavelet
