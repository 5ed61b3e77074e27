#include "python/options_type.hpp"

#include <iterator>

#include "python/binding.hpp"
#include "python/errors.hpp"
#include "python/options_parse.hpp"
#include "python/process_once.hpp"

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

// The signature line, "--" and an empty line: __text_signature__ without a
// docstring body.
constexpr char kOptionsDoc[] =
    "CompressionOptions(method=\"cdf97\", scale=11, cutoff=\"low\", coder=None, "
    "quant_multiplier=None)\n--\n\n";

PyType_Slot options_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(options_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(options_dealloc)},
    {Py_tp_doc, const_cast<char*>(kOptionsDoc)},
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

}  // namespace vdx::python
