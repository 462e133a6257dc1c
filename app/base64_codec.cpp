#include "app/base64_codec.h"

#include <array>

namespace vel::app {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kNotInAlphabet = -1;

constexpr std::array<int, 256> MakeDecodeTable() {
  std::array<int, 256> table{};
  for (int& v : table) v = kNotInAlphabet;
  for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
  return table;
}
constexpr std::array<int, 256> kDecode = MakeDecodeTable();

}  // namespace

std::string Base64Codec::Encode(std::span<const uint8_t> input) const {
  std::string out((input.size() + 2) / 3 * 4, '\0');
  char* o = out.data();
  const uint8_t* in = input.data();
  size_t i = 0;
  for (; i + 3 <= input.size(); i += 3, o += 4) {
    uint32_t n = uint32_t{in[i]} << 16 | uint32_t{in[i + 1]} << 8 | in[i + 2];
    o[0] = kAlphabet[n >> 18];
    o[1] = kAlphabet[(n >> 12) & 63];
    o[2] = kAlphabet[(n >> 6) & 63];
    o[3] = kAlphabet[n & 63];
  }
  size_t rest = input.size() - i;
  if (rest > 0) {
    uint32_t n = uint32_t{in[i]} << 16 | (rest == 2 ? uint32_t{in[i + 1]} << 8 : 0);
    o[0] = kAlphabet[n >> 18];
    o[1] = kAlphabet[(n >> 12) & 63];
    o[2] = rest == 2 ? kAlphabet[(n >> 6) & 63] : '=';
    o[3] = '=';
  }
  return out;
}

uint32_t Base64Codec::Decode(std::string_view text, std::span<uint8_t> output, uint32_t& length) const {
  length = 0;
  text = text.substr(0, text.find('\0'));
  // Line breaks may stand anywhere: decode a copy without them, if there are any.
  std::string without_breaks;
  std::string_view clean = text;
  if (text.find('\r') != std::string_view::npos || text.find('\n') != std::string_view::npos) {
    without_breaks.resize(text.size());
    size_t kept = 0;
    for (char c : text)
      if (c != '\r' && c != '\n') without_breaks[kept++] = c;
    without_breaks.resize(kept);
    clean = without_breaks;
  }
  const size_t size = clean.size();

  // Past the end of the text counts as not in the alphabet.
  auto value = [&](size_t pos) {
    return pos < size ? kDecode[static_cast<unsigned char>(clean[pos])] : kNotInAlphabet;
  };
  size_t written = 0;
  size_t pos = 0;
  // Whole groups of four alphabet characters that fit, with more text after them.
  while (pos + 4 < size && output.size() - written >= 3) {
    int a = value(pos), b = value(pos + 1), c = value(pos + 2), d = value(pos + 3);
    if ((a | b | c | d) < 0) break;
    output[written] = static_cast<uint8_t>(a << 2 | b >> 4);
    output[written + 1] = static_cast<uint8_t>((b & 15) << 4 | c >> 2);
    output[written + 2] = static_cast<uint8_t>((c & 3) << 6 | d);
    written += 3;
    pos += 4;
  }
  length = static_cast<uint32_t>(written);
  for (;; pos += 4) {
    int a = value(pos), b = value(pos + 1), c = value(pos + 2), d = value(pos + 3);
    if (a == kNotInAlphabet || b == kNotInAlphabet) return kInvalidData;
    uint8_t bytes[3];
    size_t count = 1;
    bytes[0] = static_cast<uint8_t>(a << 2 | b >> 4);
    if (c != kNotInAlphabet) {
      bytes[count++] = static_cast<uint8_t>((b & 15) << 4 | c >> 2);
      if (d != kNotInAlphabet) bytes[count++] = static_cast<uint8_t>((c & 3) << 6 | d);
    }
    if (count > output.size() - written) return kBufferTooSmall;
    for (size_t i = 0; i < count; ++i) output[written++] = bytes[i];
    length = static_cast<uint32_t>(written);
    if (count < 3 || pos + 4 >= size) return kOk;
  }
}

uint32_t Base64Codec::DecodeAll(std::span<const uint8_t> text, std::vector<uint8_t>& output) const {
  output.assign(text.size() / 4 * 3 + 3, 0);
  uint32_t length = 0;
  const uint32_t status =
      Decode(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), output, length);
  output.resize(status == kOk ? length : 0);
  return status;
}

bool Base64Codec::IsBase64Text(std::span<const uint8_t> data) {
  if (data.empty()) return false;
  for (uint8_t b : data)
    if (kDecode[b] == kNotInAlphabet && b != '=' && b != '\r' && b != '\n') return false;
  return true;
}

}  // namespace vel::app
