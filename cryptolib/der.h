// The one DER reader every parser uses and the one DER writer every producer
// of bytes uses.
//
// Reader: bounded by the span it is given. Every element must lie inside its
// parent and the input; only definite lengths are read (BER with indefinite
// lengths goes through BerToDer first), non-minimal ones are accepted;
// nesting is capped at kMaxDepth. A read
// that fails returns false and leaves the reader where it was, so optional
// fields can be tried in turn.
//
// Writer: Begin a constructed element, add primitives, End it; lengths are
// computed when the element ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vel::der {

// Identifier octets. Only the single-octet form is supported (tag numbers up to 30).
inline constexpr uint8_t kEoc = 0x00;
inline constexpr uint8_t kBoolean = 0x01;
inline constexpr uint8_t kInteger = 0x02;
inline constexpr uint8_t kBitString = 0x03;
inline constexpr uint8_t kOctetString = 0x04;
inline constexpr uint8_t kNull = 0x05;
inline constexpr uint8_t kOid = 0x06;
inline constexpr uint8_t kEnumerated = 0x0A;
inline constexpr uint8_t kUtf8String = 0x0C;
inline constexpr uint8_t kNumericString = 0x12;
inline constexpr uint8_t kPrintableString = 0x13;
inline constexpr uint8_t kT61String = 0x14;
inline constexpr uint8_t kIa5String = 0x16;
inline constexpr uint8_t kUtcTime = 0x17;
inline constexpr uint8_t kGeneralizedTime = 0x18;
inline constexpr uint8_t kVisibleString = 0x1A;
inline constexpr uint8_t kUniversalString = 0x1C;
inline constexpr uint8_t kBmpString = 0x1E;
inline constexpr uint8_t kSequence = 0x30;
inline constexpr uint8_t kSet = 0x31;

inline constexpr uint8_t kConstructedBit = 0x20;

// [n] EXPLICIT (constructed) and [n] IMPLICIT of a primitive type.
constexpr uint8_t ContextConstructed(unsigned n) { return static_cast<uint8_t>(0xA0 | (n & 0x1F)); }
constexpr uint8_t ContextPrimitive(unsigned n) { return static_cast<uint8_t>(0x80 | (n & 0x1F)); }

// Deepest nesting the reader enters (and BerToDer builds); real certificates
// and CMS messages stay far below it.
inline constexpr int kMaxDepth = 64;

// One element as read: its identifier octet, its whole encoding and its content.
struct Element {
  uint8_t tag = 0;
  std::span<const uint8_t> encoded;  // identifier, length octets and content
  std::span<const uint8_t> content;
  bool constructed() const { return (tag & kConstructedBit) != 0; }
};

// A UTCTime or GeneralizedTime value.
struct Time {
  enum class Zone { kUtc, kOffset, kLocal };  // "Z", "+hhmm"/"-hhmm", no zone (local time)
  int year = 0;    // four digits; UTCTime years 50..99 are 19xx, 00..49 are 20xx
  int month = 0;   // 1..12
  int day = 0;     // 1..31
  int hour = 0;    // 0..23
  int minute = 0;  // 0..59
  int second = 0;  // 0..60 (a leap second is kept as written)
  std::string fraction;  // GeneralizedTime digits after the decimal point, without the point
  Zone zone = Zone::kUtc;
  int offset_minutes = 0;  // for kOffset: minutes east of UTC

  // Seconds since 1970-01-01 UTC; none for local time.
  std::optional<int64_t> ToUnix() const;
  // A UTC time from seconds since 1970-01-01 (no fraction).
  static Time FromUnix(int64_t seconds);
};

class Reader {
 public:
  Reader() = default;
  explicit Reader(std::span<const uint8_t> input) : data_(input) {}

  bool empty() const { return pos_ >= data_.size(); }
  size_t remaining() const { return data_.size() - pos_; }
  std::span<const uint8_t> rest() const { return data_.subspan(pos_); }
  int depth() const { return depth_; }

  // The next element without consuming it; false at the end or on a bad header.
  bool PeekElement(Element* out) const;
  // The identifier octet of the next element; none at the end.
  std::optional<uint8_t> PeekTag() const;
  // True when the next element is well formed and has this tag.
  bool Peek(uint8_t tag) const;

  // Each of these consumes one element on success; on failure the reader
  // stays where it was.
  bool ReadElement(Element* out);                              // any tag
  bool Read(uint8_t tag, std::span<const uint8_t>* content);    // this tag: its content
  bool ReadEncoded(uint8_t tag, std::span<const uint8_t>* encoded);  // this tag: whole encoding
  // A constructed element of this tag: *inner reads its content, one level deeper.
  // Fails when the tag is not constructed or the depth would pass kMaxDepth.
  bool Enter(uint8_t tag, Reader* inner);
  bool Skip();                 // any one element
  bool SkipIf(uint8_t tag);    // one element when it has this tag; false (nothing consumed) otherwise

  bool ReadBoolean(bool* value, uint8_t tag = kBoolean);  // one content octet; any non-zero is TRUE
  bool ReadNull(uint8_t tag = kNull);                     // empty content
  // INTEGER content octets as they stand (two's complement, sign octet kept); not empty.
  bool ReadInteger(std::span<const uint8_t>* content, uint8_t tag = kInteger);
  // INTEGER that fits in 64 bits, signed.
  bool ReadInteger(int64_t* value, uint8_t tag = kInteger);
  // OBJECT IDENTIFIER content octets, checked to be well formed (see OidToText).
  bool ReadOid(std::span<const uint8_t>* content, uint8_t tag = kOid);
  // OBJECT IDENTIFIER as dotted decimal text.
  bool ReadOid(std::string* dotted, uint8_t tag = kOid);
  // A primitive OCTET STRING.
  bool ReadOctetString(std::span<const uint8_t>* content, uint8_t tag = kOctetString);
  // A primitive BIT STRING: its bytes after the unused-bits octet (0..7; 0 when empty).
  bool ReadBitString(std::span<const uint8_t>* bytes, uint8_t* unused_bits, uint8_t tag = kBitString);
  // UTCTime or GeneralizedTime, whichever comes (tags 0x17 / 0x18 only).
  bool ReadTime(Time* value);
  // Any of the string types above (UTF8, Numeric, Printable, T61, IA5, Visible,
  // Universal, BMP): the raw content octets and the tag. StringToUtf8 converts.
  bool ReadString(std::string* raw, uint8_t* tag);

 private:
  Reader(std::span<const uint8_t> input, int depth) : data_(input), depth_(depth) {}
  std::span<const uint8_t> data_;
  size_t pos_ = 0;
  int depth_ = 0;
};

// Parses one element's header at the start of input; the content must lie inside input.
bool ParseElement(std::span<const uint8_t> input, Element* out);

// OBJECT IDENTIFIER content <-> dotted text. The first subidentifier is a full
// base-128 value; arcs beyond 64 bits, a truncated arc, a leading 0x80 octet
// (non-minimal) or an empty content fail.
bool OidContentToText(std::span<const uint8_t> content, std::string* dotted);
bool OidTextToContent(std::string_view dotted, std::vector<uint8_t>* content);

// A string value of the given tag as UTF-8: UTF8String is checked (invalid
// sequences fail), BMPString (UTF-16 big-endian) and UniversalString (UTF-32
// big-endian) are converted (odd lengths and lone surrogates fail); the 8-bit
// types (T61, Printable, IA5, Numeric, Visible) are taken as UTF-8 when they
// are valid UTF-8 and as Latin-1 otherwise. Other tags fail.
bool StringToUtf8(uint8_t tag, std::span<const uint8_t> raw, std::string* utf8);

// How the length octets of a constructed element are written.
enum class LengthForm {
  kMinimal,    // DER
  kTwoOctets,  // always 0x82 HH LL (content up to 65535 octets), as stored time-stamp attributes are
};

class Writer {
 public:
  // Starts a constructed element (the tag should carry the constructed bit).
  void Begin(uint8_t tag, LengthForm form = LengthForm::kMinimal);
  // Ends the innermost open element and writes its length.
  void End();

  // One element with this tag and content.
  void Add(uint8_t tag, std::span<const uint8_t> content);
  // Elements already encoded, copied as they are.
  void AddEncoded(std::span<const uint8_t> encoded);

  void AddBoolean(bool value);
  void AddNull();
  void AddInteger(int64_t value, uint8_t tag = kInteger);
  // INTEGER content octets as they are (two's complement, e.g. a serial number read earlier).
  void AddIntegerContent(std::span<const uint8_t> content, uint8_t tag = kInteger);
  // A non-negative INTEGER from a big-endian magnitude: leading zeros dropped, sign octet added.
  void AddUnsignedInteger(std::span<const uint8_t> magnitude, uint8_t tag = kInteger);
  // Dotted text; a malformed text fails the writer (and returns false).
  bool AddOid(std::string_view dotted);
  void AddOidContent(std::span<const uint8_t> content);
  void AddOctetString(std::span<const uint8_t> content, uint8_t tag = kOctetString);
  void AddBitString(std::span<const uint8_t> bytes, uint8_t unused_bits = 0, uint8_t tag = kBitString);
  // A string type (UTF8, Printable, IA5, ...) with these octets.
  void AddString(uint8_t tag, std::string_view value);
  void AddUtf8String(std::string_view value) { AddString(kUtf8String, value); }
  // "YYMMDDHHMMSSZ": UTC times of the years 1950..2049 only.
  void AddUtcTime(const Time& t);
  // "YYYYMMDDHHMMSS[.fff]Z": UTC times only; trailing zeros of the fraction dropped.
  void AddGeneralizedTime(const Time& t);

  // False once an element could not be written (bad value, unbalanced End,
  // content too long for its length form).
  bool ok() const { return ok_; }
  // Open elements.
  size_t open() const { return stack_.size(); }
  // Octets written so far (open elements still without their length).
  size_t size() const { return out_.size(); }

  // The encoding; none when the writer failed or an element is still open.
  // The writer is left empty.
  std::optional<std::vector<uint8_t>> Finish();

 private:
  struct Open {
    size_t start;  // offset of the content's first octet
    LengthForm form;
  };
  void AppendLength(size_t length);
  std::vector<uint8_t> out_;
  std::vector<Open> stack_;
  bool ok_ = true;
};

// The length octets of a definite length in minimal form.
std::vector<uint8_t> EncodeLength(size_t length);

// Runs an OpenSSL i2d function (i2d_X509, i2d_CMS_ContentInfo, ...) into a
// byte vector; empty when it fails.
template <typename Obj, typename I2d>
std::vector<uint8_t> I2dBytes(I2d i2d, Obj* obj) {
  if (obj == nullptr) return {};
  int n = i2d(obj, nullptr);
  if (n <= 0) return {};
  std::vector<uint8_t> out(static_cast<size_t>(n));
  unsigned char* p = out.data();
  int m = i2d(obj, &p);
  if (m != n) return {};
  return out;
}

// Appends a Unicode code point to `out` as UTF-8.
void AppendUtf8(uint32_t cp, std::string* out);

}  // namespace vel::der
