// The two qualified tests: is a certificate qualified (issued by a qualified
// certification authority that the national root certified, or by the root
// itself), and does it belong to a qualified time-stamp authority (issued
// directly by the national root, with the time-stamping usage).
//
// The certificates of the qualified authorities and of the national root are
// outside parties' data built into the program (qualified_ca_list.cpp); tests
// put their own hierarchy in their place.
#pragma once

#include <cstdint>
#include <vector>

#include "cryptolib/x509_context.h"

namespace vel::crypto {

// The built-in CA certificates as DER: the qualified authorities in the
// order they are tried, and the national root. An entry that does not decode
// matches nothing.
struct BuiltInCaCertificates {
  std::vector<std::vector<uint8_t>> qualified_cas;
  std::vector<uint8_t> national_root;
};

// The list the program ships (qualified_ca_list.cpp).
BuiltInCaCertificates ProgramBuiltInCaCertificates();

// Replaces the list the tests read and returns the one it replaces. For
// tests; the program never calls it.
BuiltInCaCertificates SetBuiltInCaCertificates(BuiltInCaCertificates list);

// 1 when the context's certificate is qualified, else 0. Tried in order: a
// built-in qualified authority issued it; the national root issued it; its
// issuer in the current user's "CA" store (the first certificate whose key
// verifies it) was issued by the national root; when that issuer was not,
// the same in the local machine's "CA" store. No certificate: 0 with
// LIB_E_NO_CERTIFICATE. The last error is that of the last comparison.
int IsQualifiedCertificate(X509Context* context);

// 1 when the national root issued the context's certificate directly and its
// extended key usage names time stamping, else 0. No certificate: 0 with
// LIB_E_NO_CERTIFICATE.
int IsQualifiedTimeStampCertificate(X509Context* context);

}  // namespace vel::crypto
