#include "app/signed_file.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <memory>

#include "app/base64_codec.h"
#include "app/content_opener.h"
#include "app/file_io.h"
#include "cryptolib/cms_classes.h"
#include "cryptolib/cms_message.h"
#include "cryptolib/der_utils.h"
#include "platform/crt_files.h"
#include "platform/win32_error.h"

namespace vel::app {
namespace {

constexpr uint32_t kPathLimit = 260;
constexpr uint32_t kBadArguments = 8255;
constexpr uint32_t kAllBits = 0xFFFFFFFF;
constexpr uint32_t kInvalidData = 13;
constexpr char kMultipartSigned[] = "Content-Type: multipart/signed";
constexpr char kBoundary[] = "boundary=\"";
// The DER of an OID under the PKCS #7 content types, without its last arc.
constexpr char kPkcs7Oid[] = "\x06\x09\x2A\x86\x48\x86\xF7\x0D\x01\x07";

bool HasSignatureExtension(std::string_view path) {
  const std::string ext = LowerExtension(path);
  return ext == ".p7" || ext == ".sig";
}

// The DER form of a CMS message's bytes; empty when they are not BER.
std::vector<uint8_t> ToDer(std::span<const uint8_t> ber) {
  std::vector<uint8_t> der;
  if (crypto::BerToDer(ber, &der) != 0) der.clear();
  return der;
}

}  // namespace

int DerCmsType(std::span<const uint8_t> data) {
  if (data.size() < 2 || data[0] != 0x30) return 0;
  const uint8_t b = data[1];
  const size_t offset = 2 + (b > 0x80 ? (b & 0x0F) : 0);
  const std::string_view oid(kPkcs7Oid, sizeof kPkcs7Oid - 1);
  if (FindBytes(data, oid) != static_cast<int64_t>(offset) || offset + oid.size() >= data.size())
    return 0;
  const uint8_t type = data[offset + oid.size()];
  return type == 2 || type == 3 ? type : 0;
}

std::string SignedFileNameOf(std::span<const uint8_t> message) {
  crypto::CmsBlob blob(message.data(), static_cast<uint32_t>(message.size()));
  uint32_t size = 0;
  if (blob.GetSignedAttribute(0, crypto::kOidSignedFileName, 0, nullptr, &size) != 234 || size == 0)
    return {};
  std::vector<uint8_t> out(size);
  if (blob.GetSignedAttribute(0, crypto::kOidSignedFileName, 0, out.data(), &size) != 0)
    return {};
  out.resize(std::min<size_t>(size, out.size()));
  const auto end = std::ranges::find(out, 0);
  return std::string(out.begin(), end);
}

// ---- CWinFile ----------------------------------------------------------------

int CWinFile::Open(const std::string& path, uint32_t access) {
  Close();
  if (access != GENERIC_READ || path.empty() || path.size() > kPathLimit) {
    last_error_ = kBadArguments;
    return 0;
  }
  handle_ = platform::CrtOpen(path.c_str(), platform::kCrtRdOnly | platform::kCrtBinary,
                              platform::kCrtPermRead | platform::kCrtPermWrite);
  if (handle_ < 0) {
    last_error_ = platform::Win32FromErrno(errno);
    return 0;
  }
  path_ = path;
  const long end = platform::CrtSeek(handle_, 0, platform::kCrtSeekEnd);
  if (end < 0 || end > static_cast<long>(UINT32_MAX - 1) ||
      platform::CrtSeek(handle_, 0, platform::kCrtSeekSet) != 0) {
    last_error_ = end < 0 ? platform::Win32FromErrno(errno) : 8;
    Close();
    return 0;
  }
  size_ = static_cast<uint32_t>(end);
  return 1;
}

void CWinFile::Close() {
  if (handle_ >= 0) platform::CrtClose(handle_);
  handle_ = -1;
  path_.clear();
}

int CWinFile::ReadAll(std::vector<uint8_t>& out) {
  // Read through a small buffer and appended: a zero-filled buffer of the
  // whole size would be written once more for nothing.
  constexpr unsigned kChunk = 256 * 1024;
  const std::unique_ptr<uint8_t[]> chunk(new uint8_t[kChunk]);
  out.clear();
  out.reserve(size_);
  while (out.size() < size_) {
    const unsigned want = static_cast<unsigned>(std::min<size_t>(size_ - out.size(), kChunk));
    const int n = platform::CrtRead(handle_, chunk.get(), want);
    if (n <= 0) {
      last_error_ = n < 0 ? platform::Win32FromErrno(errno) : 38;  // 38: end of file
      return 0;
    }
    out.insert(out.end(), chunk.get(), chunk.get() + n);
  }
  // Bytes past the size seen at open: the file changed while it was read.
  const int more = platform::CrtRead(handle_, chunk.get(), 1);
  if (more != 0) {
    last_error_ = more < 0 ? platform::Win32FromErrno(errno) : kInvalidData;
    return 0;
  }
  return 1;
}

// ---- CFileContentFeed ----------------------------------------------------------

int CFileContentFeed::Open(const std::string& path) {
  done_ = 0;
  if (!file_.Open(path, CWinFile::GENERIC_READ)) return 0;
  size_ = file_.GetSize() == kAllBits ? 0 : file_.GetSize();
  return 1;
}

bool CFileContentFeed::Rewind() {
  done_ = 0;
  return file_.GetHandle() >= 0 &&
         platform::CrtSeek(file_.GetHandle(), 0, platform::kCrtSeekSet) == 0;
}

int64_t CFileContentFeed::Read(uint8_t* buffer, size_t capacity) {
  if (file_.GetHandle() < 0 || buffer == nullptr || capacity == 0) return -1;
  if (done_ == size_) {
    // The end only when the file ends there too.
    return platform::CrtRead(file_.GetHandle(), buffer, 1) == 0 ? 0 : -1;
  }
  const unsigned want = static_cast<unsigned>(std::min<uint64_t>({size_ - done_, capacity, 1u << 30}));
  const int n = platform::CrtRead(file_.GetHandle(), buffer, want);
  if (n <= 0) return -1;  // shorter than at open, or unreadable
  done_ += static_cast<uint64_t>(n);
  return n;
}

// ---- CSignedFile ---------------------------------------------------------------

CSignedFile::~CSignedFile() = default;

void CSignedFile::ReleaseMessages() {
  opaque_.reset();
  multipart_.reset();
  signature_.clear();
  signature_is_data_ = false;
  signed_content_.clear();
}

int CSignedFile::Load(const std::string& path, bool allow_enveloped) {
  if (path.empty() || path.size() > kPathLimit) {
    last_error_ = kAllBits;
    return 0;
  }
  CWinFile file;
  if (!file.Open(path, CWinFile::GENERIC_READ)) {
    last_error_ = file.GetLastError();
    return 0;
  }
  data_.clear();
  file_name_.clear();
  ReleaseMessages();
  state_ = kStateNone;
  signature_error_ = 0;
  if (file.GetSize() == kAllBits) {
    last_error_ = kAllBits;
    return 0;
  }
  if (!file.ReadAll(data_)) {
    last_error_ = file.GetLastError();
    data_.clear();
    return 0;
  }
  return LoadBytes(path, std::move(data_), allow_enveloped);
}

int CSignedFile::LoadBytes(const std::string& path, std::vector<uint8_t> bytes,
                           bool allow_enveloped) {
  data_ = std::move(bytes);
  path_ = path;
  last_error_ = 0;
  return Classify(allow_enveloped);
}

int CSignedFile::Classify(bool allow_enveloped) {
  file_name_.clear();
  signature_error_ = 0;
  ReleaseMessages();
  // Base64 only when every byte is of the alphabet, padding or a line break:
  // a message starting "MIME-Version:" is text of another kind.
  if (HasSignatureExtension(path_) && Base64Codec::IsBase64Text(data_)) {
    std::vector<uint8_t> decoded;
    const uint32_t status = Base64Codec().DecodeAll(data_, decoded);
    if (status != 0) {
      last_error_ = status;
      data_.clear();
      state_ = kStateNone;
      return 0;
    }
    data_ = std::move(decoded);
  }

  if (FindBytes(kMultipartSigned, 0) >= 0 && FindBytes(kBoundary, 0) >= 0 &&
      HasQuoteLineEnd(data_)) {
    auto message = std::make_unique<CMimeMultipartSigned>();
    state_ = kStateOther;
    std::vector<uint8_t> body;
    if (message->LoadMemory(data_) == 0 && message->GetFirstPart()) {
      const CMimeMessage& first = message->part();
      signed_content_ = SignedPartBytes(first);
      if (message->GetNextPart() && message->part().DecodedBody(body) == 0) {
        signature_ = ToDer(body);
        if (DerCmsType(signature_) == 2) {
          multipart_ = std::move(message);
          state_ = kStateSmimeMultipart;
          file_name_ = SignedFileNameOf(signature_);
        }
      }
    }
    if (state_ != kStateSmimeMultipart) ReleaseMessages();
    return RecordUnreadSignature();
  }
  if (allow_enveloped && IsEnvelopedSmime(data_)) {
    state_ = kStateSmimeEnveloped;
    return 1;
  }
  if (!IsOpaqueSmime(data_)) {
    state_ = kStateOther;
    DerTest();
    return RecordUnreadSignature();
  }
  auto message = std::make_unique<CMimeMessage>();
  state_ = kStateOther;
  std::vector<uint8_t> body;
  if (message->LoadMemory(data_) == 0 && message->DecodedBody(body) == 0) {
    signature_ = ToDer(body);
    if (!signature_.empty() && DerCmsType(signature_) == 2) {
      opaque_ = std::move(message);
      state_ = kStateSmimeOpaque;
      file_name_ = SignedFileNameOf(signature_);
    }
  }
  if (state_ != kStateSmimeOpaque) ReleaseMessages();
  return RecordUnreadSignature();
}

int CSignedFile::RecordUnreadSignature() {
  // A message that says it is signed is never taken for one without
  // signatures.
  if (state_ == kStateOther && ClaimsSigned(data_)) signature_error_ = kInvalidData;
  return 1;
}

void CSignedFile::DerTest() {
  const int type = DerCmsType(data_);
  if (type == 0) return;
  ReleaseMessages();
  if (type == 3) {
    state_ = kStateCmsEnveloped;
    return;
  }
  state_ = kStateCmsSigned;
  signature_ = ToDer(data_);
  if (!signature_.empty() && signature_ == data_) {
    std::vector<uint8_t>().swap(signature_);  // its memory too
    signature_is_data_ = true;
  }
  file_name_ = SignedFileNameOf(signature_.empty() ? std::span<const uint8_t>(data_) : signature_);
}

int CSignedFile::Decrypt() {
  std::vector<uint8_t> plain;
  const uint32_t status = state_ == kStateCmsEnveloped ? DecryptEnveloped(data_, plain)
                                                      : DecryptSmimeBody(data_, plain);
  if (status != 0) {
    last_error_ = status;
    return 0;
  }
  data_ = std::move(plain);
  return Classify(false);
}

uint32_t SaveFileBytes(const std::string& path, std::span<const uint8_t> bytes) {
  if (path.empty() || path.size() > kPathLimit) return kBadArguments;
  // Never written into in place: a save that fails midway would leave the
  // user's old file emptied.
  return ReplaceFileWith(path, bytes);
}

int CSignedFile::Save(const std::string& path, std::span<const uint8_t> bytes) {
  if (const uint32_t error = SaveFileBytes(path, bytes); error != 0) {
    last_error_ = error;
    return 0;
  }
  return 1;
}

int CSignedFile::SaveContent(const std::string& path) { return Save(path, content_); }
int CSignedFile::SaveData(const std::string& path) { return Save(path, data_); }

void CSignedFile::SetContent(std::vector<uint8_t> content) {
  content_ = std::move(content);
  state_ = kStateContentSet;
}

uint32_t CSignedFile::ExtractContent(std::vector<uint8_t>& out) const {
  switch (state_) {
    case kStateContentSet:
      out = content_;
      return 0;
    case kStateSmimeMultipart:
      return SignedPartBody(signed_content_, out);
    case kStateSmimeOpaque:
    case kStateCmsSigned: {
      const auto message = signature();
      crypto::CmsBlob blob(message.data(), static_cast<uint32_t>(message.size()));
      uint32_t size = 0;
      uint32_t status = blob.GetContent(nullptr, &size);
      if (status != 0 && status != 234) return status;
      out.assign(size, 0);
      status = blob.GetContent(out.data(), &size);
      out.resize(std::min<size_t>(size, out.size()));
      return status;
    }
    default:
      return 13;
  }
}

int CSignedFile::OpenContent() {
  const std::string name = !file_name_.empty() ? file_name_ : ContentNameFromPath(path_);
  // The whole data of other files; the signed content of signed ones, taken
  // from the message until the viewer sets it.
  std::vector<uint8_t> extracted;
  std::span<const uint8_t> bytes = content_;
  if (state_ == kStateOther) {
    bytes = data_;
  } else if (state_ != kStateContentSet) {
    if (const uint32_t status = ExtractContent(extracted); status != 0) {
      last_error_ = status;
      return 0;
    }
    bytes = extracted;
  }
  last_error_ = OpenContentCopy(name, bytes);
  return last_error_ == 0 ? 1 : 0;
}

}  // namespace vel::app
