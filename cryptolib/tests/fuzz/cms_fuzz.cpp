// Arbitrary bytes as a CMS message: counted, verified attached and as a
// detached signature over a fixed content, every signer item and attribute
// read, an unsigned attribute added, and decryption tried. Checks that a
// rebuilt message keeps every signer's verification result, holds the new
// attribute byte for byte, and that the size rule's two calls agree.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "cryptolib/cms_message.h"
#include "cryptolib/cms_signed_data.h"

namespace {

using vel::crypto::LibraryErrorCode;

constexpr uint8_t kContent[] = "page stream";
constexpr uint32_t kContentLength = sizeof(kContent) - 1;
constexpr uint32_t kMaxSigners = 4;

void Check(bool ok) {
  if (!ok) std::abort();
}

// Calls a size-rule function as callers do and checks that the second call fits.
template <typename F>
LibraryErrorCode TwoCalls(F&& f, std::vector<uint8_t>* out) {
  uint32_t size = 0;
  LibraryErrorCode err = f(nullptr, &size);
  if (err != 234) return err;
  out->assign(size, 0);
  uint32_t second = size;
  err = f(out->data(), &second);
  Check(err == 0);
  Check(second <= size);
  out->resize(second);
  return 0;
}

std::vector<LibraryErrorCode> VerifyAll(const uint8_t* m, uint32_t n, uint32_t count) {
  std::vector<LibraryErrorCode> out;
  for (uint32_t i = 0; i < count && i < kMaxSigners; ++i) {
    out.push_back(vel::crypto::VerifyAttached(m, n, i));
    out.push_back(vel::crypto::VerifyDetached(kContent, kContentLength, m, n, i));
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vel::crypto;
  // Decryption looks in a store that does not exist: no key, no PIN.
  setenv("VELDOC_STORE_DIR", "/nonexistent/veldoc-fuzz-stores", 1);
  if (size > (1u << 20)) return 0;
  const uint32_t n = static_cast<uint32_t>(size);
  std::vector<uint8_t> out;

  uint32_t size_out = 0;
  DecryptMessage(data, n, 0x10000, nullptr, &size_out);
  TwoCalls([&](uint8_t* o, uint32_t* s) { return GetMessageContent(data, n, o, s); }, &out);
  TwoCalls([&](uint8_t* o, uint32_t* s) { return GetMessageContentDigest(data, n, o, s); }, &out);

  uint32_t count = 0;
  if (GetSignerCount(data, n, &count) != 0) return 0;
  const std::vector<LibraryErrorCode> before = VerifyAll(data, n, count);
  for (uint32_t i = 0; i < count && i < kMaxSigners; ++i) {
    for (uint32_t selector : {1u, 2u})
      TwoCalls([&](uint8_t* o, uint32_t* s) { return GetSignerItem(selector, data, n, i, o, s); },
               &out);
    for (const char* oid : {"1.2.840.113549.1.9.3", "1.2.840.113549.1.9.4", kOidSigningCertificate,
                            kOidSignedFileName}) {
      for (uint32_t occurrence : {0u, 1u}) {
        TwoCalls([&](uint8_t* o, uint32_t* s) {
          return GetSignedAttribute(data, n, i, oid, occurrence, o, s);
        }, &out);
      }
    }
    TwoCalls([&](uint8_t* o, uint32_t* s) { return GetSignerTimeStampToken(data, n, i, 0, o, s); },
             &out);
  }

  // Adding an unsigned attribute changes no signer's result.
  if (count == 0) return 0;
  const uint8_t token[] = {0x30, 0x03, 0x02, 0x01, 0x05};
  std::vector<uint8_t> attribute;
  Check(MakeSignatureTimeStampAttribute(token, &attribute) == 0);
  std::vector<uint8_t> added;
  const uint32_t index = count - 1;
  if (TwoCalls([&](uint8_t* o, uint32_t* s) {
        return AddSignerUnsignedAttribute(data, n, index, attribute.data(),
                                          static_cast<uint32_t>(attribute.size()), o, s);
      }, &added) != 0)
    return 0;
  uint32_t count_after = 0;
  const uint32_t added_n = static_cast<uint32_t>(added.size());
  Check(GetSignerCount(added.data(), added_n, &count_after) == 0);
  Check(count_after == count);
  Check(VerifyAll(added.data(), added_n, count) == before);
  // The attribute is the signer's last unsigned attribute, byte for byte.
  cms::SignedData sd;
  Check(cms::ParseSignedData(added, &sd) == 0);
  const auto& unsigned_attrs = sd.signers[index].unsigned_attrs;
  Check(!unsigned_attrs.empty());
  Check(std::ranges::equal(unsigned_attrs.back().encoded, attribute));
  return 0;
}
