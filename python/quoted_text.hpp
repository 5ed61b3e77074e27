// The quoted form in which a rejected option text appears in its ValueError:
// "CDF97" -> "\"CDF97\"", with escapes for quotes, backslashes, controls and
// other non-printable characters.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

namespace vdx::python {

// `text` must be a str. The result is UTF-8.
std::string quoted_form(PyObject* text);

}  // namespace vdx::python
