// Two small MIME readers: CMimeMessage splits a message into header and body
// and decrypts an enveloped S/MIME message after asking; CMimeMultipartSigned
// adds the boundary of a multipart/signed message and walks its parts. Every
// position is checked against the data it points into.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vel::app {

class CMessageTable;
class Prompt;

// Index of the first occurrence of `pattern` at or after `start`; start
// positions run up to, but not including, the buffer's length minus the
// pattern's length. -1 when none.
int64_t FindBytes(std::span<const uint8_t> buffer, std::string_view pattern, size_t start = 0);

// Index just after the blank line that ends a message's header: the first
// line break (LF, or CR LF) followed by another; -1 when there is none
// before the last byte. Mail has CR LF, files written here often bare LF.
int64_t FindBodyStart(std::span<const uint8_t> data);

// A '"' ending a line (followed by CR LF or LF) occurs.
bool HasQuoteLineEnd(std::span<const uint8_t> data);

// The message's own header (before its first blank line) names a signed
// message: multipart/signed, or application/(x-)pkcs7-mime with
// smime-type=signed-data.
bool ClaimsSigned(std::span<const uint8_t> data);

// A MIME entity as S/MIME signs it: every line ends in CR LF. Carriage
// returns at a line's end are dropped and each LF becomes CR LF, so text
// already in CR LF comes out unchanged and nothing is converted twice.
std::vector<uint8_t> CanonicalLineEnds(std::span<const uint8_t> entity);

// "Content-Type: multipart/signed" not after the very start,
// "Content-Type: application/x-pkcs7-mime" and "smime-type=enveloped-data".
bool IsEnvelopedSmime(std::span<const uint8_t> data);
// "Content-Type: application/x-pkcs7-mime" and a '"' ending a line.
bool IsOpaqueSmime(std::span<const uint8_t> data);

// The bytes of a MIME body: base64-decoded when the header names that
// transfer encoding; 13 when such a body does not decode.
uint32_t DecodeMimeBody(std::string_view header, std::span<const uint8_t> body,
                        std::vector<uint8_t>& out);

// Decrypts the enveloped S/MIME message in `data` (its body after the blank
// line, base64 or binary, BER or DER) with a key of the current user's "My"
// store. 0, or the status (0xFFFFFFFF when there is no blank line).
uint32_t DecryptSmimeBody(std::span<const uint8_t> data, std::vector<uint8_t>& out);
// Decrypts a CMS EnvelopedData (BER or DER) the same way.
uint32_t DecryptEnveloped(std::span<const uint8_t> message, std::vector<uint8_t>& out);

class CMimeMessage {
 public:
  CMimeMessage() = default;
  CMimeMessage(const CMimeMessage&) = delete;
  CMimeMessage& operator=(const CMimeMessage&) = delete;
  virtual ~CMimeMessage() = default;

  // Reads the file, asks to decrypt it when it is enveloped (message 208),
  // and parses it: 0, or -1 on any failure (declining included).
  int LoadFile(const std::string& path, const CMessageTable& catalog, Prompt& prompt);
  // Copies the data and parses it: 0 or -1.
  int LoadMemory(std::span<const uint8_t> data);
  // Splits raw into header (through the blank line) and body: 1 or 0. A
  // message without a blank line is all body, unless it is multipart/signed.
  virtual int Parse();

  int64_t FindBytes(std::string_view pattern, size_t start) const {
    return app::FindBytes(raw_, pattern, start);
  }
  bool IsOpaqueSmime() const { return app::IsOpaqueSmime(raw_); }
  // 1 when there is nothing to decrypt or the user agreed and it decrypted.
  int DecryptIfEnveloped(const CMessageTable& catalog, Prompt& prompt);

  std::span<const uint8_t> raw() const { return raw_; }
  std::span<const uint8_t> body() const { return std::span<const uint8_t>(raw_).subspan(body_start_); }
  // The header including its blank line; none when the message has none.
  const std::optional<std::string>& header() const { return header_; }
  bool multipart() const { return multipart_; }
  // The body with its transfer encoding undone (DecodeMimeBody).
  uint32_t DecodedBody(std::vector<uint8_t>& out) const;

 protected:
  void Reset(std::vector<uint8_t> raw);

  std::vector<uint8_t> raw_;
  // The body is the end of raw_ from here, read in place rather than copied.
  size_t body_start_ = 0;
  std::optional<std::string> header_;
  bool multipart_ = false;
};

class CMimeMultipartSigned : public CMimeMessage {
 public:
  // The base split, then the boundary from the header's boundary="...".
  int Parse() override;
  // Load the first, or the next, part into part(): 1 or 0. A part runs from
  // the line after its "--boundary" line to the line break before the next.
  int GetFirstPart() { return LoadPartAt(0); }
  int GetNextPart() { return LoadPartAt(position_); }

  const CMimeMessage& part() const { return part_; }
  const std::string& boundary() const { return boundary_; }

 private:
  int LoadPartAt(size_t from);

  CMimeMessage part_;
  std::string boundary_;
  size_t position_ = 0;
};

// The bytes a detached S/MIME signature covers for a part: its canonical
// form, or, for a part its own header declares
// "Content-Transfer-Encoding: binary", its bytes as they stand (binary
// content has no lines to canonicalise).
std::vector<uint8_t> SignedPartBytes(const CMimeMessage& part);

// The body of a signed part, read from those bytes and not from the part as
// it stands: where the header ends is decided by what the signature covers,
// so line ends the canonical form drops cannot hide signed text.
uint32_t SignedPartBody(std::span<const uint8_t> signed_part, std::vector<uint8_t>& out);

}  // namespace vel::app
