// One step over DER for the platform layer: reads the next element with
// OpenSSL's bounded header parser and never looks past the given bytes.
// Indefinite lengths are refused: certificates and names are DER.
#pragma once

#include <openssl/asn1.h>

#include <cstdint>
#include <span>

namespace vel::platform {

struct Tlv {
  int cls = 0;           // V_ASN1_UNIVERSAL, V_ASN1_CONTEXT_SPECIFIC, ...
  bool constructed = false;
  int tag = 0;           // tag number within its class
  std::span<const uint8_t> whole;    // identifier, length and content
  std::span<const uint8_t> content;

  bool Is(int c, bool cons, int t) const { return cls == c && constructed == cons && tag == t; }
};

// Reads one element from the front of `in` and advances `in` past it.
inline bool ReadTlv(std::span<const uint8_t>& in, Tlv& out) {
  if (in.empty()) return false;
  const unsigned char* p = in.data();
  long len = 0;
  int tag = 0, cls = 0;
  const int ret = ASN1_get_object(&p, &len, &tag, &cls, static_cast<long>(in.size()));
  if ((ret & 0x80) != 0 || (ret & 1) != 0 || len < 0) return false;
  const size_t header = static_cast<size_t>(p - in.data());
  if (header > in.size() || static_cast<size_t>(len) > in.size() - header) return false;
  out.cls = cls;
  out.constructed = (ret & V_ASN1_CONSTRUCTED) != 0;
  out.tag = tag;
  out.whole = in.subspan(0, header + static_cast<size_t>(len));
  out.content = in.subspan(header, static_cast<size_t>(len));
  in = in.subspan(out.whole.size());
  return true;
}

}  // namespace vel::platform
