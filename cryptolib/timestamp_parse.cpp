#include "cryptolib/timestamp_parse.h"

#include <algorithm>
#include <limits>

#include "cryptolib/cms_signed_data.h"
#include "cryptolib/der.h"
#include "cryptolib/timestamp_client.h"

namespace vel::crypto::tsp {
namespace {

constexpr char kOidSignedData[] = "1.2.840.113549.1.7.2";

bool ReadImprint(der::Reader& r, Imprint* out) {
  der::Reader mi, alg;
  if (!r.Enter(der::kSequence, &mi) || !mi.Enter(der::kSequence, &alg) ||
      !alg.ReadOid(&out->algorithm))
    return false;
  out->parameters = alg.rest();
  if (!alg.empty() && !alg.Skip()) return false;
  if (!alg.empty()) return false;
  return mi.ReadOctetString(&out->hashed) && mi.empty();
}

// The INTEGER's value without redundant leading sign octets.
Bytes Minimal(Bytes v) {
  while (v.size() > 1 && ((v[0] == 0x00 && (v[1] & 0x80) == 0) || (v[0] == 0xFF && (v[1] & 0x80) != 0)))
    v = v.subspan(1);
  return v;
}

}  // namespace

bool ParseRequest(Bytes der, RequestView* out) {
  der::Reader top(der), r;
  RequestView v;
  if (!top.Enter(der::kSequence, &r) || !top.empty() || !r.ReadInteger(&v.version) ||
      !ReadImprint(r, &v.imprint))
    return false;
  if (r.Peek(der::kOid)) {
    if (!r.ReadOid(&v.policy)) return false;
    v.has_policy = true;
  }
  if (r.Peek(der::kInteger)) {
    if (!r.ReadInteger(&v.nonce)) return false;
    v.has_nonce = true;
  }
  if (r.Peek(der::kBoolean) && !r.ReadBoolean(&v.cert_req)) return false;
  r.SkipIf(der::ContextConstructed(0));  // extensions
  if (!r.empty()) return false;
  *out = std::move(v);
  return true;
}

bool ParseResponse(Bytes der, ResponseView* out) {
  der::Reader top(der), r, status;
  ResponseView v;
  int64_t value = 0;
  if (!top.Enter(der::kSequence, &r) || !top.empty() || !r.Enter(der::kSequence, &status) ||
      !status.ReadInteger(&value) || value < std::numeric_limits<int32_t>::min() ||
      value > std::numeric_limits<int32_t>::max())
    return false;
  status.SkipIf(der::kSequence);   // statusString
  status.SkipIf(der::kBitString);  // failInfo
  if (!status.empty()) return false;
  v.status = static_cast<int32_t>(value);
  if (!r.empty() && !r.ReadEncoded(der::kSequence, &v.token)) return false;
  if (!r.empty()) return false;
  *out = v;
  return true;
}

bool ParseToken(Bytes token, TokenView* out) {
  der::Reader top(token), ci, explicit_content, sd, encap, econtent;
  std::string content_type, econtent_type;
  TokenView v;
  if (!top.Enter(der::kSequence, &ci) || !top.empty() || !ci.ReadOid(&content_type) ||
      content_type != kOidSignedData || !ci.Enter(der::ContextConstructed(0), &explicit_content) ||
      !ci.empty() || !explicit_content.Enter(der::kSequence, &sd) || !explicit_content.empty())
    return false;
  Bytes version;
  if (!sd.ReadInteger(&version) || !sd.SkipIf(der::kSet) || !sd.Enter(der::kSequence, &encap) ||
      !encap.ReadOid(&econtent_type) || !encap.Enter(der::ContextConstructed(0), &econtent) ||
      !encap.empty() || !econtent.ReadOctetString(&v.econtent) || !econtent.empty())
    return false;
  v.is_tst_info = econtent_type == kOidTstInfo;
  if (sd.Peek(der::ContextConstructed(0))) {
    if (!sd.Read(der::ContextConstructed(0), &v.certificates)) return false;
    v.has_certificates = true;
  }
  *out = v;
  return true;
}

bool ParseTstInfo(Bytes der, TstInfo* out) {
  der::Reader top(der), r;
  TstInfo v;
  if (!top.Enter(der::kSequence, &r) || !top.empty() || !r.ReadInteger(&v.version)) return false;
  if (r.Peek(der::kOid)) {
    if (!r.ReadOid(&v.policy)) return false;
    v.has_policy = true;
  }
  if (!ReadImprint(r, &v.imprint) || !r.ReadInteger(&v.serial)) return false;
  // The time must carry every digit up to the seconds, with valid values.
  der::Element e;
  der::Time t;
  if (!r.PeekElement(&e) || e.tag != der::kGeneralizedTime || !r.ReadTime(&t) ||
      e.content.size() < 14 || !std::all_of(e.content.begin(), e.content.begin() + 14,
                                            [](uint8_t c) { return c >= '0' && c <= '9'; }))
    return false;
  v.gen_time.assign(e.content.begin(), e.content.end());
  r.SkipIf(der::kSequence);  // accuracy
  bool ordering = false;
  if (r.Peek(der::kBoolean) && !r.ReadBoolean(&ordering)) return false;
  if (r.Peek(der::kInteger)) {
    if (!r.ReadInteger(&v.nonce)) return false;
    v.has_nonce = true;
  }
  r.SkipIf(der::ContextConstructed(0));  // tsa
  r.SkipIf(der::ContextConstructed(1));  // extensions
  if (!r.empty()) return false;
  *out = std::move(v);
  return true;
}

uint32_t CheckAnswer(Bytes request, Bytes response) {
  constexpr uint32_t kInvalidData = 13;
  RequestView sent;
  std::vector<uint8_t> signed_content;
  if (!ParseRequest(request, &sent)) {
    cms::SignedData sd;
    if (cms::ParseSignedData(request, &sd) != 0 || !sd.has_econtent) return kInvalidData;
    signed_content = cms::JoinContent(sd);
    if (!ParseRequest(signed_content, &sent)) return kInvalidData;
  }
  ResponseView resp;
  TokenView token;
  TstInfo info;
  if (!ParseResponse(response, &resp)) return kInvalidData;
  // A refusal carries no token: the caller reads its status and tells the user.
  if (resp.token.empty() && resp.status >= 2) return 0;
  if (resp.token.empty() || !ParseToken(resp.token, &token) ||
      !token.is_tst_info || !ParseTstInfo(token.econtent, &info))
    return kInvalidData;
  if (!SameImprint(sent.imprint, info.imprint)) return kInvalidData;
  if (sent.has_nonce && (!info.has_nonce || !SameInteger(sent.nonce, info.nonce)))
    return kInvalidData;
  return 0;
}

bool SameImprint(const Imprint& a, const Imprint& b) {
  return a.algorithm == b.algorithm && std::ranges::equal(a.hashed, b.hashed);
}

bool SameInteger(Bytes a, Bytes b) { return std::ranges::equal(Minimal(a), Minimal(b)); }

}  // namespace vel::crypto::tsp
