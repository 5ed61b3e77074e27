#include "python/binding.hpp"

#include <string>

namespace vdx::python {
namespace {

// Checks run in this order: surplus positionals, then each keyword in the
// order given (unknown name, then already bound), then missing parameters.
bool bind_positional(const Signature& s, PyObject* const* args, Py_ssize_t nargs,
                     PyObject** bound) {
  const auto count = static_cast<Py_ssize_t>(s.names.size());
  if (nargs > count) {
    if (s.required == count) {
      PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd were given",
                   s.display, count, nargs);
    } else {
      PyErr_Format(PyExc_TypeError,
                   "%s takes from %zd to %zd positional arguments but %zd were given", s.display,
                   s.required, count, nargs);
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
  return true;
}

Py_ssize_t parameter_index(const Signature& s, PyObject* key) {
  if (!PyUnicode_Check(key)) return -1;
  for (size_t i = 0; i < s.names.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(key, s.names[i]) == 0) return static_cast<Py_ssize_t>(i);
  }
  return -1;
}

bool bind_keyword(const Signature& s, PyObject* key, PyObject* value, PyObject** bound) {
  const Py_ssize_t index = parameter_index(s, key);
  if (index < 0) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", s.display, key);
    return false;
  }
  if (bound[index] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", s.display,
                 s.names[index]);
    return false;
  }
  bound[index] = value;
  return true;
}

// "f() missing 2 required positional arguments: 'a' and 'b'"; three or more
// names are joined as "'a', 'b', and 'c'".
bool check_missing(const Signature& s, PyObject* const* bound) {
  std::string names;
  Py_ssize_t missing = 0;
  Py_ssize_t total = 0;
  for (Py_ssize_t i = 0; i < s.required; ++i) total += bound[i] == nullptr;
  if (total == 0) return true;
  for (Py_ssize_t i = 0; i < s.required; ++i) {
    if (bound[i] != nullptr) continue;
    ++missing;
    if (missing > 1) {
      if (total > 2) names += ',';
      names += missing == total ? " and " : " ";
    }
    names += '\'';
    names += s.names[i];
    names += '\'';
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zd required positional argument%s: %s", s.display,
               total, total == 1 ? "" : "s", names.c_str());
  return false;
}

}  // namespace

bool bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** bound) {
  for (size_t i = 0; i < signature.names.size(); ++i) bound[i] = nullptr;
  if (!bind_positional(signature, args, nargs, bound)) return false;
  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    if (!bind_keyword(signature, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], bound)) {
      return false;
    }
  }
  return check_missing(signature, bound);
}

bool bind_tuple_dict(const Signature& signature, PyObject* args, PyObject* kwargs,
                     PyObject** bound) {
  for (size_t i = 0; i < signature.names.size(); ++i) bound[i] = nullptr;
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (!bind_positional(signature, PySequence_Fast_ITEMS(args), nargs, bound)) return false;
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      if (!bind_keyword(signature, key, value, bound)) return false;
    }
  }
  return check_missing(signature, bound);
}

}  // namespace vdx::python
