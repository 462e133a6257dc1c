// The tables a signer-information window shows of one signature: general
// (SignedInfo), signed and unsigned properties. Each row has a name (label id
// or text), a value (label id or text) and its underlying data.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "xades/sign_context.h"
#include "xades/xml_doc.h"

namespace vel::xades {

// Row types: what the row owns (kept for the window's detail box).
inline constexpr uint8_t kRowOwnsNothing = 0;
inline constexpr uint8_t kRowOwnsValue = '"';
inline constexpr uint8_t kRowOwnsData = 'D';
inline constexpr uint8_t kRowOwnsBoth = 'f';

struct SignatureInfoRow {
  int32_t nameId = 0;
  std::optional<std::string> name{};
  int32_t valueId = 0;
  std::optional<std::string> value{};
  int32_t reserved = 0;
  std::optional<std::string> data{};
  uint8_t type = kRowOwnsNothing;
};

struct SignatureInfoTable {
  std::vector<SignatureInfoRow> rows;
  int32_t capacity = 30;  // grows by 10 when full
  XmlDocPtr document;     // the copy of the signature the rows were read from
  int32_t count() const { return static_cast<int32_t>(rows.size()); }
};
using SignatureInfoTablePtr = std::unique_ptr<SignatureInfoTable>;

SignatureInfoTablePtr getSignedInfoTable(const XadesSignContext& sig);
SignatureInfoTablePtr getSignedPropertiesTable(const XadesSignContext& sig);
SignatureInfoTablePtr getUnsignedPropertiesTable(const XadesSignContext& sig);
void signatureInfoTableFree(SignatureInfoTablePtr table);

// First 'T' (else first 't') of an xsd:dateTime becomes a blank.
std::optional<std::string> isoTimeToText(std::optional<std::string> text);
std::optional<std::string> crlIssuerFromBase64(const std::string& base64);
std::optional<std::string> certSubjectFromBase64(const std::string& base64);

}  // namespace vel::xades
