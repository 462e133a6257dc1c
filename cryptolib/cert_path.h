// The library's own certification-path check: a tree of every issuer path
// from a certificate up to a self-signed certificate, pruned of branches that
// cannot be completed or are expired, then walked against the CRLs of the
// issuers (from the library's CRL store "VelCryptoAPI", downloaded where the
// stored one is missing or outdated).
//
// Results: 0 correct; CRYPT_E_NO_REVOCATION_CHECK (no CRL could be used) and
// CERT_E_CHAINING (no path to a self-signed certificate) incomplete;
// CERT_E_EXPIRED, CERT_E_REVOKED, 87 (a self-signed certificate checked alone)
// and any other status negative.
//
// Issuers come from outside (stores filled by downloads, certificates carried
// by signatures), so every tree is bounded: a certificate already on its own
// path gets no issuers, and depth and node count are capped. An issuer is
// found by its key and must be a CA: basicConstraints with cA TRUE (only a
// self-signed certificate of the "Root" store may do without), whose
// pathLenConstraint allows the certificates below it. A path must end at a
// certificate its own key verifies, and a CRL answers for a certificate only
// when the key that signed the certificate signed it and its scope
// (issuingDistributionPoint) covers the certificate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <span>
#include <vector>

#include "cryptolib/status.h"
#include "cryptolib/x509_context.h"

namespace vel::crypto {

inline constexpr LibraryErrorCode CERT_E_EXPIRED = 0x800B0101;
inline constexpr LibraryErrorCode CERT_E_CHAINING = 0x800B010A;
inline constexpr LibraryErrorCode CERT_E_REVOKED = 0x800B010C;
inline constexpr LibraryErrorCode CRYPT_E_NO_REVOCATION_CHECK = 0x80092012;

// The name of the library's CRL store.
inline constexpr const char* kCrlStoreName = "VelCryptoAPI";

// Bounds of one tree. Real paths are a handful of certificates long.
inline constexpr size_t kMaxPathDepth = 16;
inline constexpr size_t kMaxPathNodes = 256;

// The exported path, shaped like the platform's chain context: one simple
// chain whose elements run from the certificate to its root, each with the
// CRL its own certificate issued (none when the node held none). Every trust
// status word is 0. The caller owns it.
struct CertChainElement {
  CertPtr certificate;
  CrlPtr base_crl;
  uint32_t trust_error_status = 0;
  uint32_t trust_info_status = 0;
};
struct CertSimpleChain {
  std::vector<CertChainElement> elements;
  uint32_t trust_error_status = 0;
  uint32_t trust_info_status = 0;
};
struct CertChainContext {
  std::vector<CertSimpleChain> chains;
  uint32_t trust_error_status = 0;
  uint32_t trust_info_status = 0;
};
using CertChainPtr = std::unique_ptr<CertChainContext>;

// How far a CRL answers for one certificate: not at all (another issuer,
// another partition, a delta or indirect CRL, ...), for some reasons only (it
// can show the certificate revoked, never good), or fully.
enum class CrlScope { kNone, kSomeReasons, kFull };

// The scope of `crl` for `cert` issued by `issuer`: the CRL must carry the
// certificate's issuer name, the issuer's key usage (if any) must allow CRL
// signing, and an issuingDistributionPoint must name one of the certificate's
// distribution points and match its kind (user or CA certificate).
CrlScope GetCrlScope(const platform::CrlContext& crl, const platform::CertContext& cert,
                     const platform::CertContext& issuer);

// One certificate of the tree; its children are the candidates for its
// issuer (certificates whose key verifies its signature).
class CertPathNode {
 public:
  explicit CertPathNode(CertPtr certificate = nullptr);
  ~CertPathNode();
  CertPathNode(const CertPathNode&) = delete;
  CertPathNode& operator=(const CertPathNode&) = delete;

  // A new node for the certificate at the end of the child list; null when
  // the tree is at its depth or node limit (the certificate is not added).
  CertPathNode* AddChild(const CertPtr& certificate);
  // True when this node's certificate equals (issuer and serial) the
  // certificate of its parent, grandparent, ... up to the root.
  bool IsAncestor() const;

  // Issuers from the system stores "CA" and "Root" of the location, each
  // node's CRL from the CRL store.
  void BuildFromSystemStores(uint32_t location);
  // Issuers and CRLs from the given lists only (as carried by a signature):
  // one issuer per level, the first one found.
  void BuildFromLists(std::span<const CertPtr> certificates, std::span<const CrlPtr> crls);

  // Prune unchained branches, then check revocation with the CRLs held (no
  // expiry step, no download).
  LibraryErrorCode Verify();
  // Prune unchained, prune expired, then check revocation, fetching CRLs
  // (from the store only when offline).
  LibraryErrorCode VerifyOnline(X509Context* context, uint32_t location, bool offline);

  LibraryErrorCode PruneUnchained();
  LibraryErrorCode PruneExpired();
  LibraryErrorCode CheckRevocation();
  LibraryErrorCode CheckRevocationWithDownload(X509Context* context, uint32_t location,
                                               bool offline);
  // Obtains the CRL this node's certificate issued: the stored one while
  // current, else a download from the context's addresses. 0 only when the
  // node then holds a CRL; the result is also the context's last error.
  LibraryErrorCode FetchCrl(X509Context* context, uint32_t location, bool offline);

  // The first-child path as a chain context.
  CertChainPtr ToChainContext();
  // Nodes on the first-child path (1 without children).
  size_t GetDepth() const;

  const CertPtr& certificate() const { return certificate_; }
  const CrlPtr& crl() const { return crl_; }
  const CertPathNode* parent() const { return parent_; }
  const std::vector<std::unique_ptr<CertPathNode>>& children() const { return children_; }
  LibraryErrorCode last_result() const { return last_result_; }

 private:
  struct SystemStores;
  struct ListStore;

  void BuildFrom(SystemStores& stores);
  void AddIssuersFromStore(const ListStore& store);
  LibraryErrorCode CheckRevocationAt(X509Context* context, uint32_t location, bool offline,
                                     bool download);
  CertPathNode* Root();
  size_t Level() const;  // 1 for the root
  bool SelfSigned() const;
  platform::CertStore* CrlStore(uint32_t location);
  // The certificate this node is an issuer candidate for (null for the root).
  const CertPtr& Subject() const;
  // Whether `candidate` may be this node's issuer on this path: its key
  // verifies this certificate, it is a CA, its path length allows it.
  bool AcceptsIssuer(const CertPtr& candidate, bool from_root_store) const;
  std::vector<CertPtr> IssuersIn(const std::vector<CertPtr>& certs, bool from_root_store,
                                 bool first_only) const;
  // The CRL among `crls` that this node's certificate issued for its
  // subject: same issuer name, a signature its key verifies, a scope that
  // covers the subject (one listing it first, then the widest, the newest);
  // with `now`, only CRLs current then.
  CrlPtr FindIssuedCrl(const std::vector<CrlPtr>& crls, const std::time_t* now);

  LibraryErrorCode last_result_ = 0;
  std::vector<std::unique_ptr<CertPathNode>> children_;
  CertPathNode* parent_ = nullptr;
  CrlPtr crl_;
  CertPtr certificate_;
  // Kept by the root for one check: the node count, and the CRL store as
  // last read (read again after this check stored a CRL).
  size_t tree_nodes_ = 1;
  std::unique_ptr<platform::CertStore> crl_store_;
  uint32_t crl_store_location_ = 0;
  mutable int self_signed_ = -1;  // cached: -1 unknown, 0, 1
};

// Checks the context's certificate with its paths and CRLs from the system
// stores of the location. mode 0 downloads CRLs where needed, any other mode
// uses only the stored ones. No context or no certificate: 87. The context's
// last error becomes 0 first and then keeps what the CRL step left in it.
LibraryErrorCode VerifyCertificate(X509Context* context, uint32_t location, uint32_t mode);

// Builds the tree from the system stores, checks it offline (the result
// becomes the context's last error) and returns the first path. No
// certificate: null with LIB_E_NO_CERTIFICATE.
CertChainPtr GetCertificateChain(X509Context* context, uint32_t location);

// The platform's time checks: -1 before the start (notBefore / thisUpdate),
// 1 after the end (notAfter / nextUpdate; a CRL without nextUpdate never
// ends), else 0.
int VerifyCertTimeValidity(const platform::CertContext& cert, std::time_t now);
int VerifyCrlTimeValidity(const platform::CrlContext& crl, std::time_t now);

// True when the CRL lists the certificate's serial number.
bool IsCertificateInCrl(const platform::CertContext& cert, const platform::CrlContext& crl);

}  // namespace vel::crypto
