// Rows of the XML signer window.
#include "xades/ui/xml_signer_model.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "cryptolib/cms_classes.h"
#include "cryptolib/cms_signer_tree.h"
#include "cryptolib/ui/signer_info_model.h"
#include "xades/base64.h"
#include "xades/big_integer.h"
#include "xades/node_helpers.h"
#include "xades/property_tables.h"
#include "xades/reference_lists.h"
#include "xades/signer_window.h"
#include "xades/ui/xml_signer_labels.h"
#include "xades/xml_doc.h"

namespace vel::xades::ui {
namespace {

constexpr uint32_t kInvalidData = 13;
constexpr uint32_t kInvalidParameter = 87;

constexpr int32_t kLabelIssuer = 1102;
constexpr int32_t kLabelSerial = 1103;
constexpr uint32_t kLabelCounterSignature = 1200;
constexpr int32_t kLabelTimeStamp = 1201;

// The fixed name texts the unsigned-properties table gives these rows.
constexpr std::string_view kCounterSignatureName = "Kontrasygnata";
constexpr std::string_view kRefsTimeStampName = "Znacznik czasu XAdES-X";
constexpr std::string_view kArchiveTimeStampName = "Znacznik czasu XAdES-A";

constexpr char kCounterSignatures[] =
    "/*/*/xades:QualifyingProperties/xades:UnsignedProperties/"
    "xades:UnsignedSignatureProperties/xades:CounterSignature";

std::string Or(const std::optional<std::string>& text) { return text.value_or(""); }

bool IsDsElement(const xmlNode* node, std::string_view name) {
  return node != nullptr && node->type == XML_ELEMENT_NODE && nameIs(node, name) &&
         node->ns != nullptr && xmlStrEqual(node->ns->href, BAD_CAST kXmlDsigNs);
}

// A row's name (column 0) as the General and Signed Attributes pages show it.
std::string NameText(const SignatureInfoRow& row) {
  return row.nameId != 0 ? GetXmlWndLabelEx(static_cast<uint32_t>(row.nameId), row.name)
                         : Or(row.name);
}

// A row's value (column 1) from its label id or its text.
std::string ValueText(const SignatureInfoRow& row) {
  return row.valueId != 0 ? GetXmlWndLabelEx(static_cast<uint32_t>(row.valueId), row.value)
                          : Or(row.value);
}

// The row is the one of label `id`: by its id, or by a name text that
// begins with the label (in the current language or as the table writes it).
bool RowIs(const SignatureInfoRow& row, int32_t id) {
  if (row.nameId != 0) return row.nameId == id;
  if (!row.name) return false;
  const auto id32 = static_cast<uint32_t>(id);
  return row.name->starts_with(GetXmlWndLabel(id32)) || row.name->starts_with(GetXmlWndLabelPl(id32));
}

// The signer's certificate of a Signature element (KeyInfo/X509Data/
// X509Certificate); empty when it has none or it is not base64.
std::vector<uint8_t> CertificateOf(const xmlNode* signature) {
  const xmlNode* node = signature;
  for (std::string_view name : {"KeyInfo", "X509Data", "X509Certificate"}) {
    const xmlNode* child = node->children;
    while (child != nullptr && !IsDsElement(child, name)) child = child->next;
    if (child == nullptr) return {};
    node = child;
  }
  XmlCharPtr text(xmlNodeGetContent(node));
  std::vector<uint8_t> der;
  if (!text || base64Decode(reinterpret_cast<const char*>(text.get()), &der) != kBase64Ok) return {};
  return der;
}

// One entry per "Kontrasygnata" row of the unsigned-properties table, in the
// table's order: the counter-signature the row belongs to, none for one of
// another kind. Walked as the table walks them.
std::vector<const xmlNode*> CounterSignatureOfRows(xmlDoc* doc) {
  std::vector<const xmlNode*> out;
  XPathContextPtr context = xadesNewXPathContext(doc);
  if (!context) return out;
  XPathObjectPtr result = xadesEval(context.get(), kCounterSignatures);
  for (const xmlNode* counter : nodesOf(result.get())) {
    const xmlNode* signature = firstContentChild(counter);
    if (!IsDsElement(signature, "Signature")) {
      out.push_back(nullptr);
      continue;
    }
    for (const xmlNode* object = firstContentChild(signature); object != nullptr;
         object = nextContentSibling(object)) {
      for (const xmlNode* q = firstContentChild(object); q != nullptr; q = nextContentSibling(q)) {
        if (q->type == XML_ELEMENT_NODE && nameIs(q, "QualifyingProperties")) out.push_back(signature);
      }
    }
  }
  return out;
}

XmlSignerRow GeneralRow(const SignatureInfoRow& row) {
  return XmlSignerRow{.label = NameText(row), .shown = ValueText(row), .value = Or(row.data)};
}

XmlSignerRow SignedRow(const SignatureInfoRow& row) {
  XmlSignerRow out = GeneralRow(row);
  if (row.type != kRowOwnsNothing) return out;
  if (RowIs(row, kLabelIssuer)) {
    out.shown = Or(CommonNameOf(Or(row.data)));
    out.value = JoinRowText(out.value);
  } else if (RowIs(row, kLabelSerial)) {
    // A serial that is not a decimal number is shown as written.
    out.shown = SerialHexText(Or(row.data)).value_or(Or(row.data));
  }
  return out;
}

XmlSignerRow UnsignedRow(const SignatureInfoRow& row) {
  XmlSignerRow out = GeneralRow(row);
  if (row.nameId == 0 && row.name == kCounterSignatureName) {
    out.kind = XmlRowKind::kCounterSignature;
    out.label = GetXmlWndLabel(kLabelCounterSignature);
    if (row.type == kRowOwnsNothing) {
      // Another kind of counter-signature keeps the table's note as value.
      if (std::optional<std::string> name = CommonNameOf(out.value)) out.shown = std::move(*name);
      out.value = JoinRowText(out.value);
    }
  } else if (row.nameId == kLabelTimeStamp) {
    // The kind is in the table's name text; the label is the current
    // language's, with the form after it.
    std::string form;
    out.kind = XmlRowKind::kSignatureTimeStamp;
    if (row.name == kRefsTimeStampName) {
      out.kind = XmlRowKind::kRefsTimeStamp;
      form = " XAdES-X";
    } else if (row.name == kArchiveTimeStampName) {
      out.kind = XmlRowKind::kArchiveTimeStamp;
      form = " XAdES-A";
    }
    out.label = GetXmlWndLabel(kLabelTimeStamp) + form;
    out.token = Or(row.data);
    out.shown = TimeStampTimeText(out.token);
  }
  return out;
}

}  // namespace

std::optional<std::string> CommonNameOf(std::string_view name) {
  const size_t cn = name.find("CN=");
  if (cn == std::string_view::npos) return std::nullopt;
  const size_t start = cn + 3;
  size_t end = name.size();
  const size_t next = name.find('=', start);
  if (next != std::string_view::npos) {
    const size_t comma = name.substr(0, next).rfind(", ");
    if (comma != std::string_view::npos && comma >= start) end = comma;
  }
  return std::string(name.substr(start, end - start));
}

std::string JoinRowText(std::string_view name) {
  std::string out(name);
  size_t from = 0;  // after the last separator turned
  for (size_t eq = out.find('='); eq != std::string::npos; eq = out.find('=', eq + 1)) {
    const size_t sep = out.find(", ", std::max(eq + 1, from));
    if (sep == std::string::npos) break;
    out[sep] = '\r';
    out[sep + 1] = '\n';
    from = sep + 2;
  }
  return out;
}

std::optional<std::string> SerialHexText(std::string_view decimal) {
  constexpr std::string_view kBlanks = " \t\r\n";
  const size_t first = decimal.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return std::nullopt;
  decimal = decimal.substr(first, decimal.find_last_not_of(kBlanks) - first + 1);
  if (decimal.size() > kMaxSerialDigits ||
      !std::all_of(decimal.begin(), decimal.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  try {
    const BigUnsigned value = BigUnsignedInABase(std::string(decimal), 10).ToBigUnsigned();
    std::string hex(BigUnsignedInABase(value, 16));
    std::transform(hex.begin(), hex.end(), hex.begin(),
                   [](char c) { return c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c; });
    return hex;
  } catch (...) {
    return std::nullopt;
  }
}

std::string TimeStampTimeText(std::string_view base64) {
  std::vector<uint8_t> token;
  std::string text;
  if (base64Decode(base64, &token) != kBase64Ok || !crypto::ui::TimeStampRowText(token, &text))
    return "ERROR";
  return text;
}

XmlSignerInfoModel BuildXmlSignerInfoModel(std::string_view signature_xml,
                                           std::span<const uint8_t> certificate) {
  XmlSignerInfoModel model;
  model.signature_xml.assign(signature_xml);
  model.certificate.assign(certificate.begin(), certificate.end());
  const XmlDocPtr doc = xadesParseMemory(model.signature_xml);
  xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
  if (!IsDsElement(root, "Signature")) {
    model.status = kInvalidData;
    return model;
  }
  XadesSignContext sig;
  sig.signature = root;
  const SignatureInfoTablePtr general = getSignedInfoTable(sig);
  const SignatureInfoTablePtr signed_properties = getSignedPropertiesTable(sig);
  const SignatureInfoTablePtr unsigned_properties = getUnsignedPropertiesTable(sig);
  // Without any one of them the pages stay empty.
  if (!general || !signed_properties || !unsigned_properties) return model;

  for (const SignatureInfoRow& row : general->rows) model.general.push_back(GeneralRow(row));
  for (const SignatureInfoRow& row : signed_properties->rows)
    model.signed_attributes.push_back(SignedRow(row));

  size_t of_kind[static_cast<size_t>(XmlRowKind::kArchiveTimeStamp) + 1] = {};
  for (const SignatureInfoRow& row : unsigned_properties->rows) {
    XmlSignerRow out = UnsignedRow(row);
    out.ordinal = of_kind[static_cast<size_t>(out.kind)]++;
    model.unsigned_attributes.push_back(std::move(out));
  }
  return model;
}

XmlSignatureTarget SignatureTargetForRow(const XmlSignerInfoModel& model, size_t row) {
  XmlSignatureTarget target;
  if (row >= model.unsigned_attributes.size()) return target;
  const XmlSignerRow& r = model.unsigned_attributes[row];
  switch (r.kind) {
    case XmlRowKind::kSignatureTimeStamp:
    case XmlRowKind::kRefsTimeStamp:
    case XmlRowKind::kArchiveTimeStamp:
      if (base64Decode(r.token, &target.token) == kBase64Ok && !target.token.empty())
        target.kind = XmlSignatureTarget::kTimeStamp;
      break;
    case XmlRowKind::kCounterSignature: {
      // Found in the window's copy when asked: rows of one signature do not
      // each hold a copy of it.
      const XmlDocPtr doc = xadesParseMemory(model.signature_xml);
      const std::vector<const xmlNode*> counters =
          doc ? CounterSignatureOfRows(doc.get()) : std::vector<const xmlNode*>{};
      const xmlNode* signature = r.ordinal < counters.size() ? counters[r.ordinal] : nullptr;
      if (signature == nullptr) break;
      target.signature_xml = serializeSignatureCopy(signature);
      target.certificate = CertificateOf(signature);
      if (!target.signature_xml.empty()) target.kind = XmlSignatureTarget::kCounterSignature;
      break;
    }
    case XmlRowKind::kOther:
      break;
  }
  return target;
}

uint32_t OpenSignatureForRow(const XmlSignerInfoModel& model, size_t row) {
  XmlSignatureTarget target = SignatureTargetForRow(model, row);
  switch (target.kind) {
    case XmlSignatureTarget::kTimeStamp: {
      if (target.token.size() > UINT32_MAX) return kInvalidData;
      crypto::LibraryErrorCode status = 0;
      const crypto::CmsBlob blob(std::move(target.token));
      const std::unique_ptr<crypto::CmsSignerNode> tree = blob.BuildSignerTree(&status);
      if (!tree) return status != 0 ? status : kInvalidData;
      // The CMS window copies the authority's SignerInfo; the tree may go.
      return tree->ShowInfoWindow(nullptr);
    }
    case XmlSignatureTarget::kCounterSignature: {
      const XmlDocPtr doc = xadesParseMemory(target.signature_xml);
      if (!doc) return kInvalidData;
      XadesSignContext sig;
      sig.signature = xmlDocGetRootElement(doc.get());
      sig.certificateBytes = std::move(target.certificate);
      return ShowXmlSignerInfo(sig);
    }
    case XmlSignatureTarget::kNone:
      break;
  }
  return kInvalidParameter;
}

}  // namespace vel::xades::ui
