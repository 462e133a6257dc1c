// The library's object over one certificate, for the application, the CMS
// classes, the time-stamp client and the XML signature engine. It owns an
// X509Context holding a duplicate of the certificate (and the CRL addresses
// added to it) and forwards every operation to the flat certificate
// interface, keeping each result as its last error.
//
// Texts handed out (display name, issuer common name, serial number) belong
// to the object: each stays valid until the same getter is called again or
// the object is destroyed. The validity dates are read through the flat
// interface (GetValidityText on a context of GetContext()), not here.
//
// One thread at a time per object. SetGlobalProxy and DeleteCachedCrls act on
// process-wide state and need no object.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "cryptolib/status.h"
#include "cryptolib/x509_context.h"

namespace vel::crypto {

class Certificate {
 public:
  // Holds a duplicate of `certificate`; the caller keeps its own. Last error
  // 0, or 8 when there is no certificate or the context cannot be made.
  explicit Certificate(const CertPtr& certificate);
  // Holds the certificate decoded from DER; last error 0, or 8 when the bytes
  // are not one certificate or the context cannot be made. An object without
  // a certificate answers every getter with none and LIB_E_NO_CERTIFICATE.
  Certificate(const uint8_t* der, uint32_t length);
  virtual ~Certificate();
  Certificate(const Certificate&) = delete;
  Certificate& operator=(const Certificate&) = delete;

  // The certificate held (none after a failed construction); last error 0.
  CertPtr GetContext();

  // Offers the certificates of the named system store (at most 1000) in the
  // certificate selection window and returns an object holding the one the
  // user chose. None on cancel and on every failure (no store name, a name
  // over 1000 characters, a store that cannot be opened, no window).
  // The application passes CERT_SYSTEM_STORE_CURRENT_USER and "My".
  static std::unique_ptr<Certificate> SelectFromStore(uint32_t location, const char* store_name);

  // Appends a CRL download address for Verify (crl_store.h AddCrlUrl).
  LibraryErrorCode AddCrlUrl(const char* address);

  // Checks the certificate with its paths and CRLs from the system stores of
  // `location` (cert_path.h VerifyCertificate): mode 0 downloads missing or
  // outdated CRLs, mode 1 uses only the stored ones. 0 only when every
  // certificate of a path to a self-signed root was checked against a CRL.
  LibraryErrorCode Verify(uint32_t location, uint32_t mode);

  // Serial number as upper-case hex (sign byte kept), the display name, the
  // issuer's most specific common name. None on failure, with the status as
  // the last error.
  const char* GetSerialNumber();
  const char* GetDisplayName();
  const char* GetIssuerCommonName();

  // Opens the certificate viewer window; the parent window is not used.
  LibraryErrorCode Show(void* parent_window);

  // The qualified tests (qualified.h); 1 or 0. The last error is what the
  // test left in the context.
  int IsQualified();
  int IsQualifiedTimeStampCertificate();

  // Nonzero when both objects hold the same certificate (issuer and serial
  // number). An object without a certificate is the same as none: 0 with
  // LIB_E_NO_CERTIFICATE.
  int IsSame(const Certificate& other);

  // Empties the library's CRL store at `location`: 0, or the error of the
  // first CRL that could not be deleted.
  static LibraryErrorCode DeleteCachedCrls(uint32_t location);

  // The process-wide proxy of every later HTTP exchange of the library
  // (http_client.h SetProxy); its status.
  static LibraryErrorCode SetGlobalProxy(const char* server, const char* user,
                                         const char* password);

  LibraryErrorCode GetLastError() const { return last_error_; }

 private:
  using TextGetter = LibraryErrorCode (*)(X509Context*, char*, uint32_t*);
  const char* GetText(TextGetter getter, std::optional<std::string>* cache);
  LibraryErrorCode Keep(LibraryErrorCode status) { return last_error_ = status; }

  std::optional<std::string> display_name_;
  std::optional<std::string> issuer_common_name_;
  std::optional<std::string> serial_number_;
  LibraryErrorCode last_error_ = 0;
  X509ContextPtr context_;
};

}  // namespace vel::crypto
