// verdalix._native.encode and .decode: the storage codecs' chunk calls. Unlike
// compress_signal/decompress_signal they take a chunk of any shape and any
// bytes-like container, decode into a caller's array, and release the GIL
// around the codec's work (the shared implementation in codec_work.cpp).
#include <cstring>
#include <span>

#include "python/codec_work.hpp"
#include "python/errors.hpp"
#include "python/native_module.hpp"
#include "python/numpy_api.hpp"
#include "python/options_type.hpp"
#include "python/py_buffer.hpp"
#include "python/py_ref.hpp"
#include "python/slice_container.hpp"
#include "src/container.hpp"

namespace vdx::python {
namespace {

// Native-order float32 or float64; anything else (byte-swapped included) is not.
bool float_kind(PyArrayObject* array, bool* is_float64) {
  PyArray_Descr* descr = PyArray_DESCR(array);
  if (!PyArray_ISNBO(descr->byteorder)) return false;
  if (descr->type_num == NPY_FLOAT32) return *is_float64 = false, true;
  if (descr->type_num == NPY_FLOAT64) return *is_float64 = true, true;
  return false;
}

// The chunk arrays zarr and numcodecs hand over; `role` names the argument.
PyArrayObject* float_array(PyObject* object, const char* role, bool* is_float64) {
  if (!PyArray_Check(object)) {
    PyErr_Format(PyExc_TypeError, "verdalix %s a NumPy array, not a '%s' object", role,
                 Py_TYPE(object)->tp_name);
    return nullptr;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  if (!float_kind(array, is_float64)) {
    PyErr_Format(PyExc_TypeError, "verdalix %s float32 or float64 samples, not %S", role,
                 reinterpret_cast<PyObject*>(PyArray_DESCR(array)));
    return nullptr;
  }
  const int needed = NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED;
  if ((PyArray_FLAGS(array) & needed) != needed) {
    PyRef strides(PyObject_GetAttrString(object, "strides"));
    if (!strides) return nullptr;
    PyErr_Format(PyExc_ValueError,
                 "verdalix %s C-contiguous, aligned arrays; this one has strides %R", role,
                 strides.get());
    return nullptr;
  }
  return array;
}

bool positional_count(const char* name, Py_ssize_t nargs, Py_ssize_t least, Py_ssize_t most) {
  if (nargs >= least && nargs <= most) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes %zd to %zd positional arguments (%zd given)", name,
               least, most, nargs);
  return false;
}

PyObject* encode(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (!positional_count("encode", nargs, 2, 2)) return nullptr;
    CodecOptions options;
    if (!read_options(args[1], &options)) return nullptr;
    bool is_float64 = false;
    PyArrayObject* array = float_array(args[0], "encodes", &is_float64);
    if (array == nullptr) return nullptr;
    // The chunk is compressed as its C-order flattening, read in place; the
    // caller's reference keeps it alive while the GIL is released.
    const SampleSource samples{PyArray_DATA(array), static_cast<size_t>(PyArray_SIZE(array)),
                               is_float64};
    return compress_to_bytes(samples, options, Gil::Release);
  });
}

// The header's sample count against what the caller expects, before a
// decoder allocates anything for it: a hostile header cannot make a chunk
// decode reserve memory for a count the chunk does not have.
bool check_count(uint32_t declared, Py_ssize_t expected, const char* what) {
  if (expected < 0 || static_cast<uint64_t>(expected) == declared) return true;
  PyErr_Format(PyExc_ValueError, "The container holds %lu samples, but %s has %zd",
               static_cast<unsigned long>(declared), what, expected);
  return false;
}

void write_samples(const std::vector<float>& samples, PyArrayObject* out, bool is_float64) {
  if (samples.empty()) return;
  if (!is_float64) {
    std::memcpy(PyArray_DATA(out), samples.data(), samples.size() * sizeof(float));
    return;
  }
  auto* target = static_cast<double*>(PyArray_DATA(out));
  for (size_t i = 0; i < samples.size(); ++i) target[i] = samples[i];
}

PyObject* decode(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (!positional_count("decode", nargs, 1, 3)) return nullptr;
    const Py_ssize_t expected = nargs > 1 ? PyNumber_AsSsize_t(args[1], PyExc_OverflowError) : -1;
    if (expected == -1 && PyErr_Occurred()) return nullptr;
    PyObject* out_object = nargs > 2 && args[2] != Py_None ? args[2] : nullptr;
    PyArrayObject* out = nullptr;
    bool out_float64 = false;
    if (out_object != nullptr) {
      out = float_array(out_object, "decodes into", &out_float64);
      if (out == nullptr || PyArray_FailUnlessWriteable(out, "out") < 0) return nullptr;
    }
    // Held until the end: the container cannot be resized or freed meanwhile.
    BufferView view;
    if (!view.acquire(args[0])) return nullptr;
    auto header = parse_header(view.bytes());
    if (!header.ok()) {
      raise_codec_error(header.error());
      return nullptr;
    }
    if (!check_count(header->sample_count, expected, "the chunk")) return nullptr;
    if (out != nullptr && !check_count(header->sample_count, PyArray_SIZE(out), "out")) {
      return nullptr;
    }
    auto samples = decompress_to_vector(view.bytes(), Gil::Release);
    if (!samples) return nullptr;
    if (out == nullptr) return array_over_samples(std::move(*samples));
    {
      // Decoded into a buffer of its own first, so an `out` that overlaps the
      // container is harmless.
      GilScope scope(Gil::Release);
      write_samples(*samples, out, out_float64);
    }
    return Py_NewRef(out_object);
  });
}

}  // namespace

PyMethodDef encode_def = {
    "encode",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode)),
    METH_FASTCALL,
    "encode(data, options, /)\n--\n\n"
    "The container of a C-contiguous float32 or float64 array of any shape,\n"
    "compressed as its C-order flattening, with the GIL released.",
};

PyMethodDef decode_def = {
    "decode",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode)),
    METH_FASTCALL,
    "decode(data, count=-1, out=None, /)\n--\n\n"
    "The float32 samples of a container (any contiguous bytes-like object),\n"
    "or `out` (float32 or float64, C-contiguous) filled with them, with the GIL\n"
    "released. A count >= 0 must match the header before anything is decoded.",
};

}  // namespace vdx::python
