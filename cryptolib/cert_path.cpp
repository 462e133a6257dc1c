// The certification-path tree: building from the system stores or from a
// signature's lists, pruning, the revocation walk and the chain export.
#include "cryptolib/cert_path.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <utility>

#include "cryptolib/crl_store.h"
#include "platform/win32_error.h"

namespace vel::crypto {
namespace {

using platform::CertContext;
using platform::CertStore;
using platform::CrlContext;

constexpr LibraryErrorCode kErrorInvalidParameter = platform::kErrorInvalidParameter;  // 87
// The revocation walk's answer for a node without issuers (the root).
constexpr LibraryErrorCode kNoIssuer = kErrorInvalidParameter;

LibraryErrorCode SetError(X509Context* context, LibraryErrorCode code) {
  if (context != nullptr) context->last_error = code;
  return code;
}

bool SameName(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  return platform::CompareCertificateName(a, b);
}

// A certificate may issue others only when it says it is a CA: basic
// constraints with cA set, a version 1 self-signed root, or a key usage that
// allows certificate signing.
bool MayIssueCertificates(const CertContext& cert) {
  const int ca = X509_check_ca(cert.x509());
  ERR_clear_error();
  return ca != 0;
}

// The candidates among `certs` for the issuer of `subject`: certificates
// whose key verifies its signature (the certificate itself only when
// self-issued) and that may issue certificates. Names are not compared.
std::vector<CertPtr> IssuersIn(const std::vector<CertPtr>& certs, const CertPtr& subject,
                               bool first_only) {
  std::vector<CertPtr> out;
  X509ContextPtr temp = MakeX509Context();
  if (!temp) return out;
  for (const CertPtr& candidate : certs) {
    temp->certificate = candidate;
    if (IsIssuerOf(temp.get(), subject) != 1 || !MayIssueCertificates(*candidate)) continue;
    out.push_back(candidate);
    if (first_only) break;
  }
  return out;
}

bool IsCa(const CertContext& cert) {
  return (X509_get_extension_flags(cert.x509()) & EXFLAG_CA) != 0;
}

// Whether a CRL of `issuer` can answer for `cert`: it must be a complete CRL
// of the certificate's issuer whose scope covers the certificate. A delta
// CRL, one restricted to some reasons, an indirect CRL or one with a critical
// extension we do not understand says nothing about certificates it does not
// list.
bool CrlCovers(const CrlContext& crl, const CertContext& cert, const CertContext& issuer) {
  if (!SameName(crl.issuer_der(), cert.issuer_der())) return false;
  const uint32_t usage = X509_get_key_usage(issuer.x509());
  if (usage != UINT32_MAX && (usage & KU_CRL_SIGN) == 0) return false;

  X509_CRL* x = crl.crl();
  const int count = X509_CRL_get_ext_count(x);
  for (int i = 0; i < count; ++i) {
    X509_EXTENSION* ext = X509_CRL_get_ext(x, i);
    const int nid = OBJ_obj2nid(X509_EXTENSION_get_object(ext));
    if (nid == NID_delta_crl) return false;
    if (X509_EXTENSION_get_critical(ext) && nid != NID_issuing_distribution_point &&
        nid != NID_crl_number && nid != NID_authority_key_identifier)
      return false;
  }
  int critical = 0;
  auto* idp = static_cast<ISSUING_DIST_POINT*>(
      X509_CRL_get_ext_d2i(x, NID_issuing_distribution_point, &critical, nullptr));
  bool ok = true;
  if (idp != nullptr) {
    if (idp->onlysomereasons != nullptr || idp->indirectCRL || idp->onlyattr) ok = false;
    if (idp->onlyuser && IsCa(cert)) ok = false;
    if (idp->onlyCA && !IsCa(cert)) ok = false;
    ISSUING_DIST_POINT_free(idp);
  } else if (critical == -2) {
    ok = false;  // more than one distribution-point extension
  }
  ERR_clear_error();
  return ok;
}

}  // namespace

int VerifyCertTimeValidity(const CertContext& cert, std::time_t now) {
  if (now < cert.not_before().ToTimeT()) return -1;
  if (now > cert.not_after().ToTimeT()) return 1;
  return 0;
}

int VerifyCrlTimeValidity(const CrlContext& crl, std::time_t now) {
  if (now < crl.this_update().ToTimeT()) return -1;
  if (crl.has_next_update() && now > crl.next_update().ToTimeT()) return 1;
  return 0;
}

bool IsCertificateInCrl(const CertContext& cert, const CrlContext& crl) {
  const ASN1_INTEGER* serial = X509_get0_serialNumber(cert.x509());
  STACK_OF(X509_REVOKED)* revoked = X509_CRL_get_REVOKED(crl.crl());
  const int n = sk_X509_REVOKED_num(revoked);
  for (int i = 0; i < n; ++i) {
    const X509_REVOKED* r = sk_X509_REVOKED_value(revoked, i);
    if (ASN1_INTEGER_cmp(X509_REVOKED_get0_serialNumber(r), serial) == 0) return true;
  }
  return false;
}

// ---------------------------------------------------------------- the node

// The stores of one build, opened once for the whole tree.
struct CertPathNode::SystemStores {
  CertStore* crls = nullptr;  // the root's
  std::unique_ptr<CertStore> ca, root;
};

// The in-memory store of a signature's lists: certificates without
// duplicates (same bytes), one CRL per issuer name (the later replaces).
struct CertPathNode::ListStore {
  std::vector<CertPtr> certs;
  std::vector<CrlPtr> crls;

  void Add(const CertPtr& cert) {
    if (!cert) return;
    const auto same = [&](const CertPtr& c) {
      return std::ranges::equal(c->der(), cert->der());
    };
    if (std::ranges::find_if(certs, same) == certs.end()) certs.push_back(cert);
  }
  void Add(const CrlPtr& crl) {
    if (!crl) return;
    const auto same = [&](const CrlPtr& c) { return SameName(c->issuer_der(), crl->issuer_der()); };
    if (auto it = std::ranges::find_if(crls, same); it != crls.end())
      *it = crl;
    else
      crls.push_back(crl);
  }
};

CertPathNode::CertPathNode(CertPtr certificate) : certificate_(std::move(certificate)) {}
CertPathNode::~CertPathNode() = default;

CertPathNode* CertPathNode::Root() {
  CertPathNode* n = this;
  while (n->parent_ != nullptr) n = n->parent_;
  return n;
}

size_t CertPathNode::Level() const {
  size_t level = 1;
  for (const CertPathNode* n = parent_; n != nullptr; n = n->parent_) ++level;
  return level;
}

CertStore* CertPathNode::CrlStore(uint32_t location) {
  CertPathNode* root = Root();
  if (!root->crl_store_ || root->crl_store_location_ != location) {
    root->crl_store_.reset();
    if (CertStore::Open(location, kCrlStoreName, &root->crl_store_) != 0) return nullptr;
    root->crl_store_location_ = location;
  }
  return root->crl_store_.get();
}

CrlPtr CertPathNode::FindIssuedCrl(const std::vector<CrlPtr>& crls) {
  if (!certificate_) return nullptr;
  std::vector<CrlCheck>& checks = Root()->crl_checks_;
  for (const CrlPtr& crl : crls) {
    if (!crl || !SameName(crl->issuer_der(), certificate_->subject_der())) continue;
    const auto same = [&](const CrlCheck& c) {
      return c.crl == crl && c.signer == certificate_;
    };
    auto it = std::ranges::find_if(checks, same);
    if (it == checks.end()) {
      checks.push_back({crl, certificate_, crl->SignatureVerifiesWith(*certificate_)});
      it = checks.end() - 1;
    }
    if (it->verified) return crl;
  }
  return nullptr;
}

bool CertPathNode::SelfSigned() const {
  if (self_signed_ < 0) {
    self_signed_ = certificate_ &&
                           SameName(certificate_->issuer_der(), certificate_->subject_der()) &&
                           certificate_->SignatureVerifiesWith(*certificate_)
                       ? 1
                       : 0;
  }
  return self_signed_ == 1;
}

CertPathNode* CertPathNode::AddChild(const CertPtr& certificate) {
  CertPathNode* root = Root();
  if (Level() >= kMaxPathDepth || root->tree_nodes_ >= kMaxPathNodes) return nullptr;
  auto child = std::make_unique<CertPathNode>(certificate);
  child->parent_ = this;
  ++root->tree_nodes_;
  children_.push_back(std::move(child));
  return children_.back().get();
}

bool CertPathNode::IsAncestor() const {
  if (!certificate_) return false;
  for (const CertPathNode* n = parent_; n != nullptr; n = n->parent_) {
    if (n->certificate_ && platform::CompareCertificate(*certificate_, *n->certificate_))
      return true;
  }
  return false;
}

// ---- building

void CertPathNode::BuildFromSystemStores(uint32_t location) {
  SystemStores stores;
  stores.crls = CrlStore(location);
  // "Root" is searched only when "CA" could be opened.
  if (CertStore::Open(location, "CA", &stores.ca) == 0)
    CertStore::Open(location, "Root", &stores.root);
  BuildFrom(stores);
}

void CertPathNode::BuildFrom(SystemStores& stores) {
  if (!certificate_) return;
  if (stores.crls) crl_ = FindIssuedCrl(stores.crls->Crls());
  if (SelfSigned() || !stores.ca) return;
  // A certificate already on its own path gets no issuers, whichever store
  // they come from: a cross-signed pair would otherwise never end.
  if (IsAncestor()) return;
  for (CertStore* store : {stores.ca.get(), stores.root.get()}) {
    if (store == nullptr) continue;
    for (const CertPtr& issuer : IssuersIn(store->Certificates(), certificate_, false)) {
      CertPathNode* child = AddChild(issuer);
      if (child == nullptr) return;
      child->BuildFrom(stores);
    }
  }
}

void CertPathNode::BuildFromLists(std::span<const CertPtr> certificates,
                                  std::span<const CrlPtr> crls) {
  ListStore store;
  for (const CrlPtr& crl : crls) store.Add(crl);
  for (const CertPtr& cert : certificates) store.Add(cert);
  store.Add(certificate_);
  AddIssuersFromStore(store);
}

void CertPathNode::AddIssuersFromStore(const ListStore& store) {
  if (!certificate_) return;
  crl_ = FindIssuedCrl(store.crls);
  if (SelfSigned() || IsAncestor()) return;
  const std::vector<CertPtr> issuers = IssuersIn(store.certs, certificate_, true);
  if (issuers.empty()) return;
  if (CertPathNode* child = AddChild(issuers.front())) child->AddIssuersFromStore(store);
}

// ---- pruning

LibraryErrorCode CertPathNode::PruneUnchained() {
  if (children_.empty()) {
    // A path ends only at a certificate whose own key verifies it: a
    // certificate that merely names itself as issuer proves nothing.
    return SelfSigned() ? 0 : CERT_E_CHAINING;
  }
  std::erase_if(children_, [](const std::unique_ptr<CertPathNode>& c) {
    return c->PruneUnchained() != 0;
  });
  return children_.empty() ? CERT_E_CHAINING : 0;
}

LibraryErrorCode CertPathNode::PruneExpired() {
  if (!certificate_ || VerifyCertTimeValidity(*certificate_, std::time(nullptr)) != 0)
    return CERT_E_EXPIRED;
  const bool had_children = !children_.empty();
  std::erase_if(children_, [](const std::unique_ptr<CertPathNode>& c) {
    return c->PruneExpired() != 0;
  });
  return had_children && children_.empty() ? CERT_E_EXPIRED : 0;
}

// ---- revocation

LibraryErrorCode CertPathNode::CheckRevocation() {
  return CheckRevocationAt(nullptr, 0, true, false);
}

LibraryErrorCode CertPathNode::CheckRevocationWithDownload(X509Context* context,
                                                           uint32_t location, bool offline) {
  return CheckRevocationAt(context, location, offline, true);
}

LibraryErrorCode CertPathNode::CheckRevocationAt(X509Context* context, uint32_t location,
                                                 bool offline, bool download) {
  if (children_.empty()) return kNoIssuer;
  // Unchecked until one issuer's CRL really answered for this certificate
  // and the rest of that path was checked too.
  LibraryErrorCode result = CRYPT_E_NO_REVOCATION_CHECK;
  for (const std::unique_ptr<CertPathNode>& child : children_) {
    if (download) {
      if (child->FetchCrl(context, location, offline) != 0) continue;
    }
    if (!child->crl_ || !certificate_ || !child->certificate_) continue;
    if (!CrlCovers(*child->crl_, *certificate_, *child->certificate_)) {
      SetError(context, CRYPT_E_NO_REVOCATION_CHECK);
      continue;
    }
    if (IsCertificateInCrl(*certificate_, *child->crl_)) return CERT_E_REVOKED;
    const LibraryErrorCode above = child->CheckRevocationAt(context, location, offline, download);
    if (above == CERT_E_REVOKED) return CERT_E_REVOKED;
    if (above == 0 || above == kNoIssuer) result = 0;
  }
  return result;
}

LibraryErrorCode CertPathNode::FetchCrl(X509Context* context, uint32_t location, bool offline) {
  SetError(context, CRYPT_E_NO_REVOCATION_CHECK);
  crl_.reset();
  if (!certificate_) return CRYPT_E_NO_REVOCATION_CHECK;
  const std::time_t now = std::time(nullptr);

  if (CertStore* store = CrlStore(location)) {
    CrlPtr stored = FindIssuedCrl(store->Crls());
    if (stored && VerifyCrlTimeValidity(*stored, now) == 0) {
      crl_ = std::move(stored);
      return SetError(context, 0);
    }
  }

  if (!offline && context != nullptr) {
    for (size_t i = 0; i < context->crl_urls.size() && !crl_; ++i) {
      CrlPtr got = FetchCrlByIndex(context, i);
      if (!got) {
        // A download that brought no CRL never counts as a check.
        if (context->last_error == 0) SetError(context, CRYPT_E_NO_REVOCATION_CHECK);
        continue;
      }
      if (VerifyCrlTimeValidity(*got, now) != 0) {
        SetError(context, CRYPT_E_NO_REVOCATION_CHECK);
        continue;
      }
      const bool ours = SameName(got->issuer_der(), certificate_->subject_der()) &&
                        VerifyCrlSignature(CRL_FIND_ISSUED_BY, got, certificate_) == 0;
      // Kept for later checks even when another CA issued it; ours may
      // displace one its CA did not sign.
      bool stored = false;
      if (const LibraryErrorCode err =
              AddCrlToStore(location, got, ours ? certificate_ : nullptr, &stored);
          err != 0)
        SetError(context, err);
      if (stored) Root()->crl_store_.reset();
      if (ours) {
        crl_ = std::move(got);
        return SetError(context, 0);
      }
      SetError(context, CRYPT_E_NO_REVOCATION_CHECK);
    }
  }
  // A CA of the same name among this node's issuers (a renewed key) may
  // have signed the CRL.
  LibraryErrorCode result =
      context != nullptr && context->last_error != 0 ? context->last_error
                                                     : CRYPT_E_NO_REVOCATION_CHECK;
  for (const std::unique_ptr<CertPathNode>& child : children_) {
    if (!child->certificate_ ||
        !SameName(child->certificate_->subject_der(), certificate_->subject_der()))
      continue;
    result = child->FetchCrl(context, location, offline);
    if (result == 0 && child->crl_) {
      crl_ = child->crl_;
      return SetError(context, 0);
    }
    if (result == 0) result = CRYPT_E_NO_REVOCATION_CHECK;
  }
  return SetError(context, result);
}

// ---- checks

LibraryErrorCode CertPathNode::Verify() {
  if (const LibraryErrorCode r = PruneUnchained(); r == CERT_E_CHAINING) return r;
  return CheckRevocation();
}

LibraryErrorCode CertPathNode::VerifyOnline(X509Context* context, uint32_t location,
                                            bool offline) {
  if (const LibraryErrorCode r = PruneUnchained(); r == CERT_E_CHAINING) return r;
  if (const LibraryErrorCode r = PruneExpired(); r == CERT_E_EXPIRED) return r;
  return CheckRevocationWithDownload(context, location, offline);
}

// ---- export

size_t CertPathNode::GetDepth() const {
  size_t depth = 1;
  for (const CertPathNode* n = this; !n->children_.empty(); n = n->children_.front().get())
    ++depth;
  return depth;
}

CertChainPtr CertPathNode::ToChainContext() {
  auto chain = std::make_unique<CertChainContext>();
  CertSimpleChain& simple = chain->chains.emplace_back();
  simple.elements.reserve(GetDepth());
  for (const CertPathNode* n = this; n != nullptr;
       n = n->children_.empty() ? nullptr : n->children_.front().get())
    simple.elements.push_back(CertChainElement{n->certificate_, n->crl_});
  last_result_ = 0;
  return chain;
}

// ------------------------------------------------------------ flat functions

LibraryErrorCode VerifyCertificate(X509Context* context, uint32_t location, uint32_t mode) {
  if (context == nullptr) return kErrorInvalidParameter;
  if (!context->certificate) return SetError(context, kErrorInvalidParameter);
  context->last_error = 0;
  CertPathNode root(context->certificate);
  root.BuildFromSystemStores(location);
  return root.VerifyOnline(context, location, mode != 0);
}

CertChainPtr GetCertificateChain(X509Context* context, uint32_t location) {
  if (context == nullptr) return nullptr;
  if (!context->certificate) {
    SetError(context, LIB_E_NO_CERTIFICATE);
    return nullptr;
  }
  CertPathNode root(context->certificate);
  root.BuildFromSystemStores(location);
  const LibraryErrorCode result = root.VerifyOnline(context, location, true);
  CertChainPtr chain = root.ToChainContext();
  SetError(context, result);
  return chain;
}

}  // namespace vel::crypto
