// The C boundary's translation of failures: every codec error kind to its
// status, exceptions to statuses, messages cut to the caller's buffer.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "capi/boundary.hpp"

namespace vdx::capi {
namespace {

TEST(CapiBoundary, EveryCodecErrorKindHasItsStatus) {
  const uint8_t tag[4] = {'a', 'b', 'c', 'd'};
  const struct {
    CodecError error;
    vdx_status status;
  } cases[] = {
      {CodecError::bad_magic(tag), VDX_ERROR_NOT_VERDALIX},
      {CodecError::invalid_version(std::span<const uint8_t, 2>(tag, 2)), VDX_ERROR_VERSION},
      {CodecError::invalid_method_tag(tag), VDX_ERROR_CORRUPT},
      {CodecError::invalid_format_tag(std::span<const uint8_t, 2>(tag, 2)), VDX_ERROR_CORRUPT},
      {CodecError::invalid_header(), VDX_ERROR_CORRUPT},
      {CodecError::decompress_failed("x"), VDX_ERROR_CORRUPT},
      {CodecError::unknown_coder(7), VDX_ERROR_CORRUPT},
      {CodecError::unsupported_scale(3), VDX_ERROR_CORRUPT},
      {CodecError::unsupported_configuration("x"), VDX_ERROR_UNSUPPORTED},
      {CodecError::target_unreachable("x"), VDX_ERROR_UNSUPPORTED},
      {CodecError::out_of_memory(5), VDX_ERROR_OUT_OF_MEMORY},
      {CodecError::transform_failed("x"), VDX_ERROR_INTERNAL},
      {CodecError::compress_io("x"), VDX_ERROR_INTERNAL},
  };
  for (const auto& c : cases) {
    vdx_error error{};
    EXPECT_EQ(report(&error, c.error), c.status) << c.error.message();
    EXPECT_EQ(error.status, c.status);
    EXPECT_EQ(std::string(error.message), c.error.message());
  }
}

TEST(CapiBoundary, ExceptionsBecomeStatuses) {
  vdx_error error{};
  EXPECT_EQ(guarded(&error, []() -> vdx_status { throw std::bad_alloc(); }),
            VDX_ERROR_OUT_OF_MEMORY);
  EXPECT_EQ(error.status, VDX_ERROR_OUT_OF_MEMORY);
  EXPECT_EQ(guarded(&error, []() -> vdx_status { throw std::runtime_error("broken"); }),
            VDX_ERROR_INTERNAL);
  EXPECT_STREQ(error.message, "broken");
  EXPECT_EQ(guarded(nullptr, []() -> vdx_status { throw 42; }), VDX_ERROR_INTERNAL);
  EXPECT_EQ(guarded(&error, [] { return VDX_OK; }), VDX_OK);
}

TEST(CapiBoundary, LongMessagesAreCutAtACharacterBoundary) {
  vdx_error error{};
  // 254 ASCII bytes, then a 3-byte character that does not fit in 255.
  const std::string text = std::string(254, 'a') + "\xE2\x82\xAC" + "tail";
  report(&error, VDX_ERROR_CORRUPT, text);
  EXPECT_EQ(std::string(error.message), std::string(254, 'a'));
  const std::string fits = std::string(252, 'b') + "\xE2\x82\xAC";
  report(&error, VDX_ERROR_CORRUPT, fits + "more");
  EXPECT_EQ(std::string(error.message), fits);
  EXPECT_EQ(report(nullptr, VDX_ERROR_VERSION, "ignored"), VDX_ERROR_VERSION);
}

}  // namespace
}  // namespace vdx::capi
