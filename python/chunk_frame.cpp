// verdalix._native.encode_chunk, .decode_chunk, .describe_chunk and
// .frame_tables: the storage codecs' (and the command line's) calls into the
// native chunk frame. They convert arrays and settings, check what can be
// checked holding the GIL, and release it for the frame's own work; the
// frame (src/frame) does everything else.
#include <cstring>
#include <string_view>
#include <span>
#include <vector>

#include "python/codec_work.hpp"
#include "python/errors.hpp"
#include "python/native_module.hpp"
#include "python/numpy_api.hpp"
#include "python/options_type.hpp"
#include "python/py_buffer.hpp"
#include "python/py_ref.hpp"
#include "python/slice_container.hpp"
#include "src/decompressor.hpp"
#include "src/frame/chunk_codec.hpp"
#include "src/frame/frame_format.hpp"

namespace vdx::python {
namespace {

struct TypeName {
  int type_num;
  SampleType type;
  const char* name;
};

// NumPy's sized type numbers, so int16 is int16 whatever C type it aliases.
constexpr TypeName kSampleTypes[] = {
    {NPY_FLOAT32, SampleType::Float32, "float32"}, {NPY_FLOAT64, SampleType::Float64, "float64"},
    {NPY_INT8, SampleType::Int8, "int8"},          {NPY_UINT8, SampleType::Uint8, "uint8"},
    {NPY_INT16, SampleType::Int16, "int16"},       {NPY_UINT16, SampleType::Uint16, "uint16"},
    {NPY_INT32, SampleType::Int32, "int32"},       {NPY_UINT32, SampleType::Uint32, "uint32"},
};

const TypeName& entry_of(SampleType type) {
  for (const TypeName& entry : kSampleTypes) {
    if (entry.type == type) return entry;
  }
  return kSampleTypes[0];
}

// The sample type of a native-order array of a stored dtype; TypeError
// naming the dtype otherwise.
bool sample_type_of(PyArrayObject* array, const char* role, SampleType* type) {
  PyArray_Descr* descr = PyArray_DESCR(array);
  if (PyArray_ISNBO(descr->byteorder)) {
    for (const TypeName& entry : kSampleTypes) {
      if (PyArray_EquivTypenums(descr->type_num, entry.type_num)) {
        *type = entry.type;
        return true;
      }
    }
  }
  PyErr_Format(PyExc_TypeError,
               "verdalix %s float32, float64, int8, uint8, int16, uint16, int32 or uint32 "
               "samples, not %S",
               role, reinterpret_cast<PyObject*>(descr));
  return false;
}

PyArrayObject* contiguous_array(PyObject* object, const char* role, SampleType* type) {
  if (!PyArray_Check(object)) {
    PyErr_Format(PyExc_TypeError, "verdalix %s a NumPy array, not a '%s' object", role,
                 Py_TYPE(object)->tp_name);
    return nullptr;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  if (!sample_type_of(array, role, type)) return nullptr;
  if (!PyArray_IS_C_CONTIGUOUS(array)) {
    PyRef strides(PyObject_GetAttrString(object, "strides"));
    if (!strides) return nullptr;
    PyErr_Format(PyExc_ValueError, "verdalix %s C-contiguous arrays; this one has strides %R",
                 role, strides.get());
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

bool read_axis(PyObject* object, ChunkSettings* settings) {
  if (object == Py_None) {
    settings->has_axis = false;
    return true;
  }
  const long axis = PyLong_AsLong(object);
  if (axis == -1 && PyErr_Occurred()) return false;
  if (axis < INT32_MIN || axis > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "axis is out of range");
    return false;
  }
  settings->axis = static_cast<int32_t>(axis);
  return true;
}

// (kind, value, method_fixed): the target verdalix.targets checked, its
// method and coder taken from the options.
bool read_target(PyObject* object, ChunkSettings* settings) {
  if (object == Py_None) return true;
  const char* kind = nullptr;
  double value = 0.0;
  int method_fixed = 0;
  if (!PyArg_ParseTuple(object, "sdp", &kind, &value, &method_fixed)) return false;
  const std::string_view name(kind);
  ErrorTarget& target = settings->target;
  if (name == "max_error") target.kind = TargetKind::MaxError;
  else if (name == "rms_error") target.kind = TargetKind::RmsError;
  else if (name == "prd") target.kind = TargetKind::Prd;
  else {
    PyErr_Format(PyExc_ValueError, "unknown target kind %R", PyTuple_GET_ITEM(object, 0));
    return false;
  }
  settings->has_target = true;
  target.value = value;
  target.has_method = method_fixed != 0;
  target.method = settings->options.method;
  target.coder = settings->options.coder;
  return true;
}

PyObject* bytes_of(const std::vector<uint8_t>& bytes) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<Py_ssize_t>(bytes.size()));
}

// encode_chunk(data, options, axis, target=None, /): the chunk's frame, or
// its bare container when it is one float32 line with nothing kept.
PyObject* encode_chunk_py(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (!positional_count("encode_chunk", nargs, 3, 4)) return nullptr;
    ChunkSettings settings;
    if (!read_options(args[1], &settings.options) || !read_axis(args[2], &settings) ||
        (nargs > 3 && !read_target(args[3], &settings))) {
      return nullptr;
    }
    SampleType type;
    PyArrayObject* array = contiguous_array(args[0], "stores", &type);
    if (array == nullptr) return nullptr;
    const int ndim = PyArray_NDIM(array);
    std::vector<uint64_t> shape(PyArray_DIMS(array), PyArray_DIMS(array) + ndim);
    auto chunk = [&] {
      // The caller's reference keeps the array alive while the GIL is out.
      GilScope scope(Gil::Release);
      return encode_chunk(PyArray_DATA(array), type, shape, settings);
    }();
    if (!chunk.ok()) {
      raise_codec_error(chunk.error());
      return nullptr;
    }
    return bytes_of(chunk.value());
  });
}

bool check_count(const ChunkDescription& chunk, Py_ssize_t expected, const char* what) {
  if (expected < 0 || static_cast<uint64_t>(expected) == chunk.sample_count) return true;
  PyErr_Format(PyExc_ValueError, "The %s holds %llu samples, but %s has %zd",
               chunk.framed ? "frame" : "container",
               static_cast<unsigned long long>(chunk.sample_count), what, expected);
  return false;
}

// Without `out`, what a chunk declares is all there is to size the result
// by: a cap >= 0 bounds it.
bool within_cap(const ChunkDescription& chunk, long long cap) {
  if (cap < 0 || chunk.sample_count <= static_cast<unsigned long long>(cap)) return true;
  PyErr_Format(PyExc_ValueError,
               "The chunk declares %llu samples, more than this codec's cap of %lld "
               "(max_samples)",
               static_cast<unsigned long long>(chunk.sample_count), cap);
  return false;
}

// A new array of the chunk's own type and shape.
PyObject* new_chunk_array(const ChunkDescription& chunk) {
  std::vector<npy_intp> dims;
  for (uint64_t extent : chunk.shape) {
    if (extent > static_cast<uint64_t>(NPY_MAX_INTP)) {
      PyErr_SetString(PyExc_ValueError, "The chunk's shape does not fit this platform");
      return nullptr;
    }
    dims.push_back(static_cast<npy_intp>(extent));
  }
  return PyArray_SimpleNew(static_cast<int>(dims.size()), dims.data(),
                           entry_of(chunk.type).type_num);
}

bool overlaps(std::span<const uint8_t> a, const void* b_start, size_t b_size) {
  const auto* b = static_cast<const uint8_t*>(b_start);
  return a.data() < b + b_size && b < a.data() + a.size();
}

PyObject* decode_into(std::span<const uint8_t> chunk, const ChunkDescription& description,
                      PyArrayObject* out, SampleType type) {
  const size_t bytes = static_cast<size_t>(PyArray_NBYTES(out));
  auto done = [&] {
    GilScope scope(Gil::Release);
    // An `out` over the chunk's own bytes would be overwritten while it is
    // still being read: decode from a copy then.
    std::vector<uint8_t> copy;
    if (overlaps(chunk, PyArray_DATA(out), bytes)) {
      copy.assign(chunk.begin(), chunk.end());
      chunk = copy;
    }
    return decode_chunk(chunk, type, PyArray_DATA(out), description.sample_count);
  }();
  if (!done.ok()) {
    raise_codec_error(done.error());
    return nullptr;
  }
  return Py_NewRef(reinterpret_cast<PyObject*>(out));
}

// decode_chunk(data, count=-1, out=None, max_samples=-1, /): the samples in
// the chunk's own type and shape (a bare container: 1-D float32), or `out`
// filled with them. A count >= 0, and `out`'s size, must match what the chunk
// declares, and without `out` a max_samples >= 0 caps it, before anything is
// allocated or decoded.
PyObject* decode_chunk_py(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (!positional_count("decode_chunk", nargs, 1, 4)) return nullptr;
    const Py_ssize_t expected = nargs > 1 ? PyNumber_AsSsize_t(args[1], PyExc_OverflowError) : -1;
    if (expected == -1 && PyErr_Occurred()) return nullptr;
    PyObject* out_object = nargs > 2 && args[2] != Py_None ? args[2] : nullptr;
    const long long cap = nargs > 3 ? PyLong_AsLongLong(args[3]) : -1;
    if (cap == -1 && PyErr_Occurred()) return nullptr;
    BufferView view;
    if (!view.acquire(args[0])) return nullptr;
    auto description = describe_chunk(view.bytes());
    if (!description.ok()) {
      raise_codec_error(description.error());
      return nullptr;
    }
    if (!check_count(*description, expected, "the chunk")) return nullptr;
    if (out_object != nullptr) {
      SampleType type;
      PyArrayObject* out = contiguous_array(out_object, "decodes into", &type);
      if (out == nullptr || PyArray_FailUnlessWriteable(out, "out") < 0) return nullptr;
      if (!check_count(*description, PyArray_SIZE(out), "out")) return nullptr;
      return decode_into(view.bytes(), *description, out, type);
    }
    if (!within_cap(*description, cap)) return nullptr;
    if (!description->framed) {
      // The decoder's own buffer becomes the array: no copy.
      auto samples = decompress_to_vector(view.bytes(), Gil::Release);
      return samples ? array_over_samples(std::move(*samples)) : nullptr;
    }
    PyRef array(new_chunk_array(*description));
    if (!array) return nullptr;
    auto* out = reinterpret_cast<PyArrayObject*>(array.get());
    if (decode_into(view.bytes(), *description, out, description->type) == nullptr) return nullptr;
    Py_DECREF(array.get());  // decode_into returned a new reference to it
    return array.release();
  });
}

// describe_chunk(data, /): (framed, dtype name, shape, axis or None), read
// from the frame or the container header alone.
PyObject* describe_chunk_py(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (!positional_count("describe_chunk", nargs, 1, 1)) return nullptr;
    BufferView view;
    if (!view.acquire(args[0])) return nullptr;
    auto description = describe_chunk(view.bytes());
    if (!description.ok()) {
      raise_codec_error(description.error());
      return nullptr;
    }
    PyRef shape(PyTuple_New(static_cast<Py_ssize_t>(description->shape.size())));
    if (!shape) return nullptr;
    for (size_t d = 0; d < description->shape.size(); ++d) {
      PyObject* extent = PyLong_FromUnsignedLongLong(description->shape[d]);
      if (extent == nullptr) return nullptr;
      PyTuple_SET_ITEM(shape.get(), static_cast<Py_ssize_t>(d), extent);
    }
    PyRef axis(description->has_axis ? PyLong_FromUnsignedLong(description->axis)
                                     : Py_NewRef(Py_None));
    if (!axis) return nullptr;
    return Py_BuildValue("(OsOO)", description->framed ? Py_True : Py_False,
                         entry_of(description->type).name, shape.get(), axis.get());
  });
}

// frame_tables(data, /): None for a bare container; for a frame, ((major,
// minor) version, the lines' container lengths, the kept runs as (line,
// start, length, value bytes)), checked as decoding checks them. Lists as long as the tables the
// frame's own bytes hold, nothing more.
PyObject* frame_tables_py(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (!positional_count("frame_tables", nargs, 1, 1)) return nullptr;
    BufferView view;
    if (!view.acquire(args[0])) return nullptr;
    if (!frame::starts_with_frame_magic(view.bytes())) {
      auto description = describe_chunk(view.bytes());
      if (!description.ok()) {
        raise_codec_error(description.error());
        return nullptr;
      }
      Py_RETURN_NONE;
    }
    auto parsed = frame::parse_frame(view.bytes());
    if (!parsed.ok()) {
      raise_codec_error(parsed.error());
      return nullptr;
    }
    const frame::FrameView& frame = *parsed;
    const uint64_t line_count = frame.geometry.line_count();
    PyRef lengths(PyList_New(static_cast<Py_ssize_t>(line_count)));
    if (!lengths) return nullptr;
    for (uint64_t l = 0; l < line_count; ++l) {
      PyObject* length = PyLong_FromUnsignedLongLong(frame.container_length(l));
      if (length == nullptr) return nullptr;
      PyList_SET_ITEM(lengths.get(), static_cast<Py_ssize_t>(l), length);
    }
    const size_t value_size = frame.run_size - frame::kRunHeadSize;
    PyRef runs(PyList_New(static_cast<Py_ssize_t>(frame.run_count)));
    if (!runs) return nullptr;
    for (uint32_t index = 0; index < frame.run_count; ++index) {
      const frame::KeptRun run = frame.run(index);
      PyObject* record = Py_BuildValue("(IIIy#)", run.line, run.start, run.length,
                                       reinterpret_cast<const char*>(run.value),
                                       static_cast<Py_ssize_t>(value_size));
      if (record == nullptr) return nullptr;
      PyList_SET_ITEM(runs.get(), static_cast<Py_ssize_t>(index), record);
    }
    const uint8_t* head = view.bytes().data();
    return Py_BuildValue("((BB)OO)", head[4], head[5], lengths.get(), runs.get());
  });
}

}  // namespace

PyMethodDef encode_chunk_def = {
    "encode_chunk",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode_chunk_py)),
    METH_FASTCALL,
    "encode_chunk(data, options, axis, target=None, /)\n--\n\n"
    "The stored form of a C-contiguous chunk (float32, float64 or an integer type\n"
    "up to 32 bits): its lines along `axis` (None: the C-order flattening) each\n"
    "compressed, with `options` or fitted to `target` (kind, value, method_fixed),\n"
    "behind the chunk frame; with the GIL released.",
};

PyMethodDef decode_chunk_def = {
    "decode_chunk",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode_chunk_py)),
    METH_FASTCALL,
    "decode_chunk(data, count=-1, out=None, max_samples=-1, /)\n--\n\n"
    "A stored chunk's samples in its own type and shape, or `out` filled with\n"
    "them; counts are checked before anything is allocated or decoded.",
};

PyMethodDef describe_chunk_def = {
    "describe_chunk",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(describe_chunk_py)),
    METH_FASTCALL,
    "describe_chunk(data, /)\n--\n\n"
    "(framed, dtype name, shape, axis or None) of a stored chunk, from its frame\n"
    "or container header alone.",
};

PyMethodDef frame_tables_def = {
    "frame_tables",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(frame_tables_py)),
    METH_FASTCALL,
    "frame_tables(data, /)\n--\n\n"
    "None for a bare container; for a chunk frame, ((major, minor) version, the\n"
    "lines' container lengths, the kept runs as (line, start, length, value bytes)),\n"
    "checked as decoding does.",
};

}  // namespace vdx::python
