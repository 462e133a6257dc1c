// The qualified tests over the built-in CA certificates and the "CA" stores.
#include "cryptolib/qualified.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace vel::crypto {
namespace {

constexpr const char* kTimeStampingOid = "1.3.6.1.5.5.7.3.8";
constexpr uint32_t kErrorMoreData = 234;

std::mutex& ListMutex() {
  static std::mutex m;
  return m;
}

std::shared_ptr<const BuiltInCaCertificates>& ListSlot() {
  static std::shared_ptr<const BuiltInCaCertificates> list =
      std::make_shared<const BuiltInCaCertificates>(ProgramBuiltInCaCertificates());
  return list;
}

std::shared_ptr<const BuiltInCaCertificates> CurrentList() {
  std::lock_guard lock(ListMutex());
  return ListSlot();
}

// Whether the built-in certificate `der` issued `subject`; the context gets
// the comparison's last error.
bool BuiltInIssued(X509Context* context, const std::vector<uint8_t>& der,
                   const CertPtr& subject) {
  X509ContextPtr temp = MakeX509Context();
  if (!temp) return false;
  bool issued = false;
  if (SetCertificateFromDer(temp.get(), der.data(), static_cast<uint32_t>(der.size())))
    issued = IsIssuerOf(temp.get(), subject) == 1;
  context->last_error = temp->last_error;
  return issued;
}

// The issuer of `subject` in the "CA" store of a location, or none.
CertPtr IssuerInCaStore(X509Context* context, uint32_t location, const CertPtr& subject) {
  std::unique_ptr<platform::CertStore> store;
  if (const uint32_t err = platform::CertStore::Open(location, "CA", &store); err != 0) {
    context->last_error = err;
    return nullptr;
  }
  FindParameter parameter;
  parameter.certificate = subject.get();
  return FindCertificateInStore(*store, kCertEncoding, 0, CERT_FIND_ISSUER_OF, parameter,
                                nullptr);
}

}  // namespace

BuiltInCaCertificates SetBuiltInCaCertificates(BuiltInCaCertificates list) {
  auto fresh = std::make_shared<const BuiltInCaCertificates>(std::move(list));
  std::lock_guard lock(ListMutex());
  std::shared_ptr<const BuiltInCaCertificates> old = std::exchange(ListSlot(), fresh);
  return *old;
}

int IsQualifiedCertificate(X509Context* context) {
  if (context == nullptr) return 0;
  const CertPtr cert = context->certificate;
  if (!cert) {
    context->last_error = LIB_E_NO_CERTIFICATE;
    return 0;
  }
  const std::shared_ptr<const BuiltInCaCertificates> list = CurrentList();
  for (const std::vector<uint8_t>& ca : list->qualified_cas) {
    if (BuiltInIssued(context, ca, cert)) return 1;
  }
  if (BuiltInIssued(context, list->national_root, cert)) return 1;

  // An authority installed in the "CA" store counts when the national root
  // certified it. The machine's store is asked only when the user's has an
  // issuer that the root did not certify.
  const CertPtr user_issuer = IssuerInCaStore(context, CERT_SYSTEM_STORE_CURRENT_USER, cert);
  if (!user_issuer) return 0;
  if (BuiltInIssued(context, list->national_root, user_issuer)) return 1;
  const CertPtr machine_issuer = IssuerInCaStore(context, CERT_SYSTEM_STORE_LOCAL_MACHINE, cert);
  if (!machine_issuer) return 0;
  return BuiltInIssued(context, list->national_root, machine_issuer) ? 1 : 0;
}

int IsQualifiedTimeStampCertificate(X509Context* context) {
  if (context == nullptr) return 0;
  const CertPtr cert = context->certificate;
  if (!cert) {
    context->last_error = LIB_E_NO_CERTIFICATE;
    return 0;
  }
  const std::shared_ptr<const BuiltInCaCertificates> list = CurrentList();
  if (!BuiltInIssued(context, list->national_root, cert)) return 0;

  uint32_t size = 0;
  if (GetEnhancedKeyUsageText(context, nullptr, &size) != kErrorMoreData || size == 0) return 0;
  std::string text(size, '\0');
  if (GetEnhancedKeyUsageText(context, text.data(), &size) != 0) return 0;
  text.resize(std::strlen(text.c_str()));
  const char* name = EkuOidToName(kTimeStampingOid);
  return name != nullptr && text.find(name) != std::string::npos ? 1 : 0;
}

}  // namespace vel::crypto
