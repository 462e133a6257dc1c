#include "cryptolib/cms_signed_data.h"

#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "cryptolib/der.h"
#include "cryptolib/der_utils.h"

namespace vel::crypto::cms {
namespace {

constexpr LibraryErrorCode kBadTag = 0x8009310B;
constexpr LibraryErrorCode kInvalidMsgType = 0x80091004;
constexpr LibraryErrorCode kHashValue = 0x80091007;
constexpr LibraryErrorCode kSignerNotFound = 0x8009200E;
constexpr LibraryErrorCode kNotFound = 0x80092004;
constexpr LibraryErrorCode kBadSignature = 0x80090006;
constexpr LibraryErrorCode kBadAlgId = 0x80090008;

struct PkeyCtxDeleter {
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct MdCtxDeleter {
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};

// The signature algorithm of a SignerInfo: RSA, plain or naming the same digest.
bool RsaAlgorithmFits(const std::string& sig, const EVP_MD* md) {
  return sig == kOidRsaEncryption || (sig == "1.2.840.113549.1.1.5" && md == EVP_sha1()) ||
         (sig == "1.2.840.113549.1.1.11" && md == EVP_sha256()) ||
         (sig == "1.2.840.113549.1.1.12" && md == EVP_sha384()) ||
         (sig == "1.2.840.113549.1.1.13" && md == EVP_sha512());
}

bool IsOid(Bytes element, std::string_view dotted) {
  der::Reader r(element);
  std::string oid;
  return r.ReadOid(&oid) && r.empty() && oid == dotted;
}

// OBJECT IDENTIFIER element -> dotted text.
bool OidText(Bytes element, std::string* text) {
  der::Reader r(element);
  return r.ReadOid(text) && r.empty();
}

// SEQUENCE { OID, parameters OPTIONAL }: the OID as text.
bool ReadAlgorithm(der::Reader& r, std::string* oid) {
  der::Reader alg;
  if (!r.Enter(der::kSequence, &alg) || !alg.ReadOid(oid)) return false;
  if (!alg.empty() && !alg.Skip()) return false;
  return alg.empty();
}

// An OCTET STRING, primitive or (BER leftovers) constructed of pieces.
bool ReadOctets(der::Reader& r, std::vector<Bytes>* pieces) {
  if (r.Peek(der::kOctetString)) {
    Bytes content;
    if (!r.ReadOctetString(&content)) return false;
    pieces->push_back(content);
    return true;
  }
  der::Reader inner;
  if (!r.Enter(der::kOctetString | der::kConstructedBit, &inner)) return false;
  while (!inner.empty())
    if (!ReadOctets(inner, pieces)) return false;
  return true;
}

// The content of a SET OF Attribute.
bool ReadAttributes(Bytes content, std::vector<Attribute>* out) {
  der::Reader r(content);
  while (!r.empty()) {
    Attribute a;
    der::Element e;
    if (!r.PeekElement(&e) || e.tag != der::kSequence) return false;
    a.encoded = e.encoded;
    der::Reader attr, values;
    if (!r.Enter(der::kSequence, &attr) || !attr.ReadOid(&a.oid) ||
        !attr.Enter(der::kSet, &values) || !attr.empty())
      return false;
    while (!values.empty()) {
      der::Element v;
      if (!values.ReadElement(&v)) return false;
      a.values.push_back(v.encoded);
    }
    out->push_back(std::move(a));
  }
  return true;
}

bool ParseSignerInfo(der::Element element, SignerInfo* si) {
  si->encoded = element.encoded;
  der::Reader r(element.content);
  if (!r.ReadInteger(&si->version)) return false;
  if (r.Peek(der::kSequence)) {
    der::Reader ias;
    if (!r.Enter(der::kSequence, &ias) || !ias.ReadEncoded(der::kSequence, &si->issuer) ||
        !ias.ReadInteger(&si->serial) || !ias.empty())
      return false;
  } else {
    si->by_key_id = true;
    if (!r.Read(der::ContextPrimitive(0), &si->key_id)) return false;
  }
  if (!ReadAlgorithm(r, &si->digest_oid)) return false;
  if (r.Peek(der::ContextConstructed(0))) {
    der::Element attrs;
    if (!r.ReadElement(&attrs)) return false;
    si->has_signed_attributes = true;
    si->signed_attributes = attrs.encoded;
    if (!ReadAttributes(attrs.content, &si->signed_attrs)) return false;
  }
  if (!ReadAlgorithm(r, &si->signature_oid)) return false;
  if (!r.ReadOctetString(&si->signature)) return false;
  si->head = element.content.first(element.content.size() - r.remaining());
  if (r.Peek(der::ContextConstructed(1))) {
    der::Element attrs;
    if (!r.ReadElement(&attrs)) return false;
    si->has_unsigned_attributes = true;
    si->unsigned_content = attrs.content;
    if (!ReadAttributes(attrs.content, &si->unsigned_attrs)) return false;
  }
  return r.empty();
}

LibraryErrorCode ParseDer(Bytes message, SignedData* sd) {
  der::Reader top(message), ci;
  // Bytes after the ContentInfo (padding of a file) are not part of the message.
  if (!top.Enter(der::kSequence, &ci)) return kBadTag;
  std::string type;
  if (!ci.ReadEncoded(der::kOid, &sd->content_type) || !OidText(sd->content_type, &type))
    return kBadTag;
  der::Reader explicit0, s;
  if (!ci.Enter(der::ContextConstructed(0), &explicit0) || !ci.empty()) return kBadTag;
  if (type != kOidSignedData) return kInvalidMsgType;
  if (!explicit0.Enter(der::kSequence, &s) || !explicit0.empty()) return kBadTag;

  int64_t version = 0;
  {
    der::Reader probe = s;
    if (!probe.ReadInteger(&version)) return kBadTag;  // a well-formed INTEGER
  }
  if (!s.ReadEncoded(der::kInteger, &sd->version)) return kBadTag;

  der::Element algs;
  if (!s.PeekElement(&algs) || algs.tag != der::kSet || !s.Skip()) return kBadTag;
  sd->digest_algorithms = algs.encoded;
  sd->digest_algorithms_content = algs.content;
  {
    der::Reader a(algs.content);
    while (!a.empty()) {
      std::string oid;
      if (!ReadAlgorithm(a, &oid)) return kBadTag;
      sd->digest_algorithm_oids.push_back(std::move(oid));
    }
  }

  der::Element encap;
  if (!s.PeekElement(&encap) || encap.tag != der::kSequence) return kBadTag;
  sd->encap = encap.encoded;
  {
    der::Reader e;
    if (!s.Enter(der::kSequence, &e) || !e.ReadEncoded(der::kOid, &sd->econtent_type)) return kBadTag;
    std::string t;
    if (!OidText(sd->econtent_type, &t)) return kBadTag;
    if (!e.empty()) {
      der::Reader c;
      if (!e.Enter(der::ContextConstructed(0), &c) || !ReadOctets(c, &sd->econtent) || !c.empty() ||
          !e.empty())
        return kBadTag;
      sd->has_econtent = true;
    }
  }

  if (s.Peek(der::ContextConstructed(0))) {
    der::Element certs;
    if (!s.ReadElement(&certs)) return kBadTag;
    sd->has_certificates = true;
    sd->certificates_element = certs.encoded;
    sd->certificates_content = certs.content;
    der::Reader c(certs.content);
    while (!c.empty()) {
      der::Element one;
      if (!c.ReadElement(&one)) return kBadTag;
      // Attribute and other certificate forms are carried along but not used.
      if (one.tag == der::kSequence) sd->certificates.push_back(one.encoded);
    }
  }
  if (s.Peek(der::ContextConstructed(1))) {
    der::Element crls;
    if (!s.ReadElement(&crls)) return kBadTag;
    sd->crls = crls.encoded;
  }

  der::Element infos;
  if (!s.PeekElement(&infos) || infos.tag != der::kSet || !s.Skip() || !s.empty()) return kBadTag;
  sd->signer_infos_content = infos.content;
  der::Reader r(infos.content);
  while (!r.empty()) {
    der::Element one;
    if (!r.ReadElement(&one) || one.tag != der::kSequence) return kBadTag;
    SignerInfo si;
    if (!ParseSignerInfo(one, &si)) return kBadTag;
    sd->signers.push_back(std::move(si));
  }
  return 0;
}

// DER sort order of SET OF elements: by their encodings, the shorter one
// padded with zeros.
bool DerSetLess(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  const size_t n = std::min(a.size(), b.size());
  const int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
  if (c != 0) return c < 0;
  return a.size() < b.size();
}

std::optional<std::vector<uint8_t>> Attribute1(std::string_view oid, Bytes value) {
  der::Writer w;
  w.Begin(der::kSequence);
  w.AddOid(oid);
  w.Begin(der::kSet);
  w.AddEncoded(value);
  w.End();
  w.End();
  return w.Finish();
}

void AddSha1Algorithm(der::Writer& w) {
  w.Begin(der::kSequence);
  w.AddOid("1.3.14.3.2.26");
  w.AddNull();
  w.End();
}

}  // namespace

LibraryErrorCode ParseSignedData(Bytes message, SignedData* out) {
  SignedData sd;
  const LibraryErrorCode err = ParseDer(message, &sd);
  if (err == 0) {
    *out = std::move(sd);
    return 0;
  }
  if (err != kBadTag) return err;
  // Streaming encoders write indefinite lengths; read the DER form of the same message.
  SignedData again;
  if (BerToDer(message, &again.der_copy) != 0) return err;
  const Bytes copy(again.der_copy);
  if (ParseDer(copy, &again) != 0) return err;
  *out = std::move(again);
  return 0;
}

std::vector<uint8_t> JoinContent(const SignedData& sd) {
  std::vector<uint8_t> out;
  for (Bytes b : sd.econtent) out.insert(out.end(), b.begin(), b.end());
  return out;
}

std::vector<uint8_t> DigestOf(const EVP_MD* md, std::span<const Bytes> pieces) {
  std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> ctx(EVP_MD_CTX_new());
  if (!ctx || md == nullptr || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) return {};
  // Fed in small steps: the digest runs faster over data that stays in cache.
  constexpr size_t kStep = 8192;
  for (Bytes b : pieces)
    for (size_t at = 0; at < b.size(); at += kStep)
      if (EVP_DigestUpdate(ctx.get(), b.data() + at, std::min(kStep, b.size() - at)) != 1)
        return {};
  std::vector<uint8_t> out(EVP_MAX_MD_SIZE);
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(ctx.get(), out.data(), &len) != 1) return {};
  out.resize(len);
  return out;
}

std::vector<uint8_t> DigestOf(const EVP_MD* md, ContentFeed& feed) {
  std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> ctx(EVP_MD_CTX_new());
  const std::lock_guard lock(feed.reading());
  if (!ctx || md == nullptr || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1 || !feed.Rewind())
    return {};
  // One buffer that stays in cache, refilled until the feed ends.
  constexpr size_t kBuffer = 64 * 1024;
  const std::unique_ptr<uint8_t[]> buffer(new uint8_t[kBuffer]);
  for (;;) {
    const int64_t n = feed.Read(buffer.get(), kBuffer);
    if (n < 0 || n > static_cast<int64_t>(kBuffer)) return {};
    if (n == 0) break;
    if (EVP_DigestUpdate(ctx.get(), buffer.get(), static_cast<size_t>(n)) != 1) return {};
  }
  std::vector<uint8_t> out(EVP_MAX_MD_SIZE);
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(ctx.get(), out.data(), &len) != 1) return {};
  out.resize(len);
  return out;
}

const EVP_MD* DigestForOid(const std::string& oid) {
  if (oid == "1.3.14.3.2.26") return EVP_sha1();
  if (oid == "2.16.840.1.101.3.4.2.1") return EVP_sha256();
  if (oid == "2.16.840.1.101.3.4.2.2") return EVP_sha384();
  if (oid == "2.16.840.1.101.3.4.2.3") return EVP_sha512();
  return nullptr;
}

platform::CertPtr FindSignerCertificate(const SignedData& sd, const SignerInfo& si) {
  for (Bytes der : sd.certificates) {
    platform::CertPtr cert = platform::CertContext::FromDer(der);
    if (!cert) continue;
    if (si.by_key_id) {
      std::vector<uint8_t> value;
      if (!cert->FindExtension("2.5.29.14", &value)) continue;
      der::Reader r(value);
      Bytes id;
      if (r.ReadOctetString(&id) && r.empty() && std::ranges::equal(id, si.key_id)) return cert;
    } else if (platform::CompareCertificateName(cert->issuer_der(), si.issuer) &&
               platform::CompareIntegerBlob(cert->serial(), si.serial)) {
      return cert;
    }
  }
  return nullptr;
}

LibraryErrorCode CheckSignerSignature(const SignerInfo& si, const platform::CertContext& cert,
                                      Bytes econtent_type, SignerRole role,
                                      const ContentDigest& content_digest) {
  const EVP_MD* md = DigestForOid(si.digest_oid);
  if (md == nullptr) return kBadAlgId;
  EVP_PKEY* pub = X509_get0_pubkey(cert.x509());
  const bool rsa_ok = RsaAlgorithmFits(si.signature_oid, md) && pub != nullptr &&
                      EVP_PKEY_get_base_id(pub) == EVP_PKEY_RSA;

  std::vector<uint8_t> signed_digest;
  if (!si.has_signed_attributes) {
    // Without signed attributes the signature covers the content's digest
    // itself, which other tools make for plain data; a type other than data,
    // a counter-signature or a time stamp always needs the attributes.
    if (role != SignerRole::kSigner || !IsOid(econtent_type, kOidData)) return kHashValue;
    if (!rsa_ok) return kBadAlgId;
    signed_digest = content_digest(md);
    if (signed_digest.empty()) return kHashValue;
  } else {
    const Attribute* content_type = nullptr;
    const Attribute* message_digest = nullptr;
    for (const Attribute& a : si.signed_attrs) {
      const Attribute** slot = a.oid == kOidContentType     ? &content_type
                               : a.oid == kOidMessageDigest ? &message_digest
                                                            : nullptr;
      if (slot == nullptr) continue;
      if (*slot != nullptr || a.values.size() != 1) return kHashValue;
      *slot = &a;
    }
    if (message_digest == nullptr) return kHashValue;
    // A counter-signature covers a signature value, which has no content type.
    if (role != SignerRole::kCounterSigner &&
        (content_type == nullptr || !std::ranges::equal(content_type->values[0], econtent_type)))
      return kHashValue;
    der::Reader mdr(message_digest->values[0]);
    Bytes claimed;
    if (!mdr.ReadOctetString(&claimed) || !mdr.empty()) return kHashValue;
    const std::vector<uint8_t> actual = content_digest(md);
    if (actual.empty() || !std::ranges::equal(actual, claimed)) return kHashValue;
    if (!rsa_ok) return kBadAlgId;
    // The signature covers the DER of the attributes as a SET (tag 0x31 for [0]).
    const uint8_t set_tag = der::kSet;
    const Bytes pieces[] = {Bytes(&set_tag, 1), si.signed_attributes.subspan(1)};
    signed_digest = DigestOf(md, pieces);
    if (signed_digest.empty()) return kBadSignature;
  }
  std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDeleter> ctx(EVP_PKEY_CTX_new(pub, nullptr));
  if (!ctx || EVP_PKEY_verify_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0 ||
      EVP_PKEY_CTX_set_signature_md(ctx.get(), md) <= 0)
    return kBadSignature;
  const int ok = EVP_PKEY_verify(ctx.get(), si.signature.data(), si.signature.size(),
                                 signed_digest.data(), signed_digest.size());
  return ok == 1 ? 0 : kBadSignature;
}

LibraryErrorCode VerifySigner(const SignedData& sd, size_t index, std::span<const Bytes> content) {
  return VerifySigner(sd, index, [&](const EVP_MD* md) { return DigestOf(md, content); });
}

LibraryErrorCode VerifySigner(const SignedData& sd, size_t index, const ContentDigest& content_digest) {
  if (index >= sd.signers.size()) return kSignerNotFound;
  const SignerInfo& si = sd.signers[index];
  platform::CertPtr cert = FindSignerCertificate(sd, si);
  if (!cert) return kNotFound;
  return CheckSignerSignature(si, *cert, sd.econtent_type, SignerRole::kSigner, content_digest);
}

std::optional<std::vector<uint8_t>> Rebuild(const SignedData& sd, const Splice& splice) {
  der::Writer w;
  w.Begin(der::kSequence);
  w.AddEncoded(sd.content_type);
  w.Begin(der::ContextConstructed(0));
  w.Begin(der::kSequence);
  w.AddEncoded(sd.version);
  if (splice.add_sha1_algorithm) {
    w.Begin(der::kSet);
    w.AddEncoded(sd.digest_algorithms_content);
    AddSha1Algorithm(w);
    w.End();
  } else {
    w.AddEncoded(sd.digest_algorithms);
  }
  w.AddEncoded(sd.encap);
  if (!splice.add_certificate.empty()) {
    w.Begin(der::ContextConstructed(0));
    w.AddEncoded(sd.certificates_content);
    w.AddEncoded(splice.add_certificate);
    w.End();
  } else if (sd.has_certificates) {
    w.AddEncoded(sd.certificates_element);
  }
  if (!sd.crls.empty()) w.AddEncoded(sd.crls);
  w.Begin(der::kSet);
  for (size_t i = 0; i < sd.signers.size(); ++i) {
    if (splice.replace_signer && *splice.replace_signer == i)
      w.AddEncoded(splice.replacement);
    else
      w.AddEncoded(sd.signers[i].encoded);
  }
  if (!splice.add_signer.empty()) w.AddEncoded(splice.add_signer);
  w.End();
  w.End();
  w.End();
  w.End();
  return w.Finish();
}

LibraryErrorCode MakeSignerInfo(const platform::CertContext& cert, Bytes content_type,
                                std::span<const uint8_t> content_digest, platform::Signer* signer,
                                std::vector<uint8_t>* out) {
  EVP_PKEY* pub = X509_get0_pubkey(cert.x509());
  if (pub == nullptr || EVP_PKEY_get_base_id(pub) != EVP_PKEY_RSA) return kBadAlgId;
  if (cert.sha1().size() != 20 || content_digest.size() != 20) return kBadAlgId;

  // ESS signingCertificate: SEQUENCE { SEQUENCE OF { ESSCertID { certHash } } }.
  der::Writer ess;
  ess.Begin(der::kSequence);
  ess.Begin(der::kSequence);
  ess.Begin(der::kSequence);
  ess.AddOctetString(cert.sha1());
  ess.End();
  ess.End();
  ess.End();
  auto ess_value = ess.Finish();
  der::Writer md;
  md.AddOctetString(content_digest);
  auto md_value = md.Finish();
  if (!ess_value || !md_value) return kBadTag;

  std::vector<std::vector<uint8_t>> attrs;
  for (auto a : {Attribute1(kOidContentType, content_type),
                 Attribute1(kOidMessageDigest, *md_value),
                 Attribute1("1.2.840.113549.1.9.16.2.12", *ess_value)}) {
    if (!a) return kBadTag;
    attrs.push_back(std::move(*a));
  }
  // DER order, so that a reader that re-encodes the set gets the same bytes.
  std::sort(attrs.begin(), attrs.end(), DerSetLess);
  der::Writer set;
  set.Begin(der::kSet);
  for (const auto& a : attrs) set.AddEncoded(a);
  set.End();
  auto signed_set = set.Finish();
  if (!signed_set) return kBadTag;

  std::vector<uint8_t> signature;
  if (signer == nullptr) {
    const int size = EVP_PKEY_get_size(pub);
    if (size <= 0) return kBadAlgId;
    signature.assign(static_cast<size_t>(size), 0);
  } else {
    const Bytes whole[] = {Bytes(*signed_set)};
    const std::vector<uint8_t> digest = DigestOf(EVP_sha1(), whole);
    if (digest.size() != 20) return kBadAlgId;
    const LibraryErrorCode err = signer->SignSha1Digest(digest, &signature);
    if (err != 0) return err;
  }

  der::Writer w;
  w.Begin(der::kSequence);
  w.AddInteger(1);
  w.Begin(der::kSequence);
  w.AddEncoded(cert.issuer_der());
  w.AddIntegerContent(cert.serial());
  w.End();
  AddSha1Algorithm(w);
  w.Begin(der::ContextConstructed(0));  // the same attributes, tagged [0] IMPLICIT
  for (const auto& a : attrs) w.AddEncoded(a);
  w.End();
  w.Begin(der::kSequence);
  w.AddOid(kOidRsaEncryption);
  w.AddNull();
  w.End();
  w.AddOctetString(signature);
  w.End();
  auto si = w.Finish();
  if (!si) return kBadTag;
  *out = std::move(*si);
  return 0;
}

std::optional<std::vector<uint8_t>> WrapSignerInfo(Bytes signer_info) {
  der::Writer w;
  w.Begin(der::kSequence);
  w.AddOid(kOidSignedData);
  w.Begin(der::ContextConstructed(0));
  w.Begin(der::kSequence);
  w.AddInteger(1);
  w.Begin(der::kSet);
  w.End();
  w.Begin(der::kSequence);
  w.AddOid(kOidData);
  w.End();
  w.Begin(der::kSet);
  w.AddEncoded(signer_info);
  w.End();
  w.End();
  w.End();
  w.End();
  return w.Finish();
}

}  // namespace vel::crypto::cms
