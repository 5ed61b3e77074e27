#include "src/frame/sample_types.hpp"

namespace vdx::frame {

size_t sample_size(SampleType type) {
  return visit_sample_type(type, [](auto sample) { return sizeof sample; });
}

const char* sample_type_name(SampleType type) {
  switch (type) {
    case SampleType::Float32: return "float32";
    case SampleType::Float64: return "float64";
    case SampleType::Int8: return "int8";
    case SampleType::Uint8: return "uint8";
    case SampleType::Int16: return "int16";
    case SampleType::Uint16: return "uint16";
    case SampleType::Int32: return "int32";
    case SampleType::Uint32: return "uint32";
  }
  return "unknown";
}

}  // namespace vdx::frame
