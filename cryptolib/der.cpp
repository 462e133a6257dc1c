#include "cryptolib/der.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace vel::der {

namespace {

bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }

// Reads n decimal digits at text[pos]; false when any is not a digit.
bool Digits(std::span<const uint8_t> text, size_t pos, size_t n, int* value) {
  if (pos + n > text.size()) return false;
  int v = 0;
  for (size_t i = 0; i < n; ++i) {
    if (!IsDigit(text[pos + i])) return false;
    v = v * 10 + (text[pos + i] - '0');
  }
  *value = v;
  return true;
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2) {
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return leap ? 29 : 28;
  }
  return kDays[month - 1];
}

bool FieldsValid(const Time& t) {
  return t.year >= 0 && t.year <= 9999 && t.month >= 1 && t.month <= 12 && t.day >= 1 &&
         t.day <= DaysInMonth(t.year, t.month) && t.hour >= 0 && t.hour <= 23 && t.minute >= 0 &&
         t.minute <= 59 && t.second >= 0 && t.second <= 60;
}

// The zone part at text[pos..]: "Z", "+hhmm", "-hhmm", or nothing (local time).
bool ParseZone(std::span<const uint8_t> text, size_t pos, Time* t) {
  if (pos == text.size()) {
    t->zone = Time::Zone::kLocal;
    return true;
  }
  if (text[pos] == 'Z') {
    t->zone = Time::Zone::kUtc;
    return pos + 1 == text.size();
  }
  if (text[pos] != '+' && text[pos] != '-') return false;
  int hh = 0, mm = 0;
  if (pos + 5 != text.size() || !Digits(text, pos + 1, 2, &hh) || !Digits(text, pos + 3, 2, &mm) ||
      hh > 23 || mm > 59)
    return false;
  t->zone = Time::Zone::kOffset;
  t->offset_minutes = (text[pos] == '-' ? -1 : 1) * (hh * 60 + mm);
  return true;
}

// YYMMDDHHMM[SS](Z|+hhmm|-hhmm)
bool ParseUtcTime(std::span<const uint8_t> text, Time* t) {
  Time r;
  int yy = 0;
  if (!Digits(text, 0, 2, &yy) || !Digits(text, 2, 2, &r.month) || !Digits(text, 4, 2, &r.day) ||
      !Digits(text, 6, 2, &r.hour) || !Digits(text, 8, 2, &r.minute))
    return false;
  r.year = yy >= 50 ? 1900 + yy : 2000 + yy;
  size_t pos = 10;
  if (pos + 2 <= text.size() && IsDigit(text[pos])) {
    if (!Digits(text, pos, 2, &r.second)) return false;
    pos += 2;
  }
  if (pos == text.size()) return false;  // UTCTime always carries its zone
  if (!ParseZone(text, pos, &r) || !FieldsValid(r)) return false;
  *t = std::move(r);
  return true;
}

// YYYYMMDDHH[MM[SS]][(.|,)f+][Z|+hhmm|-hhmm]
bool ParseGeneralizedTime(std::span<const uint8_t> text, Time* t) {
  Time r;
  if (!Digits(text, 0, 4, &r.year) || !Digits(text, 4, 2, &r.month) || !Digits(text, 6, 2, &r.day) ||
      !Digits(text, 8, 2, &r.hour))
    return false;
  size_t pos = 10;
  if (pos + 2 <= text.size() && IsDigit(text[pos])) {
    if (!Digits(text, pos, 2, &r.minute)) return false;
    pos += 2;
    if (pos + 2 <= text.size() && IsDigit(text[pos])) {
      if (!Digits(text, pos, 2, &r.second)) return false;
      pos += 2;
    }
  }
  if (pos < text.size() && (text[pos] == '.' || text[pos] == ',')) {
    ++pos;
    size_t start = pos;
    while (pos < text.size() && IsDigit(text[pos])) ++pos;
    if (pos == start) return false;
    r.fraction.assign(text.begin() + static_cast<ptrdiff_t>(start),
                      text.begin() + static_cast<ptrdiff_t>(pos));
  }
  if (!ParseZone(text, pos, &r) || !FieldsValid(r)) return false;
  *t = std::move(r);
  return true;
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void AppendBase128(uint64_t v, std::vector<uint8_t>* out) {
  uint8_t tmp[10];
  int n = 0;
  do {
    tmp[n++] = static_cast<uint8_t>(v & 0x7F);
    v >>= 7;
  } while (v != 0);
  while (n > 1) out->push_back(static_cast<uint8_t>(tmp[--n] | 0x80));
  out->push_back(tmp[0]);
}


// Strict UTF-8 check: no overlong forms, no surrogates, nothing above U+10FFFF.
bool ValidUtf8(std::span<const uint8_t> s) {
  size_t i = 0;
  while (i < s.size()) {
    uint8_t c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t n;
    uint32_t cp, min;
    if ((c & 0xE0) == 0xC0) {
      n = 1, cp = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      n = 2, cp = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      n = 3, cp = c & 0x07, min = 0x10000;
    } else {
      return false;
    }
    if (s.size() - i <= n) return false;
    for (size_t k = 1; k <= n; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n + 1;
  }
  return true;
}

}  // namespace

void AppendUtf8(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// ---------------------------------------------------------------- Time

std::optional<int64_t> Time::ToUnix() const {
  if (zone == Zone::kLocal || !FieldsValid(*this)) return std::nullopt;
  int64_t days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  int64_t s = days * 86400 + hour * 3600 + minute * 60 + second;
  if (zone == Zone::kOffset) s -= static_cast<int64_t>(offset_minutes) * 60;
  return s;
}

Time Time::FromUnix(int64_t seconds) {
  int64_t days = seconds / 86400;
  int64_t rem = seconds % 86400;
  if (rem < 0) {
    rem += 86400;
    --days;
  }
  // Civil date from days since 1970-01-01.
  int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  Time t;
  t.year = static_cast<int>(y + (m <= 2));
  t.month = static_cast<int>(m);
  t.day = static_cast<int>(d);
  t.hour = static_cast<int>(rem / 3600);
  t.minute = static_cast<int>(rem / 60 % 60);
  t.second = static_cast<int>(rem % 60);
  t.zone = Zone::kUtc;
  return t;
}

// ---------------------------------------------------------------- parsing

bool ParseElement(std::span<const uint8_t> input, Element* out) {
  if (input.size() < 2) return false;
  const uint8_t tag = input[0];
  if ((tag & 0x1F) == 0x1F) return false;  // high tag numbers are not used by anything we read
  const uint8_t l = input[1];
  size_t header = 2;
  size_t length = 0;
  if (l < 0x80) {
    length = l;
  } else if (l == 0x80) {
    return false;  // indefinite length: not DER
  } else {
    const size_t n = l & 0x7F;
    if (n > sizeof(size_t) || input.size() - 2 < n) return false;
    for (size_t i = 0; i < n; ++i) length = (length << 8) | input[2 + i];
    header += n;
  }
  if (length > input.size() - header) return false;
  out->tag = tag;
  out->encoded = input.first(header + length);
  out->content = input.subspan(header, length);
  return true;
}

bool Reader::PeekElement(Element* out) const {
  if (empty()) return false;
  return ParseElement(data_.subspan(pos_), out);
}

std::optional<uint8_t> Reader::PeekTag() const {
  if (empty()) return std::nullopt;
  return data_[pos_];
}

bool Reader::Peek(uint8_t tag) const {
  Element e;
  return PeekElement(&e) && e.tag == tag;
}

bool Reader::ReadElement(Element* out) {
  Element e;
  if (!PeekElement(&e)) return false;
  pos_ += e.encoded.size();
  *out = e;
  return true;
}

bool Reader::Read(uint8_t tag, std::span<const uint8_t>* content) {
  Element e;
  if (!PeekElement(&e) || e.tag != tag) return false;
  pos_ += e.encoded.size();
  *content = e.content;
  return true;
}

bool Reader::ReadEncoded(uint8_t tag, std::span<const uint8_t>* encoded) {
  Element e;
  if (!PeekElement(&e) || e.tag != tag) return false;
  pos_ += e.encoded.size();
  *encoded = e.encoded;
  return true;
}

bool Reader::Enter(uint8_t tag, Reader* inner) {
  Element e;
  if (!PeekElement(&e) || e.tag != tag || !e.constructed() || depth_ + 1 > kMaxDepth) return false;
  pos_ += e.encoded.size();
  *inner = Reader(e.content, depth_ + 1);
  return true;
}

bool Reader::Skip() {
  Element e;
  return ReadElement(&e);
}

bool Reader::SkipIf(uint8_t tag) {
  std::span<const uint8_t> c;
  return Read(tag, &c);
}

bool Reader::ReadBoolean(bool* value, uint8_t tag) {
  Element e;
  if (!PeekElement(&e) || e.tag != tag || e.content.size() != 1) return false;
  pos_ += e.encoded.size();
  *value = e.content[0] != 0;
  return true;
}

bool Reader::ReadNull(uint8_t tag) {
  Element e;
  if (!PeekElement(&e) || e.tag != tag || !e.content.empty()) return false;
  pos_ += e.encoded.size();
  return true;
}

bool Reader::ReadInteger(std::span<const uint8_t>* content, uint8_t tag) {
  Element e;
  if (!PeekElement(&e) || e.tag != tag || e.content.empty()) return false;
  pos_ += e.encoded.size();
  *content = e.content;
  return true;
}

bool Reader::ReadInteger(int64_t* value, uint8_t tag) {
  Element e;
  if (!PeekElement(&e) || e.tag != tag || e.content.empty() || e.content.size() > 8) return false;
  uint64_t v = (e.content[0] & 0x80) ? ~uint64_t{0} : 0;
  for (uint8_t b : e.content) v = (v << 8) | b;
  pos_ += e.encoded.size();
  *value = static_cast<int64_t>(v);
  return true;
}

bool Reader::ReadOid(std::span<const uint8_t>* content, uint8_t tag) {
  Element e;
  std::string text;
  if (!PeekElement(&e) || e.tag != tag || !OidContentToText(e.content, &text)) return false;
  pos_ += e.encoded.size();
  *content = e.content;
  return true;
}

bool Reader::ReadOid(std::string* dotted, uint8_t tag) {
  Element e;
  std::string text;
  if (!PeekElement(&e) || e.tag != tag || !OidContentToText(e.content, &text)) return false;
  pos_ += e.encoded.size();
  *dotted = std::move(text);
  return true;
}

bool Reader::ReadOctetString(std::span<const uint8_t>* content, uint8_t tag) {
  return Read(tag, content);
}

bool Reader::ReadBitString(std::span<const uint8_t>* bytes, uint8_t* unused_bits, uint8_t tag) {
  Element e;
  if (!PeekElement(&e) || e.tag != tag || e.content.empty()) return false;
  const uint8_t unused = e.content[0];
  if (unused > 7 || (unused != 0 && e.content.size() == 1)) return false;
  pos_ += e.encoded.size();
  *bytes = e.content.subspan(1);
  *unused_bits = unused;
  return true;
}

bool Reader::ReadTime(Time* value) {
  Element e;
  if (!PeekElement(&e)) return false;
  Time t;
  if (e.tag == kUtcTime) {
    if (!ParseUtcTime(e.content, &t)) return false;
  } else if (e.tag == kGeneralizedTime) {
    if (!ParseGeneralizedTime(e.content, &t)) return false;
  } else {
    return false;
  }
  pos_ += e.encoded.size();
  *value = std::move(t);
  return true;
}

bool Reader::ReadString(std::string* raw, uint8_t* tag) {
  Element e;
  if (!PeekElement(&e)) return false;
  switch (e.tag) {
    case kUtf8String:
    case kNumericString:
    case kPrintableString:
    case kT61String:
    case kIa5String:
    case kVisibleString:
    case kUniversalString:
    case kBmpString:
      break;
    default:
      return false;
  }
  pos_ += e.encoded.size();
  raw->assign(e.content.begin(), e.content.end());
  *tag = e.tag;
  return true;
}

// ---------------------------------------------------------------- OIDs

bool OidContentToText(std::span<const uint8_t> content, std::string* dotted) {
  if (content.empty() || (content.back() & 0x80) != 0) return false;
  std::string text;
  bool first = true;
  size_t i = 0;
  while (i < content.size()) {
    if (content[i] == 0x80) return false;  // non-minimal subidentifier
    uint64_t v = 0;
    while (true) {
      if (v > (std::numeric_limits<uint64_t>::max() >> 7)) return false;
      const uint8_t b = content[i++];
      v = (v << 7) | (b & 0x7F);
      if ((b & 0x80) == 0) break;
    }
    if (first) {
      const uint64_t a = v < 80 ? v / 40 : 2;
      const uint64_t b = v < 80 ? v % 40 : v - 80;
      text += std::to_string(a);
      text += '.';
      text += std::to_string(b);
      first = false;
    } else {
      text += '.';
      text += std::to_string(v);
    }
  }
  *dotted = std::move(text);
  return true;
}

bool OidTextToContent(std::string_view dotted, std::vector<uint8_t>* content) {
  std::vector<uint64_t> arcs;
  size_t pos = 0;
  while (true) {
    size_t dot = dotted.find('.', pos);
    std::string_view part = dotted.substr(pos, dot == std::string_view::npos ? std::string_view::npos : dot - pos);
    if (part.empty()) return false;
    uint64_t v = 0;
    auto [ptr, ec] = std::from_chars(part.data(), part.data() + part.size(), v);
    if (ec != std::errc() || ptr != part.data() + part.size()) return false;
    arcs.push_back(v);
    if (dot == std::string_view::npos) break;
    pos = dot + 1;
  }
  if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] >= 40)) return false;
  if (arcs[1] > std::numeric_limits<uint64_t>::max() - 80) return false;
  std::vector<uint8_t> out;
  AppendBase128(arcs[0] * 40 + arcs[1], &out);
  for (size_t i = 2; i < arcs.size(); ++i) AppendBase128(arcs[i], &out);
  *content = std::move(out);
  return true;
}

// ---------------------------------------------------------------- strings

bool StringToUtf8(uint8_t tag, std::span<const uint8_t> raw, std::string* utf8) {
  std::string out;
  switch (tag) {
    case kUtf8String:
      if (!ValidUtf8(raw)) return false;
      out.assign(raw.begin(), raw.end());
      break;
    case kBmpString: {
      if (raw.size() % 2 != 0) return false;
      for (size_t i = 0; i < raw.size(); i += 2) {
        uint32_t u = (uint32_t{raw[i]} << 8) | raw[i + 1];
        if (u >= 0xD800 && u <= 0xDBFF) {
          if (i + 3 >= raw.size()) return false;
          uint32_t lo = (uint32_t{raw[i + 2]} << 8) | raw[i + 3];
          if (lo < 0xDC00 || lo > 0xDFFF) return false;
          u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
          i += 2;
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
          return false;
        }
        AppendUtf8(u, &out);
      }
      break;
    }
    case kUniversalString:
      if (raw.size() % 4 != 0) return false;
      for (size_t i = 0; i < raw.size(); i += 4) {
        uint32_t u = (uint32_t{raw[i]} << 24) | (uint32_t{raw[i + 1]} << 16) |
                     (uint32_t{raw[i + 2]} << 8) | raw[i + 3];
        if (u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF)) return false;
        AppendUtf8(u, &out);
      }
      break;
    case kT61String:
    case kPrintableString:
    case kIa5String:
    case kNumericString:
    case kVisibleString:
      if (ValidUtf8(raw)) {
        out.assign(raw.begin(), raw.end());
      } else {
        for (uint8_t b : raw) AppendUtf8(b, &out);
      }
      break;
    default:
      return false;
  }
  *utf8 = std::move(out);
  return true;
}

// ---------------------------------------------------------------- writing

std::vector<uint8_t> EncodeLength(size_t length) {
  std::vector<uint8_t> out;
  if (length < 0x80) {
    out.push_back(static_cast<uint8_t>(length));
    return out;
  }
  int n = 0;
  for (size_t v = length; v != 0; v >>= 8) ++n;
  out.push_back(static_cast<uint8_t>(0x80 | n));
  for (int i = n - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(length >> (8 * i)));
  return out;
}

void Writer::AppendLength(size_t length) {
  std::vector<uint8_t> l = EncodeLength(length);
  out_.insert(out_.end(), l.begin(), l.end());
}

void Writer::Begin(uint8_t tag, LengthForm form) {
  out_.push_back(tag);
  stack_.push_back({out_.size(), form});
}

void Writer::End() {
  if (stack_.empty()) {
    ok_ = false;
    return;
  }
  const Open open = stack_.back();
  stack_.pop_back();
  const size_t length = out_.size() - open.start;
  std::vector<uint8_t> l;
  if (open.form == LengthForm::kTwoOctets) {
    if (length > 0xFFFF) {
      ok_ = false;
      return;
    }
    l = {0x82, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
  } else {
    l = EncodeLength(length);
  }
  out_.insert(out_.begin() + static_cast<ptrdiff_t>(open.start), l.begin(), l.end());
}

void Writer::Add(uint8_t tag, std::span<const uint8_t> content) {
  out_.push_back(tag);
  AppendLength(content.size());
  out_.insert(out_.end(), content.begin(), content.end());
}

void Writer::AddEncoded(std::span<const uint8_t> encoded) {
  out_.insert(out_.end(), encoded.begin(), encoded.end());
}

void Writer::AddBoolean(bool value) {
  const uint8_t b = value ? 0xFF : 0x00;
  Add(kBoolean, std::span<const uint8_t>(&b, 1));
}

void Writer::AddNull() { Add(kNull, {}); }

void Writer::AddInteger(int64_t value, uint8_t tag) {
  std::vector<uint8_t> c;
  const uint64_t u = static_cast<uint64_t>(value);
  int n = 8;
  // Drop octets that only repeat the sign.
  while (n > 1) {
    const uint8_t top = static_cast<uint8_t>(u >> (8 * (n - 1)));
    const uint8_t next = static_cast<uint8_t>(u >> (8 * (n - 2)));
    if ((top == 0x00 && (next & 0x80) == 0) || (top == 0xFF && (next & 0x80) != 0)) {
      --n;
    } else {
      break;
    }
  }
  for (int i = n - 1; i >= 0; --i) c.push_back(static_cast<uint8_t>(u >> (8 * i)));
  Add(tag, c);
}

void Writer::AddIntegerContent(std::span<const uint8_t> content, uint8_t tag) {
  if (content.empty()) {
    ok_ = false;
    return;
  }
  Add(tag, content);
}

void Writer::AddUnsignedInteger(std::span<const uint8_t> magnitude, uint8_t tag) {
  size_t i = 0;
  while (i < magnitude.size() && magnitude[i] == 0) ++i;
  std::vector<uint8_t> c;
  if (i == magnitude.size() || (magnitude[i] & 0x80) != 0) c.push_back(0);
  c.insert(c.end(), magnitude.begin() + static_cast<ptrdiff_t>(i), magnitude.end());
  Add(tag, c);
}

bool Writer::AddOid(std::string_view dotted) {
  std::vector<uint8_t> c;
  if (!OidTextToContent(dotted, &c)) {
    ok_ = false;
    return false;
  }
  Add(kOid, c);
  return true;
}

void Writer::AddOidContent(std::span<const uint8_t> content) { Add(kOid, content); }

void Writer::AddOctetString(std::span<const uint8_t> content, uint8_t tag) { Add(tag, content); }

void Writer::AddBitString(std::span<const uint8_t> bytes, uint8_t unused_bits, uint8_t tag) {
  if (unused_bits > 7 || (bytes.empty() && unused_bits != 0)) {
    ok_ = false;
    return;
  }
  std::vector<uint8_t> c;
  c.reserve(bytes.size() + 1);
  c.push_back(unused_bits);
  c.insert(c.end(), bytes.begin(), bytes.end());
  Add(tag, c);
}

void Writer::AddString(uint8_t tag, std::string_view value) {
  Add(tag, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(value.data()), value.size()));
}

namespace {

void Put(std::string* s, int v, int width) {
  std::string d = std::to_string(v);
  if (static_cast<int>(d.size()) < width) s->append(static_cast<size_t>(width) - d.size(), '0');
  *s += d;
}

}  // namespace

void Writer::AddUtcTime(const Time& t) {
  if (t.zone != Time::Zone::kUtc || !FieldsValid(t) || t.year < 1950 || t.year > 2049) {
    ok_ = false;
    return;
  }
  std::string s;
  Put(&s, t.year % 100, 2);
  Put(&s, t.month, 2);
  Put(&s, t.day, 2);
  Put(&s, t.hour, 2);
  Put(&s, t.minute, 2);
  Put(&s, t.second, 2);
  s += 'Z';
  AddString(kUtcTime, s);
}

void Writer::AddGeneralizedTime(const Time& t) {
  if (t.zone != Time::Zone::kUtc || !FieldsValid(t) ||
      !std::all_of(t.fraction.begin(), t.fraction.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    ok_ = false;
    return;
  }
  std::string s;
  Put(&s, t.year, 4);
  Put(&s, t.month, 2);
  Put(&s, t.day, 2);
  Put(&s, t.hour, 2);
  Put(&s, t.minute, 2);
  Put(&s, t.second, 2);
  std::string f = t.fraction;
  while (!f.empty() && f.back() == '0') f.pop_back();
  if (!f.empty()) s += "." + f;
  s += 'Z';
  AddString(kGeneralizedTime, s);
}

std::optional<std::vector<uint8_t>> Writer::Finish() {
  std::optional<std::vector<uint8_t>> result;
  if (ok_ && stack_.empty()) result = std::move(out_);
  out_.clear();
  stack_.clear();
  ok_ = true;
  return result;
}

}  // namespace vel::der
