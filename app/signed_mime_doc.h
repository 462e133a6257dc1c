// The reader of the program's signed packages (.vestPro), of QERN-DOC
// documents (.pem) and of .kmap documents: a multipart/signed message, an
// opaque S/MIME message or a PKCS#7 file, with the signed content, the
// displayable document, the DER signature and the signed file's name.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vel::app {

class CMessageTable;
class Prompt;

class CSignedMimeDoc {
 public:
  enum Kind : uint32_t { kOther = 0, kMultipartSigned = 1, kOpaqueSmime = 2, kPkcs7File = 3 };

  // Parses at once; on failure path() is none and every field empty.
  CSignedMimeDoc(const std::string& path, const CMessageTable& catalog, Prompt& prompt);

  // Writes the document; a file that cannot be made shows message 256.
  void SaveContent(const std::string& path, const CMessageTable& catalog, Prompt& prompt) const;
  // Opens the document as a private copy (OpenContentCopy); failures show
  // message 412 (with 413 when no application is associated).
  void OpenContent(const CMessageTable& catalog, Prompt& prompt) const;

  const std::optional<std::string>& path() const { return path_; }
  uint32_t kind() const { return kind_; }
  std::span<const uint8_t> signed_content() const { return signed_content_; }
  std::span<const uint8_t> document() const { return document_; }
  void set_document(std::vector<uint8_t> document) { document_ = std::move(document); }
  std::span<const uint8_t> signature() const { return signature_; }
  const std::string& file_name() const { return file_name_; }

 private:
  bool Parse(const std::string& path, const CMessageTable& catalog, Prompt& prompt);

  std::vector<uint8_t> signed_content_;
  std::vector<uint8_t> document_;
  std::vector<uint8_t> signature_;
  std::optional<std::string> path_;
  std::string file_name_;
  uint32_t kind_ = kOther;
};

}  // namespace vel::app
