#include "app/mime_message.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>

#include "app/base64_codec.h"
#include "app/message_catalog.h"
#include "app/prompt.h"
#include "cryptolib/cms_classes.h"
#include "cryptolib/der_utils.h"

namespace vel::app {
namespace {

constexpr char kMultipartSigned[] = "Content-Type: multipart/signed";
constexpr char kPkcs7Mime[] = "Content-Type: application/x-pkcs7-mime";
constexpr char kEnvelopedType[] = "smime-type=enveloped-data";
constexpr char kQuoteCrLf[] = "\"\r\n";
constexpr char kBlankLine[] = "\r\n\r\n";
constexpr char kBoundary[] = "boundary=\"";
constexpr uint32_t kCurrentUser = 0x10000;
constexpr uint32_t kNoBlankLine = 0xFFFFFFFF;
constexpr uint32_t kInvalidData = 13;

bool ContainsNoCase(std::string_view text, std::string_view what) {
  return std::search(text.begin(), text.end(), what.begin(), what.end(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) ==
                  std::tolower(static_cast<unsigned char>(b));
         }) != text.end();
}

}  // namespace

int64_t FindBytes(std::span<const uint8_t> buffer, std::string_view pattern, size_t start) {
  if (pattern.empty() || buffer.size() <= pattern.size()) return -1;
  const size_t last = buffer.size() - pattern.size();  // start positions stay below this
  for (size_t i = start; i < last; ++i)
    if (std::equal(pattern.begin(), pattern.end(), buffer.begin() + static_cast<ptrdiff_t>(i),
                   [](char p, uint8_t b) { return static_cast<uint8_t>(p) == b; }))
      return static_cast<int64_t>(i);
  return -1;
}

bool IsEnvelopedSmime(std::span<const uint8_t> data) {
  return FindBytes(data, kMultipartSigned, 1) < 0 && FindBytes(data, kPkcs7Mime) >= 0 &&
         FindBytes(data, kEnvelopedType) >= 0;
}

bool IsOpaqueSmime(std::span<const uint8_t> data) {
  return FindBytes(data, kPkcs7Mime) >= 0 && FindBytes(data, kQuoteCrLf) >= 0;
}

uint32_t DecodeMimeBody(std::string_view header, std::span<const uint8_t> body,
                        std::vector<uint8_t>& out) {
  if (!ContainsNoCase(header, "Content-Transfer-Encoding: base64")) {
    out.assign(body.begin(), body.end());
    return 0;
  }
  // Blanks at the ends of lines are not part of the text.
  std::vector<uint8_t> text;
  text.reserve(body.size());
  std::copy_if(body.begin(), body.end(), std::back_inserter(text),
               [](uint8_t c) { return c != ' ' && c != '\t'; });
  return Base64Codec().DecodeAll(text, out);
}

uint32_t DecryptSmimeBody(std::span<const uint8_t> data, std::vector<uint8_t>& out) {
  // Mail has CR LF; a message saved on this system may have bare LF.
  int64_t blank = FindBytes(data, kBlankLine);
  size_t gap = 4;
  if (blank < 0) {
    blank = FindBytes(data, "\n\n");
    gap = 2;
  }
  if (blank < 0) return kNoBlankLine;
  const std::string_view header(reinterpret_cast<const char*>(data.data()),
                                static_cast<size_t>(blank));
  std::vector<uint8_t> body;
  uint32_t status = DecodeMimeBody(header, data.subspan(static_cast<size_t>(blank) + gap), body);
  if (status != 0) return status;
  return DecryptEnveloped(body, out);
}

uint32_t DecryptEnveloped(std::span<const uint8_t> message, std::vector<uint8_t>& out) {
  std::vector<uint8_t> der;
  uint32_t status = crypto::BerToDer(message, &der);
  if (status != 0) return status;
  crypto::EnvelopedMessage enveloped(der.data(), static_cast<uint32_t>(der.size()));
  uint32_t size = 0;
  status = enveloped.Decrypt(kCurrentUser, nullptr, &size);
  if (status != 0 && status != 234) return status;
  out.assign(size, 0);
  status = enveloped.Decrypt(kCurrentUser, out.data(), &size);
  if (status != 0) return status;
  out.resize(size);
  return 0;
}

void CMimeMessage::Reset(std::vector<uint8_t> raw) {
  raw_ = std::move(raw);
  body_.clear();
  header_.reset();
}

int CMimeMessage::LoadFile(const std::string& path, const CMessageTable& catalog, Prompt& prompt) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return -1;
  std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return -1;
  Reset(std::move(data));
  if (DecryptIfEnveloped(catalog, prompt) == 0 || Parse() == 0) {
    Reset({});
    return -1;
  }
  return 0;
}

int CMimeMessage::LoadMemory(std::span<const uint8_t> data) {
  Reset({data.begin(), data.end()});
  return Parse() ? 0 : -1;
}

int CMimeMessage::Parse() {
  multipart_ = app::FindBytes(raw_, kMultipartSigned) >= 0;
  const int64_t blank = app::FindBytes(raw_, kBlankLine);
  if (blank < 0) {
    if (multipart_) return 0;
    header_.reset();
    body_ = raw_;
    return 1;
  }
  const size_t end = static_cast<size_t>(blank) + 4;
  header_ = std::string(raw_.begin(), raw_.begin() + static_cast<ptrdiff_t>(end));
  body_.assign(raw_.begin() + static_cast<ptrdiff_t>(end), raw_.end());
  return 1;
}

uint32_t CMimeMessage::DecodedBody(std::vector<uint8_t>& out) const {
  return DecodeMimeBody(header_ ? std::string_view(*header_) : std::string_view(), body_, out);
}

int CMimeMessage::DecryptIfEnveloped(const CMessageTable& catalog, Prompt& prompt) {
  if (!IsEnvelopedSmime(raw_)) return 1;
  if (app::FindBytes(raw_, kBlankLine) < 0 && app::FindBytes(raw_, "\n\n") < 0) return 0;
  std::string text;
  catalog.Get(text, 208, "Dokument został zaszyfrowany.\nCzy chcesz go odszyfrować?");
  if (prompt.ShowMessage(208, text, "Vellorum Sign v.3.0.0.25",
                         MB_YESNO | MB_ICONHAND | MB_SYSTEMMODAL) != IDYES)
    return 0;
  std::vector<uint8_t> plain;
  if (DecryptSmimeBody(raw_, plain) != 0) return 0;
  Reset(std::move(plain));
  return 1;
}

int CMimeMultipartSigned::Parse() {
  boundary_.clear();
  if (!CMimeMessage::Parse()) return 0;
  if (!multipart_) return 1;
  const std::string& header = *header_;
  const size_t at = header.find(kBoundary);
  if (at == std::string::npos) return 0;
  const size_t from = at + sizeof kBoundary - 1;
  const size_t end = header.find(kQuoteCrLf, from);
  if (end == std::string::npos || end == from) return 0;
  boundary_ = header.substr(from, end - from);
  return 1;
}

int CMimeMultipartSigned::LoadPartAt(size_t from) {
  if (boundary_.empty() || from > body_.size()) return 0;
  const int64_t open = app::FindBytes(body_, boundary_, from);
  if (open < 0) return 0;
  const size_t start = static_cast<size_t>(open) + boundary_.size() + 2;  // after CR LF
  if (start > body_.size()) return 0;
  const int64_t close = app::FindBytes(body_, boundary_, start);
  // The part ends before CR LF "--" and the next boundary.
  if (close < 0 || static_cast<size_t>(close) < start + 4) return 0;
  position_ = start;
  const std::span<const uint8_t> part(body_.data() + start, static_cast<size_t>(close) - 4 - start);
  return part_.LoadMemory(part) == 0 ? 1 : 0;
}

}  // namespace vel::app
