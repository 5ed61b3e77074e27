#include "python/quoted_text.hpp"

#include <cstdio>

namespace vdx::python {
namespace {

void append_utf8(std::string& out, Py_UCS4 c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void append_escaped(std::string& out, Py_UCS4 c) {
  switch (c) {
    case '"': out += "\\\""; return;
    case '\\': out += "\\\\"; return;
    case '\t': out += "\\t"; return;
    case '\r': out += "\\r"; return;
    case '\n': out += "\\n"; return;
    case '\0': out += "\\0"; return;
    default: break;
  }
  // Printable means what str.isprintable() says: the control, format,
  // separator (other than the space), private-use, surrogate and unassigned
  // categories are escaped as \u{h}.
  if (Py_UNICODE_ISPRINTABLE(c)) {
    append_utf8(out, c);
    return;
  }
  char hex[16];
  std::snprintf(hex, sizeof hex, "\\u{%x}", static_cast<unsigned>(c));
  out += hex;
}

}  // namespace

std::string quoted_form(PyObject* text) {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  std::string out;
  out.reserve(static_cast<size_t>(length) + 2);
  out += '"';
  for (Py_ssize_t i = 0; i < length; ++i) append_escaped(out, PyUnicode_READ(kind, data, i));
  out += '"';
  return out;
}

}  // namespace vdx::python
