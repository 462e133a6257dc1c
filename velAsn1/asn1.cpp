#include "velAsn1/asn1.h"

#include <mutex>
#include <string>

namespace vel::asn1 {

namespace {

constexpr int kMaxDepth = 64;

// Checks that `in` holds well-formed elements only: each inside its parent
// and the input, nesting capped. eSNACC then never sees a length that runs
// past its input or unbounded nesting.
bool WellFormed(std::span<const uint8_t> in, int depth, size_t* used, bool until_eoc) {
  size_t pos = 0;
  while (pos < in.size()) {
    if (in.size() - pos < 2) return false;
    const uint8_t tag = in[pos];
    const uint8_t l = in[pos + 1];
    if ((tag & 0x1F) == 0x1F) return false;
    if (tag == 0 && l == 0) {
      pos += 2;
      if (until_eoc) {
        *used = pos;
        return true;
      }
      return false;  // end-of-contents outside an indefinite length
    }
    size_t header = 2, length = 0;
    if (l == 0x80) {
      if ((tag & 0x20) == 0 || depth >= kMaxDepth) return false;
      size_t inner = 0;
      if (!WellFormed(in.subspan(pos + 2), depth + 1, &inner, true)) return false;
      pos += 2 + inner;
      if (!until_eoc && depth == 0) break;
      continue;
    }
    if (l > 0x80) {
      const size_t n = l & 0x7F;
      if (n > 4 || in.size() - pos - 2 < n) return false;
      for (size_t i = 0; i < n; ++i) length = (length << 8) | in[pos + 2 + i];
      header += n;
    } else {
      length = l;
    }
    if (length > in.size() - pos - header) return false;
    if ((tag & 0x20) != 0) {
      if (depth >= kMaxDepth) return false;
      size_t inner = 0;
      if (!WellFormed(in.subspan(pos + header, length), depth + 1, &inner, false)) return false;
    }
    pos += header + length;
    if (!until_eoc && depth == 0) break;
  }
  if (until_eoc) return false;  // no end-of-contents
  *used = pos;
  return true;
}

}  // namespace

void RegisterAnyTypes() {
  static std::once_flag once;
  std::call_once(once, [] {
    SNACC::AsnOid signed_data(SNACC::id_signedData);
    SNACC::AsnAny::InstallAnyByOid(signed_data, 1, new SNACC::SignedData);
    SNACC::AsnOid data(SNACC::id_data);
    SNACC::AsnAny::InstallAnyByOid(data, 2, new SNACC::AsnOcts);
  });
}

bool Decode(std::span<const uint8_t> bytes, SNACC::AsnType& out) {
  size_t used = 0;
  if (bytes.empty() || !WellFormed(bytes, 0, &used, false) || used != bytes.size()) return false;
  try {
    SNACC::AsnBuf buf(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    SNACC::AsnLen decoded = 0;
    out.BDec(buf, decoded);
    return decoded == bytes.size();
  } catch (...) {
    return false;
  }
}

bool AnyBytes(const SNACC::AsnAny& any, std::vector<uint8_t>* out) {
  if (any.value != nullptr || any.anyBuf == nullptr) return false;
  try {
    SNACC::AsnBuf copy(*any.anyBuf);
    copy.ResetMode();
    const unsigned long n = copy.length();
    std::string s;
    if (n != 0) copy.GetSeg(s, static_cast<long>(n));
    out->assign(s.begin(), s.end());
    return !out->empty();
  } catch (...) {
    return false;
  }
}

}  // namespace vel::asn1
