// The engine's base64 coder: standard alphabet, "=" padding, no line breaks
// written; whitespace (blank, tab, CR, LF) between characters is skipped when
// decoding, as XML signatures may wrap their base64 texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vel::xades {

inline constexpr int kBase64Ok = 0;
inline constexpr int kBase64BufferTooSmall = 8;
inline constexpr int kBase64Invalid = 13;

// Length of the text of n bytes, without the NUL.
constexpr size_t base64EncodedLength(size_t n) { return (n + 2) / 3 * 4; }

// Writes the text and a NUL; `out` holds base64EncodedLength(length) + 1 characters.
void base64Encode(const uint8_t* data, size_t length, char* out);
std::string base64Encode(std::span<const uint8_t> data);

// Decodes a NUL-terminated text into `out`; *length is the capacity on entry
// and the bytes written on return. 0; 8 the buffer is too small (*length
// holds the bytes before the group that did not fit); 13 invalid text
// (empty, a foreign character, a lone final character, or anything but
// whitespace after the padding).
int base64Decode(const char* text, uint8_t* out, size_t* length);
// The same into a vector sized from the text.
int base64Decode(std::string_view text, std::vector<uint8_t>* out);

}  // namespace vel::xades
