// The key binding file beside a "My" certificate: any bytes, read as the
// signer would (its "pkcs12:" or "pkcs11:" line and the token URI), never
// crash, and a reference read back writes and reads again as itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/key_binding.h"
#include "platform/tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vel::platform;
  const std::filesystem::path& dir = vel::fuzz::FuzzFolder("VELDOC_STORE_DIR");
  vel::fuzz::EmptyFolder(dir);
  const CertContext& cert = *vel::fuzz::Identity().cert;
  const std::filesystem::path file = KeyBindingPath(kStoreCurrentUser, cert);
  std::filesystem::create_directories(file.parent_path());
  const std::string text(reinterpret_cast<const char*>(data), data ? size : 0);
  std::ofstream(file, std::ios::binary) << text;

  KeyReference ref;
  if (FindKeyBinding(cert, &ref) == 0) {
    KeyReference again;
    if (!ParseKeyReference(FormatKeyReference(ref), &again)) std::abort();
    if (again.kind != ref.kind) std::abort();
    if (ref.kind == KeyReference::Kind::kPkcs12File) {
      if (!std::filesystem::path(ref.target).is_absolute()) std::abort();
    } else {
      Pkcs11Uri uri;
      if (!ParsePkcs11Uri(ref.target, &uri)) std::abort();
      if (Pkcs11ModuleFor(uri).empty()) std::abort();
    }
  }
  // The URI parser alone, on the whole input.
  Pkcs11Uri uri;
  ParsePkcs11Uri(text, &uri);
  return 0;
}
