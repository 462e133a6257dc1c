#include "app/base64_codec.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <string>
#include <vector>

namespace vel::app {
namespace {

std::vector<uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

struct Decoded {
  uint32_t status;
  std::vector<uint8_t> bytes;
};

Decoded DecodeWithCapacity(std::string_view text, size_t capacity) {
  std::vector<uint8_t> out(capacity, 0xEE);
  uint32_t length = 12345;
  uint32_t status = Base64Codec().Decode(text, out, length);
  EXPECT_LE(length, capacity);
  out.resize(std::min<size_t>(length, capacity));
  return {status, out};
}

TEST(Base64Codec, EncodesInGroupsWithPadding) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},          {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"abc", "YWJj"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(Base64Codec().Encode(Bytes(in)), out) << in;
  const uint8_t high[] = {0xfb, 0xff, 0xbf};
  EXPECT_EQ(Base64Codec().Encode(high), "+/+/");
}

TEST(Base64Codec, DecodesAsTheRulesSay) {
  std::string long_text = Base64Codec().Encode(std::vector<uint8_t>(150, 0x5a));
  std::string wrapped;
  for (size_t i = 0; i < long_text.size(); i += 64) wrapped += long_text.substr(i, 64) + "\r\n";
  std::string with_zero("TWFu\0TWFu", 9);
  struct Case {
    std::string text;
    size_t capacity;
    uint32_t status;
    std::string bytes;
  } cases[] = {
      {"TWFu", 10, 0, "Man"},
      {"TWE=", 10, 0, "Ma"},
      {"TQ==", 10, 0, "M"},
      {"TQ", 10, 0, "M"},            // padding is not needed
      {"TWE", 10, 0, "Ma"},
      {"", 10, 13, ""},              // the empty text is not base64
      {"\r\n", 10, 13, ""},
      {"TWFu", 2, 8, ""},            // nothing of a group that does not fit
      {"TWFuTWFu", 4, 8, "Man"},     // earlier groups stay
      {"TWFu", 3, 0, "Man"},
      {"TWE=TWFu", 10, 0, "Ma"},     // ends after a group of fewer than three bytes
      {"TQ==garbage!", 10, 0, "M"},
      {"TWFuT", 10, 13, "Man"},      // a lone character is not a group
      {"=WFu", 10, 13, ""},
      {"T=Fu", 10, 13, ""},
      {"TW!u", 10, 0, "M"},          // a bad third character ends the group at one byte
      {"T\r\nW\nF\ru", 10, 0, "Man"},
      {with_zero, 10, 0, "Man"},     // the text ends at a zero
  };
  for (const Case& c : cases) {
    Decoded d = DecodeWithCapacity(c.text, c.capacity);
    EXPECT_EQ(d.status, c.status) << c.text;
    EXPECT_EQ(std::string(d.bytes.begin(), d.bytes.end()), c.bytes) << c.text;
  }
  Decoded plain = DecodeWithCapacity(long_text, 200), lines = DecodeWithCapacity(wrapped, 200);
  EXPECT_EQ(plain.status, 0u);
  EXPECT_EQ(lines.status, 0u);
  EXPECT_EQ(plain.bytes, std::vector<uint8_t>(150, 0x5a));
  EXPECT_EQ(lines.bytes, plain.bytes);
}

// OpenSSL's block encoder serves as the oracle for every length and byte value.
TEST(Base64Codec, AgreesWithOpenSslAndRoundTrips) {
  for (size_t n = 0; n < 200; ++n) {
    std::vector<uint8_t> data(n);
    for (size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(i * 97 + n * 31);
    std::string ours = Base64Codec().Encode(data);
    std::string theirs(4 * ((n + 2) / 3) + 1, '\0');
    int len = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(theirs.data()), data.data(), static_cast<int>(n));
    theirs.resize(static_cast<size_t>(len));
    ASSERT_EQ(ours, theirs) << n;
    if (n == 0) continue;
    Decoded d = DecodeWithCapacity(ours, n);
    EXPECT_EQ(d.status, 0u) << n;
    EXPECT_EQ(d.bytes, data) << n;
  }
}


// A signature file decodes with the very rules of Decode, and only text made
// of the alphabet, padding and line breaks counts as base64.
TEST(Base64Codec, WholeFilesDecodeAsDecodeDoesAndOnlyBase64TextQualifies) {
  Base64Codec codec;
  for (std::string_view text : {"TQ==TWFu", "TWFu\r\nTWE=", "TWF", "TWFuTQ==", "T"}) {
    std::vector<uint8_t> one(64);
    uint32_t length = 0;
    const uint32_t status = codec.Decode(text, one, length);
    std::vector<uint8_t> all;
    const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    EXPECT_EQ(codec.DecodeAll(bytes, all), status) << text;
    one.resize(status == 0 ? length : 0);
    EXPECT_EQ(all, one) << text;
  }
  auto qualifies = [](std::string_view s) {
    return Base64Codec::IsBase64Text(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(s.data()), s.size()));
  };
  EXPECT_TRUE(qualifies("MIIB\r\nAA==\n"));
  EXPECT_FALSE(qualifies("MIME-Version: 1.0\r\n"));
  EXPECT_FALSE(qualifies(""));
  EXPECT_FALSE(qualifies(std::string_view("MII\0", 4)));
}

}  // namespace
}  // namespace vel::app
