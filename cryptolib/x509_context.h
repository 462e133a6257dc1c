// The crypto library's handle on one certificate (X509Context) and the flat
// interface around it: load a certificate, find or select one in a system
// store, add one to a store, read its serial number, dates, version and
// extensions as text, and tell whether it issued another certificate.
//
// Every function takes the context first, returns a LibraryErrorCode (or a
// certificate, none on failure) and stores its result as the context's last
// error. Text results follow the size rule (no buffer or one too small: the
// needed size is stored and 234 returned). Texts are UTF-8.
//
// Certificates are the platform's shared, immutable certificate contexts
// (platform/cert_store.h): a copy of the pointer is the platform's duplicate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "cryptolib/status.h"
#include "platform/cert_store.h"

namespace vel::crypto {

using CertPtr = platform::CertPtr;
using CrlPtr = platform::CrlPtr;

// X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, the encoding every certificate has.
inline constexpr uint32_t kCertEncoding = 0x00010001;
// Store locations (the platform's flags).
inline constexpr uint32_t CERT_SYSTEM_STORE_CURRENT_USER = platform::kStoreCurrentUser;
inline constexpr uint32_t CERT_SYSTEM_STORE_LOCAL_MACHINE = platform::kStoreLocalMachine;

// Find types of the store searches.
inline constexpr uint32_t CERT_FIND_ISSUER_STR_W = 0x00080004;
inline constexpr uint32_t CERT_FIND_SUBJECT_STR_W = 0x00080007;
inline constexpr uint32_t CERT_FIND_ISSUER_OF = 0x000C0000;
inline constexpr uint32_t CERT_FIND_EXISTING = 0x000D0000;

inline constexpr size_t kMaxStoreNameLength = 1000;
inline constexpr size_t kMaxCandidates = 1000;
inline constexpr size_t kMaxCrlUrls = 1000;

struct X509Context {
  LibraryErrorCode last_error = 0;
  uint32_t store_location = 0;      // location flags of the store named last
  std::string store_name;           // the store named last (at most 1000 characters)
  std::vector<CertPtr> candidates;  // offered in the selection window (at most 1000)
  CertPtr certificate;              // the current certificate; none when empty
  std::vector<std::string> crl_urls;  // CRL download addresses (at most 1000)
  char field_separator = ',';
  char value_separator = '|';
};

// ---- lifecycle

// A new context with the separators set; null when memory is exhausted.
X509Context* CreateX509Context();
// Frees the context with its certificate, candidates and addresses; null is ignored.
void FreeX509Context(X509Context* context);
LibraryErrorCode GetX509ContextError(const X509Context* context);

struct X509ContextDeleter {
  void operator()(X509Context* c) const { FreeX509Context(c); }
};
using X509ContextPtr = std::unique_ptr<X509Context, X509ContextDeleter>;
inline X509ContextPtr MakeX509Context() { return X509ContextPtr(CreateX509Context()); }

// ---- loading

// Replaces the current certificate by one decoded from DER; returns it, or
// none with the platform's error as the last error (the context is then
// without a certificate).
CertPtr SetCertificateFromDer(X509Context* context, const uint8_t* bytes, uint32_t length);
CertPtr SetCertificateFromBlob(X509Context* context, std::span<const uint8_t> blob);
// Makes a duplicate of `certificate` the current certificate and returns it;
// a missing certificate gives none and LIB_E_NO_CERTIFICATE.
CertPtr SetCertificateContext(X509Context* context, const CertPtr& certificate);
// The current certificate (none when there is none).
CertPtr GetCertificateContext(const X509Context* context);

// ---- stores

// Adds the current certificate to the named system store; an equal
// certificate already there is kept. No certificate: 2; a store name that is
// missing or longer than 1000 characters: 87.
LibraryErrorCode AddCertificateToStore(X509Context* context, uint32_t location,
                                       const char* store_name);

// Records the store, releases the current certificate and, for
// CERT_FIND_SUBJECT_STR_W only, makes the first certificate of the store whose
// subject contains `subject` (without regard to case) the current one. Not
// found: 2; another find type or a name longer than 1000 characters: 87.
// `previous` (DER), when given, is the certificate the search goes on after.
LibraryErrorCode FindCertificateBySubject(X509Context* context, uint32_t location,
                                          const char* store_name, uint32_t find_type,
                                          const char* subject,
                                          std::span<const uint8_t> previous = {});

// Records the store, offers its certificates (at most 1000, in enumeration
// order) in the selection window and returns the chosen one as the current
// certificate (last error 0), or none with the window's status (1223 when the
// person cancels; 120 when no window is installed, see cert_windows.h). A
// name longer than 1000 characters: 87.
CertPtr SelectCertificateFromStore(X509Context* context, uint32_t location,
                                   const char* store_name);

// What the store search looks for: a certificate (CERT_FIND_EXISTING,
// CERT_FIND_ISSUER_OF) or a text (the two *_STR_W types).
struct FindParameter {
  const platform::CertContext* certificate = nullptr;
  const char* text = nullptr;
};

// The library's own search over an open store; the enumeration starts after
// `previous` (none: from the start). The encoding and flags are not used.
//  - CERT_FIND_EXISTING: the same encoded bytes as the parameter certificate;
//  - CERT_FIND_ISSUER_OF: a certificate that IsIssuerOf accepts as the
//    parameter certificate's issuer;
//  - CERT_FIND_ISSUER_STR_W / CERT_FIND_SUBJECT_STR_W: a certificate whose
//    issuer / subject text (CERT_OID_NAME_STR) contains the parameter text
//    (for the subject search `previous` is found again by issuer and serial).
// Any other type, or nothing found: none.
CertPtr FindCertificateInStore(platform::CertStore& store, uint32_t encoding, uint32_t flags,
                               uint32_t find_type, const FindParameter& parameter,
                               const CertPtr& previous);

// ---- values of the current certificate (no certificate: LIB_E_NO_CERTIFICATE)

// The value of the issuer's most specific common name (quotes removed). No
// common name: 13.
LibraryErrorCode GetIssuerCommonName(X509Context* context, char* text, uint32_t* size);
// The serial number as upper-case hex, two digits per content byte (sign byte
// kept), most significant first. Leaves the last error alone.
LibraryErrorCode GetSerialNumberHex(X509Context* context, char* text, uint32_t* size);
// which 0: NotBefore, 1: NotAfter (else 87). UTC: "YYYY-MM-DD hh:mm:ss (UTC)"
// (26 bytes); otherwise local time "YYYY-MM-DD hh:mm:ss" (20 bytes).
LibraryErrorCode GetValidityText(X509Context* context, uint32_t which, bool utc, char* text,
                                 uint32_t* size);
// The version field as stored: 0 for v1, 2 for v3.
LibraryErrorCode GetCertificateVersion(X509Context* context, uint32_t* version);
// The raw DER value of an extension (absent: 2). A size below the value's
// length gets the length and 234; a sufficient size receives the bytes and is
// left as it was.
LibraryErrorCode GetExtension(X509Context* context, const char* oid, uint8_t* buffer,
                              uint32_t* size);

// The text of an extension value (the context, which may be null, only
// receives the last error):
//  - "2.5.29.17": the e-mail addresses of a subject alternative name as a
//    double-NUL-terminated list;
//  - "2.5.29.31": the URL of distribution point `index` (beyond the points, or
//    a point without a URL as its first full name: 2);
//  - "1.3.6.1.5.5.7.1.3": the Polish sentences of the transaction-limit and
//    signer-role qualified-certificate statements.
// Another identifier: 87; a malformed value: 13 (the decoder's error for the
// first two).
LibraryErrorCode FormatExtensionText(X509Context* context, const char* oid,
                                     const uint8_t* value, uint32_t value_length,
                                     uint32_t index, char* text, uint32_t* size);

// Key usage as labels joined by ", " (the value must be 03 02 u b, else 13).
LibraryErrorCode GetKeyUsageText(X509Context* context, char* text, uint32_t* size);
// The label of one extended key usage in the current language.
const char* EkuOidToName(const char* oid);
// Extended key usage as "label (oid)" entries joined by ", ".
LibraryErrorCode GetEnhancedKeyUsageText(X509Context* context, char* text, uint32_t* size);

// ---- relations and windows

// 1 when the context's certificate issued `certificate`: its key verifies the
// signature. The context's own certificate counts only when self-issued (and
// then its signature must verify with its own key). No certificate in the
// context (or none given): 0 with LIB_E_NO_CERTIFICATE.
int IsIssuerOf(X509Context* context, const CertPtr& certificate);
int IsIssuerOfContext(X509Context* context, const X509Context* other);

// Opens the certificate viewer on the context's certificate: 0, the reason
// it cannot be shown, or 120 when no viewer is installed (cert_windows.h).
LibraryErrorCode ShowCertificate(X509Context* context, void* parent_window);

}  // namespace vel::crypto
