#include "xades/xades_sign.h"

#include <openssl/evp.h>
#include <libxml/xmlsave.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "xades/base64.h"
#include "xades/c14n_fragments.h"
#include "xades/crypto_helpers.h"
#include "xades/engine_messages.h"
#include "xades/node_helpers.h"
#include "xades/xades_template.h"
#include "xades/xml_doc.h"

namespace vel::xades {
namespace {

const xmlChar* X(const char* s) { return reinterpret_cast<const xmlChar*>(s); }
const xmlChar* X(const std::string& s) { return X(s.c_str()); }

constexpr char kProviderMessage[] = "Crypto provider not implemented.\n";
constexpr char kStructure[] = "Niepoprawna struktura dokumentu\n";



std::string NodeName(const xmlNode* node) {
  return node != nullptr && node->name != nullptr ? reinterpret_cast<const char*>(node->name) : "";
}

// The SigningCertificate's Cert of the signed properties the first reference targets.
xmlNode* SigningCert(const XadesSignContext* record) {
  if (record->targets.empty()) return nullptr;
  xmlNode* props = record->targets[0];
  if (!isXades(props, "SignedProperties")) return nullptr;
  xmlNode* ssp = xmlFirstElementChild(props);
  if (!isXades(ssp, "SignedSignatureProperties")) return nullptr;
  return soleChild(soleChild(ssp, kXadesNs, "SigningCertificate"), kXadesNs, "Cert");
}

// The smallest number from `first` on whose Ids of a new signature the document does not use.
int FreeSignatureNumber(const IdIndex& ids, int first) {
  const auto used = [&](const std::string& id) {
    bool duplicate = false;
    return ids.Find(id, &duplicate) != nullptr || duplicate;
  };
  for (int n = first < 0 ? 0 : first;; ++n) {
    const std::string s = std::to_string(n);
    bool free = true;
    for (const char* stem : {"Signature-", "SignedInfo-", "SignatureValue-", "KeyInfo-",
                             "SignedProperties-", "SignedProperties-Reference"})
      free = free && !used(stem + s);
    if (free) return n;
  }
}

}  // namespace

std::optional<std::string> createRsaSha1Signature(std::span<const uint8_t> data,
                                                  platform::Signer& signer) {
  uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned int digest_length = 0;
  std::vector<uint8_t> signature;
  if (EVP_Digest(data.data(), data.size(), digest, &digest_length, EVP_sha1(), nullptr) != 1 ||
      signer.SignSha1Digest(std::span(digest, digest_length), &signature) != 0)
    return std::nullopt;
  return base64Encode(signature);
}

XadesSignContext* addKeyInfoX509DataX509Certificate(XadesSignContext* record) {
  const auto structure = [] {
    xadesPrint(std::string("addKeyInfoX509DataX509Certificate\n") + kStructure);
    return nullptr;
  };
  if (record == nullptr || record->references.empty()) return structure();
  xmlNode* info = record->references[0]->parent;
  xmlNode* signature = info != nullptr ? info->parent : nullptr;
  xmlNode* certificate = signerCertificateOf(signature);
  if (certificate == nullptr) return structure();
  if (record->cryptoProvider != 0) {
    xadesPrint(kProviderMessage);
    return nullptr;
  }
  if (record->signerCertificate == nullptr) return structure();
  xmlNodeAddContent(certificate, X(encodedBase64(record->signerCertificate.get())));
  xmlNode* digest = soleChild(SigningCert(record), kXadesNs, "CertDigest");
  xmlNode* method = soleChild(digest, kXmlDsigNs, "DigestMethod");
  if (method == nullptr) return structure();
  if (getNodeProp(method, "Algorithm").value_or("") != kSha1) {
    xadesPrint("addKeyInfoX509DataX509Certificate\nObslugiwane funkcje skrotu to SHA-1\n");
    return nullptr;
  }
  xmlNode* value = soleChild(digest, kXmlDsigNs, "DigestValue");
  const auto cert_digest = encodedDigestBase64(record->signerCertificate.get(), kDigestSha1);
  if (value == nullptr || !cert_digest) return structure();
  xmlNodeAddContent(value, X(*cert_digest));
  return record;
}

XadesSignContext* fillSigningCertificate(XadesSignContext* record) {
  const auto structure = [] {
    xadesPrint(std::string("addKeyInfoX509DataX509Certificate\n") + kStructure);
    return nullptr;
  };
  if (record == nullptr) return nullptr;
  xmlNode* issuer_serial = soleChild(SigningCert(record), kXadesNs, "IssuerSerial");
  xmlNode* issuer = soleChild(issuer_serial, kXmlDsigNs, "X509IssuerName");
  if (issuer == nullptr) return structure();
  if (record->cryptoProvider != 0 || record->signerCertificate == nullptr) return nullptr;
  const platform::CertContext* cert = record->signerCertificate.get();
  uint32_t size = 0;
  if (getCertIssuerText(cert, nullptr, &size) != kSignMoreData || size == 0) return nullptr;
  std::vector<char> text(size, '\0');
  if (getCertIssuerText(cert, text.data(), &size) != 0) return nullptr;
  text.push_back('\0');  // the text ends at its NUL whatever the size says
  xmlNodeAddContent(issuer, X(text.data()));
  xmlNode* serial = soleChild(issuer_serial, kXmlDsigNs, "X509SerialNumber");
  const auto decimal = getCertSerialDecimal(cert);
  if (serial == nullptr) return structure();
  if (!decimal) return nullptr;
  xmlNodeAddContent(serial, X(*decimal));
  return record;
}

XadesSignContext* generateDigests(XadesSignContext* record) {
  if (record == nullptr) return nullptr;
  if (record->cryptoProvider != 0) {
    xadesPrint(kProviderMessage);
    return nullptr;
  }
  const auto unexpected = [](const xmlNode* node) {
    xadesPrint("generateDigests\nNieoczekiwany node " + NodeName(node) + "\n");
    return nullptr;
  };
  for (size_t i = 0; i < record->references.size(); ++i) {
    xmlNode* node = xmlFirstElementChild(record->references[i]);
    bool base64 = false;
    if (isDsig(node, "Transforms")) {
      for (const xmlNode* t = node->children; t != nullptr && !base64; t = t->next)
        base64 = t->type == XML_ELEMENT_NODE &&
                 getNodeProp(t, "Algorithm").value_or("") == kBase64Transform;
      if (!base64) {
        xadesPrint("generateDigests\nBrak obslugi Transform\n");
        return nullptr;
      }
      node = xmlNextElementSibling(node);
    }
    if (!isDsig(node, "DigestMethod")) return unexpected(node);
    const std::string algorithm = getNodeProp(node, "Algorithm").value_or("");
    if (algorithm != kSha1) {
      xadesPrint("generateDigests\nObslugiwane funkcje skrotu to SHA-1\n");
      return nullptr;
    }
    const xmlNode* target = record->targets[i];
    if (target == nullptr) return nullptr;  // a reference outside the document cannot be digested
    std::optional<std::string> digest;
    if (base64) {
      XmlCharPtr content(xmlNodeGetContent(target));
      std::vector<uint8_t> bytes;
      if (content == nullptr ||
          base64Decode(reinterpret_cast<const char*>(content.get()), &bytes) != kBase64Ok)
        return nullptr;
      digest = digestBase64(bytes, kDigestSha1);
    } else {
      digest = elementInPlaceC14NDigest(target, record->c14nMethod, EVP_sha1());
      if (!digest) return nullptr;
    }
    xmlNode* value = xmlNextElementSibling(node);
    if (!isDsig(value, "DigestValue")) return unexpected(value);
    if (!digest) return nullptr;
    xmlNodeAddContent(value, X(*digest));
  }
  return record;
}

XadesSignContext* generateSign(XadesSignContext* record) {
  const auto structure = [] {
    xadesPrint(std::string("generateSign\n") + kStructure);
    return nullptr;
  };
  if (record == nullptr || record->references.empty()) return structure();
  xmlNode* info = record->references[0]->parent;
  if (!isDsig(info, "SignedInfo")) return structure();
  const Fragment canonical = elementInPlaceC14N(info, record->c14nMethod);
  if (record->cryptoProvider != 0 || record->signer == nullptr || !canonical) return nullptr;
  const auto signature = createRsaSha1Signature(
      std::span(reinterpret_cast<const uint8_t*>(canonical->data()), canonical->size()),
      *record->signer);
  xmlNode* value = signatureValueOf(info->parent);
  if (value == nullptr) return structure();
  if (!signature) return nullptr;
  xmlNodeAddContent(value, X(*signature));
  return record;
}

namespace {

// Signs nothing: takes the SHA-1 digest the key is to sign and answers a
// random stand-in of the real signature's length, which then occurs nowhere
// else in the output and marks where the real value goes.
class DigestTaker final : public platform::Signer {
 public:
  explicit DigestTaker(const platform::CertPtr& cert) : size_only_(cert) {}
  const platform::CertPtr& certificate() const override { return size_only_.certificate(); }
  uint32_t SignSha1Digest(std::span<const uint8_t> digest, std::vector<uint8_t>* signature) override {
    const uint32_t rc = size_only_.SignSha1Digest(digest, signature);
    if (rc != 0) return rc;
    if (signature->empty() || RAND_bytes(signature->data(), static_cast<int>(signature->size())) != 1)
      return kSignSignatureFailed;
    digest_.assign(digest.begin(), digest.end());
    stand_in_ = base64Encode(*signature);
    return 0;
  }
  uint32_t AcquirePrivateKey(EVP_PKEY**) override { return size_only_.AcquirePrivateKey(nullptr); }

  std::vector<uint8_t> digest_;
  std::string stand_in_;

 private:
  platform::SizeOnlySigner size_only_;
};

using Sha256 = std::array<uint8_t, 32>;

// A document signed but for the signature value: the whole output with a
// stand-in value, where the stand-in lies, and the digest the key signs.
// Everything in it is known without the key, so a size query makes it and
// the call that fills the buffer only signs and copies: one parse and one
// serialisation per signing.
struct Prepared {
  Sha256 input{};
  size_t input_length = 0;
  std::vector<uint8_t> certificate;  // DER of the signer's certificate
  std::string text;
  size_t value_at = 0;
  size_t value_length = 0;
  std::vector<uint8_t> digest;

  Prepared() = default;
  Prepared(const Prepared&) = delete;
  Prepared& operator=(const Prepared&) = delete;
  // The document's bytes do not outlive their use.
  ~Prepared() { OPENSSL_cleanse(text.data(), text.size()); }
};

// The one kept between a thread's size query and its call with the buffer.
thread_local std::unique_ptr<Prepared> t_kept;

bool DigestOf(std::span<const uint8_t> bytes, Sha256* out) {
  unsigned int length = 0;
  return EVP_Digest(bytes.data(), bytes.size(), out->data(), &length, EVP_sha256(), nullptr) == 1 &&
         length == out->size();
}

bool SameCertificate(const Prepared& p, const platform::CertPtr& cert) {
  return cert != nullptr && std::ranges::equal(p.certificate, cert->der());
}

// The document as libxml2 writes it with the "UTF-8" encoding
// (what xmlDocDumpMemoryEnc gives), into one string grown from `expected`
// bytes rather than a buffer doubled and then copied whole.
bool Serialise(xmlDoc* doc, size_t expected, std::string* out) {
  out->clear();
  out->reserve(expected);
  const auto write = [](void* context, const char* data, int length) -> int {
    static_cast<std::string*>(context)->append(data, static_cast<size_t>(length));
    return length;
  };
  xmlSaveCtxt* save = xmlSaveToIO(write, nullptr, out, "UTF-8", XML_SAVE_AS_XML);
  if (save == nullptr) return false;
  const long written = xmlSaveDoc(save, doc);
  return xmlSaveClose(save) >= 0 && written >= 0;
}

// Everything of a signing but the key's work, in the order of the steps.
uint32_t Prepare(std::span<const uint8_t> xml, const platform::CertPtr& cert, const Sha256& input,
                 std::unique_ptr<Prepared>* out) {
  LibxmlDiagnostics quiet;
  XmlDocPtr doc = xadesParseMemory(xml.data(), xml.size());
  if (doc == nullptr || xmlDocGetRootElement(doc.get()) == nullptr) return kSignNotParsed;
  XPathContextPtr context = xadesNewXPathContext(doc.get());
  if (context == nullptr) return kSignNoXPathContext;
  // One Id index of the document for the number and for the references.
  IdIndexes indexes;
  const int n = FreeSignatureNumber(indexes.Of(doc.get()), topLevelSignatureCount(context.get()));
  XmlDocPtr template_doc = xadesNewDocPtr();
  if (template_doc == nullptr) return kSignNoTemplateDocument;

  xmlNode* root = xmlDocGetRootElement(doc.get());
  xmlNode* second = root;
  if (isDsig(root, "Signature")) {
    // A single signature goes under a new root "Signatures".
    xmlNode* signatures = xmlNewDocNode(doc.get(), nullptr, X("Signatures"), nullptr);
    if (signatures == nullptr) return kSignNotParsed;
    xmlDocSetRootElement(doc.get(), signatures);
    xmlAddChild(signatures, root);
    root = signatures;
  } else if (!nameIs(root, "Signatures") || root->ns != nullptr) {
    return kSignBadRoot;
  }

  const std::string signature_id = "Signature-" + std::to_string(n);
  xmlNode* signature =
      createSignatureTemplate(template_doc.get(), signature_id.c_str(), "ds", kTemplateXadesBes, n);
  if (signature == nullptr) return kSignTemplateFailed;
  XPathObjectPtr objects =
      xadesEval(context.get(), "/*/xmldsig:Signature[position()=1]/xmldsig:Object");
  // No first signature, or one without Objects: nothing to sign.
  const auto nodes = nodesOf(objects.get());
  if (nodes.empty()) return kSignNoObjects;
  for (size_t i = 1; i < nodes.size(); ++i)
    if (addReference(signature, nodes[i], nullptr, nullptr, 0) == nullptr)
      return kSignReferenceFailed;

  DigestTaker taker(cert);
  XadesSignContextPtr record =
      xadesSignContextCreateWithCert(signature, second, DocOwnership::kOwned, taker, &indexes);
  if (record == nullptr) return kSignRecordNotMade;
  xmlDoc* signed_doc = doc.release();  // both documents are the record's now
  (void)template_doc.release();
  if (addKeyInfoX509DataX509Certificate(record.get()) == nullptr) return kSignKeyInfoFailed;
  if (fillSigningCertificate(record.get()) == nullptr) return kSignSigningCertificateFailed;
  // In its place before anything is digested: the canonical forms of the
  // signed properties and SignedInfo hold what is in scope there.
  xmlUnlinkNode(signature);
  xmlAddChild(root, signature);
  if (generateDigests(record.get()) == nullptr) return kSignDigestsFailed;
  record->signer = &taker;
  if (generateSign(record.get()) == nullptr || taker.stand_in_.empty()) return kSignSignatureFailed;

  auto prepared = std::make_unique<Prepared>();
  // The output is the input, a root perhaps, and the new signature.
  if (!Serialise(signed_doc, xml.size() + 16 * 1024, &prepared->text)) return kSignNotParsed;
  record.reset();  // the documents go before the key is asked for anything
  const std::string_view text = prepared->text;
  const size_t at = text.rfind(taker.stand_in_);
  if (at == std::string_view::npos || text.find(taker.stand_in_) != at) return kSignSignatureFailed;
  prepared->input = input;
  prepared->input_length = xml.size();
  prepared->certificate.assign(cert->der().begin(), cert->der().end());
  prepared->value_at = at;
  prepared->value_length = taker.stand_in_.size();
  prepared->digest = std::move(taker.digest_);
  *out = std::move(prepared);
  return 0;
}

}  // namespace

uint32_t xadesAddSignatureWith(std::span<const uint8_t> xml, platform::Signer& signer, uint8_t* out,
                               uint32_t* size) {
  if (size == nullptr) return kSignInvalidParameter;
  if (xml.empty()) return kSignNoXml;
  const platform::CertPtr& cert = signer.certificate();
  if (cert == nullptr) return kSignSignatureFailed;
  Sha256 input{};
  if (!DigestOf(xml, &input)) return kSignNotParsed;

  // The size query's work is kept for the call with the buffer when that
  // call brings the same bytes and the same certificate.
  std::unique_ptr<Prepared> prepared = std::move(t_kept);
  if (prepared == nullptr || prepared->input_length != xml.size() || prepared->input != input ||
      !SameCertificate(*prepared, cert)) {
    prepared.reset();
    if (const uint32_t rc = Prepare(xml, cert, input, &prepared); rc != 0) return rc;
  }
  const uint64_t need = static_cast<uint64_t>(prepared->text.size()) + 1;
  if (need > UINT32_MAX) return kSignMoreData;
  if (out == nullptr || *size == 0) {
    *size += static_cast<uint32_t>(need);
    t_kept = std::move(prepared);
    return kSignMoreData;
  }
  if (*size < need) {
    *size = static_cast<uint32_t>(need);
    t_kept = std::move(prepared);
    return kSignMoreData;
  }

  // Only now the key: the signature value of the prepared SignedInfo.
  std::vector<uint8_t> value;
  if (signer.SignSha1Digest(prepared->digest, &value) != 0) return kSignSignatureFailed;
  const std::string real = base64Encode(value);
  if (real.size() != prepared->value_length) return kSignSignatureFailed;
  std::memcpy(out, prepared->text.data(), prepared->text.size());
  std::memcpy(out + prepared->value_at, real.data(), real.size());
  *size = static_cast<uint32_t>(prepared->text.size());
  return 0;
}

uint32_t xadesAddSignature(const uint8_t* xml, uint32_t length,
                           const platform::CertContext* certificate, uint8_t* out, uint32_t* size) {
  if (size == nullptr) return kSignInvalidParameter;
  if (xml == nullptr || length == 0) return kSignNoXml;
  if (certificate == nullptr) return kSignSignatureFailed;
  const platform::CertPtr shared = platform::CertContext::FromDer(certificate->der());
  if (shared == nullptr) return kSignSignatureFailed;
  const std::span<const uint8_t> bytes(xml, length);
  if (out == nullptr || *size == 0) {
    platform::SizeOnlySigner size_only(shared);
    return xadesAddSignatureWith(bytes, size_only, nullptr, size);
  }
  // Opening the signer finds the key but asks no PIN.
  std::unique_ptr<platform::Signer> signer;
  if (platform::OpenSignerForCertificate(shared, &signer) != 0) return kSignSignatureFailed;
  return xadesAddSignatureWith(bytes, *signer, out, size);
}

}  // namespace vel::xades
