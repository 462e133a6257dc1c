// Base64 text comes from signature files and signed packages: decoding takes
// any bytes, never writes past the capacity, gives what the plain group-by-group
// reading below gives, and what it decodes encodes back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "app/base64_codec.h"

namespace {

int Value(const std::string& s, size_t pos) {
  if (pos >= s.size()) return -1;
  char c = s[pos];
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// One group of four characters at a time, straight from the rules.
uint32_t ReferenceDecode(std::string_view text, size_t capacity, std::vector<uint8_t>& out) {
  out.clear();
  std::string s;
  for (char c : text.substr(0, text.find('\0')))
    if (c != '\r' && c != '\n') s.push_back(c);
  for (size_t pos = 0;; pos += 4) {
    int a = Value(s, pos), b = Value(s, pos + 1), c = Value(s, pos + 2), d = Value(s, pos + 3);
    if (a < 0 || b < 0) return 13;
    std::vector<uint8_t> group{static_cast<uint8_t>(a << 2 | b >> 4)};
    if (c >= 0) {
      group.push_back(static_cast<uint8_t>((b & 15) << 4 | c >> 2));
      if (d >= 0) group.push_back(static_cast<uint8_t>((c & 3) << 6 | d));
    }
    if (out.size() + group.size() > capacity) return 8;
    out.insert(out.end(), group.begin(), group.end());
    if (group.size() < 3 || pos + 4 >= s.size()) return 0;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using vel::app::Base64Codec;
  std::string_view text(reinterpret_cast<const char*>(data), data ? size : 0);
  // The first byte chooses a capacity, small ones included.
  size_t capacity = size ? data[0] % 64 : 0;
  if (capacity == 63) capacity = size;
  std::vector<uint8_t> out(capacity);
  uint32_t length = 0;
  uint32_t status = Base64Codec().Decode(text, out, length);
  if (length > capacity) std::abort();
  out.resize(length);

  std::vector<uint8_t> expected;
  if (ReferenceDecode(text, capacity, expected) != status || expected != out) std::abort();

  std::string again = Base64Codec().Encode(out);
  std::vector<uint8_t> back(length);
  uint32_t back_length = 0;
  uint32_t back_status = Base64Codec().Decode(again, back, back_length);
  if (length > 0 && (back_status != 0 || back_length != length || back != out)) std::abort();
  return 0;
}
