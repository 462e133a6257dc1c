#include "xades/base64.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vel::xades {
namespace {

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

TEST(Base64, Encode) {
  EXPECT_EQ(base64Encode(Bytes("abc")), "YWJj");
  EXPECT_EQ(base64Encode(Bytes("ab")), "YWI=");
  EXPECT_EQ(base64Encode(Bytes("a")), "YQ==");
  EXPECT_EQ(base64Encode(Bytes("")), "");
  const std::vector<uint8_t> all = [] {
    std::vector<uint8_t> v(256);
    for (int i = 0; i < 256; ++i) v[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    return v;
  }();
  // Every length round-trips, with the exact size the caller must give.
  for (size_t n = 0; n <= all.size(); ++n) {
    std::string text(base64EncodedLength(n) + 1, 'X');
    base64Encode(all.data(), n, text.data());
    EXPECT_EQ(text.back(), '\0');
    std::vector<uint8_t> back;
    if (n == 0) continue;
    ASSERT_EQ(base64Decode(std::string_view(text.c_str()), &back), 0) << n;
    EXPECT_EQ(back, std::vector<uint8_t>(all.begin(), all.begin() + static_cast<long>(n)));
  }
}

struct DecodeCase {
  const char* text;
  size_t capacity;
  int status;
  std::string bytes;  // what stands in the buffer (and the length) afterwards
};

TEST(Base64, DecodeTable) {
  const DecodeCase cases[] = {
      {"YWJj\r\nZGVm", 6, 0, "abcdef"},
      {"YWJj\r\nZGVm", 5, 8, "abc"},
      {"YWJj ZGVm", 6, 0, "abcdef"},          // whitespace as XML signatures wrap it
      {"  YW\tJj\n ZG\r\nVm \n", 6, 0, "abcdef"},
      {"YWJjZA", 4, 0, "abcd"},               // unpadded final group
      {"YWJjZGU", 5, 0, "abcde"},
      {"YQ==", 1, 0, "a"},
      {"YQ==\n", 1, 0, "a"},
      {"YWI=", 2, 0, "ab"},
      {"YWI=", 1, 8, ""},
      {"", 10, 13, ""},
      {" \r\n", 10, 13, ""},
      {"=YWJ", 10, 13, ""},
      {"YWJj=", 10, 13, "abc"},
      {"YWJjZ", 10, 13, "abc"},               // a lone final character
      {"YW=j", 10, 13, ""},                   // data after the padding
      {"YQ==YWJj", 10, 13, "a"},              // a second text after the end
      {"YWJj*ZGVm", 10, 13, "abc"},           // a foreign character
      {"YW\x01j", 10, 13, ""},
      {"YWJj-ZGVm", 10, 13, "abc"},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> out(c.capacity + 4, 0xEE);
    size_t length = c.capacity;
    EXPECT_EQ(base64Decode(c.text, out.data(), &length), c.status) << c.text;
    EXPECT_EQ(std::string(out.begin(), out.begin() + static_cast<long>(length)), c.bytes) << c.text;
    // Nothing is written beyond the capacity.
    for (size_t i = c.capacity; i < out.size(); ++i) EXPECT_EQ(out[i], 0xEE) << c.text;
  }
}

TEST(Base64, LongWrappedTextDecodesWhole) {
  // 1000 bytes wrapped at 64 characters, as signing tools write certificates.
  std::vector<uint8_t> data(1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  const std::string flat = base64Encode(data);
  std::string wrapped;
  for (size_t i = 0; i < flat.size(); i += 64) wrapped += flat.substr(i, 64) + "\r\n";
  std::vector<uint8_t> back;
  ASSERT_EQ(base64Decode(wrapped, &back), 0);
  EXPECT_EQ(back, data);
}

}  // namespace
}  // namespace vel::xades
