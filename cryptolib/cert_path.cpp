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

// A name as its bytes and as OpenSSL decoded it.
struct Name {
  std::span<const uint8_t> der;
  const X509_NAME* decoded;
};
Name IssuerOf(const CertContext& cert) {
  return {cert.issuer_der(), X509_get_issuer_name(cert.x509())};
}
Name SubjectOf(const CertContext& cert) {
  return {cert.subject_der(), X509_get_subject_name(cert.x509())};
}
Name IssuerOf(const CrlContext& crl) { return {crl.issuer_der(), X509_CRL_get_issuer(crl.crl())}; }

// Names on a path match as RFC 5280 compares them, not byte for byte: a CA
// may write its name in another string type, case or spacing in its own
// certificate, its CRLs and what it issued. OpenSSL's canonical form reads
// the directory string types as UTF-8, drops leading and trailing white
// space, collapses inner runs to one space and folds ASCII case; it is also
// what `openssl verify` matches names with.
bool SameName(const Name& a, const Name& b) {
  if (std::ranges::equal(a.der, b.der)) return true;
  return a.decoded != nullptr && b.decoded != nullptr && X509_NAME_cmp(a.decoded, b.decoded) == 0;
}

bool IsSelfIssued(const CertContext& cert) { return SameName(IssuerOf(cert), SubjectOf(cert)); }

bool IsSelfSigned(const CertContext& cert) {
  return IsSelfIssued(cert) && cert.SignatureVerifiesWith(cert);
}

// basicConstraints with cA TRUE.
bool HasCaConstraint(const CertContext& cert) {
  const uint32_t flags = X509_get_extension_flags(cert.x509());
  ERR_clear_error();
  return (flags & EXFLAG_BCONS) != 0 && (flags & EXFLAG_CA) != 0;
}

// Whether `cert` may issue certificates on a path: basicConstraints with cA
// TRUE and, when it has a key usage, keyCertSign. Only a self-signed
// certificate of the "Root" store may end a path without basicConstraints
// (old version 1 roots, or a key usage allowing certificate signing).
bool MayIssueCertificates(const CertContext& cert, bool trust_anchor) {
  const int ca = X509_check_ca(cert.x509());
  ERR_clear_error();
  return ca == 1 || (trust_anchor && ca != 0);
}

// The reasons of a ReasonFlags BIT STRING, as OpenSSL numbers them; none
// given means all.
constexpr uint32_t kAllReasons = CRLDP_ALL_REASONS;
uint32_t Reasons(const ASN1_BIT_STRING* bits) {
  if (bits == nullptr) return kAllReasons;
  const int len = ASN1_STRING_length(bits);
  const unsigned char* d = ASN1_STRING_get0_data(bits);
  uint32_t out = len > 0 ? d[0] : 0;
  if (len > 1) out |= static_cast<uint32_t>(d[1]) << 8;
  return out & kAllReasons;
}

// The names of a distribution point, each as its encoding: a directory name
// as its Name, a name relative to the CRL issuer made whole first.
using NameSet = std::vector<std::vector<uint8_t>>;
NameSet DistributionPointNames(DIST_POINT_NAME* dpn, const X509_NAME* issuer) {
  NameSet out;
  auto add_name = [&](const X509_NAME* name) {
    unsigned char* der = nullptr;
    const int len = i2d_X509_NAME(name, &der);
    if (len > 0) {
      std::vector<uint8_t> v{'D'};
      v.insert(v.end(), der, der + len);
      out.push_back(std::move(v));
    }
    OPENSSL_free(der);
  };
  if (dpn == nullptr) return out;
  if (dpn->type == 0) {
    for (int i = 0; i < sk_GENERAL_NAME_num(dpn->name.fullname); ++i) {
      GENERAL_NAME* gen = sk_GENERAL_NAME_value(dpn->name.fullname, i);
      if (gen->type == GEN_DIRNAME) {
        add_name(gen->d.directoryName);
        continue;
      }
      unsigned char* der = nullptr;
      const int len = i2d_GENERAL_NAME(gen, &der);
      if (len > 0) out.emplace_back(der, der + len);
      OPENSSL_free(der);
    }
  } else if (DIST_POINT_set_dpname(dpn, issuer) == 1 && dpn->dpname != nullptr) {
    add_name(dpn->dpname);
  }
  return out;
}

bool Intersect(const NameSet& a, const NameSet& b) {
  for (const auto& x : a)
    if (std::ranges::find(b, x) != b.end()) return true;
  return false;
}

struct DistPointsDeleter {
  void operator()(CRL_DIST_POINTS* p) const { CRL_DIST_POINTS_free(p); }
};
struct IdpDeleter {
  void operator()(ISSUING_DIST_POINT* p) const { ISSUING_DIST_POINT_free(p); }
};

// The reasons for which a CRL whose issuingDistributionPoint names `idp_names`
// answers for `cert`: those of the certificate's distribution points (ones
// naming another CRL issuer aside) that carry one of those names; 0 when none
// does, or when the certificate has no distribution points.
uint32_t DistributionPointReasons(const CertContext& cert, const NameSet& idp_names) {
  int critical = 0;
  std::unique_ptr<CRL_DIST_POINTS, DistPointsDeleter> dps(static_cast<CRL_DIST_POINTS*>(
      X509_get_ext_d2i(cert.x509(), NID_crl_distribution_points, &critical, nullptr)));
  uint32_t reasons = 0;
  for (int i = 0; dps && i < sk_DIST_POINT_num(dps.get()); ++i) {
    DIST_POINT* dp = sk_DIST_POINT_value(dps.get(), i);
    if (dp->CRLissuer != nullptr || dp->distpoint == nullptr) continue;
    if (Intersect(DistributionPointNames(dp->distpoint, X509_get_issuer_name(cert.x509())),
                  idp_names))
      reasons |= Reasons(dp->reasons);
  }
  return reasons;
}

}  // namespace

CrlScope GetCrlScope(const CrlContext& crl, const CertContext& cert, const CertContext& issuer) {
  if (!SameName(IssuerOf(crl), IssuerOf(cert))) return CrlScope::kNone;
  const uint32_t usage = X509_get_key_usage(issuer.x509());
  if (usage != UINT32_MAX && (usage & KU_CRL_SIGN) == 0) return CrlScope::kNone;

  X509_CRL* x = crl.crl();
  const int count = X509_CRL_get_ext_count(x);
  for (int i = 0; i < count; ++i) {
    X509_EXTENSION* ext = X509_CRL_get_ext(x, i);
    const int nid = OBJ_obj2nid(X509_EXTENSION_get_object(ext));
    // A delta CRL says nothing about what it does not list.
    if (nid == NID_delta_crl) return CrlScope::kNone;
    if (X509_EXTENSION_get_critical(ext) && nid != NID_issuing_distribution_point &&
        nid != NID_crl_number && nid != NID_authority_key_identifier)
      return CrlScope::kNone;
  }
  int critical = 0;
  std::unique_ptr<ISSUING_DIST_POINT, IdpDeleter> idp(static_cast<ISSUING_DIST_POINT*>(
      X509_CRL_get_ext_d2i(x, NID_issuing_distribution_point, &critical, nullptr)));
  ERR_clear_error();
  if (!idp) {
    // More than one, or one that does not decode: no scope can be told.
    return critical == -1 ? CrlScope::kFull : CrlScope::kNone;
  }
  if (idp->indirectCRL || idp->onlyattr) return CrlScope::kNone;
  const bool ca = HasCaConstraint(cert);
  if ((idp->onlyuser && ca) || (idp->onlyCA && !ca)) return CrlScope::kNone;
  uint32_t reasons = Reasons(idp->onlysomereasons);
  if (idp->distpoint != nullptr) {
    const NameSet names =
        DistributionPointNames(idp->distpoint, X509_CRL_get_issuer(x));
    reasons &= DistributionPointReasons(cert, names);
  }
  ERR_clear_error();
  if (reasons == 0) return CrlScope::kNone;
  return reasons == kAllReasons ? CrlScope::kFull : CrlScope::kSomeReasons;
}

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

bool IsCertificateInCrl(const CertContext& cert, const CrlContext& crl) { return crl.Lists(cert); }

// ---------------------------------------------------------------- the node

// The stores of one build, opened once for the whole tree.
struct CertPathNode::SystemStores {
  CertStore* crls = nullptr;  // the root's
  std::unique_ptr<CertStore> ca, root;
};

// The in-memory store of a signature's lists: certificates and CRLs without
// duplicates (same bytes). CRLs of one issuer name are all kept: partitions
// and CRLs of another key of the same CA each answer for other certificates.
struct CertPathNode::ListStore {
  std::vector<CertPtr> certs;
  std::vector<CrlPtr> crls;

  template <typename Ptr>
  static void AddTo(std::vector<Ptr>& list, const Ptr& item) {
    if (!item) return;
    const auto same = [&](const Ptr& c) { return std::ranges::equal(c->der(), item->der()); };
    if (std::ranges::find_if(list, same) == list.end()) list.push_back(item);
  }
  void Add(const CertPtr& cert) { AddTo(certs, cert); }
  void Add(const CrlPtr& crl) { AddTo(crls, crl); }
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

const CertPtr& CertPathNode::Subject() const {
  static const CertPtr kNone;
  return parent_ != nullptr ? parent_->certificate_ : kNone;
}

CrlPtr CertPathNode::FindIssuedCrl(const std::vector<CrlPtr>& crls, const std::time_t* now) {
  if (!certificate_) return nullptr;
  const CertPtr& subject = Subject();
  CrlPtr best;
  CrlScope best_scope = CrlScope::kNone;
  for (const CrlPtr& crl : crls) {
    if (!crl || !SameName(IssuerOf(*crl), SubjectOf(*certificate_))) continue;
    if (now != nullptr && VerifyCrlTimeValidity(*crl, *now) != 0) continue;
    if (!crl->SignatureVerifiesWith(*certificate_)) continue;
    // Without a subject (the certificate under test) any CRL of ours will do.
    const CrlScope scope = subject ? GetCrlScope(*crl, *subject, *certificate_) : CrlScope::kFull;
    if (scope == CrlScope::kNone) continue;
    // A CRL that lists the subject settles it; else the widest scope, then
    // the newest.
    if (subject && crl->Lists(*subject)) return crl;
    if (!best || scope > best_scope ||
        (scope == best_scope && crl->this_update().ToTimeT() > best->this_update().ToTimeT())) {
      best = crl;
      best_scope = scope;
    }
  }
  return best;
}

bool CertPathNode::SelfSigned() const {
  if (self_signed_ < 0) self_signed_ = certificate_ && IsSelfSigned(*certificate_) ? 1 : 0;
  return self_signed_ == 1;
}

bool CertPathNode::AcceptsIssuer(X509Context* temp, const CertPtr& candidate,
                                 bool from_root_store) const {
  if (!candidate) return false;
  // Found by key: the candidate's key must verify this node's certificate.
  temp->certificate = candidate;
  if (IsIssuerOf(temp, certificate_) != 1) return false;
  if (!MayIssueCertificates(*candidate, from_root_store && IsSelfSigned(*candidate))) return false;
  // pathLenConstraint: at most that many certificates below the candidate,
  // the certificate under test and self-issued ones not counted.
  const long path_len = X509_get_pathlen(candidate->x509());
  ERR_clear_error();
  if (path_len < 0) return true;
  long below = 0;
  for (const CertPathNode* n = this; n->parent_ != nullptr; n = n->parent_)
    if (n->certificate_ && !IsSelfIssued(*n->certificate_)) ++below;
  return below <= path_len;
}

std::vector<CertPtr> CertPathNode::IssuersIn(const std::vector<CertPtr>& certs,
                                             bool from_root_store, bool first_only) const {
  std::vector<CertPtr> out;
  X509ContextPtr temp = MakeX509Context();
  if (!temp) return out;
  for (const CertPtr& candidate : certs) {
    if (!AcceptsIssuer(temp.get(), candidate, from_root_store)) continue;
    out.push_back(candidate);
    if (first_only) break;
  }
  return out;
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
  if (stores.crls) crl_ = FindIssuedCrl(stores.crls->Crls(), nullptr);
  if (SelfSigned() || !stores.ca) return;
  // A certificate already on its own path gets no issuers, whichever store
  // they come from: a cross-signed pair would otherwise never end.
  if (IsAncestor()) return;
  for (CertStore* store : {stores.ca.get(), stores.root.get()}) {
    if (store == nullptr) continue;
    for (const CertPtr& issuer : IssuersIn(store->Certificates(), store == stores.root.get(), false)) {
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
  crl_ = FindIssuedCrl(store.crls, nullptr);
  if (SelfSigned() || IsAncestor()) return;
  const std::vector<CertPtr> issuers = IssuersIn(store.certs, false, true);
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
    const CrlPtr& crl = child->crl_;
    if (!crl || !certificate_ || !child->certificate_) continue;
    // Only a CRL signed by the key that signed this certificate, and whose
    // scope covers it, answers for it.
    const CrlScope scope = crl->SignatureVerifiesWith(*child->certificate_)
                               ? GetCrlScope(*crl, *certificate_, *child->certificate_)
                               : CrlScope::kNone;
    if (scope != CrlScope::kNone && crl->Lists(*certificate_)) return CERT_E_REVOKED;
    if (scope != CrlScope::kFull) {
      // Some reasons only: it can say revoked, never good.
      SetError(context, CRYPT_E_NO_REVOCATION_CHECK);
      continue;
    }
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
  const CertPtr& subject = Subject();

  if (CertStore* store = CrlStore(location)) {
    if (CrlPtr stored = FindIssuedCrl(store->Crls(), &now)) {
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
      const bool ours = SameName(IssuerOf(*got), SubjectOf(*certificate_)) &&
                        VerifyCrlSignature(CRL_FIND_ISSUED_BY, got, certificate_) == 0;
      // Kept for later checks even when another CA issued it, or when it is
      // a partition of ours for other certificates.
      bool stored = false;
      if (const LibraryErrorCode err =
              AddCrlToStore(location, got, ours ? certificate_ : nullptr, &stored);
          err != 0)
        SetError(context, err);
      if (stored) Root()->crl_store_.reset();
      if (ours && (!subject || GetCrlScope(*got, *subject, *certificate_) != CrlScope::kNone)) {
        crl_ = std::move(got);
        return SetError(context, 0);
      }
      SetError(context, CRYPT_E_NO_REVOCATION_CHECK);
    }
  }
  // A CA of the same name among this node's issuers may have obtained the
  // CRL; it is lent only when this node's own key signed it.
  LibraryErrorCode result =
      context != nullptr && context->last_error != 0 ? context->last_error
                                                     : CRYPT_E_NO_REVOCATION_CHECK;
  for (const std::unique_ptr<CertPathNode>& child : children_) {
    if (!child->certificate_ ||
        !SameName(SubjectOf(*child->certificate_), SubjectOf(*certificate_)))
      continue;
    result = child->FetchCrl(context, location, offline);
    if (result == 0 && child->crl_ && child->crl_->SignatureVerifiesWith(*certificate_)) {
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
