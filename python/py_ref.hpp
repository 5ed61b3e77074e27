// PyRef: one owned (strong) reference, released when it goes out of scope, so
// that every early return and every escaping C++ exception drops what it held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vdx::python {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (or nullptr).
  explicit PyRef(PyObject* owned) : object_(owned) {}
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  // Hands the reference to the caller (for APIs that steal it, or a return).
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

// dict[key] = value with a key that is not interned. CPython 3.13.0's
// PyDict_SetItemString (and the PyModule_Add* calls built on it) makes a new
// key an immortal interned string that is never freed, which memcheck
// reports as lost; a plain key is released with the dict.
inline bool set_item_plain_key(PyObject* dict, const char* key, PyObject* value) {
  PyRef name(PyUnicode_FromString(key));
  return name && PyDict_SetItem(dict, name.get(), value) == 0;
}

}  // namespace vdx::python
