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
#include "platform/tests/test_pki.h"
#include "platform/cert_store.h"

namespace vel::xades::test {

inline void TrustTsa(const vel::test::TestTsa& tsa, bool withCrl = true) {
  std::unique_ptr<platform::CertStore> root;
  ASSERT_EQ(platform::CertStore::Open(platform::kStoreCurrentUser, "Root", &root), 0u);
  ASSERT_EQ(root->AddCertificate(tsa.ca.cert, platform::AddDisposition::kUseExisting), 0u);
  if (!withCrl) return;
  const platform::CrlPtr crl = platform::CrlContext::FromDer(vel::test::EmptyCrl(tsa.ca));
  ASSERT_TRUE(crl);
  std::unique_ptr<platform::CertStore> crls;
  ASSERT_EQ(platform::CertStore::Open(platform::kStoreCurrentUser, crypto::kCrlStoreName, &crls), 0u);
  ASSERT_EQ(crls->AddCrl(crl, platform::AddDisposition::kReplaceExisting), 0u);
}

}  // namespace vel::xades::test
