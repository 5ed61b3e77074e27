// encode_chunk: lines out of the chunk, the kept runs out of each line, the
// rest compressed line by line, and the frame around it all (or the bare
// container, for a float32 chunk that is one line with nothing kept).
#include <memory>
#include <string>
#include <type_traits>

#include "src/compressor.hpp"
#include "src/container.hpp"
#include "src/frame/chunk_codec.hpp"
#include "src/frame/chunk_lines.hpp"
#include "src/frame/frame_format.hpp"
#include "src/frame/kept_runs.hpp"
#include "src/frame/line_compression.hpp"
#include "src/frame/sample_types.hpp"

namespace vdx {
namespace frame {
namespace {

using Bytes = std::vector<uint8_t>;

struct RunRecord {
  uint32_t line;
  FoundRun run;
};

Result<uint8_t, CodecError> stored_axis(std::span<const uint64_t> shape,
                                        const ChunkSettings& settings) {
  const auto ndim = static_cast<int64_t>(shape.size());
  if (ndim > kMaxDimensions) {
    return fail(CodecError::unsupported_configuration(
        "A chunk of " + std::to_string(ndim) + " dimensions has more than " +
        std::to_string(kMaxDimensions)));
  }
  // A 0-d chunk is one line of one sample whatever the axis says.
  if (!settings.has_axis || ndim == 0) return kFlattenedAxis;
  const int64_t axis = settings.axis < 0 ? settings.axis + ndim : settings.axis;
  if (axis < 0 || axis >= ndim) {
    return fail(CodecError::unsupported_configuration(
        "Axis " + std::to_string(settings.axis) + " is out of range for a chunk of " +
        std::to_string(ndim) + " dimensions"));
  }
  return static_cast<uint8_t>(axis);
}

bool is_aligned(const void* p, size_t alignment) {
  return reinterpret_cast<uintptr_t>(p) % alignment == 0;
}

Bytes assemble(SampleType type, uint8_t axis, std::span<const uint64_t> shape,
               const std::vector<Bytes>& containers, const std::vector<RunRecord>& runs) {
  const size_t value_size = sample_size(type);
  size_t total = kFrameHeaderSize + shape.size() * 8 + containers.size() * kLineEntrySize +
                 runs.size() * (kRunHeadSize + value_size);
  for (const Bytes& c : containers) total += c.size();
  Bytes out;
  out.reserve(total);
  append_frame_head(out, type, axis, shape, static_cast<uint32_t>(runs.size()));
  for (const Bytes& c : containers) {
    const uint64_t length = c.size();
    const auto* p = reinterpret_cast<const uint8_t*>(&length);
    out.insert(out.end(), p, p + 8);
  }
  for (const RunRecord& r : runs) {
    const uint32_t head[3] = {r.line, r.run.start, r.run.length};
    const auto* p = reinterpret_cast<const uint8_t*>(head);
    out.insert(out.end(), p, p + kRunHeadSize);
    // Little-endian: the value's own bytes are the low bytes of its pattern.
    const auto* value = reinterpret_cast<const uint8_t*>(&r.run.bits);
    out.insert(out.end(), value, value + value_size);
  }
  for (const Bytes& c : containers) out.insert(out.end(), c.begin(), c.end());
  return out;
}

template <class T>
Result<Bytes, CodecError> encode_typed(const uint8_t* data, SampleType type, uint8_t axis,
                                       std::span<const uint64_t> shape, const LineGeometry& g,
                                       const ChunkSettings& settings) {
  // Lines read in place when they already lie end to end and aligned;
  // otherwise one tiled copy of the chunk in line order.
  std::unique_ptr<T[]> gathered;
  const T* lines = reinterpret_cast<const T*>(data);
  if (g.inner != 1 || !is_aligned(data, alignof(T))) {
    gathered = std::make_unique_for_overwrite<T[]>(g.sample_count());
    gather_lines(data, g, gathered.get());
    lines = gathered.get();
  }
  const auto length = static_cast<uint32_t>(g.length);
  std::vector<uint8_t> kept(length);
  std::vector<float> work(length);
  std::vector<FoundRun> found;
  std::vector<RunRecord> runs;
  std::vector<Bytes> containers(g.line_count());
  LineCompressor compressor(settings);
  for (uint64_t l = 0; l < g.line_count(); ++l) {
    const T* line = lines + l * g.length;
    found.clear();
    find_kept_runs(line, length, found, kept);
    if (runs.size() + found.size() > UINT32_MAX) {
      return fail(CodecError::unsupported_configuration("A chunk has more than 2^32 - 1 kept runs"));
    }
    for (const FoundRun& run : found) runs.push_back({static_cast<uint32_t>(l), run});
    if constexpr (std::is_same_v<T, float>) {
      // Nothing to fill: the line itself is what the codec compresses.
      if (found.empty()) {
        ASSIGN_OR_RETURN(containers[l],
                         compressor.compress(std::span(line, length), line, kept));
        continue;
      }
    }
    for (uint32_t j = 0; j < length; ++j) work[j] = working_value(line[j]);
    if (!fill_kept(work, kept)) continue;  // every sample kept: no container
    ASSIGN_OR_RETURN(containers[l], compressor.compress(work, line, kept));
  }
  if (type == SampleType::Float32 && g.line_count() == 1 && runs.empty()) {
    return std::move(containers[0]);
  }
  return assemble(type, axis, shape, containers, runs);
}

}  // namespace
}  // namespace frame

Result<std::vector<uint8_t>, CodecError> encode_chunk(const void* data, SampleType type,
                                                      std::span<const uint64_t> shape,
                                                      const ChunkSettings& settings) {
  if (static_cast<uint8_t>(type) >= frame::kSampleTypeCount) {
    return fail(CodecError::unsupported_configuration("Unknown sample type " +
                                                      std::to_string(static_cast<int>(type))));
  }
  ASSIGN_OR_RETURN(const uint8_t axis, frame::stored_axis(shape, settings));
  auto geometry = frame::line_geometry(shape, axis);
  if (!geometry.ok()) return fail(CodecError::unsupported_configuration(geometry.error().text()));
  return frame::visit_sample_type(type, [&](auto sample) {
    using T = decltype(sample);
    return frame::encode_typed<T>(static_cast<const uint8_t*>(data), type, axis, shape,
                                  *geometry, settings);
  });
}

}  // namespace vdx
