// The HDF5 filter without HDF5: its client-data layout, and the filter
// callback driven as HDF5 drives it (no HDF5 in this process, so buffers
// come from malloc, as the plugin's fallback allocates them).
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "hdf5/cd_values.hpp"
#include "hdf5/filter.hpp"

namespace vdx::h5 {
namespace {

std::vector<float> wave(size_t n) {
  std::vector<float> x(n);
  for (size_t i = 0; i < n; ++i) x[i] = std::sin(0.03f * static_cast<float>(i)) * 40.0f;
  return x;
}

// The values set_local writes for these options and a chunk.
std::vector<unsigned> stored_values(const vdx_options& options, vdx_dtype dtype,
                                    std::vector<unsigned> chunk) {
  std::vector<unsigned> values = values_from_options(options);
  values.push_back(dtype);
  values.push_back(static_cast<unsigned>(chunk.size()));
  values.insert(values.end(), chunk.begin(), chunk.end());
  return values;
}

void* malloc_copy(const void* data, size_t size) {
  void* buffer = std::malloc(size);
  std::memcpy(buffer, data, size);
  return buffer;
}

TEST(H5FilterValues, OptionsSurviveTheValuesAndMissingOnesAreDefaults) {
  vdx_options o;
  vdx_options_init(&o);
  o.method = VDX_METHOD_DB4;
  o.scale = 7;
  o.cutoff = VDX_CUTOFF_MEDIUM;
  o.coder = VDX_CODER_ARANS;
  o.has_quant_multiplier = 1;
  o.quant_multiplier = 123.25f;
  o.target = VDX_TARGET_PRD;
  o.target_value = 0.1;  // needs all 64 bits
  o.has_axis = 1;
  o.axis = -2;
  vdx_options back;
  std::string why;
  ASSERT_TRUE(options_from_values(values_from_options(o), &back, &why));
  EXPECT_EQ(std::memcmp(&back, &o, sizeof o), 0);

  vdx_options defaults;
  vdx_options_init(&defaults);
  ASSERT_TRUE(options_from_values({}, &back, &why));
  EXPECT_EQ(std::memcmp(&back, &defaults, sizeof back), 0);
  const unsigned three[] = {kLayoutVersion, VDX_METHOD_SYM4, 9};
  ASSERT_TRUE(options_from_values(three, &back, &why));
  EXPECT_EQ(back.method, VDX_METHOD_SYM4);
  EXPECT_EQ(back.scale, 9);
  EXPECT_EQ(back.coder, defaults.coder);
  EXPECT_EQ(back.has_axis, defaults.has_axis);

  const unsigned future[] = {2};
  EXPECT_FALSE(options_from_values(future, &back, &why));
  EXPECT_NE(why.find("layout 2"), std::string::npos);
}

TEST(H5FilterValues, StoredValuesThatSetLocalCouldNotHaveWrittenAreRefused) {
  vdx_options o;
  vdx_options_init(&o);
  ChunkLayout layout;
  std::string why;
  auto refused = [&](std::vector<unsigned> values) {
    why.clear();
    return !read_values(values, &o, &layout, &why) && !why.empty();
  };
  std::vector<unsigned> good = stored_values(o, VDX_INT16, {3, 5});
  ASSERT_TRUE(read_values(good, &o, &layout, &why));
  EXPECT_EQ(layout.sample_count, 15u);
  EXPECT_EQ(layout.item_size, 2u);
  EXPECT_EQ(layout.shape, (std::vector<uint64_t>{3, 5}));

  EXPECT_TRUE(refused(values_from_options(o)));                    // no type, no shape
  EXPECT_TRUE(refused(stored_values(o, static_cast<vdx_dtype>(8), {4})));
  EXPECT_TRUE(refused(stored_values(o, VDX_FLOAT32, {})));         // rank 0
  EXPECT_TRUE(refused(stored_values(o, VDX_FLOAT32, {4, 0})));     // an empty extent
  std::vector<unsigned> short_shape = good;
  short_shape.pop_back();                                          // rank 2, one extent
  EXPECT_TRUE(refused(short_shape));
  EXPECT_TRUE(refused(stored_values(o, VDX_FLOAT64,                // beyond memory
                                    {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu})));
}

TEST(H5Filter, ChunksAreTheStorageCodecsBytesAndDecodeBack) {
  vdx_options o;
  vdx_options_init(&o);
  o.has_axis = 0;
  o.scale = 10;
  const std::vector<float> x = wave(3000);
  for (vdx_dtype dtype : {VDX_FLOAT32, VDX_FLOAT64}) {
    std::vector<uint8_t> raw(x.size() * (dtype == VDX_FLOAT64 ? 8 : 4));
    for (size_t i = 0; i < x.size(); ++i) {
      if (dtype == VDX_FLOAT64) {
        const double v = x[i];
        std::memcpy(raw.data() + 8 * i, &v, 8);
      } else {
        std::memcpy(raw.data() + 4 * i, &x[i], 4);
      }
    }
    const std::vector<unsigned> values = stored_values(o, dtype, {30, 100});
    size_t buf_size = raw.size();
    void* buf = malloc_copy(raw.data(), raw.size());
    const size_t stored = filter(0, values.size(), values.data(), raw.size(), &buf_size, &buf);
    ASSERT_GT(stored, 0u);
    EXPECT_EQ(buf_size, stored);

    vdx_buffer expected{};
    const uint64_t shape[2] = {30, 100};
    ASSERT_EQ(vdx_compress_chunk(raw.data(), dtype, shape, 2, &o, &expected, nullptr), VDX_OK);
    ASSERT_EQ(expected.size, stored);
    EXPECT_EQ(std::memcmp(expected.data, buf, stored), 0);

    // Decoding gives what the C library decodes from the same bytes.
    const size_t decoded =
        filter(H5Z_FLAG_REVERSE, values.size(), values.data(), stored, &buf_size, &buf);
    ASSERT_EQ(decoded, raw.size());
    EXPECT_EQ(buf_size, raw.size());
    std::vector<uint8_t> reference(raw.size());
    ASSERT_EQ(vdx_decompress(expected.data, expected.size, dtype, reference.data(), x.size(),
                             nullptr),
              VDX_OK);
    EXPECT_EQ(std::memcmp(reference.data(), buf, raw.size()), 0);
    vdx_buffer_free(&expected);
    for (size_t i = 0; i < x.size(); ++i) {
      const double got = dtype == VDX_FLOAT64 ? static_cast<const double*>(buf)[i]
                                              : static_cast<const float*>(buf)[i];
      ASSERT_NEAR(got, x[i], 0.1) << i;  // 1.2e-3 of the range
    }
    std::free(buf);
  }
}

TEST(H5Filter, DamagedOrMismatchedChunksFailAndKeepTheBuffer) {
  vdx_options o;
  vdx_options_init(&o);
  o.has_axis = 0;
  const std::vector<float> x = wave(1000);
  const uint64_t shape[1] = {1000};
  vdx_buffer chunk{};
  ASSERT_EQ(vdx_compress_chunk(x.data(), VDX_FLOAT32, shape, 1, &o, &chunk, nullptr), VDX_OK);
  const std::vector<unsigned> values = stored_values(o, VDX_FLOAT32, {1000});
  const std::vector<unsigned> other_shape = stored_values(o, VDX_FLOAT32, {999});

  auto decode_fails = [&](std::vector<uint8_t> bytes, const std::vector<unsigned>& cd) {
    void* buf = malloc_copy(bytes.data(), bytes.size());
    void* const before = buf;
    size_t buf_size = bytes.size();
    const size_t result =
        filter(H5Z_FLAG_REVERSE, cd.size(), cd.data(), bytes.size(), &buf_size, &buf);
    const bool kept = buf == before && buf_size == bytes.size() &&
                      std::memcmp(buf, bytes.data(), bytes.size()) == 0;
    std::free(buf);
    return result == 0 && kept;
  };
  const std::vector<uint8_t> good(chunk.data, chunk.data + chunk.size);
  EXPECT_TRUE(decode_fails({good.begin(), good.end() - 9}, values));  // truncated
  EXPECT_TRUE(decode_fails({good.begin(), good.begin() + 20}, values));
  std::vector<uint8_t> bad_magic = good;
  bad_magic[1] ^= 0xFF;
  EXPECT_TRUE(decode_fails(bad_magic, values));
  EXPECT_TRUE(decode_fails(good, other_shape));  // declares 1000 samples, the chunk has 999
  EXPECT_TRUE(decode_fails(good, {values.begin(), values.end() - 1}));

  // Encoding: HDF5 hands over whole chunks; any other size is refused.
  size_t buf_size = 400;
  void* buf = malloc_copy(x.data(), 400);
  EXPECT_EQ(filter(0, values.size(), values.data(), 400, &buf_size, &buf), 0u);
  std::free(buf);
  vdx_buffer_free(&chunk);
}

TEST(H5Filter, ClassIsWhatHdf5Expects) {
  const H5Z_class2_t& c = filter_class();
  EXPECT_EQ(c.version, H5Z_CLASS_T_VERS);
  EXPECT_EQ(c.id, kFilterId);
  EXPECT_GE(c.id, 256);
  EXPECT_LE(c.id, 511);
  EXPECT_EQ(c.encoder_present, 1u);
  EXPECT_EQ(c.decoder_present, 1u);
  EXPECT_STREQ(c.name, "verdalix");
  EXPECT_EQ(c.filter, &filter);
  EXPECT_EQ(c.set_local, &set_local);
  EXPECT_EQ(c.can_apply, &can_apply);
}

}  // namespace
}  // namespace vdx::h5
