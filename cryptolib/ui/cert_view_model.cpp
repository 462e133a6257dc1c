// The certificate viewer's rows and texts.
#include "cryptolib/ui/cert_view_model.h"

#include <openssl/objects.h>
#include <openssl/x509.h>

#include <cstring>
#include <optional>
#include <utility>

#include "cryptolib/cert_names.h"
#include "cryptolib/cert_path.h"
#include "cryptolib/cert_text.h"
#include "cryptolib/der.h"
#include "cryptolib/lib_strings.h"
#include "platform/cert_name_str.h"
#include "platform/win32_error.h"

namespace vel::crypto::ui {
namespace {

constexpr LibraryErrorCode kErrorInvalidData = platform::kErrorInvalidData;  // 13
constexpr LibraryErrorCode kErrorMoreData = platform::kErrorMoreData;        // 234

// Label ids of the Details rows.
enum : uint32_t {
  kLabelSubject = 6,
  kLabelIssuer = 9,
  kLabelValidFrom = 15,
  kLabelValidTo = 16,
  kLabelSerial = 18,
  kLabelVersion = 19,
  kLabelPublicKey = 20,
  kLabelCertType = 21,
  kLabelKeyUsage = 22,
  kLabelEnhancedKeyUsage = 23,
  kLabelPolicy = 24,
  kLabelAltName = 31,
  kLabelIssuerMissing = 36,
  kLabelQcStatements = 43,
};

// Runs a text function of the size rule twice and keeps the whole result
// (inner NULs of a list included, the final NUL dropped).
template <typename Call>
LibraryErrorCode SizedText(Call&& call, std::string* out) {
  out->clear();
  uint32_t size = 0;
  LibraryErrorCode err = call(nullptr, &size);
  if (err == 0) return 0;  // nothing to write
  if (err != kErrorMoreData) return err;
  std::string buffer(size + 1, '\0');
  uint32_t room = static_cast<uint32_t>(buffer.size());
  if ((err = call(buffer.data(), &room)) != 0) return err;
  // The size becomes the text length + 1.
  buffer.resize(room > 0 && room <= buffer.size() ? room - 1 : 0);
  *out = std::move(buffer);
  return 0;
}

std::string TrimAtNul(std::string text) {
  text.resize(std::strlen(text.c_str()));
  return text;
}

void AddRow(CertViewModel* model, uint32_t label_id, std::string text,
            std::vector<NameRow> attributes = {}) {
  model->details.push_back(
      DetailRow{label_id, GetLibString(label_id), std::move(text), std::move(attributes)});
}

std::string Dotted(const ASN1_OBJECT* object) {
  const int n = OBJ_obj2txt(nullptr, 0, object, 1);
  if (n <= 0) return {};
  std::string text(static_cast<size_t>(n) + 1, '\0');
  OBJ_obj2txt(text.data(), n + 1, object, 1);
  text.resize(static_cast<size_t>(n));
  return text;
}

// An IA5String (7-bit; stray 8-bit bytes read as Latin-1).
std::string Ia5Text(std::span<const uint8_t> bytes) {
  std::string out;
  if (!der::StringToUtf8(der::kIa5String, bytes, &out)) out.clear();
  return out;
}

// One PolicyQualifierInfo. Sets the UserNotice or CPS text it carries; false
// for a shape the viewer does not read.
bool ReadQualifier(der::Reader qualifier, std::optional<std::string>* notice,
                   std::optional<std::string>* cps) {
  std::string id;
  if (!qualifier.ReadOid(&id)) return false;
  der::Element value;
  if (!qualifier.ReadElement(&value)) return false;  // a qualifier without value
  if (id == "1.3.6.1.5.5.7.2.2") {
    // UserNotice ::= SEQUENCE { noticeRef OPTIONAL, explicitText DisplayText OPTIONAL }
    if (value.tag != der::kSequence) return false;
    der::Reader notice_fields(value.content);
    der::Element first;
    if (!notice_fields.ReadElement(&first)) return false;  // an empty UserNotice
    if (first.tag == der::kBmpString || first.tag == der::kUtf8String) {
      std::string text;
      if (!der::StringToUtf8(first.tag, first.content, &text)) return false;
      *notice = std::move(text);
    }
    return true;  // a notice reference or another string type: no line
  }
  if (id == "1.3.6.1.5.5.7.2.1") {
    if (value.tag == der::kIa5String) *cps = Ia5Text(value.content);
    return true;
  }
  return false;  // the only qualifiers a policy may carry are the two above
}

}  // namespace

std::string GetDnAttributeLabelId(std::string_view dotted_type) {
  static constexpr std::pair<std::string_view, uint32_t> kTypes[] = {
      {"2.5.4.3", 201},  {"2.5.4.4", 202},  {"2.5.4.5", 203},  {"2.5.4.6", 204},
      {"2.5.4.7", 205},  {"2.5.4.8", 206},  {"2.5.4.10", 207}, {"2.5.4.11", 208},
      {"2.5.4.12", 209}, {"2.5.4.13", 210}, {"2.5.4.16", 211}, {"2.5.4.42", 212},
      {"2.5.4.65", 213},
  };
  for (const auto& [type, id] : kTypes)
    if (type == dotted_type) return GetLibString(id);
  return std::string(dotted_type);
}

bool NameRows(std::span<const uint8_t> name_der, bool reverse, std::vector<NameRow>* rows) {
  rows->clear();
  const uint32_t type =
      platform::kCertOidNameStr | (reverse ? platform::kCertNameStrReverseFlag : 0u);
  const std::optional<platform::NameRdns> rdns = platform::DecodeNameAttributes(name_der, type);
  if (!rdns) return false;
  for (const auto& rdn : *rdns) {
    for (const platform::NameAttribute& attribute : rdn) {
      std::string value;
      if (detail::AttributeValueText(attribute, ',', '|', &value) != 0) value = attribute.text;
      rows->push_back(NameRow{GetDnAttributeLabelId(attribute.oid), std::move(value)});
    }
  }
  return true;
}

LibraryErrorCode CertificatePolicyText(std::span<const uint8_t> value, std::string* text) {
  text->clear();
  der::Reader outer(value), policies, policy;
  if (!outer.Enter(der::kSequence, &policies) || !policies.Enter(der::kSequence, &policy))
    return kErrorInvalidData;
  std::string policy_id;
  if (!policy.ReadOid(&policy_id)) return kErrorInvalidData;

  std::optional<std::string> notice, cps;
  der::Reader qualifiers;
  if (policy.Enter(der::kSequence, &qualifiers)) {
    while (!qualifiers.empty()) {
      der::Reader qualifier;
      if (!qualifiers.Enter(der::kSequence, &qualifier)) return kErrorInvalidData;
      if (!ReadQualifier(qualifier, &notice, &cps)) return kErrorInvalidData;
    }
  }

  std::string out = "[1]  ";
  out += GetLibString(26);
  out += " = ";
  out += policy_id == GetLibString(37) ? GetLibString(38) : policy_id;
  out += "\r\n";
  int line = 0;
  if (notice) {
    out += "[1," + std::to_string(++line) + "] " + GetLibString(28) + " = " + *notice + "\r\n";
  }
  if (cps) {
    out += "[1," + std::to_string(++line) + "] " + GetLibString(30) + " = " + *cps + "\r\n";
  }
  *text = std::move(out);
  return 0;
}

std::string BasicConstraintsText(std::span<const uint8_t> value) {
  der::Reader outer(value), fields;
  if (outer.Enter(der::kSequence, &fields) && outer.empty()) {
    if (fields.empty()) return GetLibString(40);
    der::Element first;
    if (fields.ReadElement(&first) && first.tag == der::kBoolean && !first.content.empty() &&
        first.content[0] == 0xFF)
      return GetLibString(41);
  }
  return GetLibString(42);
}

std::string AltNameText(const std::vector<std::string>& emails) {
  std::string out;
  for (const std::string& email : emails) {
    out += GetLibString(39);
    out += ":\r\n  ";
    out += email;
    out += "\r\n";
  }
  return out;
}

std::string PublicKeyText(const platform::CertContext& certificate) {
  // The key's own algorithm names its type: a signature algorithm says
  // nothing about the subject's key.
  std::string type = "Nieznany typ klucza";
  ASN1_OBJECT* algorithm = nullptr;
  if (X509_PUBKEY* key = X509_get_X509_PUBKEY(certificate.x509());
      key != nullptr &&
      X509_PUBKEY_get0_param(&algorithm, nullptr, nullptr, nullptr, key) == 1) {
    const std::string oid = Dotted(algorithm);
    if (oid == "1.2.840.113549.1.1.1") type = "RSA";
    if (oid == "1.2.840.10040.4.1") type = "DSA";
  }
  const EVP_PKEY* key = X509_get0_pubkey(certificate.x509());
  const int bits = key != nullptr ? EVP_PKEY_get_bits(key) : 0;
  return type + " " + std::to_string(bits) + " bit.";
}

ViewerChain BuildViewerChain(const CertPtr& certificate) {
  ViewerChain chain;
  if (!certificate) return chain;
  const auto first_path = [](const CertPathNode& root) {
    std::vector<CertPtr> certs;
    for (const CertPathNode* n = &root; n != nullptr;
         n = n->children().empty() ? nullptr : n->children().front().get())
      certs.push_back(n->certificate());
    return certs;
  };
  // The user's stores first, as the platform's default chain engine does,
  // then the machine's.
  for (uint32_t location : {platform::kStoreCurrentUser, platform::kStoreLocalMachine}) {
    CertPathNode root(certificate);
    root.BuildFromSystemStores(location);
    if (root.PruneUnchained() == 0) {
      chain.certificates = first_path(root);
      chain.partial = false;
      return chain;
    }
  }
  // No path reaches a self-signed certificate: show as far as the issuers go.
  CertPathNode root(certificate);
  root.BuildFromSystemStores(platform::kStoreCurrentUser);
  chain.certificates = first_path(root);
  chain.partial = true;
  return chain;
}

CertViewModel BuildCertViewModel(const CertPtr& certificate) {
  CertViewModel model;
  model.certificate = certificate;
  X509ContextPtr context = MakeX509Context();
  if (!context) {
    model.status = platform::kErrorNotEnoughMemory;
    return model;
  }
  if (!certificate) {
    model.status = LIB_E_NO_CERTIFICATE;
    return model;
  }
  context->certificate = certificate;
  X509Context* ctx = context.get();
  const auto fail = [&](LibraryErrorCode err) {
    model.status = err;
    return model;
  };

  uint32_t version = 0;
  if (LibraryErrorCode err = GetCertificateVersion(ctx, &version); err != 0) return fail(err);
  AddRow(&model, kLabelVersion, std::to_string(version + 1));

  if (LibraryErrorCode err = SizedText(
          [&](char* t, uint32_t* s) { return GetSerialNumberHex(ctx, t, s); }, &model.serial);
      err != 0)
    return fail(err);
  AddRow(&model, kLabelSerial, model.serial);

  std::string issuer_text, subject_text;
  if (LibraryErrorCode err = SizedText(
          [&](char* t, uint32_t* s) { return GetIssuerString(ctx, CERT_OID_NAME_STR, t, s); },
          &issuer_text);
      err != 0)
    return fail(err);
  if (!NameRows(certificate->issuer_der(), true, &model.issuer)) return fail(kErrorInvalidData);
  AddRow(&model, kLabelIssuer, TrimAtNul(issuer_text), model.issuer);

  if (LibraryErrorCode err = SizedText(
          [&](char* t, uint32_t* s) { return GetSubjectString(ctx, CERT_OID_NAME_STR, t, s); },
          &subject_text);
      err != 0)
    return fail(err);
  if (!NameRows(certificate->subject_der(), false, &model.subject)) return fail(kErrorInvalidData);
  AddRow(&model, kLabelSubject, TrimAtNul(subject_text), model.subject);

  for (uint32_t which : {0u, 1u}) {
    std::string* text = which == 0 ? &model.not_before : &model.not_after;
    if (LibraryErrorCode err = SizedText(
            [&](char* t, uint32_t* s) { return GetValidityText(ctx, which, true, t, s); }, text);
        err != 0)
      return fail(err);
    *text = TrimAtNul(*text);
    AddRow(&model, which == 0 ? kLabelValidFrom : kLabelValidTo, *text);
  }

  AddRow(&model, kLabelPublicKey, PublicKeyText(*certificate));

  X509* x509 = certificate->x509();
  const int count = X509_get_ext_count(x509);
  for (int i = 0; i < count; ++i) {
    X509_EXTENSION* extension = X509_get_ext(x509, i);
    const std::string oid = Dotted(X509_EXTENSION_get_object(extension));
    const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(extension);
    const std::span<const uint8_t> value(ASN1_STRING_get0_data(data),
                                         static_cast<size_t>(ASN1_STRING_length(data)));
    std::string text;
    if (oid == "2.5.29.15" || oid == "2.5.29.37") {
      // A usage list the library cannot read, or one that names nothing,
      // gets no row; the rest of the certificate is still shown.
      const LibraryErrorCode err =
          oid == "2.5.29.15"
              ? SizedText([&](char* t, uint32_t* s) { return GetKeyUsageText(ctx, t, s); }, &text)
              : SizedText(
                    [&](char* t, uint32_t* s) { return GetEnhancedKeyUsageText(ctx, t, s); },
                    &text);
      text = TrimAtNul(text);
      if (err == 0 && !text.empty())
        AddRow(&model, oid == "2.5.29.15" ? kLabelKeyUsage : kLabelEnhancedKeyUsage, text);
    } else if (oid == "2.5.29.32") {
      if (LibraryErrorCode err = CertificatePolicyText(value, &text); err != 0) return fail(err);
      AddRow(&model, kLabelPolicy, text);
    } else if (oid == "2.5.29.17") {
      std::string list;
      if (LibraryErrorCode err = SizedText(
              [&](char* t, uint32_t* s) {
                return FormatExtensionText(nullptr, "2.5.29.17", value.data(),
                                           static_cast<uint32_t>(value.size()), 0, t, s);
              },
              &list);
          err != 0)
        return fail(err);
      std::vector<std::string> emails;
      for (size_t start = 0; start < list.size();) {
        const size_t end = list.find('\0', start);
        const size_t stop = end == std::string::npos ? list.size() : end;
        if (stop > start) emails.push_back(list.substr(start, stop - start));
        start = stop + 1;
      }
      AddRow(&model, kLabelAltName, AltNameText(emails));
    } else if (oid == "2.5.29.19") {
      AddRow(&model, kLabelCertType, BasicConstraintsText(value));
    } else if (oid == "1.3.6.1.5.5.7.1.3") {
      if (LibraryErrorCode err = SizedText(
              [&](char* t, uint32_t* s) {
                return FormatExtensionText(nullptr, "1.3.6.1.5.5.7.1.3", value.data(),
                                           static_cast<uint32_t>(value.size()), 0, t, s);
              },
              &text);
          err != 0)
        return fail(err);
      AddRow(&model, kLabelQcStatements, TrimAtNul(text));
    }
  }

  const ViewerChain chain = BuildViewerChain(certificate);
  if (chain.partial && !chain.certificates.empty()) {
    model.path.push_back(
        PathItem{GetLibString(kLabelIssuerMissing), chain.certificates.back(), true});
  }
  for (auto it = chain.certificates.rbegin(); it != chain.certificates.rend(); ++it) {
    context->certificate = *it;
    std::string name;
    if (LibraryErrorCode err = SizedText(
            [&](char* t, uint32_t* s) { return GetDisplayName(ctx, t, s); }, &name);
        err != 0)
      return fail(err);
    model.path.push_back(PathItem{TrimAtNul(name), *it, false});
  }
  return model;
}

std::string DetailValueText(const CertViewModel& model, size_t row) {
  if (model.details.empty()) return {};
  if (row >= model.details.size()) row = 0;
  const DetailRow& r = model.details[row];
  if (r.label_id == kLabelSubject || r.label_id == kLabelIssuer) {
    std::string out;
    for (const NameRow& a : r.attributes) out += a.name + " = " + a.value + "\r\n";
    return out;
  }
  if (r.label_id == kLabelKeyUsage) {
    std::string out;
    for (size_t start = 0;;) {
      const size_t comma = r.text.find(", ", start);
      out += r.text.substr(start, comma - start);
      if (comma == std::string::npos) break;
      out += "\r\n";
      start = comma + 2;
    }
    return out;
  }
  return r.text;
}

CertPtr PathItemToOpen(const CertViewModel& model, size_t index) {
  if (index >= model.path.size()) return nullptr;
  const PathItem& item = model.path[index];
  if (item.missing_issuer || !item.certificate) return nullptr;
  if (model.certificate && platform::CompareCertificate(*item.certificate, *model.certificate))
    return nullptr;
  return item.certificate;
}

}  // namespace vel::crypto::ui
