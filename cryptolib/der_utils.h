// The crypto library's DER toolbox: a tree of raw BER/DER elements that is
// written back as DER (BerToDer, applied to every PKCS#7 and S/MIME body
// before it is decoded), object identifiers as dotted text, name values as
// text, hexadecimal text to bytes, and a one-call digest.
//
// Every function returns a LibraryErrorCode and follows the size rule: with no
// output buffer, or one too small, the needed size is stored and 234 is
// returned. Malformed input gives 13, a missing required argument 87.
// The "ANSI" code page of this platform is UTF-8.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "cryptolib/status.h"

namespace vel::crypto {

// One element of a parsed BER/DER buffer. It points into the parsed buffer
// and owns only its children and its following siblings.
struct DerNode {
  uint8_t tag = 0;                  // the identifier octet as it stands
  uint32_t total_length = 0;        // header plus content (indefinite: 2 + content)
  const uint8_t* element = nullptr; // the identifier octet in the parsed buffer
  uint32_t content_length = 0;      // indefinite: the children's total lengths, end-of-contents included
  const uint8_t* content = nullptr; // first content octet; null when the content is empty
  std::unique_ptr<DerNode> next_sibling;
  std::unique_ptr<DerNode> first_child;

  DerNode() = default;
  DerNode(const DerNode&) = delete;
  DerNode& operator=(const DerNode&) = delete;
  // Frees the sibling chain without recursing along it (a SET may hold many elements).
  ~DerNode();

  std::span<const uint8_t> content_bytes() const { return {content, content ? content_length : 0}; }
  // True for the tags whose content is parsed into children: SEQUENCE, SET
  // and context-specific constructed [0]..[15].
  static bool GetsChildren(uint8_t tag) { return tag == 0x30 || tag == 0x31 || (tag >= 0xA0 && tag <= 0xAF); }
};

// Fills the node's tag, lengths, element and content from the header at
// `element`; `end` is the address of the last input byte. The whole element
// (for the indefinite form: every child up to its end-of-contents) must lie
// within the input.
LibraryErrorCode ParseDerHeader(const uint8_t* element, DerNode* node, const uint8_t* end);

// Parses the element and, for SEQUENCE, SET and [0]..[15] with content, its
// children; each child lies inside its parent, nesting is capped at
// der::kMaxDepth levels. On error the nodes already attached stay attached.
LibraryErrorCode BuildDerTree(const uint8_t* element, DerNode* root, const uint8_t* end);

// Frees the node's children and its following siblings; the node itself
// belongs to the caller. Returns 0.
LibraryErrorCode FreeDerTree(DerNode* node);

// Appends the node and all its following siblings as DER (minimal definite
// lengths, children in their order; an end-of-contents element ends the chain
// and is not written).
LibraryErrorCode EncodeDerTree(const DerNode* node, std::vector<uint8_t>* output);

// BER to DER. Needed size: input length + 12 for every input byte of value
// 0x80. *size becomes the number of bytes written.
LibraryErrorCode BerToDer(const uint8_t* input, uint32_t input_length, uint8_t* output, uint32_t* size);
// The same into a vector (replaced).
LibraryErrorCode BerToDer(std::span<const uint8_t> input, std::vector<uint8_t>* output);

// Dotted decimal text of an OBJECT IDENTIFIER's content, NUL-terminated.
// Needed size: text length + 1; on success *size is left as it was.
LibraryErrorCode OidToText(const uint8_t* content, uint32_t length, char* text, uint32_t* size);

// A BMPString value (UTF-16 big-endian) as NUL-terminated text. Odd byte
// count: 13. On success *size becomes the bytes written, NUL included.
LibraryErrorCode BmpStringToAnsi(const uint8_t* bytes, uint32_t count, char* text, uint32_t* size);

// A UTF8String value as NUL-terminated text (invalid sequences become U+FFFD).
// An empty value fails with 87, as the platform conversion does. On success
// *size becomes the bytes written, NUL included.
LibraryErrorCode Utf8ToAnsi(const uint8_t* bytes, uint32_t count, char* text, uint32_t* size);

// Bytes from hexadecimal text with an optional leading '#'. Needed size:
// strlen(hex) / 2, stored in every case. A non-hexadecimal character or an
// odd number of digits: 13.
LibraryErrorCode HexToBytes(const char* hex, uint8_t* output, uint32_t* size);

// The UTF8String values of a tree (depth first: node, children, siblings) as
// one NUL-terminated text in at most `room` bytes. Once text has been written,
// each node reached writes `join` and a blank first (so SEQUENCE { "a", "b" }
// reads "a| b" with join '|'); `prefix` sets this for the first node.
LibraryErrorCode DerTreeToText(const DerNode* node, char* text, uint32_t room, bool prefix, char join);

// Rewrites every value of a distinguished-name text written as "=#" and
// hexadecimal digits as the text of its UTF8String contents. A value runs to
// the last `separator` before the next '=' (none in between: 13), or to the
// end of the text. "=#" inside a quoted value is left alone, and a rendered
// value is not scanned again. On error the text is restored.
LibraryErrorCode DecodeHexValues(std::string* name, char separator, char join);

// Digest through OpenSSL of the CryptoAPI algorithm id (CALG_SHA1 0x8004;
// CALG_MD5 0x8003, CALG_SHA_256 0x800C, CALG_SHA_384 0x800D, CALG_SHA_512
// 0x800E). Unknown id: NTE_BAD_ALGID. *size becomes the digest length.
LibraryErrorCode ComputeHash(const uint8_t* data, uint32_t length, uint32_t alg_id, uint8_t* digest,
                             uint32_t* size);

inline constexpr uint32_t kCalgMd5 = 0x8003;
inline constexpr uint32_t kCalgSha1 = 0x8004;
inline constexpr uint32_t kCalgSha256 = 0x800C;
inline constexpr uint32_t kCalgSha384 = 0x800D;
inline constexpr uint32_t kCalgSha512 = 0x800E;

}  // namespace vel::crypto
