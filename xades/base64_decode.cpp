#include "xades/base64.h"

#include <cstring>

namespace vel::xades {
namespace {

constexpr int kPad = -2;
constexpr int kSpace = -3;
constexpr int kEnd = -4;
constexpr int kForeign = -1;

int ValueOf(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  if (c == '=') return kPad;
  if (c == ' ' || c == '\t' || c == '\r' || c == '\n') return kSpace;
  return kForeign;
}

// Reads the significant characters of the text one by one; whitespace
// between them is skipped wherever it stands.
class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) {}
  int Next() {
    while (pos_ < text_.size()) {
      const int v = ValueOf(text_[pos_++]);
      if (v != kSpace) return v;
    }
    return kEnd;
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

// Decodes into out[0..capacity); *written gets the bytes written.
int Decode(std::string_view text, uint8_t* out, size_t capacity, size_t* written) {
  Cursor cursor(text);
  size_t n = 0;
  int status = kBase64Invalid;  // an empty text is invalid
  for (;;) {
    int c[4];
    c[0] = cursor.Next();
    if (c[0] == kEnd) break;  // end after a whole group
    c[1] = cursor.Next();
    if (c[0] < 0 || c[1] < 0) {
      status = kBase64Invalid;
      break;
    }
    c[2] = cursor.Next();
    c[3] = c[2] == kEnd ? kEnd : cursor.Next();
    if (c[2] == kForeign || c[3] == kForeign || (c[2] == kPad && c[3] >= 0)) {
      status = kBase64Invalid;
      break;
    }
    const size_t bytes = c[2] < 0 ? 1 : (c[3] < 0 ? 2 : 3);
    if (n + bytes > capacity) {
      status = kBase64BufferTooSmall;
      break;
    }
    out[n++] = static_cast<uint8_t>((c[0] << 2) | (c[1] >> 4));
    if (bytes > 1) out[n++] = static_cast<uint8_t>(((c[1] & 0x0F) << 4) | (c[2] >> 2));
    if (bytes > 2) out[n++] = static_cast<uint8_t>(((c[2] & 0x03) << 6) | c[3]);
    status = kBase64Ok;
    if (bytes < 3) {
      // The padded (or short) group ends the data: only padding and
      // whitespace may follow, never more data that would be dropped.
      for (int rest = cursor.Next(); rest != kEnd; rest = cursor.Next())
        if (rest != kPad) {
          status = kBase64Invalid;
          break;
        }
      break;
    }
  }
  *written = n;
  return status;
}

}  // namespace

int base64Decode(const char* text, uint8_t* out, size_t* length) {
  if (length == nullptr) return kBase64Invalid;
  if (text == nullptr) {
    *length = 0;
    return kBase64Invalid;
  }
  const size_t capacity = out == nullptr ? 0 : *length;
  return Decode(std::string_view(text, std::strlen(text)), out, capacity, length);
}

int base64Decode(std::string_view text, std::vector<uint8_t>* out) {
  out->assign(text.size() / 4 * 3 + 3, 0);
  size_t written = 0;
  const int status = Decode(text, out->data(), out->size(), &written);
  out->resize(written);
  return status;
}

}  // namespace vel::xades
