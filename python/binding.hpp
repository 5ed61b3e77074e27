// Argument binding for the module's functions and the CompressionOptions
// constructor, with the system's own TypeError texts (which differ from
// CPython's: "takes 1 positional arguments" keeps its plural).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>

namespace vdx::python {

// Every parameter is positional-or-keyword; the first `required` ones have
// no default.
struct Signature {
  const char* display;  // "compress_signal()"
  std::span<const char* const> names;
  Py_ssize_t required;
};

// Binds a METH_FASTCALL | METH_KEYWORDS call. `bound` has one slot per
// parameter and receives borrowed references, nullptr where a parameter was
// not given. Returns false with TypeError set on a binding error.
bool bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** bound);

// The same for the tp_new convention: a tuple and a dict (or nullptr).
bool bind_tuple_dict(const Signature& signature, PyObject* args, PyObject* kwargs,
                     PyObject** bound);

}  // namespace vdx::python
