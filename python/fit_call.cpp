// verdalix._native.fit: the error-target fitter (src/fit/) behind
// verdalix.targets, run with the GIL released. Arguments are checked by
// verdalix.targets; this only refuses what would be unsafe to read.
#include <memory>
#include <span>

#include "python/codec_work.hpp"
#include "python/errors.hpp"
#include "python/native_module.hpp"
#include "python/numpy_api.hpp"
#include "python/options_type.hpp"
#include "src/fit/error_target.hpp"
#include "src/float_mode.hpp"

namespace vdx::python {
namespace {

// One contiguous, aligned, native-order float32 or float64 vector.
PyArrayObject* signal_array(PyObject* object, bool* is_float64) {
  if (!PyArray_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "fit() takes a NumPy array");
    return nullptr;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  PyArray_Descr* descr = PyArray_DESCR(array);
  const int needed = NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED;
  const bool typed = PyArray_ISNBO(descr->byteorder) &&
                     (descr->type_num == NPY_FLOAT32 || descr->type_num == NPY_FLOAT64);
  if (!typed || PyArray_NDIM(array) != 1 || (PyArray_FLAGS(array) & needed) != needed) {
    PyErr_SetString(PyExc_ValueError,
                    "fit() takes a 1-D contiguous float32 or float64 NumPy array");
    return nullptr;
  }
  *is_float64 = descr->type_num == NPY_FLOAT64;
  return array;
}

// float64 samples are compressed as their float32 rounding (as
// compress_signal does) and measured as they are.
Result<FittedContainer, CodecError> run(const void* data, size_t count, bool is_float64,
                                        const ErrorTarget& target) {
  if (!is_float64) {
    const std::span<const float> samples(static_cast<const float*>(data), count);
    return compress_within(samples, ReferenceSamples{samples, {}}, {}, target);
  }
  const std::span<const double> reference(static_cast<const double*>(data), count);
  std::unique_ptr<float[]> converted = std::make_unique_for_overwrite<float[]>(count);
  {
    const IeeeFloatScope ieee;
    for (size_t i = 0; i < count; ++i) converted[i] = static_cast<float>(reference[i]);
  }
  return compress_within(std::span<const float>(converted.get(), count),
                         ReferenceSamples{{}, reference}, {}, target);
}

PyObject* fit(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 5) {
      PyErr_SetString(PyExc_TypeError, "fit() takes 5 positional arguments");
      return nullptr;
    }
    bool is_float64 = false;
    PyArrayObject* array = signal_array(args[0], &is_float64);
    if (array == nullptr) return nullptr;
    const long kind = PyLong_AsLong(args[1]);
    if (kind == -1 && PyErr_Occurred()) return nullptr;
    if (kind < 0 || kind > 2) {
      PyErr_SetString(PyExc_ValueError, "fit() takes a target kind of 0, 1 or 2");
      return nullptr;
    }
    const double value = PyFloat_AsDouble(args[2]);
    if (value == -1.0 && PyErr_Occurred()) return nullptr;
    CodecOptions options;
    if (!read_options(args[3], &options)) return nullptr;
    const int fixed_method = PyObject_IsTrue(args[4]);
    if (fixed_method < 0) return nullptr;

    ErrorTarget target;
    target.kind = static_cast<TargetKind>(kind);
    target.value = value;
    target.has_method = fixed_method != 0;
    target.method = options.method;
    target.coder = options.coder;
    auto fitted = [&] {
      GilScope scope(Gil::Release);
      return run(PyArray_DATA(array), static_cast<size_t>(PyArray_SIZE(array)), is_float64,
                 target);
    }();
    if (!fitted.ok()) {
      raise_codec_error(fitted.error());
      return nullptr;
    }
    const FittedContainer& f = *fitted;
    const char* cutoff = f.options.cutoff == CutoffLevel::Low      ? "low"
                         : f.options.cutoff == CutoffLevel::Medium ? "medium"
                                                                   : "high";
    return Py_BuildValue("(y#dis(ddd)O)", reinterpret_cast<const char*>(f.container.data()),
                         static_cast<Py_ssize_t>(f.container.size()),
                         static_cast<double>(f.options.quant_multiplier),
                         static_cast<int>(f.options.scale), cutoff, f.max_error, f.rms_error,
                         f.prd, f.options_reproduce ? Py_True : Py_False);
  });
}

}  // namespace

PyMethodDef fit_def = {
    "fit",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fit)),
    METH_FASTCALL,
    "fit(data, kind, target, options, fixed_method, /)\n--\n\n"
    "The smallest container found whose decoded samples meet one target\n"
    "(kind 0 max_error, 1 rms_error, 2 prd) against `data` as given, with the\n"
    "GIL released: (container, multiplier, scale, cutoff, (max_error,\n"
    "rms_error, prd), options_reproduce). `options` gives the method (tried\n"
    "alone when fixed_method) and the coder.",
};

}  // namespace vdx::python
