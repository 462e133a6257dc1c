// Certificate: the object over one X509Context.
#include "cryptolib/certificate.h"

#include <cstring>
#include <vector>

#include "cryptolib/cert_names.h"
#include "cryptolib/cert_path.h"
#include "cryptolib/cert_windows.h"
#include "cryptolib/crl_store.h"
#include "cryptolib/http_client.h"
#include "cryptolib/qualified.h"
#include "platform/cert_store.h"
#include "platform/win32_error.h"

namespace vel::crypto {
namespace {

constexpr LibraryErrorCode kErrorNotEnoughMemory = platform::kErrorNotEnoughMemory;  // 8
constexpr LibraryErrorCode kErrorMoreData = platform::kErrorMoreData;                // 234

}  // namespace

Certificate::Certificate(const CertPtr& certificate) : context_(MakeX509Context()) {
  if (!context_ || !SetCertificateContext(context_.get(), certificate)) {
    Keep(kErrorNotEnoughMemory);
    return;
  }
  Keep(0);
}

Certificate::Certificate(const uint8_t* der, uint32_t length) : context_(MakeX509Context()) {
  if (!context_ || !SetCertificateFromDer(context_.get(), der, length)) {
    Keep(kErrorNotEnoughMemory);
    return;
  }
  Keep(0);
}

// The context frees the certificate and the CRL addresses with it.
Certificate::~Certificate() = default;

CertPtr Certificate::GetContext() {
  Keep(0);
  return context_ ? context_->certificate : nullptr;
}

std::unique_ptr<Certificate> Certificate::SelectFromStore(uint32_t location,
                                                          const char* store_name) {
  X509ContextPtr temp = MakeX509Context();
  if (!temp) return nullptr;
  // The window answers none on cancel (1223) and on its own failures; the
  // reason is not passed on.
  const CertPtr chosen = SelectCertificateFromStore(temp.get(), location, store_name);
  if (!chosen) return nullptr;
  auto object = std::make_unique<Certificate>(chosen);
  if (object->GetLastError() != 0) return nullptr;
  return object;
}

LibraryErrorCode Certificate::AddCrlUrl(const char* address) {
  if (!context_) return Keep(LIB_E_NO_CERTIFICATE);
  return Keep(crypto::AddCrlUrl(context_.get(), address));
}

LibraryErrorCode Certificate::Verify(uint32_t location, uint32_t mode) {
  if (!context_) return Keep(LIB_E_NO_CERTIFICATE);
  return Keep(VerifyCertificate(context_.get(), location, mode));
}

const char* Certificate::GetText(TextGetter getter, std::optional<std::string>* cache) {
  cache->reset();
  if (!context_) {
    Keep(LIB_E_NO_CERTIFICATE);
    return nullptr;
  }
  uint32_t size = 0;
  LibraryErrorCode status = getter(context_.get(), nullptr, &size);
  if (status != kErrorMoreData) {
    // 0 without a buffer would hand out no text: not a success.
    Keep(status != 0 ? status : kErrorMoreData);
    return nullptr;
  }
  // One byte more than asked for, zeroed, so the text ends inside the buffer
  // whatever the second call writes.
  std::vector<char> buffer(static_cast<size_t>(size) + 1, '\0');
  status = getter(context_.get(), buffer.data(), &size);
  if (status != 0) {
    Keep(status);
    return nullptr;
  }
  cache->emplace(buffer.data());
  Keep(0);
  return (*cache)->c_str();
}

const char* Certificate::GetSerialNumber() { return GetText(&GetSerialNumberHex, &serial_number_); }

const char* Certificate::GetDisplayName() {
  return GetText(&crypto::GetDisplayName, &display_name_);
}

const char* Certificate::GetIssuerCommonName() {
  return GetText(&crypto::GetIssuerCommonName, &issuer_common_name_);
}

LibraryErrorCode Certificate::Show(void* parent_window) {
  if (!context_) return Keep(LIB_E_NO_CERTIFICATE);
  return Keep(ShowCertificate(context_.get(), parent_window));
}

int Certificate::IsQualified() {
  if (!context_) {
    Keep(LIB_E_NO_CERTIFICATE);
    return 0;
  }
  const int result = IsQualifiedCertificate(context_.get());
  Keep(context_->last_error);
  return result;
}

int Certificate::IsQualifiedTimeStampCertificate() {
  if (!context_) {
    Keep(LIB_E_NO_CERTIFICATE);
    return 0;
  }
  const int result = crypto::IsQualifiedTimeStampCertificate(context_.get());
  Keep(context_->last_error);
  return result;
}

int Certificate::IsSame(const Certificate& other) {
  const CertPtr mine = context_ ? context_->certificate : nullptr;
  const CertPtr theirs = other.context_ ? other.context_->certificate : nullptr;
  if (!mine || !theirs) {
    Keep(LIB_E_NO_CERTIFICATE);
    return 0;
  }
  Keep(0);
  return platform::CompareCertificate(*mine, *theirs) ? 1 : 0;
}

LibraryErrorCode Certificate::DeleteCachedCrls(uint32_t location) {
  return crypto::DeleteCachedCrls(location);
}

LibraryErrorCode Certificate::SetGlobalProxy(const char* server, const char* user,
                                             const char* password) {
  return SetProxy(server, user, password);
}

}  // namespace vel::crypto
