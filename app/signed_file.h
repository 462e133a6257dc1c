// The reader of a signed file that someone else made (.p7, .sig, .xml): it
// takes the whole file into memory, recognises what it holds (S/MIME
// multipart/signed, opaque or enveloped; DER CMS SignedData or
// EnvelopedData; base64 of those; anything else), decrypts enveloped data
// with a key of the user's store, reads the signed file's name, and saves or
// opens the signed content.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/mime_message.h"
#include "cryptolib/content_feed.h"

namespace vel::app {

// A file opened for reading whole. Saving never writes into a file in place
// (SaveFileBytes).
class CWinFile {
 public:
  static constexpr uint32_t GENERIC_READ = 0x80000000;

  CWinFile() = default;
  CWinFile(const CWinFile&) = delete;
  CWinFile& operator=(const CWinFile&) = delete;
  virtual ~CWinFile() { Close(); }

  // GENERIC_READ opens an existing file. Another access, or a path empty or
  // longer than 260: error 8255.
  int Open(const std::string& path, uint32_t access);
  void Close();
  // The size read at open; 0xFFFFFFFF for an empty file.
  uint32_t GetSize() const { return size_ == 0 ? 0xFFFFFFFF : size_; }
  uint32_t GetLastError() const { return last_error_; }
  intptr_t GetHandle() const { return handle_; }
  // A whole read: 1 or 0 with the last error set. It gives the size seen at
  // open; a file that is shorter by then fails with 38, one that grew with 13.
  int ReadAll(std::vector<uint8_t>& out);

 private:
  std::string path_;
  intptr_t handle_ = -1;
  uint32_t last_error_ = 0;
  uint32_t size_ = 0;
};

// A file's bytes as a content feed for a detached signature, read through
// the digest's own small buffer. The reads must give exactly the size seen at
// open: a file that grows, shrinks or cannot be read mid-way fails the
// digest, so no signature over it verifies.
class CFileContentFeed : public crypto::ContentFeed {
 public:
  // 1, or 0 with the last error set (as CWinFile::Open).
  int Open(const std::string& path);
  uint32_t GetLastError() const { return file_.GetLastError(); }
  uint64_t size() const { return size_; }

  bool Rewind() override;
  int64_t Read(uint8_t* buffer, size_t capacity) override;

 private:
  CWinFile file_;
  uint64_t size_ = 0;
  uint64_t done_ = 0;
};

// Saves the bytes as the whole file `path` (ReplaceFileWith: the old file
// stays as it was unless every byte was written). A path empty or longer than
// 260 is refused with 8255, as CWinFile::Open refuses it. 0 or the Win32 error.
uint32_t SaveFileBytes(const std::string& path, std::span<const uint8_t> bytes);

class CSignedFile {
 public:
  enum State : uint32_t {
    kStateNone = 0,
    kStateOther = 1,
    kStateSmimeEnveloped = 2,
    kStateSmimeMultipart = 3,
    kStateSmimeOpaque = 4,
    kStateCmsSigned = 5,
    kStateCmsEnveloped = 6,
    kStateContentSet = 7,
  };

  CSignedFile() = default;
  CSignedFile(const CSignedFile&) = delete;
  CSignedFile& operator=(const CSignedFile&) = delete;
  virtual ~CSignedFile();

  // 1 when the file was read and classified; 0 with the last error set.
  int Load(const std::string& path, bool allow_enveloped);
  // Classifies bytes as if loaded from `path` (its extension counts): 1 or 0.
  int LoadBytes(const std::string& path, std::vector<uint8_t> bytes, bool allow_enveloped);
  // 1 when the enveloped data decrypted and the result classified, else 0.
  int Decrypt();
  int SaveContent(const std::string& path);
  int SaveData(const std::string& path);
  // Writes the content (the whole data in state 1, the signed content of a
  // signed file until the viewer sets one) as a private copy under
  // the signed name and opens it: 1, or 0 with the last error set (31 no
  // application, 1260 a type that runs and is refused).
  int OpenContent();
  // Adopts the content and sets state 7.
  void SetContent(std::vector<uint8_t> content);

  uint32_t GetState() const { return state_; }
  uint32_t GetLastError() const { return last_error_; }
  // 13 when the file says it is a signed S/MIME message but its signature
  // could not be read (state 1); 0 otherwise.
  uint32_t signature_error() const { return signature_error_; }
  int64_t FindBytes(std::string_view pattern, size_t start) const {
    return app::FindBytes(data_, pattern, start);
  }
  const std::string& path() const { return path_; }
  std::span<const uint8_t> data() const { return data_; }
  std::span<const uint8_t> content() const { return content_; }
  const std::string& file_name() const { return file_name_; }
  // The CMS message of states 3, 4 and 5 (DER), and for state 3 the bytes
  // its detached signature covers (the first part, its headers included).
  std::span<const uint8_t> signature() const {
    return signature_is_data_ ? std::span<const uint8_t>(data_) : std::span<const uint8_t>(signature_);
  }
  std::span<const uint8_t> signed_content() const { return signed_content_; }
  // The signed content as the user sees it: state 3 the first part's body,
  // states 4 and 5 the encapsulated content; the content set in state 7.
  // 0, or the status.
  uint32_t ExtractContent(std::vector<uint8_t>& out) const;

 private:
  int Classify(bool allow_enveloped);
  // Records a signed message left unread (signature_error); returns 1.
  int RecordUnreadSignature();
  void DerTest();
  void ReadFileName();
  void ReleaseMessages();
  int Save(const std::string& path, std::span<const uint8_t> bytes);

  uint32_t state_ = kStateNone;
  std::string path_;
  uint32_t last_error_ = 0;
  uint32_t signature_error_ = 0;
  std::vector<uint8_t> data_;
  std::vector<uint8_t> content_;
  std::string file_name_;
  std::unique_ptr<CMimeMessage> opaque_;
  std::unique_ptr<CMimeMultipartSigned> multipart_;
  std::vector<uint8_t> signature_;
  // A DER message as loaded is its own signature: no second copy is kept.
  bool signature_is_data_ = false;
  std::vector<uint8_t> signed_content_;
};

// The DER CMS type at the start of `data`: 2 SignedData, 3 EnvelopedData,
// 0 anything else. The ContentInfo's OID must follow its header directly.
int DerCmsType(std::span<const uint8_t> data);

// The signed file's name from signer 0 of a CMS message; empty when none.
std::string SignedFileNameOf(std::span<const uint8_t> message);

}  // namespace vel::app
