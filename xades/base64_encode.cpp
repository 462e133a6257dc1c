#include "xades/base64.h"

namespace vel::xades {
namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

void base64Encode(const uint8_t* data, size_t length, char* out) {
  size_t o = 0;
  for (size_t i = 0; i < length; i += 3) {
    const size_t left = length - i;
    const uint32_t b1 = data[i];
    const uint32_t b2 = left > 1 ? data[i + 1] : 0;
    const uint32_t b3 = left > 2 ? data[i + 2] : 0;
    out[o++] = kAlphabet[b1 >> 2];
    out[o++] = kAlphabet[((b1 & 0x03) << 4) | (b2 >> 4)];
    out[o++] = left > 1 ? kAlphabet[((b2 & 0x0F) << 2) | (b3 >> 6)] : '=';
    out[o++] = left > 2 ? kAlphabet[b3 & 0x3F] : '=';
  }
  out[o] = '\0';
}

std::string base64Encode(std::span<const uint8_t> data) {
  std::string text(base64EncodedLength(data.size()) + 1, '\0');
  base64Encode(data.data(), data.size(), text.data());
  text.pop_back();
  return text;
}

}  // namespace vel::xades
