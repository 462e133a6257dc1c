#include "platform/key_import.h"

#include <openssl/err.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/temp_files.h"
#include "platform/win32_error.h"

namespace vel::platform {
namespace {

// The private key folder, made when missing; one that is not this user's own
// folder (a link planted there, another owner) is refused.
uint32_t MakePrivateKeyFolder(const std::filesystem::path& folder) {
  std::error_code ec;
  std::filesystem::create_directories(folder.parent_path(), ec);
  if (ec) return Win32FromErrno(ec.value());
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return Win32FromErrno(errno);
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0) return Win32FromErrno(errno);
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return kErrorAccessDenied;
  if ((st.st_mode & 07777) != 0700 && ::chmod(folder.c_str(), 0700) != 0)
    return Win32FromErrno(errno);
  return 0;
}

uint32_t AddToMy(uint32_t location_flags, const CertPtr& cert) {
  std::unique_ptr<CertStore> store;
  uint32_t err = CertStore::Open(location_flags, "My", &store);
  if (err == 0) err = store->AddCertificate(cert, AddDisposition::kUseExisting);
  return err;
}

}  // namespace

std::filesystem::path PrivateKeyFolder(uint32_t location_flags) {
  const std::filesystem::path my = CertStore::FolderFor(location_flags, "My");
  if (my.empty()) return {};
  // Store folder names escape '.', so no store can be called this.
  return my.parent_path() / ".keys";
}

uint32_t ImportPkcs12(uint32_t location_flags, const std::filesystem::path& file, CertPtr* cert) {
  const std::filesystem::path folder = PrivateKeyFolder(location_flags);
  if (folder.empty() || cert == nullptr) return kErrorInvalidParameter;
  // The bytes checked are the bytes copied.
  std::vector<uint8_t> bytes;
  uint32_t err = ReadPkcs12File(file, &bytes);
  if (err != 0) return err;
  PkeyPtr key;
  X509Ptr x509;
  PinRequest request;
  request.label = file.filename().string();
  // Asked once: a wrong password is reported to the importer, not asked again.
  err = OpenPkcs12Bytes(bytes, request, 1, &key, &x509);
  if (err != 0) return err;
  if (!x509 || X509_check_private_key(x509.get(), key.get()) != 1) {
    ERR_clear_error();
    return kCryptENotFound;
  }
  CertPtr imported = CertContext::FromX509(x509.get(), &err);
  if (!imported) return err;

  if ((err = MakePrivateKeyFolder(folder)) != 0) return err;
  const std::filesystem::path copy = folder / (imported->sha1_hex() + ".p12");
  if ((err = WriteFileReplacing(copy, bytes, 0600)) != 0) return err;
  if ((err = AddToMy(location_flags, imported)) != 0) return err;
  err = WriteKeyBinding(location_flags, *imported,
                        {KeyReference::Kind::kPkcs12File, copy.string()});
  if (err != 0) return err;
  *cert = std::move(imported);
  return 0;
}

uint32_t RegisterTokenCertificates(uint32_t location_flags, const std::string& module_path,
                                   std::vector<TokenCertificate>* found) {
  if (found == nullptr) return kErrorInvalidParameter;
  found->clear();
  uint32_t err = ListTokenCertificates(module_path, found);
  for (const TokenCertificate& entry : *found) {
    if (err != 0) break;
    if (entry.uri.empty()) continue;
    err = AddToMy(location_flags, entry.cert);
    if (err == 0)
      err = WriteKeyBinding(location_flags, *entry.cert,
                            {KeyReference::Kind::kPkcs11Object, entry.uri});
  }
  return err;
}

uint32_t RemoveFromMy(uint32_t location_flags, const CertContext& cert) {
  std::unique_ptr<CertStore> store;
  uint32_t err = CertStore::Open(location_flags, "My", &store);
  if (err != 0) return err;
  KeyReference ref;
  const bool own_copy = ReadKeyBinding(location_flags, cert, &ref) == 0 &&
                        ref.kind == KeyReference::Kind::kPkcs12File &&
                        std::filesystem::path(ref.target).parent_path() ==
                            PrivateKeyFolder(location_flags);
  if ((err = store->DeleteCertificate(cert)) != 0) return err;
  const std::filesystem::path binding = KeyBindingPath(location_flags, cert);
  if (::unlink(binding.c_str()) != 0 && errno != ENOENT) return Win32FromErrno(errno);
  if (own_copy && ::unlink(ref.target.c_str()) != 0 && errno != ENOENT) return Win32FromErrno(errno);
  return 0;
}

}  // namespace vel::platform
