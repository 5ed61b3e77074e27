// The extension module verdalix: multi-phase initialisation.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

int verdalix_exec(PyObject* module) {
  PyObject* all = PyList_New(0);
  if (all == nullptr) return -1;
  if (PyModule_AddObject(module, "__all__", all) < 0) {
    Py_DECREF(all);
    return -1;
  }
  return 0;
}

PyModuleDef_Slot verdalix_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(verdalix_exec)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef verdalix_module = {
    PyModuleDef_HEAD_INIT, "verdalix", "", 0, nullptr, verdalix_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_verdalix(void) { return PyModuleDef_Init(&verdalix_module); }
