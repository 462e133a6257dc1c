// The test time-stamp authority made trusted by the user's stores (of the
// store folder a TestPki set up): its root in "Root" and, when asked, a
// current CRL of that root in the library's CRL store, so that the path check
// of the authority's certificate passes.
#pragma once

#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <memory>
#include <vector>

#include "cryptolib/cert_path.h"
#include "cryptolib/der.h"
#include "cryptolib/tests/tsa_fixture.h"
#include "platform/cert_store.h"

namespace vel::xades::test {

// A CRL of `ca` listing nothing, current for a day.
inline platform::CrlPtr EmptyCrl(const vel::test::TestIdentity& ca) {
  std::unique_ptr<X509_CRL, decltype(&X509_CRL_free)> crl(X509_CRL_new(), X509_CRL_free);
  X509_CRL_set_version(crl.get(), 1);
  X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(ca.x509.get()));
  std::unique_ptr<ASN1_TIME, decltype(&ASN1_TIME_free)> t(ASN1_TIME_new(), ASN1_TIME_free);
  X509_gmtime_adj(t.get(), -3600);
  X509_CRL_set1_lastUpdate(crl.get(), t.get());
  X509_gmtime_adj(t.get(), 24L * 3600);
  X509_CRL_set1_nextUpdate(crl.get(), t.get());
  X509_CRL_sign(crl.get(), ca.key.get(), EVP_sha256());
  return platform::CrlContext::FromDer(vel::der::I2dBytes(i2d_X509_CRL, crl.get()));
}

inline void TrustTsa(const vel::test::TestTsa& tsa, bool withCrl = true) {
  std::unique_ptr<platform::CertStore> root;
  ASSERT_EQ(platform::CertStore::Open(platform::kStoreCurrentUser, "Root", &root), 0u);
  ASSERT_EQ(root->AddCertificate(tsa.ca.cert, platform::AddDisposition::kUseExisting), 0u);
  if (!withCrl) return;
  const platform::CrlPtr crl = EmptyCrl(tsa.ca);
  ASSERT_TRUE(crl);
  std::unique_ptr<platform::CertStore> crls;
  ASSERT_EQ(platform::CertStore::Open(platform::kStoreCurrentUser, crypto::kCrlStoreName, &crls), 0u);
  ASSERT_EQ(crls->AddCrl(crl, platform::AddDisposition::kReplaceExisting), 0u);
}

}  // namespace vel::xades::test
