// CompressionOptions: the immutable options token. A heap type named
// "builtins.CompressionOptions" whose instances hold one CodecOptions record.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "src/options.hpp"

namespace vdx::python {

// The class, created once per process; nullptr with an error set on failure.
PyTypeObject* options_type();

// Copies the record out of `options`, which may be nullptr or None (the
// defaults); anything but a CompressionOptions raises TypeError with the note
// "while processing 'options'".
bool read_options(PyObject* options, CodecOptions* out);

}  // namespace vdx::python
