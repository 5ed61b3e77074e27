#include "src/frame/frame_format.hpp"

#include <algorithm>
#include <string>

#include "src/byte_io.hpp"
#include "src/container.hpp"
#include "src/frame/sample_types.hpp"

namespace vdx::frame {
namespace {

uint64_t load_u64le(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

void append_u32le(std::vector<uint8_t>& out, uint32_t v) {
  uint8_t bytes[4];
  store_u32le(bytes, v);
  out.insert(out.end(), bytes, bytes + 4);
}

void append_u64le(std::vector<uint8_t>& out, uint64_t v) {
  uint8_t bytes[8];
  std::memcpy(bytes, &v, sizeof v);
  out.insert(out.end(), bytes, bytes + 8);
}

CodecError frame_error(const std::string& reason) { return CodecError::decompress_failed(reason); }

std::string text(uint64_t v) { return std::to_string(v); }

// Runs sorted by line and start, inside their line, not overlapping; a line
// without a container covered entirely by its runs.
Result<void, CodecError> check_runs(const FrameView& frame) {
  const LineGeometry& g = frame.geometry;
  uint64_t line = 0;       // the line whose coverage is being counted
  uint64_t covered = 0;    // its samples covered so far
  uint64_t next_free = 0;  // first sample of `line` not yet covered
  auto finish_lines_before = [&](uint64_t stop) -> Result<void, CodecError> {
    for (; line < stop; ++line, covered = 0, next_free = 0) {
      if (frame.container_length(line) == 0 && covered != g.length) {
        return fail(frame_error("Line " + text(line) + " has no container, but its kept runs cover " +
                                text(covered) + " of its " + text(g.length) + " samples"));
      }
    }
    return {};
  };
  for (uint32_t index = 0; index < frame.run_count; ++index) {
    const KeptRun run = frame.run(index);
    if (run.line >= g.line_count() || run.line < line) {
      return fail(frame_error("Kept run " + text(index) + " names line " + text(run.line) +
                              " out of order or beyond the " + text(g.line_count()) + " lines"));
    }
    RETURN_IF_ERROR(finish_lines_before(run.line));
    const uint64_t end = uint64_t{run.start} + run.length;
    if (run.length == 0 || run.start < next_free || end > g.length) {
      return fail(frame_error("Kept run " + text(index) + " (samples " + text(run.start) + " to " +
                              text(end) + " of line " + text(run.line) +
                              ") is empty, overlaps the one before or leaves the line"));
    }
    covered += run.length;
    next_free = end;
  }
  return finish_lines_before(g.line_count());
}

}  // namespace

bool starts_with_frame_magic(std::span<const uint8_t> bytes) {
  return bytes.size() >= kFrameMagic.size() &&
         std::equal(kFrameMagic.begin(), kFrameMagic.end(), bytes.begin());
}

Result<LineGeometry, CodecError> line_geometry(std::span<const uint64_t> shape, uint8_t axis) {
  LineGeometry g;
  uint64_t count = 1;
  for (size_t d = 0; d < shape.size(); ++d) {
    if (shape[d] != 0 && count > UINT64_MAX / shape[d]) {
      return fail(frame_error("The shape's sample count does not fit 64 bits"));
    }
    count *= shape[d];
    if (axis == kFlattenedAxis) continue;
    if (d < axis) g.outer *= shape[d];
    else if (d > axis) g.inner *= shape[d];
  }
  g.length = axis == kFlattenedAxis ? count : shape[axis];
  if (count == 0) g.outer = g.inner = g.length = 0;  // no lines, no samples
  if (g.length > kMaxSampleCount) {
    return fail(frame_error("A line of " + text(g.length) + " samples is longer than a container's " +
                            text(kMaxSampleCount)));
  }
  return g;
}

uint64_t FrameView::container_length(uint64_t line) const {
  return load_u64le(line_table + line * kLineEntrySize);
}

KeptRun FrameView::run(uint32_t index) const {
  const uint8_t* p = runs + size_t{index} * run_size;
  return {load_u32le(p), load_u32le(p + 4), load_u32le(p + 8), p + kRunHeadSize};
}

Result<FrameView, CodecError> parse_frame(std::span<const uint8_t> bytes) {
  if (bytes.size() < kFrameHeaderSize || !starts_with_frame_magic(bytes)) {
    return fail(frame_error("Frame truncated: its header needs " + text(kFrameHeaderSize) +
                            " bytes, but the chunk has " + text(bytes.size())));
  }
  const uint8_t* p = bytes.data();
  if (p[4] != kFrameVersionMajor) {
    return fail(frame_error("Frame version " + text(p[4]) + "." + text(p[5]) +
                            " is not readable here (version 1 is)"));
  }
  if (p[6] >= kSampleTypeCount) return fail(frame_error("Unknown sample type " + text(p[6])));
  const uint8_t ndim = p[7];
  const uint8_t axis = p[8];
  if (ndim > kMaxDimensions) {
    return fail(frame_error("Frame has " + text(ndim) + " dimensions, at most " +
                            text(kMaxDimensions) + " are read"));
  }
  if (axis != kFlattenedAxis && axis >= ndim) {
    return fail(frame_error("Axis " + text(axis) + " is not one of the frame's " + text(ndim) +
                            " dimensions"));
  }
  FrameView frame;
  frame.type = static_cast<SampleType>(p[6]);
  frame.axis = axis;
  frame.run_count = load_u32le(p + 12);
  const size_t shape_end = kFrameHeaderSize + size_t{ndim} * 8;
  if (bytes.size() < shape_end) {
    return fail(frame_error("Frame truncated: its shape ends at byte " + text(shape_end) +
                            ", but the chunk has " + text(bytes.size())));
  }
  frame.shape.resize(ndim);
  for (uint8_t d = 0; d < ndim; ++d) frame.shape[d] = load_u64le(p + kFrameHeaderSize + d * 8);
  ASSIGN_OR_RETURN(frame.geometry, line_geometry(frame.shape, axis));
  // Sizes in 64 bits: line_count * 8 and run_count * 20 cannot overflow when
  // compared against the bytes that are there, one at a time.
  const uint64_t rest = bytes.size() - shape_end;
  const uint64_t lines = frame.geometry.line_count();
  frame.run_size = kRunHeadSize + sample_size(frame.type);
  if (lines > rest / kLineEntrySize ||
      frame.run_count > (rest - lines * kLineEntrySize) / frame.run_size) {
    return fail(frame_error("Frame truncated: " + text(lines) + " lines and " +
                            text(frame.run_count) + " kept runs do not fit its " + text(rest) +
                            " bytes after the shape"));
  }
  frame.line_table = p + shape_end;
  frame.runs = frame.line_table + lines * kLineEntrySize;
  frame.containers = frame.runs + uint64_t{frame.run_count} * frame.run_size;
  const uint64_t available = bytes.size() - static_cast<uint64_t>(frame.containers - p);
  uint64_t total = 0;
  for (uint64_t line = 0; line < lines; ++line) {
    const uint64_t length = frame.container_length(line);
    if (length > available - total) {
      return fail(frame_error("Line " + text(line) + "'s container of " + text(length) +
                              " bytes goes past the chunk's end"));
    }
    total += length;
  }
  if (total != available) {
    return fail(frame_error("The lines' containers add up to " + text(total) + " bytes, but " +
                            text(available) + " follow the frame"));
  }
  RETURN_IF_ERROR(check_runs(frame));
  return frame;
}

void append_frame_head(std::vector<uint8_t>& out, SampleType type, uint8_t axis,
                       std::span<const uint64_t> shape, uint32_t run_count) {
  out.insert(out.end(), kFrameMagic.begin(), kFrameMagic.end());
  out.push_back(kFrameVersionMajor);
  out.push_back(kFrameVersionMinor);
  out.push_back(static_cast<uint8_t>(type));
  out.push_back(static_cast<uint8_t>(shape.size()));
  out.push_back(axis);
  out.insert(out.end(), 3, 0);
  append_u32le(out, run_count);
  for (uint64_t extent : shape) append_u64le(out, extent);
}

}  // namespace vdx::frame
