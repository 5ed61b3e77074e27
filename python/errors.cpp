#include "python/errors.hpp"

#include <cstring>

#include "python/process_once.hpp"
#include "python/py_ref.hpp"

namespace vdx::python {
namespace {

ProcessOnce<PyObject> panic_type;

PyObject* create_panic_type() {
  return PyErr_NewExceptionWithDoc(
      "verdalix.PanicException",
      "An internal fault of the native code; not an Exception, so that "
      "'except Exception' does not swallow it.",
      PyExc_BaseException, nullptr);
}

// Calls exception.add_note(note); an error from add_note itself is dropped so
// that the original exception is the one the caller sees.
void add_note(PyObject* exception, PyObject* note) {
  PyRef result(PyObject_CallMethod(exception, "add_note", "O", note));
  if (!result) PyErr_Clear();
}

}  // namespace

void note_processing(const char* parameter) {
  PyRef note(PyUnicode_FromFormat("while processing '%s'", parameter));
  if (!note) return;  // MemoryError replaces the original: nothing to add to
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exception = PyErr_GetRaisedException();
  if (exception == nullptr) return;
  add_note(exception, note.get());
  PyErr_SetRaisedException(exception);
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);
  add_note(value, note.get());
  PyErr_Restore(type, value, traceback);
#endif
}

void raise_not_instance(PyObject* object, const char* expected, const char* parameter) {
  if (object == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
  } else {
    PyRef name(PyType_GetQualName(Py_TYPE(object)));
    if (!name) return;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(),
                 expected);
  }
  note_processing(parameter);
}

void raise_value_error(std::string_view message) {
  PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                  "replace"));
  if (!text) return;
  PyErr_SetObject(PyExc_ValueError, text.get());
}

void raise_codec_error(const CodecError& error) { raise_value_error(error.message()); }

PyObject* panic_exception_type() { return panic_type.get(create_panic_type); }

void raise_panic(const char* text) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;
  PyRef message(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace"));
  if (!message) return;
  PyErr_SetObject(type, message.get());
}

}  // namespace vdx::python
