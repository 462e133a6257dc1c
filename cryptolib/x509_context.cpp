// X509Context: lifecycle, loading a certificate, the system stores, and the
// issuer relation.
#include "cryptolib/x509_context.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <new>
#include <string_view>

#include "cryptolib/cert_names.h"
#include "cryptolib/cert_windows.h"
#include "platform/win32_error.h"

namespace vel::crypto {
namespace {

using platform::CertContext;
using platform::CertStore;

constexpr LibraryErrorCode kErrorFileNotFound = platform::kErrorFileNotFound;        // 2
constexpr LibraryErrorCode kErrorInvalidParameter = platform::kErrorInvalidParameter;  // 87

LibraryErrorCode SetError(X509Context* context, LibraryErrorCode code) {
  if (context != nullptr) context->last_error = code;
  return code;
}

// Records the store named last; false (and 87) for a missing or overlong name.
bool RecordStore(X509Context* context, uint32_t location, const char* store_name) {
  if (store_name == nullptr || std::strlen(store_name) > kMaxStoreNameLength) {
    SetError(context, kErrorInvalidParameter);
    return false;
  }
  context->store_location = location;
  context->store_name = store_name;
  return true;
}

// The name text of one certificate, made through a temporary context as the
// name functions work on contexts; none when it cannot be made.
std::optional<std::string> NameText(const CertPtr& cert, bool issuer) {
  X509ContextPtr temp = MakeX509Context();
  if (!temp) return std::nullopt;
  temp->certificate = cert;
  auto get = issuer ? GetIssuerString : GetSubjectString;
  uint32_t size = 0;
  if (get(temp.get(), CERT_OID_NAME_STR, nullptr, &size) != platform::kErrorMoreData)
    return std::nullopt;
  std::string text(size, '\0');
  if (get(temp.get(), CERT_OID_NAME_STR, text.data(), &size) != 0) return std::nullopt;
  text.resize(std::strlen(text.c_str()));
  return text;
}

}  // namespace

X509Context* CreateX509Context() {
  // The flat interface hands out a plain pointer; FreeX509Context takes it back.
  try {
    return std::make_unique<X509Context>().release();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void FreeX509Context(X509Context* context) { std::unique_ptr<X509Context> owned(context); }

LibraryErrorCode GetX509ContextError(const X509Context* context) {
  return context != nullptr ? context->last_error : kErrorInvalidParameter;
}

CertPtr SetCertificateFromDer(X509Context* context, const uint8_t* bytes, uint32_t length) {
  if (context == nullptr) return nullptr;
  context->certificate.reset();
  if (bytes == nullptr && length != 0) {
    SetError(context, kErrorInvalidParameter);
    return nullptr;
  }
  uint32_t err = 0;
  CertPtr cert = CertContext::FromDer(std::span<const uint8_t>(bytes, bytes ? length : 0), &err);
  SetError(context, err);
  context->certificate = cert;
  return cert;
}

CertPtr SetCertificateFromBlob(X509Context* context, std::span<const uint8_t> blob) {
  return SetCertificateFromDer(context, blob.data(), static_cast<uint32_t>(blob.size()));
}

CertPtr SetCertificateContext(X509Context* context, const CertPtr& certificate) {
  if (context == nullptr) return nullptr;
  context->certificate = certificate;
  SetError(context, certificate ? 0 : LIB_E_NO_CERTIFICATE);
  return certificate;
}

CertPtr GetCertificateContext(const X509Context* context) {
  return context != nullptr ? context->certificate : nullptr;
}

LibraryErrorCode AddCertificateToStore(X509Context* context, uint32_t location,
                                       const char* store_name) {
  if (context == nullptr) return kErrorInvalidParameter;
  if (!context->certificate) return SetError(context, kErrorFileNotFound);
  if (store_name == nullptr || std::strlen(store_name) > kMaxStoreNameLength)
    return SetError(context, kErrorInvalidParameter);
  std::unique_ptr<CertStore> store;
  LibraryErrorCode err = CertStore::Open(location, store_name, &store);
  if (err == 0) err = store->AddCertificate(context->certificate, platform::AddDisposition::kUseExisting);
  return SetError(context, err);
}

LibraryErrorCode FindCertificateBySubject(X509Context* context, uint32_t location,
                                          const char* store_name, uint32_t find_type,
                                          const char* subject,
                                          std::span<const uint8_t> previous) {
  if (context == nullptr) return kErrorInvalidParameter;
  if (!RecordStore(context, location, store_name)) return kErrorInvalidParameter;
  // The previous certificate is read before the current one goes: its bytes
  // may be the current certificate's own.
  CertPtr prev;
  uint32_t prev_err = 0;
  if (!previous.empty()) prev = CertContext::FromDer(previous, &prev_err);
  context->certificate.reset();
  if (find_type != CERT_FIND_SUBJECT_STR_W || subject == nullptr)
    return SetError(context, kErrorInvalidParameter);
  if (!previous.empty() && !prev) return SetError(context, prev_err);
  std::unique_ptr<CertStore> store;
  LibraryErrorCode err = CertStore::Open(location, store_name, &store);
  if (err != 0) return SetError(context, err);
  context->certificate = platform::FindCertificateBySubjectText(*store, subject, prev.get());
  return SetError(context, context->certificate ? 0 : kErrorFileNotFound);
}

CertPtr SelectCertificateFromStore(X509Context* context, uint32_t location,
                                   const char* store_name) {
  if (context == nullptr) return nullptr;
  if (!RecordStore(context, location, store_name)) return nullptr;
  std::unique_ptr<CertStore> store;
  LibraryErrorCode err = CertStore::Open(location, store_name, &store);
  if (err != 0) {
    SetError(context, err);
    return nullptr;
  }
  context->candidates.clear();
  for (const CertPtr& c : store->Certificates()) {
    if (context->candidates.size() == kMaxCandidates) break;
    context->candidates.push_back(c);
  }
  store.reset();
  // The window makes the chosen certificate current and sets the last error
  // (1223 on cancel); the candidates are released either way.
  CertPtr chosen = RunCertificateSelection(context);
  context->candidates.clear();
  return chosen;
}

CertPtr FindCertificateInStore(CertStore& store, uint32_t /*encoding*/, uint32_t /*flags*/,
                               uint32_t find_type, const FindParameter& parameter,
                               const CertPtr& previous) {
  const std::vector<CertPtr>& certs = store.Certificates();
  switch (find_type) {
    case CERT_FIND_EXISTING: {
      if (parameter.certificate == nullptr) return nullptr;
      const std::span<const uint8_t> want = parameter.certificate->der();
      for (size_t i = platform::PositionAfter(certs, previous.get()); i < certs.size(); ++i) {
        const std::span<const uint8_t> have = certs[i]->der();
        if (have.size() == want.size() && std::equal(have.begin(), have.end(), want.begin()))
          return certs[i];
      }
      return nullptr;
    }
    case CERT_FIND_ISSUER_OF: {
      if (parameter.certificate == nullptr) return nullptr;
      // The parameter is borrowed: a non-owning handle lets IsIssuerOf take it.
      const CertPtr subject(CertPtr(), parameter.certificate);
      X509ContextPtr temp = MakeX509Context();
      if (!temp) return nullptr;
      for (size_t i = platform::PositionAfter(certs, previous.get()); i < certs.size(); ++i) {
        temp->certificate = certs[i];
        if (IsIssuerOf(temp.get(), subject) == 1) return certs[i];
      }
      return nullptr;
    }
    case CERT_FIND_ISSUER_STR_W:
    case CERT_FIND_SUBJECT_STR_W: {
      if (parameter.text == nullptr) return nullptr;
      const bool issuer = find_type == CERT_FIND_ISSUER_STR_W;
      size_t start = 0;
      if (previous && issuer) {
        start = platform::PositionAfter(certs, previous.get());
      } else if (previous) {
        start = certs.size();
        for (size_t i = 0; i < certs.size(); ++i) {
          if (platform::CompareCertificate(*certs[i], *previous)) {
            start = i + 1;
            break;
          }
        }
      }
      for (size_t i = start; i < certs.size(); ++i) {
        std::optional<std::string> text = NameText(certs[i], issuer);
        if (!text) return nullptr;
        if (text->find(parameter.text) != std::string::npos) return certs[i];
      }
      return nullptr;
    }
    default:
      return nullptr;
  }
}

int IsIssuerOf(X509Context* context, const CertPtr& certificate) {
  if (context == nullptr) return 0;
  if (!context->certificate || !certificate) {
    SetError(context, LIB_E_NO_CERTIFICATE);
    return 0;
  }
  const CertContext& issuer = *context->certificate;
  if (platform::CompareCertificate(issuer, *certificate) &&
      !platform::CompareCertificateName(certificate->issuer_der(), certificate->subject_der()))
    return 0;  // itself, but not self-issued
  uint32_t err = 0;
  const bool ok = certificate->SignatureVerifiesWith(issuer, &err);
  SetError(context, err);
  return ok ? 1 : 0;
}

int IsIssuerOfContext(X509Context* context, const X509Context* other) {
  if (other == nullptr || !other->certificate) {
    SetError(context, LIB_E_NO_CERTIFICATE);
    return 0;
  }
  return IsIssuerOf(context, other->certificate);
}

LibraryErrorCode ShowCertificate(X509Context* context, void* /*parent_window*/) {
  if (context == nullptr) return kErrorInvalidParameter;
  if (!context->certificate) return SetError(context, LIB_E_NO_CERTIFICATE);
  // The viewer keeps its own reference, so the context may go at once.
  return SetError(context, OpenCertificateViewer(context->certificate));
}

}  // namespace vel::crypto
