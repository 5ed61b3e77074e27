// The chunk frame: which chunks stay bare containers, what each line's
// container is, the samples kept exactly, integer samples, and what a reader
// refuses before it allocates.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "src/compressor.hpp"
#include "src/container.hpp"
#include "src/decompressor.hpp"
#include "src/frame/chunk_codec.hpp"
#include "src/frame/frame_format.hpp"
#include "src/frame/kept_runs.hpp"
#include "tests/cpp/allocation_probe.hpp"
#include "tests/cpp/signals.hpp"

namespace vdx {
namespace {

using testing::make_signal;
using testing::Shape;
using Bytes = std::vector<uint8_t>;

ChunkSettings along(int32_t axis) {
  ChunkSettings settings;
  settings.axis = axis;
  return settings;
}

ChunkSettings flattened() {
  ChunkSettings settings;
  settings.has_axis = false;
  return settings;
}

Bytes encode(const void* data, SampleType type, std::vector<uint64_t> shape,
             const ChunkSettings& settings) {
  auto chunk = encode_chunk(data, type, shape, settings);
  EXPECT_TRUE(chunk.ok()) << (chunk.ok() ? "" : chunk.error().message());
  return chunk.ok() ? chunk.value() : Bytes{};
}

template <class T>
std::vector<T> decode(const Bytes& chunk, SampleType type, size_t count) {
  std::vector<T> out(count);
  auto done = decode_chunk(chunk, type, out.data(), count);
  EXPECT_TRUE(done.ok()) << done.error().message();
  return out;
}

std::vector<float> round_trip(std::span<const float> line) {
  return decompress_container(compress_samples(line, CodecOptions{}).value()).value();
}

TEST(ChunkFrame, OneFloat32LineWithNothingKeptIsCompressSignalsContainer) {
  const std::vector<float> x = make_signal(Shape::Tones, 3000);
  const Bytes expected = compress_samples(x, CodecOptions{}).value();
  EXPECT_EQ(encode(x.data(), SampleType::Float32, {3000}, along(-1)), expected);
  EXPECT_EQ(encode(x.data(), SampleType::Float32, {1, 3000}, along(-1)), expected);
  EXPECT_EQ(encode(x.data(), SampleType::Float32, {3000, 1}, along(0)), expected);
  EXPECT_EQ(encode(x.data(), SampleType::Float32, {3, 1000}, flattened()), expected);
  const float one = 2.5f;
  EXPECT_EQ(encode(&one, SampleType::Float32, {}, along(-1)),
            compress_samples(std::span(&one, 1), CodecOptions{}).value());
  // float64 needs the frame to say so, even as one line.
  const std::vector<double> wide(x.begin(), x.end());
  EXPECT_TRUE(frame::starts_with_frame_magic(encode(wide.data(), SampleType::Float64, {3000},
                                                    along(-1))));
}

TEST(ChunkFrame, EachLineIsItsOwnSignalAlongEitherAxis) {
  // Four channels of very different amplitude, (channels, time) and its
  // transpose: each line decodes as its own container would.
  const size_t channels = 4, n = 2000;
  std::vector<float> rows(channels * n), cols(channels * n);
  for (size_t c = 0; c < channels; ++c) {
    const std::vector<float> x = make_signal(c % 2 ? Shape::Walk : Shape::Tones, n, 3 + c);
    const float gain = std::pow(10.0f, 3.0f * static_cast<float>(c) - 3.0f);
    for (size_t j = 0; j < n; ++j) rows[c * n + j] = cols[j * channels + c] = x[j] * gain;
  }
  const Bytes by_row = encode(rows.data(), SampleType::Float32, {channels, n}, along(-1));
  const Bytes by_col = encode(cols.data(), SampleType::Float32, {n, channels}, along(0));
  const auto from_rows = decode<float>(by_row, SampleType::Float32, rows.size());
  const auto from_cols = decode<float>(by_col, SampleType::Float32, cols.size());
  for (size_t c = 0; c < channels; ++c) {
    const auto expected = round_trip(std::span(rows).subspan(c * n, n));
    for (size_t j = 0; j < n; ++j) {
      ASSERT_EQ(from_rows[c * n + j], expected[j]) << c << " " << j;
      ASSERT_EQ(from_cols[j * channels + c], expected[j]) << c << " " << j;
    }
  }
  auto description = describe_chunk(by_col);
  ASSERT_TRUE(description.ok());
  EXPECT_TRUE(description->framed);
  EXPECT_EQ(description->shape, (std::vector<uint64_t>{n, channels}));
  EXPECT_TRUE(description->has_axis);
  EXPECT_EQ(description->axis, 0u);
  // A 3-d chunk along its middle axis, and unaligned input and output.
  std::vector<uint8_t> shifted(rows.size() * 4 + 1);
  std::memcpy(shifted.data() + 1, rows.data(), rows.size() * 4);
  const Bytes middle = encode(shifted.data() + 1, SampleType::Float32, {2, n, 2}, along(1));
  std::vector<uint8_t> out(rows.size() * 4 + 1);
  ASSERT_TRUE(decode_chunk(middle, SampleType::Float32, out.data() + 1, rows.size()).ok());
  const Bytes aligned = encode(rows.data(), SampleType::Float32, {2, n, 2}, along(1));
  EXPECT_EQ(middle, aligned);
  EXPECT_EQ(std::memcmp(out.data() + 1, decode<float>(aligned, SampleType::Float32,
                                                       rows.size()).data(), rows.size() * 4), 0);
}

TEST(ChunkFrame, NonFiniteSamplesAndLongRunsComeBackBitForBit) {
  std::vector<double> x(3000);
  for (size_t i = 0; i < x.size(); ++i) x[i] = 1e6 + std::sin(0.01 * static_cast<double>(i));
  const double payload_nan = std::bit_cast<double>(uint64_t{0x7ff8000000000123});
  x[0] = payload_nan;                      // NaN at the start
  x[10] = std::numeric_limits<double>::infinity();
  x[11] = -std::numeric_limits<double>::infinity();
  x[12] = 1e300;                           // finite, but infinite as float32
  for (size_t i = 2000; i < 3000; ++i) x[i] = 0.0;  // padding: a long run to the end
  for (size_t i = 500; i < 563; ++i) x[i] = 1e6 + 0.5;  // 63: one short of a kept run
  const Bytes chunk = encode(x.data(), SampleType::Float64, {x.size()}, along(-1));
  const auto y = decode<double>(chunk, SampleType::Float64, x.size());
  for (size_t i : {0, 10, 11, 12}) {
    EXPECT_EQ(std::bit_cast<uint64_t>(y[i]), std::bit_cast<uint64_t>(x[i])) << i;
  }
  double worst = 0.0;
  for (size_t i = 2000; i < 3000; ++i) ASSERT_EQ(std::bit_cast<uint64_t>(y[i]), 0u) << i;
  for (size_t i = 13; i < 2000; ++i) worst = std::max(worst, std::abs(y[i] - x[i]));
  // The padding and the gaps do not widen the range: the error is that of
  // the data alone, about 2 / 2^11 of the 1e6 + [-1, 1] signal plus float32's
  // spacing at 1e6 (0.0625) for the short constant stretch.
  EXPECT_LT(worst, 0.1);
  // Adjacent runs, a line of only NaN, and NaN at both ends of a line.
  std::vector<float> f(2 * 500, std::nanf(""));
  for (size_t j = 1; j + 1 < 500; ++j) f[500 + j] = std::sin(0.1f * static_cast<float>(j));
  f[600] = std::numeric_limits<float>::infinity();
  const Bytes two = encode(f.data(), SampleType::Float32, {2, 500}, along(-1));
  const auto g = decode<float>(two, SampleType::Float32, f.size());
  for (size_t i = 0; i < f.size(); ++i) {
    if (!std::isfinite(f[i])) ASSERT_EQ(std::bit_cast<uint32_t>(g[i]), std::bit_cast<uint32_t>(f[i]));
    else ASSERT_NEAR(g[i], f[i], 2e-3) << i;
  }
}

TEST(ChunkFrame, KeptStretchesAreFilledWithTheLineBetweenTheirNeighbours) {
  // A gap of 3 between 1 and 9, one touching each end, and runs found by
  // bit pattern: -0.0 is not 0.0, and 63 repeats are not a run.
  std::vector<float> line = {NAN, NAN, 1.0f, NAN, INFINITY, NAN, 9.0f, 5.0f, -INFINITY};
  std::vector<uint8_t> kept(line.size());
  std::vector<frame::FoundRun> runs;
  frame::find_kept_runs(line.data(), static_cast<uint32_t>(line.size()), runs, kept);
  ASSERT_EQ(runs.size(), 5u);  // the leading NaN pair is one run
  EXPECT_EQ(runs[0].length, 2u);
  std::vector<float> work = line;
  ASSERT_TRUE(frame::fill_kept(work, kept));
  const std::vector<float> filled = {1.0f, 1.0f, 1.0f, 1.0f + 8.0f * (1.0f / 4.0f),
                                     1.0f + 8.0f * (2.0f / 4.0f), 1.0f + 8.0f * (3.0f / 4.0f),
                                     9.0f, 5.0f, 5.0f};
  EXPECT_EQ(work, filled);
  std::vector<float> zeros(127, 0.0f);
  zeros[63] = -0.0f;  // splits 127 zeros into 63 + 1 + 63: no run at all
  runs.clear();
  kept.assign(zeros.size(), 0);
  frame::find_kept_runs(zeros.data(), 127, runs, kept);
  EXPECT_TRUE(runs.empty());
  zeros[63] = 0.0f;
  frame::find_kept_runs(zeros.data(), 127, runs, kept);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].length, 127u);
  std::vector<float> all_kept(70, 2.0f);
  kept.assign(70, 1);
  EXPECT_FALSE(frame::fill_kept(all_kept, kept));
}

template <class T>
void check_integer_type(SampleType type) {
  constexpr T lo = std::numeric_limits<T>::min(), hi = std::numeric_limits<T>::max();
  std::vector<T> x(1500);
  const double span = static_cast<double>(hi) - static_cast<double>(lo);
  for (size_t i = 0; i < x.size(); ++i) {
    const double phase = 0.5 + 0.5 * std::sin(0.02 * static_cast<double>(i));
    x[i] = static_cast<T>(std::llround(static_cast<double>(lo) + span * phase * 0.999));
  }
  x[0] = lo, x[1] = hi, x[700] = hi;  // the extremes, alone
  const Bytes chunk = encode(x.data(), type, {3, 500}, along(-1));
  const auto y = decode<T>(chunk, type, x.size());
  EXPECT_EQ(y[0], lo);  // clipped, never wrapped
  double worst = 0.0;
  for (size_t i = 0; i < x.size(); ++i) {
    worst = std::max(worst, std::abs(static_cast<double>(y[i]) - static_cast<double>(x[i])));
  }
  // Default options quantise each line on a 2^11 grid of its range.
  EXPECT_LE(worst, span * 2.0 / 2048.0 + 1.0) << static_cast<int>(type);
  const std::vector<T> constant(700, hi);  // one long run: kept, exact
  EXPECT_EQ(decode<T>(encode(constant.data(), type, {700}, along(-1)), type, 700), constant);
  const std::vector<T> short_constant(40, lo);  // no run, but a constant line decodes exactly
  EXPECT_EQ(decode<T>(encode(short_constant.data(), type, {40}, along(-1)), type, 40),
            short_constant);
}

TEST(ChunkFrame, IntegersRoundToNearestAndClipToTheirRange) {
  check_integer_type<int8_t>(SampleType::Int8);
  check_integer_type<uint8_t>(SampleType::Uint8);
  check_integer_type<int16_t>(SampleType::Int16);
  check_integer_type<uint16_t>(SampleType::Uint16);
  check_integer_type<int32_t>(SampleType::Int32);
  check_integer_type<uint32_t>(SampleType::Uint32);
}

TEST(ChunkFrame, DecodingChecksTypeAndCountFirst) {
  const std::vector<int16_t> x(1000, 3);
  const Bytes chunk = encode(x.data(), SampleType::Int16, {2, 500}, along(-1));
  std::vector<int16_t> out(1000);
  EXPECT_EQ(decode_chunk(chunk, SampleType::Int16, out.data(), 999).error().message(),
            "Can't decompress data, reason: The chunk holds 1000 samples, but 999 are expected");
  EXPECT_EQ(decode_chunk(chunk, SampleType::Float32, out.data(), 1000).error().message(),
            "Can't decompress data, reason: The chunk holds int16 samples, not float32");
  // A bare float32 container widens to float64, as stores written before the
  // frame read back.
  const std::vector<float> f = make_signal(Shape::Walk, 800);
  const Bytes bare = compress_samples(f, CodecOptions{}).value();
  const auto narrow = decode<float>(bare, SampleType::Float32, f.size());
  const auto wide = decode<double>(bare, SampleType::Float64, f.size());
  for (size_t i = 0; i < f.size(); ++i) ASSERT_EQ(wide[i], static_cast<double>(narrow[i]));
  auto description = describe_chunk(bare);
  ASSERT_TRUE(description.ok());
  EXPECT_FALSE(description->framed);
  EXPECT_EQ(description->sample_count, f.size());
}

// A frame of two int16 lines (one kept run in the second) to be damaged.
Bytes small_frame() {
  std::vector<int16_t> x(2 * 300);
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<int16_t>(100 * std::sin(0.05 * i));
  for (size_t i = 400; i < 500; ++i) x[i] = -7;
  return encode(x.data(), SampleType::Int16, {2, 300}, along(-1));
}

std::string refusal(const Bytes& chunk, uint64_t count = 600) {
  auto described = describe_chunk(chunk);
  std::vector<int16_t> out(count);
  auto decoded = decode_chunk(chunk, SampleType::Int16, out.data(), count);
  EXPECT_FALSE(decoded.ok());
  if (described.ok()) return decoded.ok() ? "" : decoded.error().message();
  EXPECT_EQ(described.error().message(), decoded.error().message());
  return described.error().message();
}

void put_u64(Bytes& chunk, size_t at, uint64_t v) { std::memcpy(chunk.data() + at, &v, 8); }
void put_u32(Bytes& chunk, size_t at, uint32_t v) { std::memcpy(chunk.data() + at, &v, 4); }

TEST(ChunkFrame, DamagedFramesAreRefusedBeforeAnythingIsAllocatedForThem) {
  const Bytes good = small_frame();
  ASSERT_EQ(decode<int16_t>(good, SampleType::Int16, 600).size(), 600u);
  // Layout: header 16, shape 2 x 8, line table 2 x 8 at 32, one run of 14 at 48.
  const std::string prefix = "Can't decompress data, reason: ";
  for (size_t cut = 4; cut < good.size(); ++cut) {
    EXPECT_FALSE(refusal(Bytes(good.begin(), good.begin() + cut)).empty()) << cut;
  }
  Bytes longer = good;
  longer.push_back(0);
  EXPECT_EQ(refusal(longer), prefix + "The lines' containers add up to " +
                                 std::to_string(good.size() - 62) + " bytes, but " +
                                 std::to_string(good.size() - 61) + " follow the frame");
  Bytes version = good;
  version[4] = 2;
  EXPECT_EQ(refusal(version), prefix + "Frame version 2.0 is not readable here (version 1 is)");
  Bytes type = good;
  type[6] = 8;
  EXPECT_EQ(refusal(type), prefix + "Unknown sample type 8");
  Bytes axis = good;
  axis[8] = 2;
  EXPECT_EQ(refusal(axis), prefix + "Axis 2 is not one of the frame's 2 dimensions");
  // A shape declaring 2^40 lines: the line table cannot be there.
  Bytes lines = good;
  put_u64(lines, 16, uint64_t{1} << 40);
  EXPECT_NE(refusal(lines).find("do not fit"), std::string::npos);
  Bytes overflow = good;
  put_u64(overflow, 16, uint64_t{1} << 40);
  put_u64(overflow, 24, uint64_t{1} << 40);
  EXPECT_EQ(refusal(overflow), prefix + "The shape's sample count does not fit 64 bits");
  Bytes swapped = good;  // line lengths that do not add up
  put_u64(swapped, 32, 10);
  EXPECT_NE(refusal(swapped).find("add up to"), std::string::npos);
  Bytes outside = good;  // the run leaves its line
  put_u32(outside, 52, 250);
  EXPECT_NE(refusal(outside).find("leaves the line"), std::string::npos);
  // A second line with no container, covered by nothing: claim its bytes for
  // the first line's entry so the total still adds up.
  Bytes uncovered = good;
  uint64_t first, second;
  std::memcpy(&first, good.data() + 32, 8);
  std::memcpy(&second, good.data() + 40, 8);
  put_u64(uncovered, 32, first + second);
  put_u64(uncovered, 40, 0);
  EXPECT_EQ(refusal(uncovered),
            prefix + "Line 1 has no container, but its kept runs cover 100 of its 300 samples");
  // One line of 2^31 - 1 samples made of one kept run, in a 62-byte frame:
  // described without allocating, refused for a smaller count before decoding.
  Bytes huge;
  const uint64_t shape[1] = {kMaxSampleCount};
  frame::append_frame_head(huge, SampleType::Int16, 0, shape, 1);
  huge.resize(huge.size() + 8 + 14);
  put_u32(huge, 32, 0);
  put_u32(huge, 36, 0);
  put_u32(huge, 40, kMaxSampleCount);
  const size_t largest = testing::largest_allocation_during([&] {
    EXPECT_EQ(describe_chunk(huge).value().sample_count, kMaxSampleCount);
    std::vector<int16_t> out(600);
    EXPECT_FALSE(decode_chunk(huge, SampleType::Int16, out.data(), 600).ok());
  });
  EXPECT_LT(largest, 4096u);
}

}  // namespace
}  // namespace vdx

namespace vdx {
namespace {

ChunkSettings target_of(TargetKind kind, double value, int32_t axis = -1) {
  ChunkSettings settings;
  settings.has_target = true;
  settings.target.kind = kind;
  settings.target.value = value;
  settings.axis = axis;
  return settings;
}

TEST(ChunkFrameTargets, FloatTargetsHoldOnTheWrittenSamplesOfEveryLine) {
  // Two channels of very different scale, time-major, the second padded with
  // zeros (a kept run) and holding a NaN: max_error holds on each channel's
  // written samples, whatever the padding.
  const size_t n = 3000;
  std::vector<double> x(2 * n);
  const auto a = make_signal(Shape::Tones, n, 1), b = make_signal(Shape::Tones, n, 2);
  for (size_t j = 0; j < n; ++j) {
    x[2 * j] = 1e-3 * a[j];
    x[2 * j + 1] = j < 2000 ? 1e3 + b[j] : 0.0;
  }
  x[2 * 10 + 1] = NAN;
  for (double bound : {5e-4, 1e-2}) {
    const Bytes chunk = encode(x.data(), SampleType::Float64, {n, 2}, target_of(TargetKind::MaxError,
                                                                                bound, 0));
    const auto y = decode<double>(chunk, SampleType::Float64, x.size());
    double worst[2] = {0.0, 0.0};
    for (size_t i = 0; i < x.size(); ++i) {
      if (std::isnan(x[i])) {
        ASSERT_TRUE(std::isnan(y[i]));
        continue;
      }
      worst[i % 2] = std::max(worst[i % 2], std::abs(y[i] - x[i]));
    }
    // Each channel is within the bound on its own scale.
    EXPECT_LE(worst[0], bound);
    EXPECT_LE(worst[1], bound);
    EXPECT_GT(worst[0] + worst[1], 0.0);
  }
}

template <class T>
std::vector<double> errors_in_counts(const std::vector<T>& x, const std::vector<T>& y) {
  std::vector<double> d(x.size());
  for (size_t i = 0; i < x.size(); ++i) d[i] = std::abs(double(y[i]) - double(x[i]));
  return d;
}

TEST(ChunkFrameTargets, IntegerTargetsAreInCountsAfterRounding) {
  std::vector<int16_t> x(4 * 2000);
  const auto s = make_signal(Shape::Tones, x.size(), 5);
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<int16_t>(std::lround(900.0f * s[i]));
  for (double bound : {0.49, 1.0, 3.7}) {
    const Bytes chunk = encode(x.data(), SampleType::Int16, {4, 2000},
                               target_of(TargetKind::MaxError, bound));
    const auto y = decode<int16_t>(chunk, SampleType::Int16, x.size());
    const auto d = errors_in_counts(x, y);
    EXPECT_LE(*std::max_element(d.begin(), d.end()), std::floor(bound)) << bound;
  }
  for (double rms : {0.3, 2.0}) {
    const Bytes chunk = encode(x.data(), SampleType::Int16, {4, 2000},
                               target_of(TargetKind::RmsError, rms));
    const auto y = decode<int16_t>(chunk, SampleType::Int16, x.size());
    const auto d = errors_in_counts(x, y);
    for (size_t line = 0; line < 4; ++line) {
      double squares = 0.0;
      for (size_t j = 0; j < 2000; ++j) squares += d[line * 2000 + j] * d[line * 2000 + j];
      EXPECT_LE(std::sqrt(squares / 2000.0), rms) << rms << " " << line;
    }
  }
  // int32 beyond 2^24 has no exact float32: exact integers are out of reach.
  std::vector<int32_t> big(500);
  for (size_t i = 0; i < big.size(); ++i) big[i] = (1 << 28) + static_cast<int32_t>(i * 7);
  auto refused = encode_chunk(big.data(), SampleType::Int32, std::vector<uint64_t>{500},
                              target_of(TargetKind::MaxError, 0.4));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind(), CodecErrorKind::TargetUnreachable);
}

}  // namespace
}  // namespace vdx
