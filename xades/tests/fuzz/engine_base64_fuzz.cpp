// The engine's base64 decoder over any text: never reads past the NUL nor
// writes past the capacity; what decodes re-encodes to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "xades/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the capacity; the rest is the text.
  const size_t capacity = data[0];
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<uint8_t> out(capacity);
  size_t length = capacity;
  const int status = vel::xades::base64Decode(text.c_str(), out.data(), &length);
  if (length > capacity || (status != 0 && status != 8 && status != 13)) std::abort();
  std::vector<uint8_t> whole;
  if (vel::xades::base64Decode(std::string_view(text.c_str()), &whole) == 0) {
    std::vector<uint8_t> again;
    if (vel::xades::base64Decode(vel::xades::base64Encode(whole), &again) != 0 || again != whole)
      std::abort();
  }
  return 0;
}
