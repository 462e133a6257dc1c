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
constexpr char kBoundary[] = "boundary=\"";
constexpr size_t kMaxBoundary = 70;
constexpr uint32_t kCurrentUser = 0x10000;
constexpr uint32_t kNoBlankLine = 0xFFFFFFFF;

bool ContainsNoCase(std::string_view text, std::string_view what) {
  return std::search(text.begin(), text.end(), what.begin(), what.end(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) ==
                  std::tolower(static_cast<unsigned char>(b));
         }) != text.end();
}

std::string_view AsText(std::span<const uint8_t> data) {
  return {reinterpret_cast<const char*>(data.data()), data.size()};
}

// Index of the first '"' at or after `from` that ends a line; npos when none.
size_t FindQuoteLineEnd(std::string_view text, size_t from) {
  for (size_t i = from; i + 1 < text.size(); ++i) {
    if (text[i] != '"') continue;
    if (text[i + 1] == '\n' || (text[i + 1] == '\r' && i + 2 < text.size() && text[i + 2] == '\n'))
      return i;
  }
  return std::string_view::npos;
}

// The first "--boundary" at or after `from` that starts a line; -1 when none.
int64_t FindDelimiter(std::span<const uint8_t> body, std::string_view delimiter, size_t from) {
  int64_t at = FindBytes(body, delimiter, from);
  while (at > 0 && body[static_cast<size_t>(at) - 1] != '\n')
    at = FindBytes(body, delimiter, static_cast<size_t>(at) + 1);
  return at;
}

}  // namespace

int64_t FindBodyStart(std::span<const uint8_t> data) {
  const std::string_view text = AsText(data);
  for (size_t i = text.find('\n'); i != std::string_view::npos; i = text.find('\n', i + 1)) {
    size_t end = 0;
    if (i + 1 < data.size() && data[i + 1] == '\n')
      end = i + 2;
    else if (i + 2 < data.size() && data[i + 1] == '\r' && data[i + 2] == '\n')
      end = i + 3;
    else
      continue;
    // As with the byte search, a blank line that ends the data is not one.
    return end < data.size() ? static_cast<int64_t>(end) : -1;
  }
  return -1;
}

bool HasQuoteLineEnd(std::span<const uint8_t> data) {
  return FindQuoteLineEnd(AsText(data), 0) != std::string_view::npos;
}

bool ClaimsSigned(std::span<const uint8_t> data) {
  const int64_t body = FindBodyStart(data);
  const std::string_view header = AsText(body < 0 ? data : data.first(static_cast<size_t>(body)));
  constexpr std::string_view kField = "content-type:";
  // The field's value with its folded continuation lines, lower-cased.
  std::string value;
  bool in_field = false;
  for (size_t start = 0; start < header.size();) {
    size_t end = header.find('\n', start);
    if (end == std::string_view::npos) end = header.size();
    std::string_view line = header.substr(start, end - start);
    start = end + 1;
    const bool folded = !line.empty() && (line[0] == ' ' || line[0] == '\t');
    if (!folded) {
      in_field = value.empty() && line.size() >= kField.size() &&
                 ContainsNoCase(line.substr(0, kField.size()), kField);
      if (in_field) line.remove_prefix(kField.size());
    }
    if (!in_field) continue;
    for (char c : line) value += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  const size_t first = value.find_first_not_of(" \t");
  if (first == std::string::npos) return false;
  std::string_view media = std::string_view(value).substr(first);
  media = media.substr(0, media.find_first_of("; \t\r"));
  if (media == "multipart/signed") return true;
  return (media == "application/pkcs7-mime" || media == "application/x-pkcs7-mime") &&
         value.find("signed-data") != std::string::npos;
}

std::vector<uint8_t> CanonicalLineEnds(std::span<const uint8_t> entity) {
  std::vector<uint8_t> out;
  out.reserve(entity.size() + static_cast<size_t>(std::ranges::count(entity, '\n')));
  size_t start = 0;
  for (;;) {
    const auto lf = std::find(entity.begin() + static_cast<ptrdiff_t>(start), entity.end(), '\n');
    size_t end = static_cast<size_t>(lf - entity.begin());
    const size_t next = end + 1;
    while (end > start && entity[end - 1] == '\r') --end;
    out.insert(out.end(), entity.begin() + static_cast<ptrdiff_t>(start),
               entity.begin() + static_cast<ptrdiff_t>(end));
    if (lf == entity.end()) return out;
    out.push_back('\r');
    out.push_back('\n');
    start = next;
  }
}

std::vector<uint8_t> SignedPartBytes(const CMimeMessage& part) {
  if (part.header() && ContainsNoCase(*part.header(), "Content-Transfer-Encoding: binary"))
    return {part.raw().begin(), part.raw().end()};
  return CanonicalLineEnds(part.raw());
}

uint32_t SignedPartBody(std::span<const uint8_t> signed_part, std::vector<uint8_t>& out) {
  CMimeMessage part;
  if (part.LoadMemory(signed_part) != 0) return 13;
  return part.DecodedBody(out);
}

int64_t FindBytes(std::span<const uint8_t> buffer, std::string_view pattern, size_t start) {
  if (pattern.empty() || buffer.size() <= pattern.size()) return -1;
  // A match must end before the last byte: starts stay below size - pattern size.
  const size_t at = AsText(buffer.first(buffer.size() - 1)).find(pattern, start);
  return at == std::string_view::npos ? -1 : static_cast<int64_t>(at);
}

bool IsEnvelopedSmime(std::span<const uint8_t> data) {
  return FindBytes(data, kMultipartSigned, 1) < 0 && FindBytes(data, kPkcs7Mime) >= 0 &&
         FindBytes(data, kEnvelopedType) >= 0;
}

bool IsOpaqueSmime(std::span<const uint8_t> data) {
  return FindBytes(data, kPkcs7Mime) >= 0 && HasQuoteLineEnd(data);
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
  const int64_t start = FindBodyStart(data);
  if (start < 0) return kNoBlankLine;
  const size_t at = static_cast<size_t>(start);
  std::vector<uint8_t> body;
  uint32_t status = DecodeMimeBody(AsText(data.first(at)), data.subspan(at), body);
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
  body_start_ = raw_.size();  // no body until parsed
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
  const int64_t start = FindBodyStart(raw_);
  if (start < 0) {
    if (multipart_) return 0;
    header_.reset();
    body_start_ = 0;
    return 1;
  }
  const size_t end = static_cast<size_t>(start);
  header_ = std::string(raw_.begin(), raw_.begin() + static_cast<ptrdiff_t>(end));
  body_start_ = end;
  return 1;
}

uint32_t CMimeMessage::DecodedBody(std::vector<uint8_t>& out) const {
  return DecodeMimeBody(header_ ? std::string_view(*header_) : std::string_view(), body(), out);
}

int CMimeMessage::DecryptIfEnveloped(const CMessageTable& catalog, Prompt& prompt) {
  if (!IsEnvelopedSmime(raw_)) return 1;
  if (FindBodyStart(raw_) < 0) return 0;
  std::string text;
  catalog.Get(text, 208, "Dokument został zaszyfrowany.\nCzy chcesz go odszyfrować?");
  if (prompt.ShowMessage(208, text, kProductTitle,
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
  const size_t end = FindQuoteLineEnd(header, from);
  if (end == std::string::npos || end == from) return 0;
  boundary_ = header.substr(from, end - from);
  // A boundary has at most 70 characters on one line; a longer one would
  // only make every search of the body slower.
  if (boundary_.size() > kMaxBoundary || boundary_.find_first_of("\r\n") != std::string::npos) {
    boundary_.clear();
    return 0;
  }
  return 1;
}

int CMimeMultipartSigned::LoadPartAt(size_t from) {
  const std::span<const uint8_t> body = this->body();
  if (boundary_.empty() || from > body.size()) return 0;
  const std::string delimiter = "--" + boundary_;
  const int64_t open = FindDelimiter(body, delimiter, from);
  if (open < 0) return 0;
  const size_t after = static_cast<size_t>(open) + delimiter.size();
  // The closing delimiter starts no part; the rest of a delimiter's line is
  // padding.
  if (after + 1 < body.size() && body[after] == '-' && body[after + 1] == '-') return 0;
  const auto eol = std::find(body.begin() + static_cast<ptrdiff_t>(after), body.end(), '\n');
  if (eol == body.end()) return 0;
  const size_t start = static_cast<size_t>(eol - body.begin()) + 1;
  const int64_t close = FindDelimiter(body, delimiter, start);
  // The line break before the next delimiter belongs to the delimiter.
  if (close < 0 || static_cast<size_t>(close) <= start) return 0;
  size_t end = static_cast<size_t>(close) - 1;
  if (end > start && body[end - 1] == '\r') --end;
  position_ = start;
  return part_.LoadMemory(body.subspan(start, end - start)) == 0 ? 1 : 0;
}

}  // namespace vel::app
