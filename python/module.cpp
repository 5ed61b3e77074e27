// The extension module verdalix: multi-phase initialisation whose exec slot
// adds CompressionOptions, compress_signal and decompress_signal (the public
// names, in __all__), then PanicException and __version__ beside them, and the
// private submodule verdalix._native that the storage codecs and tools use.
//
// The module is installed as the package's own __init__ (verdalix/__init__.*.so),
// so the import system gives it a __path__ and the pure-Python submodules
// (verdalix.numcodecs, verdalix.zarr, ...) sit beside it; the functions stay
// bound to the module `verdalix` itself.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/entry_functions.hpp"
#include "python/errors.hpp"
#include "python/native_module.hpp"
#include "python/numpy_api.hpp"
#include "python/options_type.hpp"
#include "python/py_ref.hpp"

namespace vdx::python {
namespace {

// Appends `name` to __all__ (created empty if the module has none), then sets
// the attribute. Takes over `value`.
bool add_public(PyObject* module, const char* name, PyObject* value) {
  PyRef owned(value);
  if (!owned) return false;
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  PyObject* all = PyDict_GetItemString(dict, "__all__");  // borrowed
  if (all == nullptr) {
    PyRef created(PyList_New(0));
    if (!created || !set_item_plain_key(dict, "__all__", created.get())) return false;
    all = created.get();  // the module dict keeps it alive
  }
  PyRef text(PyUnicode_FromString(name));
  if (!text || PyList_Append(all, text.get()) < 0) return false;
  return set_item_plain_key(dict, name, owned.get());
}

PyObject* new_function(PyMethodDef* def, PyObject* module) {
  PyRef name(PyModule_GetNameObject(module));
  if (!name) return nullptr;
  return PyCFunction_NewEx(def, module, name.get());
}

int verdalix_exec(PyObject* module) {
  return guarded([&]() -> int {
    if (!ensure_numpy_api()) return -1;
    PyTypeObject* options = options_type();
    if (options == nullptr) return -1;
    Py_INCREF(options);
    if (!add_public(module, "CompressionOptions", reinterpret_cast<PyObject*>(options)) ||
        !add_public(module, "compress_signal", new_function(&compress_signal_def, module)) ||
        !add_public(module, "decompress_signal", new_function(&decompress_signal_def, module))) {
      return -1;
    }
    // Reachable by name so callers can catch it, but not part of __all__.
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    PyObject* panic = panic_exception_type();
    if (panic == nullptr || !set_item_plain_key(dict, "PanicException", panic)) return -1;
    PyRef version(PyUnicode_FromString(VERDALIX_VERSION));
    if (!version || !set_item_plain_key(dict, "__version__", version.get())) return -1;
    return add_native_submodule(module) ? 0 : -1;
  });
}

PyModuleDef_Slot verdalix_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(verdalix_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    // NumPy's API table and the types are cached once per process, which a
    // second interpreter cannot share: refuse to load there.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef verdalix_module = {
    PyModuleDef_HEAD_INIT,
    "verdalix",
    "",  // present but empty: __doc__ is "" rather than None
    0,
    nullptr,
    verdalix_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vdx::python

PyMODINIT_FUNC PyInit_verdalix(void) { return PyModuleDef_Init(&vdx::python::verdalix_module); }
