// The method definitions of the module's two functions; module.cpp binds
// them to the module when it executes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vdx::python {

extern PyMethodDef compress_signal_def;
extern PyMethodDef decompress_signal_def;

}  // namespace vdx::python
