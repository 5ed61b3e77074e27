// compress_signal(data, options=None): a 1-D float32 or float64 array ->
// container bytes.
#include <iterator>

#include "python/binding.hpp"
#include "python/codec_work.hpp"
#include "python/entry_functions.hpp"
#include "python/errors.hpp"
#include "python/numpy_api.hpp"
#include "python/options_type.hpp"

namespace vdx::python {
namespace {

constexpr const char* kParameters[] = {"data", "options"};
const Signature kSignature = {"compress_signal()", kParameters, 1};

enum class SampleType { Float32, Float64 };

bool has_dtype(PyArrayObject* array, int type_number) {
  PyArray_Descr* wanted = PyArray_DescrFromType(type_number);
  if (wanted == nullptr) return false;
  const bool equivalent = PyArray_EquivTypes(PyArray_DESCR(array), wanted);
  Py_DECREF(wanted);
  return equivalent;
}

// Only a 1-D array whose dtype is equivalent to native float32 (tested first)
// or float64; byte-swapped arrays are neither.
bool classify(PyObject* data, PyArrayObject** array, SampleType* type) {
  if (PyArray_Check(data) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(data)) == 1) {
    auto* candidate = reinterpret_cast<PyArrayObject*>(data);
    if (has_dtype(candidate, NPY_FLOAT32)) {
      *array = candidate, *type = SampleType::Float32;
      return true;
    }
    if (has_dtype(candidate, NPY_FLOAT64)) {
      *array = candidate, *type = SampleType::Float64;
      return true;
    }
  }
  PyErr_SetString(PyExc_ValueError, "expected a 1-D float32 or float64 NumPy array");
  return false;
}

// Strided or misaligned arrays are refused rather than silently copied.
bool check_layout(PyArrayObject* array) {
  if (PyArray_SIZE(array) == 0) return true;
  const int flags = PyArray_FLAGS(array);
  if ((flags & NPY_ARRAY_ALIGNED) &&
      (flags & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS))) {
    return true;
  }
  PyErr_SetString(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
  return false;
}

PyObject* compress_signal(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[std::size(kParameters)];
    if (!bind_fastcall(kSignature, args, nargs, kwnames, bound)) return nullptr;
    // Options first: a bad `options` is reported even when `data` is bad too.
    CodecOptions options;
    if (!read_options(bound[1], &options)) return nullptr;
    PyArrayObject* array = nullptr;
    SampleType type;
    if (!classify(bound[0], &array, &type)) return nullptr;
    if (!check_layout(array)) return nullptr;
    const SampleSource samples{PyArray_DATA(array), static_cast<size_t>(PyArray_SIZE(array)),
                               type == SampleType::Float64};
    return compress_to_bytes(samples, options, Gil::Hold);
  });
}

}  // namespace

PyMethodDef compress_signal_def = {
    "compress_signal",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compress_signal)),
    METH_FASTCALL | METH_KEYWORDS,
    "compress_signal(data, options=None)\n--\n\n"
    "Compress a 1-D float32 **or** float64 NumPy array into Verdalix `bytes`.\n"
    "\n"
    "float64 input is downcast to float32 before compression (the codec works in\n"
    "f32 internally and always reconstructs f32 on decompress).",
};

}  // namespace vdx::python
