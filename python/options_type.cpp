#include "python/options_type.hpp"

#include <iterator>

#include "python/binding.hpp"
#include "python/errors.hpp"
#include "python/native_module.hpp"
#include "python/options_parse.hpp"
#include "python/process_once.hpp"
#include "python/py_ref.hpp"

namespace vdx::python {
namespace {

struct OptionsObject {
  PyObject_HEAD
  CodecOptions record;
};

const Signature kNewSignature = {"CompressionOptions.__new__()", kOptionParameters, 0};

PyObject* options_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[std::size(kOptionParameters)];
    if (!bind_tuple_dict(kNewSignature, args, kwargs, bound)) return nullptr;
    ConvertedOptions converted;
    if (!convert_options(bound, &converted)) return nullptr;
    CodecOptions record;
    if (!validate_options(converted, &record)) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<OptionsObject*>(self)->record = record;
    return self;
  });
}

void options_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// The class is named "builtins.CompressionOptions", where pickle cannot find
// it, so an instance pickles as a call of verdalix._native.rebuild_options
// with the keywords that build an equal record. The multiplier goes as the
// float32 the record holds, which reads back as itself.
PyObject* options_reduce(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const CodecOptions& r = reinterpret_cast<OptionsObject*>(self)->record;
    PyRef native(PyImport_ImportModule("verdalix._native"));
    if (!native) return nullptr;
    PyRef rebuild(PyObject_GetAttrString(native.get(), rebuild_options_def.ml_name));
    if (!rebuild) return nullptr;
    const std::string_view method = keyword_of(r.method);
    const std::string_view cutoff = keyword_of(r.cutoff);
    const std::string_view coder = keyword_of(r.coder);
    PyRef multiplier(r.has_quant_multiplier
                         ? PyFloat_FromDouble(static_cast<double>(r.quant_multiplier))
                         : Py_NewRef(Py_None));
    if (!multiplier) return nullptr;
    return Py_BuildValue("O(s#is#s#O)", rebuild.get(), method.data(),
                         static_cast<Py_ssize_t>(method.size()), static_cast<int>(r.scale),
                         cutoff.data(), static_cast<Py_ssize_t>(cutoff.size()), coder.data(),
                         static_cast<Py_ssize_t>(coder.size()), multiplier.get());
  });
}

PyObject* rebuild_options(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyTypeObject* type = options_type();
    if (type == nullptr) return nullptr;
    return PyObject_Call(reinterpret_cast<PyObject*>(type), args, nullptr);
  });
}

PyMethodDef options_methods[] = {
    {"__reduce__", options_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// The signature line, "--" and an empty line: __text_signature__ without a
// docstring body.
constexpr char kOptionsDoc[] =
    "CompressionOptions(method=\"cdf97\", scale=11, cutoff=\"low\", coder=None, "
    "quant_multiplier=None)\n--\n\n";

PyType_Slot options_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(options_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(options_dealloc)},
    {Py_tp_doc, const_cast<char*>(kOptionsDoc)},
    {Py_tp_methods, options_methods},
    {0, nullptr},
};

// Not a base type, no __dict__, no weak references; the class itself is
// immutable since one instance of it serves the whole process.
PyType_Spec options_spec = {
    "builtins.CompressionOptions",
    sizeof(OptionsObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    options_slots,
};

ProcessOnce<PyTypeObject> options_class;

PyTypeObject* create_options_type() {
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&options_spec));
}

}  // namespace

PyTypeObject* options_type() { return options_class.get(create_options_type); }

bool read_options(PyObject* options, CodecOptions* out) {
  if (options == nullptr || options == Py_None) {
    *out = CodecOptions{};
    return true;
  }
  PyTypeObject* type = options_type();
  if (type == nullptr) return false;
  if (!PyObject_TypeCheck(options, type)) {
    raise_not_instance(options, "CompressionOptions", "options");
    return false;
  }
  *out = reinterpret_cast<OptionsObject*>(options)->record;
  return true;
}

PyMethodDef rebuild_options_def = {
    "rebuild_options",
    rebuild_options,
    METH_VARARGS,
    "rebuild_options(method, scale, cutoff, coder, quant_multiplier, /)\n--\n\n"
    "CompressionOptions from the values its __reduce__ gives (for pickle).",
};

}  // namespace vdx::python
