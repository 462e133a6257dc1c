// A signature's bag of certificates and CRLs, arbitrary, as the path check
// gets it from an XAdES signature: the first item is the certificate under
// test, each further item a certificate or, failing that, a CRL. Items are
// framed by a two-byte big-endian length. The tree is built from the lists,
// checked, and exported; it must stay within its bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "cryptolib/cert_path.h"

using namespace vel::crypto;

namespace {

size_t CountNodes(const CertPathNode& n, size_t level, size_t* deepest) {
  if (level > *deepest) *deepest = level;
  size_t count = 1;
  for (const auto& c : n.children()) count += CountNodes(*c, level + 1, deepest);
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> in(data, size);
  CertPtr subject;
  std::vector<CertPtr> certs;
  std::vector<CrlPtr> crls;
  while (in.size() >= 2 && certs.size() + crls.size() < 64) {
    const size_t len = std::min<size_t>((size_t{in[0]} << 8) | in[1], in.size() - 2);
    const std::span<const uint8_t> item = in.subspan(2, len);
    in = in.subspan(2 + len);
    if (CertPtr cert = vel::platform::CertContext::FromDer(item)) {
      if (!subject)
        subject = cert;
      else
        certs.push_back(cert);
    } else if (CrlPtr crl = vel::platform::CrlContext::FromDer(item)) {
      crls.push_back(crl);
    }
  }
  if (!subject) return 0;

  CertPathNode tree(subject);
  tree.BuildFromLists(certs, crls);
  size_t deepest = 0;
  if (CountNodes(tree, 1, &deepest) > kMaxPathNodes || deepest > kMaxPathDepth) std::abort();
  tree.Verify();
  CertChainPtr chain = tree.ToChainContext();
  if (!chain || chain->chains.size() != 1 || chain->chains[0].elements.size() != tree.GetDepth())
    std::abort();
  for (const CertPtr& c : certs) {
    VerifyCertTimeValidity(*c, 0);
    for (const CrlPtr& crl : crls) IsCertificateInCrl(*c, *crl);
  }
  return 0;
}
