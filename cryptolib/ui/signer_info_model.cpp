// Rows of the CMS signer window.
#include "cryptolib/ui/signer_info_model.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "cryptolib/cms_classes.h"
#include "cryptolib/cms_message.h"
#include "cryptolib/cms_signed_data.h"
#include "cryptolib/cms_signer_tree.h"
#include "cryptolib/der.h"
#include "cryptolib/der_utils.h"
#include "cryptolib/timestamp_client.h"
#include "cryptolib/timestamp_parse.h"
#include "cryptolib/ui/signer_info_labels.h"
#include "platform/cert_name_str.h"

namespace vel::crypto::ui {
namespace {

using Bytes = std::span<const uint8_t>;

constexpr LibraryErrorCode kBadEncoding = 0x8009310B;

constexpr char kOidSigningTime[] = "1.2.840.113549.1.9.5";
constexpr char kOidCounterSignature[] = "1.2.840.113549.1.9.6";
constexpr char kOidContentHints[] = "1.2.840.113549.1.9.16.2.4";
constexpr char kOidSigningCertificate[] = "1.2.840.113549.1.9.16.2.12";
constexpr char kOidTimeStampToken[] = "1.2.840.113549.1.9.16.2.14";
constexpr char kOidSignaturePolicy[] = "1.2.840.113549.1.9.16.2.15";
constexpr char kOidCommitmentType[] = "1.2.840.113549.1.9.16.2.16";
constexpr char kOidCertificateRefs[] = "1.2.840.113549.1.9.16.2.21";
constexpr char kOidRevocationRefs[] = "1.2.840.113549.1.9.16.2.22";
constexpr char kOidCertificateValues[] = "1.2.840.113549.1.9.16.2.23";
constexpr char kOidRevocationValues[] = "1.2.840.113549.1.9.16.2.24";
constexpr char kOidTstInfoType[] = "1.2.840.113549.1.9.16.1.4";
constexpr char kOidCommitmentArc[] = "1.2.840.113549.1.9.16.6.";

SignerRow Row(uint32_t label_id, std::string shown, std::string value) {
  return SignerRow{label_id, GetCmsSignerLabel(label_id), std::move(shown), std::move(value)};
}
SignerRow Row(uint32_t label_id, const std::string& text) { return Row(label_id, text, text); }

void AppendNumber(std::string* out, int value, size_t width) {
  std::string digits = std::to_string(value);
  if (digits.size() < width) out->append(width - digits.size(), '0');
  *out += digits;
}

std::string DateTimeText(const der::Time& t) {
  std::string s;
  AppendNumber(&s, t.year, 4);
  s += '-';
  AppendNumber(&s, t.month, 2);
  s += '-';
  AppendNumber(&s, t.day, 2);
  s += ' ';
  AppendNumber(&s, t.hour, 2);
  s += ':';
  AppendNumber(&s, t.minute, 2);
  s += ':';
  AppendNumber(&s, t.second, 2);
  return s;
}

// A time with an offset moved to UTC; the seconds (a leap second too) and
// the fraction stay as written. False when the result leaves years 0..9999.
bool ToUtc(const der::Time& t, der::Time* utc) {
  if (t.zone != der::Time::Zone::kOffset) {
    *utc = t;
    return true;
  }
  der::Time whole_minute = t;
  whole_minute.second = 0;
  const std::optional<int64_t> seconds = whole_minute.ToUnix();
  if (!seconds) return false;
  der::Time r = der::Time::FromUnix(*seconds);
  if (r.year < 0 || r.year > 9999) return false;
  r.second = t.second;
  r.fraction = t.fraction;
  r.zone = der::Time::Zone::kUtc;
  *utc = std::move(r);
  return true;
}

// The time element `value` when it is one whole UTCTime or GeneralizedTime
// that writes its seconds (the digits the texts are made of are all there).
bool ReadWholeTime(Bytes value, uint8_t* tag, der::Time* time) {
  der::Reader r(value);
  der::Element e;
  if (!r.PeekElement(&e) || (e.tag != der::kUtcTime && e.tag != der::kGeneralizedTime)) return false;
  const size_t digits = e.tag == der::kUtcTime ? 12 : 14;
  if (e.content.size() < digits ||
      !std::all_of(e.content.begin(), e.content.begin() + static_cast<ptrdiff_t>(digits),
                   [](uint8_t c) { return c >= '0' && c <= '9'; }))
    return false;
  if (!r.ReadTime(time) || !r.empty()) return false;
  *tag = e.tag;
  return true;
}

// The first value of an attribute, when it has one.
std::optional<Bytes> FirstValue(const cms::Attribute& a) {
  if (a.values.empty()) return std::nullopt;
  return a.values.front();
}

bool ReadOidValue(Bytes value, std::string* dotted) {
  der::Reader r(value);
  return r.ReadOid(dotted) && r.empty();
}

std::optional<SignerRow> ContentTypeRow(Bytes value) {
  std::string dotted;
  if (!ReadOidValue(value, &dotted)) return std::nullopt;
  std::string shown = dotted;
  if (dotted == cms::kOidData)
    shown = GetCmsSignerLabel(305);
  else if (dotted == kOidTimeStampToken || dotted == kOidTstInfoType)
    shown = GetCmsSignerLabel(312);
  return Row(kLabelContentType, std::move(shown), dotted);
}

std::optional<SignerRow> MessageDigestRow(Bytes value) {
  der::Reader r(value);
  Bytes digest;
  if (!r.ReadOctetString(&digest) || !r.empty()) return std::nullopt;
  return Row(kLabelMessageDigest, HexRow(digest));
}

// ContentHints ::= SEQUENCE { contentDescription UTF8String OPTIONAL, contentType }
std::optional<SignerRow> ContentHintsRow(const cms::Attribute& a) {
  std::string text;
  bool any = false;
  for (Bytes value : a.values) {
    der::Reader r(value), hints;
    if (!r.Enter(der::kSequence, &hints) || !r.empty()) continue;
    std::string description;
    Bytes raw;
    const bool has_description = hints.Peek(der::kUtf8String);
    if (has_description &&
        (!hints.Read(der::kUtf8String, &raw) || !der::StringToUtf8(der::kUtf8String, raw, &description)))
      continue;
    std::string type;
    if (!hints.ReadOid(&type) || !hints.empty()) continue;
    any = true;
    if (has_description) text += description + "\r\n";
  }
  if (!any) return std::nullopt;
  return Row(kLabelContentHints, text);
}

// SigningCertificate ::= SEQUENCE { certs SEQUENCE OF ESSCertID, policies OPTIONAL }
// ESSCertID ::= SEQUENCE { certHash OCTET STRING, issuerSerial OPTIONAL }
std::optional<SignerRow> SigningCertificateRow(Bytes value) {
  der::Reader r(value), signing, certs;
  if (!r.Enter(der::kSequence, &signing) || !r.empty() || !signing.Enter(der::kSequence, &certs))
    return std::nullopt;
  std::string hashes;
  while (!certs.empty()) {
    der::Reader id;
    Bytes hash;
    if (!certs.Enter(der::kSequence, &id) || !id.ReadOctetString(&hash)) return std::nullopt;
    hashes += HexRow(hash);
  }
  return Row(kLabelCertificateHash, hashes);
}

// CommitmentTypeIndication ::= SEQUENCE { commitmentTypeId OID, qualifiers OPTIONAL }
std::optional<SignerRow> CommitmentTypeRow(Bytes value) {
  der::Reader r(value), indication;
  std::string dotted;
  if (!r.Enter(der::kSequence, &indication) || !r.empty() || !indication.ReadOid(&dotted))
    return std::nullopt;
  std::string text = dotted;
  const std::string_view arc = kOidCommitmentArc;
  if (dotted.size() == arc.size() + 1 && dotted.starts_with(arc) && dotted.back() >= '1' &&
      dotted.back() <= '6')
    text = GetCmsSignerLabel(314 + static_cast<uint32_t>(dotted.back() - '1'));
  return Row(kLabelCommitmentType, text);
}

std::optional<SignerRow> SignedAttributeRow(const cms::Attribute& a) {
  const std::optional<Bytes> first = FirstValue(a);
  if (a.oid == cms::kOidContentType) return first ? ContentTypeRow(*first) : std::nullopt;
  if (a.oid == kOidSigningTime) {
    std::string text;
    if (!first || !SigningTimeText(*first, &text)) return std::nullopt;
    return Row(kLabelSigningTime, text);
  }
  if (a.oid == cms::kOidMessageDigest) return first ? MessageDigestRow(*first) : std::nullopt;
  if (a.oid == kOidContentHints) return ContentHintsRow(a);
  if (a.oid == kOidSigningCertificate) return first ? SigningCertificateRow(*first) : std::nullopt;
  if (a.oid == kOidSignaturePolicy) return Row(kLabelSignaturePolicy, "");
  if (a.oid == kOidCommitmentType) return first ? CommitmentTypeRow(*first) : std::nullopt;
  return std::nullopt;
}

std::optional<SignerRow> UnsignedAttributeRow(const cms::Attribute& a) {
  if (a.oid == kOidCounterSignature) return Row(kLabelCountersignature, "");
  if (a.oid == kOidTimeStampToken) {
    const std::optional<Bytes> first = FirstValue(a);
    std::string time;
    if (!first || !TimeStampRowText(*first, &time)) return std::nullopt;
    return Row(kLabelTimestamp, time, HexDump(*first));
  }
  if (a.oid == kOidCertificateRefs) return Row(kLabelCertificateRefs, "");
  if (a.oid == kOidRevocationRefs) return Row(kLabelCrlRefs, "");
  if (a.oid == kOidCertificateValues) return Row(kLabelCertificateValues, "");
  if (a.oid == kOidRevocationValues) return Row(kLabelRevocationValues, "");
  return std::nullopt;
}

// A SignerInfo standing alone, read by the one CMS reader inside a SignedData
// made around it.
LibraryErrorCode DecodeSignerInfo(Bytes signer_info, cms::SignedData* sd) {
  der::Element element;
  if (!der::ParseElement(signer_info, &element) || element.encoded.size() != signer_info.size() ||
      element.tag != der::kSequence)
    return kBadEncoding;
  std::optional<std::vector<uint8_t>> wrapped = cms::WrapSignerInfo(signer_info);
  if (!wrapped) return kBadEncoding;
  cms::SignedData parsed;
  if (cms::ParseSignedData(*wrapped, &parsed) != 0 || parsed.signers.size() != 1)
    return kBadEncoding;
  // The views point into the wrapper; keep it with them.
  if (parsed.der_copy.empty()) parsed.der_copy = std::move(*wrapped);
  *sd = std::move(parsed);
  return 0;
}

}  // namespace

std::string HexRow(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 3);
  for (uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
    out += ' ';
  }
  return out;
}

std::string HexDump(std::span<const uint8_t> bytes) {
  std::string out;
  out.reserve(bytes.size() * 3 + bytes.size() / 8 + bytes.size() / 8);
  for (size_t i = 0; i < bytes.size(); ++i) {
    out += HexRow(bytes.subspan(i, 1));
    if ((i + 1) % 8 == 0) out += ' ';
    if ((i + 1) % 16 == 0) out += "\r\n";
  }
  return out;
}

std::vector<uint8_t> HexDumpBytes(std::string_view dump) {
  const auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::vector<uint8_t> out;
  out.reserve(dump.size() / 3 + 1);
  size_t i = 0;
  while (i < dump.size()) {
    const char c = dump[i];
    if (c == ' ' || c == '\r' || c == '\n') {
      ++i;
      continue;
    }
    if (i + 1 >= dump.size() || nibble(c) < 0 || nibble(dump[i + 1]) < 0) return {};
    out.push_back(static_cast<uint8_t>(nibble(c) << 4 | nibble(dump[i + 1])));
    i += 2;
  }
  return out;
}

bool SigningTimeText(std::span<const uint8_t> value, std::string* text) {
  uint8_t tag = 0;
  der::Time written, t;
  if (!ReadWholeTime(value, &tag, &written) || !ToUtc(written, &t)) return false;
  std::string s = DateTimeText(t);
  if (!t.fraction.empty()) s += "." + t.fraction;
  if (tag == der::kUtcTime)
    s += " GMT";
  else if (t.zone != der::Time::Zone::kLocal)
    s += " UTC";
  *text = std::move(s);
  return true;
}

bool TimeStampRowText(std::span<const uint8_t> value, std::string* text) {
  if (value.empty() || value.size() > UINT32_MAX) return false;
  const auto length = static_cast<uint32_t>(value.size());
  std::string gen_time;
  // A stored value is a bare token; a whole response is read as it is.
  for (bool as_token : {true, false}) {
    TspContextPtr context(TspContextCreate());
    if (!context) return false;
    const LibraryErrorCode set = as_token ? TspSetToken(context.get(), value.data(), length)
                                          : TspSetResponse(context.get(), value.data(), length);
    if (set != 0) continue;
    uint32_t size = 0;
    if (TspGetGenTime(context.get(), nullptr, &size) != 234 || size == 0) continue;
    std::string buffer(size, '\0');
    if (TspGetGenTime(context.get(), buffer.data(), &size) != 0 || size == 0) continue;
    buffer.resize(size - 1);  // the terminating NUL
    gen_time = std::move(buffer);
    break;
  }
  if (gen_time.empty()) return false;
  der::Writer w;
  w.Add(der::kGeneralizedTime,
        std::span(reinterpret_cast<const uint8_t*>(gen_time.data()), gen_time.size()));
  const std::optional<std::vector<uint8_t>> element = w.Finish();
  uint8_t tag = 0;
  der::Time written, t;
  if (!element || !ReadWholeTime(*element, &tag, &written) ||
      written.zone == der::Time::Zone::kLocal || !ToUtc(written, &t))
    return false;
  *text = DateTimeText(t) + " (UTC)";
  return true;
}

SignerInfoModel BuildSignerInfoModel(std::span<const uint8_t> signer_info) {
  SignerInfoModel model;
  cms::SignedData sd;
  model.status = DecodeSignerInfo(signer_info, &sd);
  if (model.status != 0) return model;
  const cms::SignerInfo& si = sd.signers.front();

  std::string issuer, serial;
  if (!si.by_key_id) {
    std::optional<std::string> name = platform::CertNameToStr(
        si.issuer, platform::kCertX500NameStr | platform::kCertNameStrReverseFlag);
    if (!name) {
      model.status = kBadEncoding;
      return model;
    }
    // Values the name text writes as hex are shown as their text where they
    // can be read; otherwise the hex stays.
    DecodeHexValues(&*name, ',', '|');
    issuer = std::move(*name);
    serial = HexRow(si.serial);
  }
  std::string digest = si.digest_oid == kOidSha1 ? std::string("SHA1") : GetCmsSignerLabel(207);
  std::string algorithm;
  if (si.signature_oid == "1.2.840.113549.1.1.4")
    algorithm = "RSA-MD5";
  else if (si.signature_oid == "1.2.840.113549.1.1.5")
    algorithm = "RSA-SHA1";
  else if (si.signature_oid == cms::kOidRsaEncryption)
    algorithm = "RSA";
  else
    algorithm = GetCmsSignerLabel(209);

  model.general.push_back(Row(kLabelVersion, "V" + std::to_string(si.version)));
  model.general.push_back(Row(kLabelCertIssuer, issuer));
  model.general.push_back(Row(kLabelCertSerial, serial));
  model.general.push_back(Row(kLabelDigestAlgorithm, digest));
  model.general.push_back(Row(kLabelSignature, algorithm, HexDump(si.signature)));

  for (const cms::Attribute& a : si.signed_attrs)
    if (std::optional<SignerRow> row = SignedAttributeRow(a))
      model.signed_attributes.push_back(std::move(*row));
  for (const cms::Attribute& a : si.unsigned_attrs)
    if (std::optional<SignerRow> row = UnsignedAttributeRow(a))
      model.unsigned_attributes.push_back(std::move(*row));
  return model;
}

std::unique_ptr<CmsSignerNode> TimeStampTreeForRow(const SignerInfoModel& model, size_t row) {
  if (row >= model.unsigned_attributes.size() ||
      model.unsigned_attributes[row].label_id != kLabelTimestamp)
    return nullptr;
  std::vector<uint8_t> bytes = HexDumpBytes(model.unsigned_attributes[row].value);
  if (bytes.empty() || bytes.size() > UINT32_MAX) return nullptr;
  LibraryErrorCode status = 0;
  {
    CmsBlob blob(bytes);
    if (std::unique_ptr<CmsSignerNode> tree = blob.BuildSignerTree(&status)) return tree;
  }
  if (status != kBadEncoding) return nullptr;
  // A whole time-stamp response: its token.
  tsp::ResponseView response;
  if (!tsp::ParseResponse(bytes, &response) || response.token.empty()) return nullptr;
  CmsBlob blob(std::vector<uint8_t>(response.token.begin(), response.token.end()));
  return blob.BuildSignerTree(&status);
}

}  // namespace vel::crypto::ui
