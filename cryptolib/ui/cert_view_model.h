// What the certificate viewer shows, computed without widgets: the General
// page's attribute rows, dates and serial number, the Details rows and the
// certification path. Texts are UTF-8 in the current language; line breaks
// are CR LF as the certificate texts write them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cryptolib/status.h"
#include "cryptolib/x509_context.h"

namespace vel::crypto::ui {

// One attribute of a name: its label (or dotted type) and its value.
struct NameRow {
  std::string name;
  std::string value;
};

// One row of the Details list.
struct DetailRow {
  uint32_t label_id = 0;
  std::string label;
  std::string text;
  std::vector<NameRow> attributes;  // the Subject and Issuer rows: the name's attributes
};

// One item of the path tree; each item hangs under the one before it.
struct PathItem {
  std::string text;
  CertPtr certificate;          // the missing-issuer item: the last certificate found
  bool missing_issuer = false;  // the label 36 item
};

struct CertViewModel {
  // 0, or what stopped the filling; the window is then not shown.
  LibraryErrorCode status = 0;
  CertPtr certificate;
  std::vector<NameRow> subject;
  std::vector<NameRow> issuer;
  std::string not_before;
  std::string not_after;
  std::string serial;
  std::vector<DetailRow> details;
  std::vector<PathItem> path;  // from the root end down to the certificate itself
};

// Everything the viewer shows for `certificate`; the path is read from the
// system stores.
CertViewModel BuildCertViewModel(const CertPtr& certificate);

// The value box text for Details row `row` (past the end: the first row):
// a name one attribute per line, the key usages one per line, else the text.
std::string DetailValueText(const CertViewModel& model, size_t row);

// The certificate a double click on path item `index` opens: none for the
// missing-issuer item, the certificate shown itself, or an index past the end.
CertPtr PathItemToOpen(const CertViewModel& model, size_t index);

// The label of a name attribute type, or the dotted type itself.
std::string GetDnAttributeLabelId(std::string_view dotted_type);

// The attributes of an encoded Name, in the encoded order or, reversed, most
// specific first; values as the name texts give them (multi-valued RDNs
// give one row per attribute). False when the bytes are not a Name.
bool NameRows(std::span<const uint8_t> name_der, bool reverse, std::vector<NameRow>* rows);

// The Certification policy text of a certificatePolicies value (its first
// policy); 13 for a value of another shape.
LibraryErrorCode CertificatePolicyText(std::span<const uint8_t> value, std::string* text);

// The Certificate type text of a basicConstraints value.
std::string BasicConstraintsText(std::span<const uint8_t> value);

// The Subject alternative name text: each e-mail address under its label.
std::string AltNameText(const std::vector<std::string>& emails);

// "<type> <bits> bit." for the certificate's public key.
std::string PublicKeyText(const platform::CertContext& certificate);

// The path the viewer shows: the certificate first, then its issuers as far
// as the system stores hold them. `partial` when it does not end at a
// self-signed certificate.
struct ViewerChain {
  std::vector<CertPtr> certificates;
  bool partial = true;
};
ViewerChain BuildViewerChain(const CertPtr& certificate);

}  // namespace vel::crypto::ui
