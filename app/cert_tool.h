// The certificate import command, `velcert`: what the card middleware and the
// system's certificate manager do on the original platform. It puts a
// PKCS#12 key file's certificate, or every certificate with a key on a
// PKCS#11 token, into the current user's "My" store with its key binding;
// CA and root certificates into "CA" and "ROOT" and CRLs into the crypto
// library's CRL store, through the library's own store functions; it lists
// the stores and removes entries. Texts are in the program's language (the
// machine's LangID).
#pragma once

#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "platform/cert_store.h"

namespace vel::app {

// The certificates and CRLs a file holds: one DER certificate or CRL, or PEM
// blocks "CERTIFICATE", "X509 CERTIFICATE" and "X509 CRL" (blocks of other
// kinds, such as keys, are passed over). A block that does not decode makes
// the whole answer empty (the file is not what it claims); so do other bytes.
struct CertFileContents {
  std::vector<platform::CertPtr> certificates;
  std::vector<platform::CrlPtr> crls;
  bool empty() const { return certificates.empty() && crls.empty(); }
};
CertFileContents ReadCertFileContents(std::span<const uint8_t> bytes);

// The store an authority's certificate belongs in: "ROOT" for a self-signed
// one, "CA" for one whose basic constraints say it is a CA; empty otherwise.
std::string AuthorityStoreFor(const platform::CertContext& cert);

// Runs the command with its arguments (without the program name); returns
// the exit status: 0 done, 1 failed, 2 wrong arguments.
int RunCertTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace vel::app
