// The submodule is created by the package's exec slot (as pyexpat creates
// pyexpat.errors) rather than as a second extension file: it then shares the
// one copy of the process-wide caches (NumPy's API table, the options type).
#include "python/native_module.hpp"

#include "python/py_ref.hpp"

namespace vdx::python {
namespace {

// Added one by one under plain keys rather than through the definition's
// method table: CPython 3.13.0 never frees the interned names that
// PyModule_AddFunctions creates (see set_item_plain_key).
PyMethodDef* const native_functions[] = {
    &read_header_def, &encode_def, &decode_def, &rebuild_options_def, &fit_def,
    &encode_chunk_def, &decode_chunk_def, &describe_chunk_def, &frame_tables_def};

PyModuleDef native_module_def = {
    PyModuleDef_HEAD_INIT,
    "verdalix._native",
    "Private native functions of the verdalix package.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

bool add_native_submodule(PyObject* package) {
  PyRef native(PyModule_Create(&native_module_def));
  if (!native) return false;
#ifdef Py_GIL_DISABLED
  if (PyUnstable_Module_SetGIL(native.get(), Py_MOD_GIL_NOT_USED) < 0) return false;
#endif
  PyRef name(PyModule_GetNameObject(native.get()));
  if (!name) return false;
  for (PyMethodDef* def : native_functions) {
    PyRef function(PyCFunction_NewEx(def, native.get(), name.get()));
    if (!function || !set_item_plain_key(PyModule_GetDict(native.get()), def->ml_name,
                                         function.get())) {
      return false;
    }
  }
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  return set_item_plain_key(modules, "verdalix._native", native.get()) &&
         set_item_plain_key(PyModule_GetDict(package), "_native", native.get());
}

}  // namespace vdx::python
