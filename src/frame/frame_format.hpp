// The chunk frame's bytes: the fixed header, the shape, the line table, the
// kept-run records and the containers after them. Reading checks everything
// that can be checked without decoding, before anything is allocated for
// what the frame declares.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/result.hpp"
#include "src/codec_error.hpp"
#include "src/frame/chunk_codec.hpp"

namespace vdx::frame {

inline constexpr std::array<uint8_t, 4> kFrameMagic = {'V', 'R', 'D', 'F'};
inline constexpr uint8_t kFrameVersionMajor = 1;
inline constexpr uint8_t kFrameVersionMinor = 0;
inline constexpr size_t kFrameHeaderSize = 16;
inline constexpr uint8_t kMaxDimensions = 32;
// Stored in the axis byte when the chunk's C-order flattening is one line.
inline constexpr uint8_t kFlattenedAxis = 255;
inline constexpr size_t kLineEntrySize = 8;
inline constexpr size_t kRunHeadSize = 12;  // line, start, length; the value follows

bool starts_with_frame_magic(std::span<const uint8_t> bytes);

// A chunk as lines: `outer` blocks of `length` samples along the axis, each
// sample `inner` apart. Line l = o * inner + i holds the samples at
// (o * length + j) * inner + i, j = 0 .. length - 1.
struct LineGeometry {
  uint64_t outer = 1;
  uint64_t length = 0;
  uint64_t inner = 1;
  uint64_t line_count() const { return outer * inner; }
  uint64_t sample_count() const { return outer * length * inner; }
};

// The shape's product must fit 64 bits and a line a container's sample count.
// `axis` is kFlattenedAxis or below shape.size().
Result<LineGeometry, CodecError> line_geometry(std::span<const uint64_t> shape, uint8_t axis);

struct KeptRun {
  uint32_t line = 0;
  uint32_t start = 0;
  uint32_t length = 0;
  const uint8_t* value = nullptr;  // sample_size(type) bytes, little-endian
};

// A checked frame, read in place.
struct FrameView {
  SampleType type = SampleType::Float32;
  uint8_t axis = kFlattenedAxis;
  std::vector<uint64_t> shape;
  LineGeometry geometry;
  const uint8_t* line_table = nullptr;  // line_count entries of 8 bytes
  const uint8_t* runs = nullptr;        // run_count records
  uint32_t run_count = 0;
  size_t run_size = 0;                  // bytes per record
  const uint8_t* containers = nullptr;  // the lines' containers, in line order

  uint64_t container_length(uint64_t line) const;
  KeptRun run(uint32_t index) const;
};

// Every structural check of the frame layout document, in its order.
Result<FrameView, CodecError> parse_frame(std::span<const uint8_t> bytes);

// The header and shape of a frame about to be written; the line table and the
// run records follow, written by the caller.
void append_frame_head(std::vector<uint8_t>& out, SampleType type, uint8_t axis,
                       std::span<const uint64_t> shape, uint32_t run_count);

}  // namespace vdx::frame
