// The PKCS#12 signer reading a key file of any bytes with the right password:
// it signs only with the certificate's own key, and never crashes.
#include <openssl/rsa.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/signer.h"
#include "platform/tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vel::platform;
  static const bool pin_set = [] {
    SetPinCallback([](const PinRequest&, std::string* pin) {
      *pin = vel::fuzz::kFuzzPin;
      return true;
    });
    return true;
  }();
  (void)pin_set;
  const std::filesystem::path& dir = vel::fuzz::FuzzFolder("VELDOC_STORE_DIR");
  const std::filesystem::path file = dir / "key.p12";
  std::ofstream(file, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(data ? size : 0));

  const vel::fuzz::FuzzIdentity& id = vel::fuzz::Identity();
  std::unique_ptr<Signer> signer;
  if (OpenPkcs12Signer(file, id.cert, &signer) != 0) return 0;
  const std::vector<uint8_t> digest(20, 0x5A);
  std::vector<uint8_t> signature;
  if (signer->SignSha1Digest(digest, &signature) != 0) return 0;
  // Whatever the file held, the signature is the certificate's key's.
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
      EVP_PKEY_CTX_new(X509_get0_pubkey(id.cert->x509()), nullptr), EVP_PKEY_CTX_free);
  if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha1()) != 1 ||
      EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digest.data(), digest.size()) != 1)
    std::abort();
  return 0;
}
