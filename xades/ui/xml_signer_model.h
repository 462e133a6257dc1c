// What the XML signer window shows, computed without widgets: the rows of its
// three pages (General, Signed Attributes, Unsigned Attributes) made from the
// signature's property tables, each with its list texts and the full text
// shown below the list, and what Show Signature opens for an unsigned row.
// Texts are UTF-8 in the current language; line breaks are CR LF.
//
// The model is built from a serialised copy of one Signature element (bytes
// from a document: untrusted) and keeps nothing that points into it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vel::xades::ui {

// What a row stands for, for Show Signature.
enum class XmlRowKind {
  kOther,
  kCounterSignature,
  kSignatureTimeStamp,
  kRefsTimeStamp,     // XAdES-X
  kArchiveTimeStamp,  // XAdES-A
};

struct XmlSignerRow {
  std::string label;  // column 0
  std::string shown;  // column 1
  std::string value;  // the value box text when the row is selected
  XmlRowKind kind = XmlRowKind::kOther;
  // The row's position among the rows of its kind (a counter-signature row
  // finds its signature by it).
  size_t ordinal = 0;
  // A time-stamp row: the token's base64 text as the document holds it.
  std::string token{};
};

struct XmlSignerInfoModel {
  // 0, or 13 when the copy is not a signature document (the window does
  // not open).
  uint32_t status = 0;
  std::string signature_xml;         // the window's own copy
  std::vector<uint8_t> certificate;  // the signer's certificate (DER)
  std::vector<XmlSignerRow> general;
  std::vector<XmlSignerRow> signed_attributes;
  std::vector<XmlSignerRow> unsigned_attributes;
};

XmlSignerInfoModel BuildXmlSignerInfoModel(std::string_view signature_xml,
                                           std::span<const uint8_t> certificate);

// The common name of a distinguished-name text: what follows "CN=", up to
// the last ", " before the next '=' (so commas inside the value stay), or to
// the end. None without "CN=".
std::optional<std::string> CommonNameOf(std::string_view name);

// The distinguished-name text with one line per attribute: for each '=', the
// first ", " after it (and after the last one turned) becomes CR LF.
std::string JoinRowText(std::string_view name);

// A decimal serial number of any length as lower-case hexadecimal without
// leading zeros (blanks around it ignored). None when the text is not a
// decimal number or is longer than kMaxSerialDigits.
inline constexpr size_t kMaxSerialDigits = 200;
std::optional<std::string> SerialHexText(std::string_view decimal);

// The generation time of a time-stamp token given as base64:
// "yyyy-mm-dd hh:mm:ss (UTC)", or "ERROR" when the token or its time
// cannot be read.
std::string TimeStampTimeText(std::string_view base64);

// What Show Signature opens for row `row` of the Unsigned Attributes page.
struct XmlSignatureTarget {
  enum Kind { kNone, kTimeStamp, kCounterSignature } kind = kNone;
  std::vector<uint8_t> token;         // kTimeStamp: the token's DER
  std::string signature_xml;          // kCounterSignature: its own copy
  std::vector<uint8_t> certificate;   // kCounterSignature
};
XmlSignatureTarget SignatureTargetForRow(const XmlSignerInfoModel& model, size_t row);

// Opens it: the crypto library's CMS signer window for the token's signer,
// or another XML signer window (ShowXmlSignerInfo) for the counter-signature.
// 0, or what kept the window from opening (87 for a row that opens nothing).
uint32_t OpenSignatureForRow(const XmlSignerInfoModel& model, size_t row);

}  // namespace vel::xades::ui
