#include "cryptolib/cms_signer_tree.h"

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "cryptolib/cms_message.h"
#include "cryptolib/cms_signed_data.h"
#include "cryptolib/cms_signer_window.h"
#include "cryptolib/der.h"
#include "cryptolib/timestamp_client.h"
#include "cryptolib/timestamp_parse.h"

namespace vel::crypto {
namespace {

using Bytes = std::span<const uint8_t>;

constexpr LibraryErrorCode kInvalidData = 13;
constexpr LibraryErrorCode kInvalidParameter = 87;
constexpr char kOidCounterSignature[] = "1.2.840.113549.1.9.6";

bool IsOid(Bytes element, std::string_view dotted) {
  der::Reader r(element);
  std::string oid;
  return r.ReadOid(&oid) && r.empty() && oid == dotted;
}

// Two decimal digits at text[at]; -1 when they are not digits.
int TwoDigits(std::string_view text, size_t at) {
  const char a = text[at], b = text[at + 1];
  if (a < '0' || a > '9' || b < '0' || b > '9') return -1;
  return (a - '0') * 10 + (b - '0');
}

bool AllDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The token in a stored time-stamp value: the value itself when it is a
// ContentInfo, the timeStampToken of a whole TimeStampResp otherwise.
bool TokenOf(Bytes value, Bytes* token) {
  der::Element outer, first;
  if (!der::ParseElement(value, &outer) || outer.encoded.size() != value.size() ||
      outer.tag != der::kSequence || !der::ParseElement(outer.content, &first))
    return false;
  if (first.tag == der::kOid) {
    *token = value;
    return true;
  }
  tsp::ResponseView response;
  if (first.tag != der::kSequence || !tsp::ParseResponse(value, &response) ||
      response.token.empty())
    return false;
  *token = response.token;
  return true;
}

}  // namespace

bool TimeStampTimeText(std::string_view t, std::string* text) {
  if (t.size() < 14 || !AllDigits(t.substr(0, 14))) return false;
  const int year = TwoDigits(t, 0) * 100 + TwoDigits(t, 2);
  const int month = TwoDigits(t, 4), day = TwoDigits(t, 6);
  const int hour = TwoDigits(t, 8), minute = TwoDigits(t, 10), second = TwoDigits(t, 12);
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
    return false;
  std::string_view rest = t.substr(14);
  if (!rest.empty() && (rest[0] == '.' || rest[0] == ',')) {
    size_t n = 1;
    while (n < rest.size() && rest[n] >= '0' && rest[n] <= '9') ++n;
    if (n == 1) return false;
    rest.remove_prefix(n);
  }
  bool utc = false;
  if (rest == "Z") {
    utc = true;
  } else if (!rest.empty()) {
    if (rest.size() != 5 || (rest[0] != '+' && rest[0] != '-') || !AllDigits(rest.substr(1)) ||
        TwoDigits(rest, 1) > 23 || TwoDigits(rest, 3) > 59)
      return false;
  }
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour,
                minute, second);
  *text = buffer;
  if (utc) *text += " UTC";
  return true;
}

// Digests of one content by algorithm, shared by the signers of a message.
// A detached content given through a feed is read from it instead.
class CmsSignerNode::DigestCache {
 public:
  explicit DigestCache(std::shared_ptr<ContentFeed> feed) : feed_(std::move(feed)) {}

  std::vector<uint8_t> Get(const EVP_MD* md, std::span<const Bytes> content) {
    std::lock_guard lock(mutex_);
    for (const auto& [known, value] : done_)
      if (known == md) return value;
    std::vector<uint8_t> value = feed_ ? cms::DigestOf(md, *feed_) : cms::DigestOf(md, content);
    if (!value.empty()) done_.emplace_back(md, value);
    return value;
  }

 private:
  std::shared_ptr<ContentFeed> feed_;
  std::mutex mutex_;
  std::vector<std::pair<const EVP_MD*, std::vector<uint8_t>>> done_;
};

struct CmsSignerNode::Decoded {
  std::vector<uint8_t> bytes;  // the message or token, copied
  cms::SignedData sd;          // views into bytes (or into its own DER copy)
};

LibraryErrorCode CmsSignerNode::DecodeSignedData(Bytes bytes, std::shared_ptr<Decoded>* out) {
  auto d = std::make_shared<Decoded>();
  d->bytes.assign(bytes.begin(), bytes.end());
  const LibraryErrorCode err = cms::ParseSignedData(d->bytes, &d->sd);
  if (err != 0) return err;
  *out = std::move(d);
  return 0;
}

CmsSignerNode::CmsSignerNode(uint32_t kind, std::shared_ptr<const Decoded> decoded,
                             const cms::SignerInfo* info)
    : kind_(kind), decoded_(decoded), certificates_from_(std::move(decoded)), info_(info) {}

CmsSignerNode::~CmsSignerNode() {
  // Long sibling chains are released in a loop rather than by recursion;
  // each child list releases its own chain the same way.
  std::unique_ptr<CmsSignerNode> node = std::move(first_child_);
  while (node) node = std::move(node->next_);
  node = std::move(next_);
  while (node) node = std::move(node->next_);
}

void CmsSignerNode::AppendSibling(std::unique_ptr<CmsSignerNode> node) {
  std::unique_ptr<CmsSignerNode>* slot = &next_;
  while (*slot) slot = &(*slot)->next_;
  *slot = std::move(node);
}

std::unique_ptr<CmsSignerNode> CmsSignerNode::BuildTree(const uint8_t* message, uint32_t length,
                                                        const uint8_t* content,
                                                        uint32_t content_length,
                                                        LibraryErrorCode* status) {
  return BuildRoots(message, length, content, content_length, nullptr, status);
}

std::unique_ptr<CmsSignerNode> CmsSignerNode::BuildTree(const uint8_t* message, uint32_t length,
                                                        std::shared_ptr<ContentFeed> content,
                                                        LibraryErrorCode* status) {
  LibraryErrorCode ignored = 0;
  if (!content) return *(status != nullptr ? status : &ignored) = kInvalidParameter, nullptr;
  return BuildRoots(message, length, nullptr, 0, std::move(content), status);
}

std::unique_ptr<CmsSignerNode> CmsSignerNode::BuildRoots(const uint8_t* message, uint32_t length,
                                                         const uint8_t* content,
                                                         uint32_t content_length,
                                                         std::shared_ptr<ContentFeed> feed,
                                                         LibraryErrorCode* status) {
  LibraryErrorCode ignored = 0;
  if (status == nullptr) status = &ignored;
  if (message == nullptr || (content == nullptr && content_length != 0))
    return *status = kInvalidParameter, nullptr;
  const bool detached = content != nullptr || feed != nullptr;
  std::shared_ptr<Decoded> decoded;
  *status = DecodeSignedData(Bytes(message, length), &decoded);
  if (*status != 0) return nullptr;

  const auto& signers = decoded->sd.signers;
  auto digests = std::make_shared<DigestCache>(std::move(feed));
  std::unique_ptr<CmsSignerNode> root;
  CmsSignerNode* tail = nullptr;
  for (size_t i = 0; i < std::max<size_t>(signers.size(), 1); ++i) {
    std::unique_ptr<CmsSignerNode> node(
        new CmsSignerNode(kSigner, decoded, signers.empty() ? nullptr : &signers[i]));
    if (detached) {
      node->has_data_ = true;
      if (content != nullptr) node->data_ = Bytes(content, content_length);
    }
    node->content_digests_ = digests;
    node->Populate(0);
    CmsSignerNode* added = node.get();
    if (tail == nullptr)
      root = std::move(node);
    else
      tail->next_ = std::move(node);
    tail = added;
  }
  return root;
}

std::unique_ptr<CmsSignerNode> CmsSignerNode::ConstructTimeStampSigner(
    std::span<const uint8_t> token, std::optional<std::span<const uint8_t>> stamped,
    LibraryErrorCode* status) {
  LibraryErrorCode ignored = 0;
  return MakeTimeStampSigner(token, stamped, status != nullptr ? status : &ignored);
}

std::unique_ptr<CmsSignerNode> CmsSignerNode::MakeTimeStampSigner(
    std::span<const uint8_t> value, std::optional<std::span<const uint8_t>> stamped,
    LibraryErrorCode* status) {
  Bytes token;
  if (!TokenOf(value, &token)) {
    *status = kCryptEBadTag;
    return nullptr;
  }
  std::shared_ptr<Decoded> decoded;
  *status = DecodeSignedData(token, &decoded);
  if (*status != 0) return nullptr;
  const auto& sd = decoded->sd;
  std::unique_ptr<CmsSignerNode> node(
      new CmsSignerNode(kTimeStampSigner, decoded, sd.signers.empty() ? nullptr : &sd.signers[0]));
  if (stamped) {
    node->has_stamped_ = true;
    node->stamped_.assign(stamped->begin(), stamped->end());
  }
  tsp::TstInfo tst;
  if (IsOid(sd.econtent_type, kOidTstInfo) && sd.has_econtent) {
    const std::vector<uint8_t> content = cms::JoinContent(sd);
    if (tsp::ParseTstInfo(content, &tst)) TimeStampTimeText(tst.gen_time, &node->time_text_);
  }
  node->Populate(0);
  return node;
}

std::unique_ptr<CmsSignerNode> CmsSignerNode::MakeCounterSigner(std::span<const uint8_t> value,
                                                                const CmsSignerNode& parent,
                                                                int depth) {
  std::shared_ptr<Decoded> decoded;
  const std::optional<std::vector<uint8_t>> wrapped = cms::WrapSignerInfo(value);
  const bool readable = depth <= kMaxCounterSignatureDepth && !value.empty() && wrapped &&
                        DecodeSignedData(*wrapped, &decoded) == 0 &&
                        decoded->sd.signers.size() == 1;
  std::unique_ptr<CmsSignerNode> node(new CmsSignerNode(
      kCounterSigner, readable ? decoded : nullptr, readable ? &decoded->sd.signers[0] : nullptr));
  // Certificates come from the SignedData the counter-signed signer is in.
  node->certificates_from_ = parent.certificates_from_;
  // What a counter-signer signs: the content octets of the signature value.
  node->has_data_ = true;
  node->owned_data_.assign(parent.info_->signature.begin(), parent.info_->signature.end());
  node->data_ = node->owned_data_;
  if (readable) node->Populate(depth);
  return node;
}

void CmsSignerNode::AppendChild(std::unique_ptr<CmsSignerNode> child) {
  std::unique_ptr<CmsSignerNode>* slot = &first_child_;
  while (*slot) slot = &(*slot)->next_;
  *slot = std::move(child);
}

void CmsSignerNode::Populate(int depth) {
  if (info_ == nullptr) return;
  // Only issuer and serial number name a certificate here.
  if (!info_->by_key_id && certificates_from_)
    certificate_ = cms::FindSignerCertificate(certificates_from_->sd, *info_);
  if (kind_ == kTimeStampSigner) return;

  // Every value of a counter-signature attribute is a counter-signer.
  for (const cms::Attribute& a : info_->unsigned_attrs) {
    if (a.oid != kOidCounterSignature) continue;
    if (a.values.empty()) AppendChild(MakeCounterSigner({}, *this, depth + 1));
    for (Bytes v : a.values) AppendChild(MakeCounterSigner(v, *this, depth + 1));
  }
  if (kind_ != kSigner) return;
  for (const cms::Attribute& a : info_->unsigned_attrs) {
    if (a.oid != kOidSignatureTimeStampToken) continue;
    std::vector<Bytes> values = a.values;
    if (values.empty()) values.push_back({});
    for (Bytes v : values) {
      LibraryErrorCode status = 0;
      std::unique_ptr<CmsSignerNode> node = MakeTimeStampSigner(v, info_->signature, &status);
      if (!node) node.reset(new CmsSignerNode(kTimeStampSigner, nullptr, nullptr));
      AppendChild(std::move(node));
    }
  }
}

std::unique_ptr<Certificate> CmsSignerNode::GetCertificate() const {
  return certificate_ ? std::make_unique<Certificate>(certificate_) : nullptr;
}

std::span<const uint8_t> CmsSignerNode::signer_info() const {
  return info_ != nullptr ? info_->encoded : Bytes();
}

LibraryErrorCode CmsSignerNode::ShowInfoWindow(void*) const {
  if (info_ == nullptr || !certificate_) return kInvalidData;
  // The window copies the SignerInfo, so the tree may go while it is open.
  return OpenCmsSignerWindow(info_->encoded, certificate_);
}

LibraryErrorCode CmsSignerNode::CheckImprint() const {
  tsp::TstInfo tst;
  const std::vector<uint8_t> content = cms::JoinContent(decoded_->sd);
  if (!tsp::ParseTstInfo(content, &tst)) return kInvalidData;
  if (!has_stamped_) return 0;  // the caller compares the imprint itself
  const EVP_MD* md = cms::DigestForOid(tst.imprint.algorithm);
  if (md == nullptr) return kNteBadAlgId;
  const Bytes stamped[] = {Bytes(stamped_)};
  const std::vector<uint8_t> digest = cms::DigestOf(md, stamped);
  if (digest.empty() || !std::ranges::equal(digest, tst.imprint.hashed)) return kCryptEHashValue;
  return 0;
}

LibraryErrorCode CmsSignerNode::Verify() const {
  if (info_ == nullptr || !certificate_ || !decoded_) return kInvalidData;
  const cms::SignedData& sd = decoded_->sd;
  const cms::SignerInfo& si = *info_;

  std::vector<Bytes> content;
  if (has_data_)
    content.push_back(data_);
  else if (sd.has_econtent)
    content = sd.econtent;
  else
    return kInvalidData;  // nothing to check the signature against

  if (kind_ == kTimeStampSigner && !IsOid(sd.econtent_type, kOidTstInfo)) return kInvalidData;

  const cms::SignerRole role = kind_ == kSigner          ? cms::SignerRole::kSigner
                               : kind_ == kCounterSigner ? cms::SignerRole::kCounterSigner
                                                         : cms::SignerRole::kTimeStampSigner;
  // The message's signers share the digest of the content, made once per algorithm.
  auto digest = [&](const EVP_MD* md) {
    if (!content_digests_) return cms::DigestOf(md, content);
    return content_digests_->Get(md, content);
  };
  const LibraryErrorCode err =
      cms::CheckSignerSignature(si, *certificate_, sd.econtent_type, role, digest);
  if (err != 0) return err;

  if (kind_ == kTimeStampSigner) return CheckImprint();
  return 0;
}

}  // namespace vel::crypto
