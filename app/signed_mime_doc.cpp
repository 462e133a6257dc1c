#include "app/signed_mime_doc.h"

#include <cstdio>

#include "app/base64_codec.h"
#include "app/content_opener.h"
#include "app/message_catalog.h"
#include "app/mime_message.h"
#include "app/prompt.h"
#include "app/signed_file.h"
#include "cryptolib/der_utils.h"

namespace vel::app {
namespace {

constexpr uint32_t kNoAssociation = 31;

bool EndsWith(const std::string& s, std::string_view end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

std::string NameWithoutLastExtension(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.resize(dot);
  return name;
}

}  // namespace

CSignedMimeDoc::CSignedMimeDoc(const std::string& path, const CMessageTable& catalog,
                               Prompt& prompt) {
  if (Parse(path, catalog, prompt)) {
    path_ = path;
    return;
  }
  signed_content_.clear();
  document_.clear();
  signature_.clear();
  file_name_.clear();
  kind_ = kOther;
}

bool CSignedMimeDoc::Parse(const std::string& path, const CMessageTable& catalog, Prompt& prompt) {
  CMimeMultipartSigned message;
  if (message.LoadFile(path, catalog, prompt) != 0) return false;
  kind_ = message.multipart() ? kMultipartSigned : kOther;
  if (message.multipart()) {
    if (!message.GetFirstPart()) return false;
    const CMimeMessage& first = message.part();
    signed_content_ = SignedPartBytes(first);
    if (SignedPartBody(signed_content_, document_) != 0 || !message.GetNextPart()) return false;
    // The signature part is base64 in mail; its bytes are decoded first.
    std::vector<uint8_t> body;
    if (message.part().DecodedBody(body) != 0 || crypto::BerToDer(body, &signature_) != 0)
      return false;
    file_name_ = SignedFileNameOf(signature_);
    return true;
  }
  if (message.IsOpaqueSmime()) {
    std::vector<uint8_t> body;
    if (message.DecodedBody(body) != 0 || crypto::BerToDer(body, &signature_) != 0) return false;
    kind_ = kOpaqueSmime;
    file_name_ = SignedFileNameOf(signature_);
    return true;
  }
  if (EndsWith(path, ".p7") || EndsWith(path, ".sig") || EndsWith(path, ".xml")) {
    std::span<const uint8_t> raw = message.raw();
    std::vector<uint8_t> decoded;
    if (Base64Codec::IsBase64Text(raw)) {
      if (Base64Codec().DecodeAll(raw, decoded) != 0) return false;
      raw = decoded;
    }
    signature_.assign(raw.begin(), raw.end());
    kind_ = kPkcs7File;
    file_name_ = SignedFileNameOf(signature_);
    return true;
  }
  // A message that says it is signed and was not read as such fails
  // rather than open as a document without signatures.
  if (ClaimsSigned(message.raw())) return false;
  signed_content_.assign(message.body().begin(), message.body().end());
  document_ = signed_content_;
  return true;
}

void CSignedMimeDoc::SaveContent(const std::string& path, const CMessageTable& catalog,
                                 Prompt& prompt) const {
  if (SaveFileBytes(path, document_) == 0) return;
  std::string text;
  catalog.Get(text, 256, "Wystąpił błąd. Nie udało się zapisać pliku:");
  prompt.ShowMessage(256, text + "\n " + path, kAppCaption, MB_ICONHAND | MB_SYSTEMMODAL);
}

void CSignedMimeDoc::OpenContent(const CMessageTable& catalog, Prompt& prompt) const {
  const std::string name =
      !file_name_.empty() ? file_name_ : NameWithoutLastExtension(path_.value_or(""));
  const uint32_t status = OpenContentCopy(name, document_);
  if (status == 0) return;
  std::string format, extra;
  catalog.Get(format, 412, "Wystąpił błąd!\nKod błędu : %d");
  std::vector<char> text(format.size() + 16);
  std::snprintf(text.data(), text.size(), format.c_str(), static_cast<int>(status));
  std::string message = text.data();
  if (status == kNoAssociation)
    message += catalog.Get(extra, 413, "\nBrak aplikacji umożliwiającej otwarcie pliku.");
  prompt.ShowMessage(412, message, kAppCaption, MB_ICONHAND | MB_SYSTEMMODAL);
}

}  // namespace vel::app
