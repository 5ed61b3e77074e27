// Container header and codec errors: every check, its message and its order.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "src/byte_io.hpp"
#include "src/codec_error.hpp"
#include "src/container.hpp"

namespace vdx {
namespace {

HeaderFields sample_fields() {
  HeaderFields f;
  f.method = WaveletMethod::Cdf97;
  f.levels = 6;
  f.scale = 11;
  f.coder_id = 2;
  f.sample_count = 1000;
  f.min_value = -1.5f;
  f.max_value = 2.25f;
  f.mean_value = 0.4375f;
  f.payload_length = 3;
  f.multiplier = 2048.0f;
  return f;
}

std::vector<uint8_t> sample_container(const HeaderFields& f = sample_fields()) {
  std::vector<uint8_t> bytes(kHeaderSize + f.payload_length, 0xAB);
  write_header(f, std::span<uint8_t, kHeaderSize>(bytes.data(), kHeaderSize));
  return bytes;
}

std::string parse_message(const std::vector<uint8_t>& bytes) {
  auto parsed = parse_header(bytes);
  if (parsed.ok()) return "ok";
  return parsed.error().message();
}

std::string full_message(const std::vector<uint8_t>& bytes) {
  auto parsed = parse_header(bytes);
  if (!parsed.ok()) return parsed.error().message();
  auto checked = check_container(*parsed, bytes);
  return checked.ok() ? "ok" : checked.error().message();
}

TEST(ContainerHeader, WritesTheDocumentedBytes) {
  auto bytes = sample_container();
  const std::array<uint8_t, 16> head = {'V', 'R', 'D', 'X', 1, 2, 'f', '3',
                                        'c', 'f', '9', '7', 6, 11, 2, 0};
  EXPECT_TRUE(std::equal(head.begin(), head.end(), bytes.begin()));
  EXPECT_EQ(load_u32le(&bytes[16]), 1000u);
  EXPECT_EQ(load_u32le(&bytes[32]), 3u);
  // 2048.0 is 00 00 00 45 on the wire.
  EXPECT_EQ(bytes[36], 0x00);
  EXPECT_EQ(bytes[37], 0x00);
  EXPECT_EQ(bytes[38], 0x00);
  EXPECT_EQ(bytes[39], 0x45);
  for (size_t i = 40; i < 52; ++i) EXPECT_EQ(bytes[i], 0) << i;
}

TEST(ContainerHeader, RoundTripsEveryFieldForEveryMethod) {
  const char* const tags[] = {"cf53", "cf97", "db04", "sym4"};
  for (int m = 0; m < 4; ++m) {
    HeaderFields f = sample_fields();
    f.method = static_cast<WaveletMethod>(m);
    f.levels = static_cast<uint8_t>(m + 1);
    f.scale = static_cast<uint8_t>(6 + m);
    f.coder_id = static_cast<uint8_t>(m % 3);
    f.sample_count = 0x7FFFFFFFu - m;
    f.min_value = -0.0f;
    f.max_value = std::numeric_limits<float>::denorm_min();
    f.mean_value = -3.0e38f;
    f.multiplier = std::numeric_limits<float>::quiet_NaN();
    auto bytes = sample_container(f);
    EXPECT_EQ(0, std::memcmp(&bytes[8], tags[m], 4));
    auto h = parse_header(bytes);
    ASSERT_TRUE(h.ok()) << h.error().message();
    EXPECT_EQ(h->method, f.method);
    EXPECT_EQ(h->levels, f.levels);
    EXPECT_EQ(h->scale, f.scale);
    EXPECT_EQ(h->coder_id, f.coder_id);
    EXPECT_EQ(h->sample_count, f.sample_count);
    EXPECT_EQ(std::bit_cast<uint32_t>(h->min_value), 0x80000000u);
    EXPECT_EQ(h->max_value, f.max_value);
    EXPECT_EQ(h->mean_value, f.mean_value);
    EXPECT_EQ(h->payload_length, f.payload_length);
    EXPECT_TRUE(std::isnan(h->multiplier));
    EXPECT_EQ(h->version_minor, 2);
  }
}

TEST(ContainerHeader, ShortInputIsInvalidWhateverItHolds) {
  auto bytes = sample_container();
  EXPECT_EQ(parse_message({}), "Header is invalid");
  EXPECT_EQ(parse_message(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 51)),
            "Header is invalid");
  std::vector<uint8_t> garbage(51, 0xFF);
  EXPECT_EQ(parse_message(garbage), "Header is invalid");
}

TEST(ContainerHeader, ByteGroupsRenderAsTextOrQuestionMarks) {
  auto bytes = sample_container();
  std::memcpy(bytes.data(), "ABCD", 4);
  EXPECT_EQ(parse_message(bytes), "Magic should be 'VRDX' but it was 'ABCD'");
  std::memset(bytes.data(), 0xFF, 4);
  EXPECT_EQ(parse_message(bytes), "Magic should be 'VRDX' but it was '????'");
  const uint8_t high[] = {0x80, 0x81, 0x82, 0x83};
  std::memcpy(bytes.data(), high, 4);
  EXPECT_EQ(parse_message(bytes), "Magic should be 'VRDX' but it was '????'");
  // A valid two-byte sequence followed by a stray continuation byte: the
  // whole group is replaced, not just the bad byte.
  const uint8_t mixed[] = {'V', 0xC3, 0xA9, 0x80};
  std::memcpy(bytes.data(), mixed, 4);
  EXPECT_EQ(parse_message(bytes), "Magic should be 'VRDX' but it was '????'");
  const uint8_t accented[] = {'V', 'R', 0xC3, 0xA9};
  std::memcpy(bytes.data(), accented, 4);
  EXPECT_EQ(parse_message(bytes), "Magic should be 'VRDX' but it was 'VR\xC3\xA9'");
}

TEST(ContainerHeader, VersionShowsBothBytesButTestsOnlyTheFirst) {
  auto bytes = sample_container();
  bytes[5] = 0xFF;
  EXPECT_EQ(full_message(bytes), "ok");
  bytes[5] = 2;
  bytes[4] = 2;
  EXPECT_EQ(parse_message(bytes), std::string("Invalid header version '\x02\x02'"));
  bytes[4] = 0;
  bytes[5] = 0;
  // NUL is inserted as it is: the message keeps its full length.
  std::string expected = "Invalid header version '";
  expected.push_back('\0');
  expected.push_back('\0');
  expected += "'";
  EXPECT_EQ(parse_message(bytes), expected);
  bytes[4] = 0xFE;
  EXPECT_EQ(parse_message(bytes), "Invalid header version '??'");
}

TEST(ContainerHeader, FormatAndMethodTags) {
  auto bytes = sample_container();
  bytes[7] = '6';
  EXPECT_EQ(parse_message(bytes), "Invalid compression method 'f6'");
  bytes[6] = 0xC0;
  EXPECT_EQ(parse_message(bytes), "Invalid compression method '??'");
  bytes = sample_container();
  std::memcpy(&bytes[8], "db4 ", 4);
  EXPECT_EQ(parse_message(bytes), "Invalid compression method 'db4 '");
  std::memcpy(&bytes[8], "cdf9", 4);
  EXPECT_EQ(parse_message(bytes), "Invalid compression method 'cdf9'");
  std::memcpy(&bytes[8], "\xF0\x9F\x98\x80", 4);  // one four-byte character
  EXPECT_EQ(parse_message(bytes), "Invalid compression method '\xF0\x9F\x98\x80'");
}

TEST(ContainerHeader, ScaleCoderAndFiniteValues) {
  auto bytes = sample_container();
  bytes[13] = 13;
  EXPECT_EQ(parse_message(bytes), "Only scaled 6..12 is supported, but it was 13");
  bytes[13] = 5;
  EXPECT_EQ(parse_message(bytes), "Only scaled 6..12 is supported, but it was 5");
  bytes[13] = 6;
  bytes[14] = 3;
  EXPECT_EQ(parse_message(bytes), "Unknown entropy coder 3");
  bytes[14] = 0;
  for (size_t offset : {20u, 24u, 28u}) {
    auto copy = bytes;
    store_f32le(&copy[offset], std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(parse_message(copy), "Header is invalid") << offset;
    store_f32le(&copy[offset], -std::numeric_limits<float>::infinity());
    EXPECT_EQ(parse_message(copy), "Header is invalid") << offset;
  }
}

TEST(ContainerHeader, FirstFailingCheckDecides) {
  auto bytes = sample_container();
  std::memcpy(bytes.data(), "ABCD", 4);
  bytes[4] = 9;
  bytes[13] = 99;
  EXPECT_EQ(parse_message(bytes), "Magic should be 'VRDX' but it was 'ABCD'");
  std::memcpy(bytes.data(), "VRDX", 4);
  EXPECT_EQ(parse_message(bytes), "Invalid header version '\x09\x02'");
  bytes[4] = 1;
  EXPECT_EQ(parse_message(bytes), "Only scaled 6..12 is supported, but it was 99");
  // Header checks come before the payload-size check.
  bytes[13] = 11;
  store_u32le(&bytes[32], 0xFFFFFFFFu);
  bytes[14] = 7;
  EXPECT_EQ(full_message(bytes), "Unknown entropy coder 7");
}

TEST(ContainerChecks, PayloadSizeIsComputedWithoutOverflow) {
  auto bytes = sample_container();
  bytes.pop_back();
  EXPECT_EQ(full_message(bytes),
            "Can't decompress data, reason: Minimum data size is 55, but it was 54");
  store_u32le(&bytes[32], 0xFFFFFFFFu);
  EXPECT_EQ(full_message(bytes),
            "Can't decompress data, reason: Minimum data size is 4294967347, but it was 54");
  // Bytes after the payload are not part of it.
  bytes = sample_container();
  bytes.insert(bytes.end(), {1, 2, 3, 4});
  auto h = parse_header(bytes);
  ASSERT_TRUE(h.ok());
  auto checked = check_container(*h, bytes);
  ASSERT_TRUE(checked.ok());
  EXPECT_EQ(checked->payload.size(), 3u);
  EXPECT_EQ(checked->payload.data(), bytes.data() + kHeaderSize);
}

TEST(ContainerChecks, SampleCountAndLevels) {
  auto bytes = sample_container();
  store_u32le(&bytes[16], 2147483648u);
  bytes[12] = 0;  // the sample count is checked first
  EXPECT_EQ(full_message(bytes),
            "Can't decompress data, reason: Can't decompress data bigger than 2147483647, but "
            "data was 2147483648");
  store_u32le(&bytes[16], 2147483647u);
  EXPECT_EQ(full_message(bytes),
            "Can't decompress data, reason: Min supported level is 1 but it was 0");
  bytes[12] = 11;
  EXPECT_EQ(full_message(bytes),
            "Can't decompress data, reason: Max supported level is 10 but it was 11");
  bytes[12] = 255;
  EXPECT_EQ(full_message(bytes),
            "Can't decompress data, reason: Max supported level is 10 but it was 255");
  for (uint8_t levels : {1, 9, 10}) {
    bytes[12] = levels;
    EXPECT_EQ(full_message(bytes), "ok");
  }
}

TEST(ContainerChecks, MultiplierRule) {
  EXPECT_EQ(effective_multiplier(2048.0f, 11), 2048.0f);
  EXPECT_EQ(effective_multiplier(std::numeric_limits<float>::denorm_min(), 6),
            std::numeric_limits<float>::denorm_min());
  for (float bad : {0.0f, -0.0f, -1.0f, std::numeric_limits<float>::infinity(),
                    -std::numeric_limits<float>::infinity(),
                    std::numeric_limits<float>::quiet_NaN()}) {
    EXPECT_EQ(effective_multiplier(bad, 6), 64.0f);
    EXPECT_EQ(effective_multiplier(bad, 12), 4096.0f);
  }
}

TEST(ContainerHeader, EverySingleByteCorruptionGivesOneAnswer) {
  // Any header byte set to any value yields a header or exactly one error and
  // never a read past the buffer (the sanitizer build checks the latter).
  const auto original = sample_container();
  for (size_t i = 0; i < kHeaderSize; ++i) {
    for (int v = 0; v < 256; ++v) {
      auto bytes = original;
      bytes[i] = static_cast<uint8_t>(v);
      std::vector<uint8_t> exact(bytes.begin(), bytes.end());
      auto h = parse_header(exact);
      if (h.ok()) {
        auto checked = check_container(*h, exact);
        if (!checked.ok()) {
          EXPECT_FALSE(checked.error().message().empty());
        }
      } else {
        EXPECT_FALSE(h.error().message().empty());
      }
    }
  }
}

TEST(CodecErrorMessages, EveryKind) {
  EXPECT_EQ(CodecError::transform_failed("Zero sized input is not supported").message(),
            "Zero sized input is not supported");
  EXPECT_EQ(CodecError::compress_io("corrupt deflate stream").message(),
            "corrupt deflate stream");
  EXPECT_EQ(CodecError::out_of_memory(18446744073709551615ull).message(),
            "Out of memory, can't allocate additional 18446744073709551615");
  EXPECT_EQ(CodecError::unsupported_configuration("Can't compress empty data").message(),
            "Unsupported compression configuration 'Can't compress empty data'");
  EXPECT_EQ(CodecError::decompress_failed("Stream truncated").message(),
            "Can't decompress data, reason: Stream truncated");
  EXPECT_EQ(CodecError::unsupported_scale(255).message(),
            "Only scaled 6..12 is supported, but it was 255");
  EXPECT_EQ(CodecError::unknown_coder(3).message(), "Unknown entropy coder 3");
  EXPECT_EQ(CodecError::invalid_header().kind(), CodecErrorKind::InvalidHeader);
}

TEST(Utf8Validation, RejectsMalformedSequences) {
  auto valid = [](std::initializer_list<uint8_t> b) {
    std::vector<uint8_t> v(b);
    return is_valid_utf8(v);
  };
  EXPECT_TRUE(valid({}));
  EXPECT_TRUE(valid({0x00, 0x7F}));
  EXPECT_TRUE(valid({0xEF, 0xBF, 0xBF}));         // U+FFFF
  EXPECT_TRUE(valid({0xF4, 0x8F, 0xBF, 0xBF}));   // U+10FFFF
  EXPECT_FALSE(valid({0xC0, 0x80}));              // overlong NUL
  EXPECT_FALSE(valid({0xE0, 0x80, 0x80}));        // overlong
  EXPECT_FALSE(valid({0xED, 0xA0, 0x80}));        // surrogate
  EXPECT_FALSE(valid({0xF4, 0x90, 0x80, 0x80}));  // above U+10FFFF
  EXPECT_FALSE(valid({0xF8, 0x88, 0x80, 0x80}));  // five-byte lead
  EXPECT_FALSE(valid({0xC3}));                    // cut short
  EXPECT_FALSE(valid({0xC3, 0x41}));              // not a continuation
}

}  // namespace
}  // namespace vdx
