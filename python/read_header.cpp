// verdalix._native.read_header(data): the header of a container as a dict,
// read by the codec's own parser with every check the decoder runs before it
// touches the payload, so a tool that lists containers agrees with the
// decoder about which ones are valid.
#include <span>

#include "python/errors.hpp"
#include "python/native_module.hpp"
#include "python/options_parse.hpp"
#include "python/py_buffer.hpp"
#include "python/py_ref.hpp"
#include "src/container.hpp"

namespace vdx::python {
namespace {

// A container records the coder by its id, which is the EntropyCoder value
// (Cmodel for both requests that select the coefficient model).
std::string_view coder_keyword(uint8_t coder_id) {
  return coder_id <= static_cast<uint8_t>(EntropyCoder::Cmodel)
             ? keyword_of(static_cast<EntropyCoder>(coder_id))
             : "unknown";
}

PyObject* header_dict(const CheckedContainer& checked) {
  const ContainerHeader& h = checked.header;
  const std::string_view method = keyword_of(h.method);
  const std::string_view coder = coder_keyword(h.coder_id);
  return Py_BuildValue(
      "{s:n,s:s#,s:s#,s:i,s:i,s:d,s:d,s:d,s:d,s:d,s:n,s:(ii)}",
      "sample_count", static_cast<Py_ssize_t>(h.sample_count),
      "method", method.data(), static_cast<Py_ssize_t>(method.size()),
      "coder", coder.data(), static_cast<Py_ssize_t>(coder.size()),
      "scale", static_cast<int>(h.scale),
      "levels", static_cast<int>(h.levels),
      "multiplier", static_cast<double>(checked.multiplier),
      "stored_multiplier", static_cast<double>(h.multiplier),
      "min", static_cast<double>(h.min_value),
      "max", static_cast<double>(h.max_value),
      "mean", static_cast<double>(h.mean_value),
      "payload_length", static_cast<Py_ssize_t>(h.payload_length),
      "version", static_cast<int>(h.version_major), static_cast<int>(h.version_minor));
}

PyObject* read_header(PyObject*, PyObject* data) {
  return guarded([&]() -> PyObject* {
    BufferView view;
    if (!view.acquire(data)) return nullptr;
    auto header = parse_header(view.bytes());
    if (!header.ok()) {
      raise_codec_error(header.error());
      return nullptr;
    }
    auto checked = check_container(header.value(), view.bytes());
    if (!checked.ok()) {
      raise_codec_error(checked.error());
      return nullptr;
    }
    return header_dict(checked.value());
  });
}

}  // namespace

PyMethodDef read_header_def = {
    "read_header",
    read_header,
    METH_O,
    "read_header(data)\n--\n\n"
    "The header of a container (any contiguous bytes-like object) as a dict;\n"
    "ValueError with the codec's message when the decoder would refuse it.",
};

}  // namespace vdx::python
