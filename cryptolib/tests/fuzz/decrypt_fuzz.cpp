// Decryption of a received EnvelopedData with a key that is in the store: the
// recipient's certificate in "My", its key in a PKCS#12 file bound to it, and
// the PIN given. Any bytes decrypt to content within the size they announce,
// or fail with a code; nothing crashes.
#include <openssl/pkcs12.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "cryptolib/cms_message.h"
#include "platform/cert_store.h"
#include "platform/key_binding.h"
#include "platform/signer.h"
#include "platform/tests/fuzz/fuzz_support.h"

namespace {

// Puts the fuzz identity's certificate in "My" with its key behind it, once.
void PrepareStore() {
  using namespace vel::platform;
  const std::filesystem::path& dir = vel::fuzz::FuzzFolder("VELDOC_STORE_DIR");
  const vel::fuzz::FuzzIdentity& id = vel::fuzz::Identity();
  std::unique_ptr<CertStore> my;
  if (CertStore::Open(kStoreCurrentUser, "My", &my) != 0 ||
      my->AddCertificate(id.cert, AddDisposition::kReplaceExisting) != 0)
    std::abort();
  std::unique_ptr<PKCS12, decltype(&PKCS12_free)> p12(
      PKCS12_create(vel::fuzz::kFuzzPin, "key", id.key.get(), const_cast<X509*>(id.cert->x509()), nullptr, 0,
                    0, 1, 1, 0),
      PKCS12_free);
  if (!p12) std::abort();
  std::vector<uint8_t> der(static_cast<size_t>(i2d_PKCS12(p12.get(), nullptr)));
  unsigned char* p = der.data();
  i2d_PKCS12(p12.get(), &p);
  const std::filesystem::path key_file = dir / "recipient.p12";
  std::ofstream(key_file, std::ios::binary).write(reinterpret_cast<const char*>(der.data()),
                                                  static_cast<std::streamsize>(der.size()));
  KeyReference ref;
  ref.kind = KeyReference::Kind::kPkcs12File;
  ref.target = key_file.string();
  if (WriteKeyBinding(kStoreCurrentUser, *id.cert, ref) != 0) std::abort();
  SetPinCallback([](const PinRequest&, std::string* pin) {
    *pin = vel::fuzz::kFuzzPin;
    return true;
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool prepared = (PrepareStore(), true);
  (void)prepared;
  if (size > 0xFFFFFFFFu) return 0;
  const uint32_t length = static_cast<uint32_t>(size);
  const uint32_t flags = vel::platform::kStoreCurrentUser;
  uint32_t needed = 0;
  const uint32_t first = vel::crypto::DecryptMessage(data, length, flags, nullptr, &needed);
  if (first != 0 && first != 234) return 0;
  std::vector<uint8_t> out(needed);
  uint32_t got = needed;
  if (vel::crypto::DecryptMessage(data, length, flags, out.data(), &got) == 0 && got > needed) std::abort();
  return 0;
}
