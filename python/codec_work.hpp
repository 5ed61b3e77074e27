// The native work behind compress_signal/decompress_signal and the storage
// codecs' encode/decode, written once. The public functions run it holding the
// GIL, as they always have; the codecs run it with the GIL released so that
// zarr's thread pool and dask's threaded scheduler compress chunks in parallel.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "src/options.hpp"

namespace vdx::python {

enum class Gil { Hold, Release };

// Releases the GIL for its scope when asked to (PyEval_SaveThread, the call
// behind Py_BEGIN_ALLOW_THREADS) and takes it back on every way out, an
// escaping std::bad_alloc included, so `guarded` always raises holding it.
// No Python API may be used inside a released scope.
class GilScope {
 public:
  explicit GilScope(Gil gil) : saved_(gil == Gil::Release ? PyEval_SaveThread() : nullptr) {}
  GilScope(const GilScope&) = delete;
  GilScope& operator=(const GilScope&) = delete;
  ~GilScope() {
    if (saved_ != nullptr) PyEval_RestoreThread(saved_);
  }

 private:
  PyThreadState* saved_;
};

// Samples read in place: float32 as they are, float64 rounded to float32.
// The caller keeps their owner referenced and unchanged for the whole call.
struct SampleSource {
  const void* data = nullptr;
  size_t count = 0;
  bool is_float64 = false;
};

// The container as a new bytes object; nullptr with the codec's ValueError
// (or MemoryError) set.
PyObject* compress_to_bytes(const SampleSource& samples, const CodecOptions& options, Gil gil);

// The decoded samples; nullopt with the codec's ValueError (or MemoryError) set.
std::optional<std::vector<float>> decompress_to_vector(std::span<const uint8_t> container,
                                                       Gil gil);

}  // namespace vdx::python
