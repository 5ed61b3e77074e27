// The one place that includes NumPy's C API. Every translation unit shares
// the API table through PY_ARRAY_UNIQUE_SYMBOL; numpy_api.cpp owns it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL verdalix_ARRAY_API
#ifndef VERDALIX_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace vdx::python {

// Obtains NumPy's C API table once per process. False with ImportError (or
// NumPy's own error) set when NumPy cannot be imported.
bool ensure_numpy_api();

}  // namespace vdx::python
