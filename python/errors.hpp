// How failures become Python exceptions: conversion errors with their
// "while processing" note, codec errors as ValueError, internal faults as
// PanicException, and the guard that keeps C++ exceptions out of CPython.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <string_view>
#include <type_traits>

#include "src/codec_error.hpp"

namespace vdx::python {

// Adds the note "while processing 'P'" to the exception being raised.
void note_processing(const char* parameter);

// TypeError "'T' object is not an instance of 'X'" ("'None' is not an
// instance of 'X'" for None), with the note for `parameter`.
void raise_not_instance(PyObject* object, const char* expected, const char* parameter);

// ValueError whose only argument is `message`; the explicit length keeps any
// NUL the message carries.
void raise_value_error(std::string_view message);
void raise_codec_error(const CodecError& error);

// The internal-fault exception class (a BaseException subclass), created once
// per process; nullptr with an error set if it cannot be created.
PyObject* panic_exception_type();
void raise_panic(const char* text);

// Runs `body`, turning an escaping std::bad_alloc into MemoryError and any
// other C++ exception into PanicException. On such a fault the result is
// what a CPython slot returns on error: nullptr, or -1 for an int.
template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
  using Ret = decltype(body());
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& fault) {
    raise_panic(fault.what());
  } catch (...) {
    raise_panic("unknown internal fault");
  }
  if constexpr (std::is_pointer_v<Ret>) {
    return nullptr;
  } else {
    return -1;
  }
}

}  // namespace vdx::python
