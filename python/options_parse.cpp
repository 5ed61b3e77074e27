#include "python/options_parse.hpp"

#include <string>

#include "python/errors.hpp"
#include "python/quoted_text.hpp"

namespace vdx::python {
namespace {

template <class E>
struct Keyword {
  std::string_view text;
  E value;
};

constexpr Keyword<WaveletMethod> kMethods[] = {
    {"cdf53", WaveletMethod::Cdf53},
    {"cdf97", WaveletMethod::Cdf97},
    {"db4", WaveletMethod::Db4},
    {"sym4", WaveletMethod::Sym4},
};
constexpr Keyword<CutoffLevel> kCutoffs[] = {
    {"low", CutoffLevel::Low},
    {"medium", CutoffLevel::Medium},
    {"high", CutoffLevel::High},
};
// "cmodel" is accepted although the error message does not offer it.
constexpr Keyword<EntropyCoder> kCoders[] = {
    {"auto", EntropyCoder::Auto},
    {"arans", EntropyCoder::Arans},
    {"cmodel", EntropyCoder::Cmodel},
    {"deflate", EntropyCoder::Deflate},
};

constexpr long kMinScale = 6;
constexpr long kMaxScale = 12;

bool convert_text(PyObject* argument, const char* parameter, OptionText* out) {
  if (!PyUnicode_Check(argument)) {
    raise_not_instance(argument, "str", parameter);
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(argument, &size);
  if (utf8 == nullptr) {  // lone surrogates: CPython's UnicodeEncodeError
    note_processing(parameter);
    return false;
  }
  *out = {argument, std::string_view(utf8, static_cast<size_t>(size))};
  return true;
}

bool convert_scale(PyObject* argument, long* out) {
  const long value = PyLong_AsLong(argument);
  if (value == -1 && PyErr_Occurred()) {
    note_processing("scale");
    return false;
  }
  if (value < 0 || value > 255) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    note_processing("scale");
    return false;
  }
  *out = value;
  return true;
}

bool convert_multiplier(PyObject* argument, float* out) {
  const double value = PyFloat_AsDouble(argument);
  if (value == -1.0 && PyErr_Occurred()) {
    note_processing("quant_multiplier");
    return false;
  }
  // Round to nearest float32; beyond its range this gives an infinity.
  *out = static_cast<float>(value);
  return true;
}

template <class E, size_t N>
bool look_up(const Keyword<E> (&table)[N], const OptionText& text, const char* prefix,
             const char* expected, E* out) {
  for (const auto& keyword : table) {
    if (keyword.text == text.utf8) {
      *out = keyword.value;
      return true;
    }
  }
  raise_value_error(std::string(prefix) + quoted_form(text.source) + expected);
  return false;
}

}  // namespace

bool convert_options(PyObject* const* bound, ConvertedOptions* out) {
  PyObject* method = bound[0];
  PyObject* scale = bound[1];
  PyObject* cutoff = bound[2];
  PyObject* coder = bound[3];
  PyObject* multiplier = bound[4];
  if (method != nullptr && !convert_text(method, "method", &out->method)) return false;
  if (scale != nullptr && !convert_scale(scale, &out->scale)) return false;
  if (cutoff != nullptr && !convert_text(cutoff, "cutoff", &out->cutoff)) return false;
  if (coder != nullptr && coder != Py_None) {
    if (!convert_text(coder, "coder", &out->coder)) return false;
    out->has_coder = true;
  }
  if (multiplier != nullptr && multiplier != Py_None) {
    if (!convert_multiplier(multiplier, &out->multiplier)) return false;
    out->has_multiplier = true;
  }
  return true;
}

bool validate_options(const ConvertedOptions& in, CodecOptions* out) {
  CodecOptions record;
  if (!look_up(kMethods, in.method, "Unknown method ",
               ", expected 'cdf97' or 'cdf53' or 'db4' or 'sym4'", &record.method)) {
    return false;
  }
  if (!look_up(kCutoffs, in.cutoff, "Unknown cutoff level ",
               ", expected 'low' or 'medium' or 'high'", &record.cutoff)) {
    return false;
  }
  if (in.scale < kMinScale || in.scale > kMaxScale) {
    raise_codec_error(CodecError::unsupported_scale(static_cast<uint8_t>(in.scale)));
    return false;
  }
  record.scale = static_cast<uint8_t>(in.scale);
  record.coder = EntropyCoder::Auto;
  if (in.has_coder && !look_up(kCoders, in.coder, "Unknown coder ",
                               ", expected 'auto', 'deflate', 'arans'", &record.coder)) {
    return false;
  }
  record.has_quant_multiplier = in.has_multiplier;
  record.quant_multiplier = in.has_multiplier ? in.multiplier : 0.0f;
  *out = record;
  return true;
}

namespace {

template <class E, size_t N>
std::string_view keyword_in(const Keyword<E> (&table)[N], E value) {
  for (const auto& keyword : table) {
    if (keyword.value == value) return keyword.text;
  }
  return "unknown";
}

}  // namespace

std::string_view keyword_of(WaveletMethod method) { return keyword_in(kMethods, method); }
std::string_view keyword_of(EntropyCoder coder) { return keyword_in(kCoders, coder); }
std::string_view keyword_of(CutoffLevel cutoff) { return keyword_in(kCutoffs, cutoff); }

}  // namespace vdx::python
