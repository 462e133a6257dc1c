#include "cryptolib/crl_store.h"

#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "cryptolib/http_client.h"
#include "platform/folder_lock.h"
#include "platform/ldap_client.h"

namespace vel::crypto {
namespace {

constexpr char kStoreName[] = "VelCryptoAPI";
constexpr LibraryErrorCode kBadArgument = 87;
constexpr LibraryErrorCode kNotFound = 2;
constexpr LibraryErrorCode kListFull = 14;
constexpr LibraryErrorCode kOutOfMemory = 8;
constexpr LibraryErrorCode kMoreData = 234;
constexpr LibraryErrorCode kNotImplemented = 0x80004001;
constexpr std::chrono::seconds kLdapSearchTimeLimit{120};
constexpr char kLdapScheme[] = "ldap://";
constexpr size_t kLdapSchemeLength = sizeof(kLdapScheme) - 1;

LibraryErrorCode SetError(X509Context* context, LibraryErrorCode code) {
  if (context != nullptr) context->last_error = code;
  return code;
}

bool IsLdapAddress(const char* address) {
  return std::strlen(address) >= kLdapSchemeLength &&
         ::strncasecmp(address, kLdapScheme, kLdapSchemeLength) == 0;
}

// The host part of an ldap:// address: what follows the scheme, up to a path.
std::string LdapHost(const char* address) {
  std::string_view rest(address + kLdapSchemeLength);
  return std::string(rest.substr(0, rest.find('/')));
}

CrlPtr FetchOverLdap(X509Context* context, const char* address) {
  std::vector<uint8_t> buffer(kLdapCrlMaxBytes);
  uint32_t size = static_cast<uint32_t>(buffer.size());
  const std::string host = LdapHost(address);
  const LibraryErrorCode rc = LdapFetchRevocationList(host.c_str(), kLdapCrlSearchBase,
                                                      kLdapCrlFilter, buffer.data(), &size);
  // 234 (a CRL longer than the buffer) leaves nothing to decode: a part of a
  // CRL is never taken for one.
  if (rc != 0) {
    SetError(context, rc);
    return nullptr;
  }
  CrlPtr crl;
  SetError(context, DecodeDownloadedCrl(std::span<const uint8_t>(buffer).first(size), &crl));
  return crl;
}

CrlPtr FetchOverHttp(X509Context* context, HttpRequest* request, const char* address) {
  if (LibraryErrorCode rc = SetHttpRequestUrl(request, address); rc != 0) {
    SetError(context, rc);
    return nullptr;
  }
  if (LibraryErrorCode rc = SendHttpRequest(request); rc != 0) {
    SetError(context, rc);
    return nullptr;
  }
  uint32_t size = 0;
  LibraryErrorCode rc = GetHttpResponse(request, nullptr, &size);
  std::vector<uint8_t> bytes;
  if (rc == kMoreData) {
    bytes.resize(size);
    rc = GetHttpResponse(request, bytes.data(), &size);
    if (rc == 0 && size != bytes.size()) rc = kMoreData;
  }
  // An empty answer (0 above) goes to the decoder like any other bytes and
  // is refused there: no answer is ever a CRL.
  if (rc != 0) {
    SetError(context, rc);
    return nullptr;
  }
  CrlPtr crl;
  SetError(context, DecodeDownloadedCrl(bytes, &crl));
  return crl;
}

bool Verifies(const platform::CrlContext& crl, const platform::CertContext& signer) {
  return crl.SignatureVerifiesWith(signer);
}

}  // namespace

// ---- addresses

LibraryErrorCode AddCrlUrl(X509Context* context, const char* address) {
  if (context == nullptr) return kBadArgument;
  if (address == nullptr) return SetError(context, kBadArgument);
  if (context->crl_urls.size() >= kMaxCrlUrls) return kListFull;
  context->crl_urls.emplace_back(address);
  return SetError(context, 0);
}

void FreeCrlUrls(X509Context* context) {
  if (context == nullptr) return;
  context->crl_urls.clear();
  context->crl_urls.shrink_to_fit();
}

// ---- download

LibraryErrorCode DecodeDownloadedCrl(std::span<const uint8_t> bytes, CrlPtr* crl) {
  crl->reset();
  uint32_t error = 0;
  CrlPtr decoded = platform::CrlContext::FromDer(bytes, &error);
  if (!decoded) return error != 0 ? error : platform::kCryptEAsn1BadTag;
  *crl = std::move(decoded);
  return 0;
}

CrlPtr FetchCrl(X509Context* context, const char* address) {
  if (context == nullptr) return nullptr;
  if (address == nullptr) {
    SetError(context, kBadArgument);
    return nullptr;
  }
  HttpRequestPtr request(CreateHttpRequest());
  if (!request) {
    SetError(context, kOutOfMemory);
    return nullptr;
  }
  if (IsLdapAddress(address)) return FetchOverLdap(context, address);
  return FetchOverHttp(context, request.get(), address);
}

CrlPtr FetchCrlByIndex(X509Context* context, size_t index) {
  if (context == nullptr) return nullptr;
  if (index >= context->crl_urls.size()) {
    SetError(context, kBadArgument);
    return nullptr;
  }
  // A copy: the list may not change under the download, but the address
  // should not depend on that.
  const std::string address = context->crl_urls[index];
  return FetchCrl(context, address.c_str());
}

LibraryErrorCode LdapFetchRevocationList(const char* host, const char* base, const char* filter,
                                         uint8_t* buffer, uint32_t* size) {
  if (host == nullptr || base == nullptr || filter == nullptr || size == nullptr)
    return kBadArgument;
  std::unique_ptr<platform::LdapConnection> ldap;
  if (uint32_t rc = platform::LdapConnection::Init(host, platform::kLdapDefaultPort, &ldap); rc != 0)
    return rc;
  if (uint32_t rc = ldap->SetProtocolVersion(3); rc != 0) return rc;
  if (uint32_t rc = ldap->SetDereference(platform::LdapDeref::kSearching); rc != 0) return rc;
  if (uint32_t rc = ldap->BindAnonymous(); rc != 0) return rc;
  if (uint32_t rc = ldap->SearchSubtree(base, filter, {"authorityRevocationList"},
                                        kLdapSearchTimeLimit);
      rc != 0)
    return rc;

  const size_t entries = ldap->CountEntries();
  // No entry: nothing to decode, so not found rather than success.
  if (entries == 0) return kNotFound;
  if (entries > 1) return LIB_E_LDAP_MULTIPLE_RESPONSES;

  std::vector<std::vector<uint8_t>> values;
  if (!ldap->FirstEntryValues("authorityRevocationList;binary", &values) &&
      !ldap->FirstEntryValues("authorityRevocationList", &values)) {
    const uint32_t last = ldap->LastError();
    return last != 0 ? last : platform::kLdapNoSuchAttribute;
  }
  const std::vector<uint8_t>& crl = values.front();
  if (crl.size() > UINT32_MAX) return kMoreData;
  const auto length = static_cast<uint32_t>(crl.size());
  const bool fits = buffer != nullptr && *size >= length;
  *size = length;
  if (!fits) return kMoreData;
  std::copy(crl.begin(), crl.end(), buffer);
  return 0;
}

// ---- CRLs and stores

LibraryErrorCode VerifyCrlSignature(uint32_t type, const CrlPtr& crl, const CertPtr& issuer) {
  if (type == CRL_VERIFY_ISSUER_CHAIN) return kNotImplemented;
  if (type != CRL_FIND_ISSUED_BY) return kBadArgument;
  if (!crl || !issuer) return LIB_E_NO_CERTIFICATE;
  uint32_t error = 0;
  if (crl->SignatureVerifiesWith(*issuer, &error)) return 0;
  return error != 0 ? error : platform::kNteBadSignature;
}

LibraryErrorCode FindCrlByIssuer(platform::CertStore& store, uint32_t /*encoding*/,
                                 uint32_t /*flags*/, uint32_t type, const CertPtr& issuer,
                                 const CrlPtr& previous, CrlPtr* crl) {
  if (crl != nullptr) crl->reset();
  if (type != CRL_FIND_ISSUED_BY) return kNotImplemented;
  if (crl == nullptr) return kBadArgument;
  if (!issuer) return LIB_E_NO_CERTIFICATE;
  const std::vector<CrlPtr>& crls = store.Crls();
  size_t start = 0;
  if (previous) {
    // Go on after the previous one (the same object or the same bytes); one
    // that is no longer there ends the enumeration.
    start = crls.size();
    for (size_t i = 0; i < crls.size(); ++i) {
      if (crls[i] == previous || std::ranges::equal(crls[i]->der(), previous->der())) {
        start = i + 1;
        break;
      }
    }
  }
  for (size_t i = start; i < crls.size(); ++i) {
    if (Verifies(*crls[i], *issuer)) {
      *crl = crls[i];
      return 0;
    }
  }
  return kNotFound;
}

LibraryErrorCode AddCrlToStore(uint32_t location, const CrlPtr& crl, const CertPtr& signer,
                               bool* stored) {
  if (stored != nullptr) *stored = false;
  if (!crl) return LIB_E_NO_CERTIFICATE;
  const std::filesystem::path folder = platform::CertStore::FolderFor(location, kStoreName);
  if (folder.empty()) return kBadArgument;
  // Compare and replace as one step for every thread and process: the lock
  // orders the writers; readers see whole files either way.
  std::unique_ptr<platform::FolderLock> lock;
  if (uint32_t rc = platform::FolderLock::Acquire(folder, &lock); rc != 0) return rc;
  std::unique_ptr<platform::CertStore> store;
  if (uint32_t rc = platform::CertStore::Open(location, kStoreName, &store); rc != 0) return rc;

  // Only a CRL of the same issuer, key and scope is replaced; partitions
  // and CRLs of another key of a same-named CA sit side by side. With a
  // signer the slot is its key's; a CRL of that issuer and scope stored
  // without one, which the signer verifies, is of the same key too.
  const auto newer_than = [&](const CrlPtr& there) {
    return crl->this_update().ToTimeT() > there->this_update().ToTimeT();
  };
  const CrlPtr there = store->CrlInSlot(*crl, signer.get());
  if (there) {
    // A stored CRL that its CA did not sign (garbage from some address, or
    // a forgery dated ahead) must not keep out the CA's own one.
    const bool displaces_unsigned =
        signer && Verifies(*crl, *signer) && !Verifies(*there, *signer);
    if (!newer_than(there) && !displaces_unsigned) return 0;
  }
  CrlPtr same_key;
  if (signer) {
    same_key = store->CrlInSlot(*crl);
    if (same_key == there || (same_key && !Verifies(*same_key, *signer))) same_key.reset();
    if (same_key && !newer_than(same_key)) return 0;
  }
  uint32_t rc =
      store->AddCrl(crl, platform::AddDisposition::kReplaceExisting, nullptr, signer.get());
  if (rc == 0 && stored != nullptr) *stored = true;
  if (rc == 0 && same_key) rc = store->DeleteCrl(*same_key);
  return rc;
}

LibraryErrorCode DeleteCachedCrls(uint32_t location) {
  std::unique_ptr<platform::CertStore> store;
  if (uint32_t rc = platform::CertStore::Open(location, kStoreName, &store); rc != 0) return rc;
  // One pass over what is there: a CRL that cannot be deleted stops the pass
  // with its error instead of being found again and again.
  const std::vector<CrlPtr> crls = store->Crls();
  for (const CrlPtr& crl : crls) {
    if (uint32_t rc = store->DeleteCrl(*crl); rc != 0) return rc;
  }
  return 0;
}

}  // namespace vel::crypto
