// describe_chunk and decode_chunk: a bare container or a frame, told apart by
// the first four bytes, every count checked before anything is decoded.
#include <memory>
#include <string>

#include "src/container.hpp"
#include "src/decompressor.hpp"
#include "src/frame/chunk_codec.hpp"
#include "src/frame/chunk_lines.hpp"
#include "src/frame/frame_format.hpp"
#include "src/frame/sample_types.hpp"

namespace vdx {
namespace frame {
namespace {

CodecError decode_error(const std::string& reason) { return CodecError::decompress_failed(reason); }

// The frame's samples decode as themselves; float32 ones may also be widened
// to float64 (as float64 arrays stored before the frame existed read back).
Result<void, CodecError> check_request(SampleType stored, SampleType wanted, uint64_t declared,
                                       uint64_t expected) {
  if (stored != wanted && !(stored == SampleType::Float32 && wanted == SampleType::Float64)) {
    return fail(decode_error(std::string("The chunk holds ") + sample_type_name(stored) +
                             " samples, not " + sample_type_name(wanted)));
  }
  if (declared != expected) {
    return fail(decode_error("The chunk holds " + std::to_string(declared) + " samples, but " +
                             std::to_string(expected) + " are expected"));
  }
  return {};
}

// One line's container into `line`: its header's count is checked against the
// line before the decoder allocates for it.
template <class T>
Result<void, CodecError> decode_line(std::span<const uint8_t> container, uint64_t line_index,
                                     std::span<T> line) {
  ASSIGN_OR_RETURN(const ContainerHeader header, parse_header(container));
  if (header.sample_count != line.size()) {
    return fail(decode_error("Line " + std::to_string(line_index) + "'s container holds " +
                             std::to_string(header.sample_count) + " samples, but the line has " +
                             std::to_string(line.size())));
  }
  ASSIGN_OR_RETURN(const std::vector<float> samples, decompress_container(container));
  for (size_t j = 0; j < line.size(); ++j) line[j] = sample_from_decoded<T>(samples[j]);
  return {};
}

template <class T>
T run_value(const KeptRun& run, SampleType stored) {
  if (stored == SampleType::Float32 && sizeof(T) == 8) {
    return static_cast<T>(load_sample<float>(run.value));
  }
  return load_sample<T>(run.value);
}

template <class T>
Result<void, CodecError> decode_frame(const FrameView& frame, uint8_t* out) {
  const LineGeometry& g = frame.geometry;
  // Lines decode straight into `out` when they lie there end to end and
  // aligned; otherwise into one buffer, moved into C order at the end.
  std::unique_ptr<T[]> buffer;
  T* lines = reinterpret_cast<T*>(out);
  const bool direct = g.inner == 1 && reinterpret_cast<uintptr_t>(out) % alignof(T) == 0;
  if (!direct) {
    buffer = std::make_unique_for_overwrite<T[]>(g.sample_count());
    lines = buffer.get();
  }
  const uint8_t* container = frame.containers;
  uint32_t next_run = 0;
  for (uint64_t l = 0; l < g.line_count(); ++l) {
    std::span<T> line(lines + l * g.length, g.length);
    const uint64_t length = frame.container_length(l);
    if (length != 0) {
      RETURN_IF_ERROR(decode_line(std::span(container, length), l, line));
      container += length;
    }
    for (; next_run < frame.run_count; ++next_run) {
      const KeptRun run = frame.run(next_run);
      if (run.line != l) break;
      std::fill_n(line.begin() + run.start, run.length, run_value<T>(run, frame.type));
    }
  }
  if (!direct) scatter_lines(lines, g, out);
  return {};
}

template <class T>
void store_bare(const std::vector<float>& samples, uint8_t* out) {
  for (size_t i = 0; i < samples.size(); ++i) {
    const T value = static_cast<T>(samples[i]);
    std::memcpy(out + i * sizeof(T), &value, sizeof(T));
  }
}

}  // namespace
}  // namespace frame

Result<ChunkDescription, CodecError> describe_chunk(std::span<const uint8_t> chunk) {
  ChunkDescription description;
  if (frame::starts_with_frame_magic(chunk)) {
    ASSIGN_OR_RETURN(frame::FrameView view, frame::parse_frame(chunk));
    description.framed = true;
    description.type = view.type;
    description.sample_count = view.geometry.sample_count();
    description.shape = std::move(view.shape);
    description.has_axis = view.axis != frame::kFlattenedAxis;
    description.axis = description.has_axis ? view.axis : 0;
    return description;
  }
  ASSIGN_OR_RETURN(const ContainerHeader header, parse_header(chunk));
  description.sample_count = header.sample_count;
  description.shape = {header.sample_count};
  description.has_axis = false;
  return description;
}

Result<void, CodecError> decode_chunk(std::span<const uint8_t> chunk, SampleType type, void* out,
                                      uint64_t sample_count) {
  if (static_cast<uint8_t>(type) >= frame::kSampleTypeCount) {
    return fail(CodecError::unsupported_configuration("Unknown sample type " +
                                                      std::to_string(static_cast<int>(type))));
  }
  auto* bytes = static_cast<uint8_t*>(out);
  if (!frame::starts_with_frame_magic(chunk)) {
    ASSIGN_OR_RETURN(const ContainerHeader header, parse_header(chunk));
    RETURN_IF_ERROR(
        frame::check_request(SampleType::Float32, type, header.sample_count, sample_count));
    ASSIGN_OR_RETURN(const std::vector<float> samples, decompress_container(chunk));
    if (type == SampleType::Float64) frame::store_bare<double>(samples, bytes);
    else frame::store_bare<float>(samples, bytes);
    return {};
  }
  ASSIGN_OR_RETURN(const frame::FrameView view, frame::parse_frame(chunk));
  RETURN_IF_ERROR(frame::check_request(view.type, type, view.geometry.sample_count(), sample_count));
  return frame::visit_sample_type(type, [&](auto sample) {
    return frame::decode_frame<decltype(sample)>(view, bytes);
  });
}

}  // namespace vdx
