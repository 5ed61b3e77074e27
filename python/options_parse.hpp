// CompressionOptions construction, steps 1 and 2: every argument is converted
// (in parameter order) before any value is validated (method, cutoff, scale,
// coder), so a conversion error of a later parameter wins over a validation
// error of an earlier one.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#include "src/options.hpp"

namespace vdx::python {

// A keyword argument as UTF-8; `source` is the str it came from (nullptr for
// a default), kept for the quoted form of an error message.
struct OptionText {
  PyObject* source = nullptr;
  std::string_view utf8;
};

struct ConvertedOptions {
  OptionText method{nullptr, "cdf97"};
  long scale = 11;
  OptionText cutoff{nullptr, "low"};
  bool has_coder = false;
  OptionText coder;
  bool has_multiplier = false;
  float multiplier = 0.0f;
};

// The parameters in positional order, as CompressionOptions.__new__() binds them.
inline constexpr const char* kOptionParameters[] = {"method", "scale", "cutoff", "coder",
                                                   "quant_multiplier"};

// `bound` holds one borrowed argument per parameter, nullptr if omitted. The
// texts in `out` borrow from the arguments. False with the exception set and
// its "while processing" note added.
bool convert_options(PyObject* const* bound, ConvertedOptions* out);

// False with ValueError set (no note).
bool validate_options(const ConvertedOptions& converted, CodecOptions* out);

// The keyword that names a value, from the same tables the options are read
// with ("unknown" for a value no keyword names).
std::string_view keyword_of(WaveletMethod method);
std::string_view keyword_of(EntropyCoder coder);
std::string_view keyword_of(CutoffLevel cutoff);

}  // namespace vdx::python
