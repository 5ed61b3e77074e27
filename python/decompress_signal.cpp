// decompress_signal(data): container bytes -> a 1-D float32 array that owns
// the decoded samples without a copy.
#include <iterator>
#include <span>

#include "python/binding.hpp"
#include "python/codec_work.hpp"
#include "python/entry_functions.hpp"
#include "python/errors.hpp"
#include "python/slice_container.hpp"

namespace vdx::python {
namespace {

constexpr const char* kParameters[] = {"data"};
const Signature kSignature = {"decompress_signal()", kParameters, 1};

PyObject* decompress_signal(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[std::size(kParameters)];
    if (!bind_fastcall(kSignature, args, nargs, kwnames, bound)) return nullptr;
    PyObject* data = bound[0];
    // Only bytes: its buffer cannot change while the codec reads it in place.
    if (!PyBytes_Check(data)) {
      raise_not_instance(data, "bytes", "data");
      return nullptr;
    }
    std::span container(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(data)),
                        static_cast<size_t>(PyBytes_GET_SIZE(data)));
    auto samples = decompress_to_vector(container, Gil::Hold);
    if (!samples) return nullptr;
    return array_over_samples(std::move(*samples));
  });
}

}  // namespace

PyMethodDef decompress_signal_def = {
    "decompress_signal",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decompress_signal)),
    METH_FASTCALL | METH_KEYWORDS,
    "decompress_signal(data)\n--\n\n"
    "Decompress a Verdalix bytes object into a 1-D float32 NumPy array.",
};

}  // namespace vdx::python
