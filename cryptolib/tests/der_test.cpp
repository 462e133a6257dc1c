// The DER reader and writer.
#include "cryptolib/der.h"

#include <gtest/gtest.h>

#include <openssl/asn1.h>
#include <openssl/objects.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace vel::der {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Hex(const std::string& hex) {
  Bytes out;
  std::string digits;
  for (char c : hex)
    if (c != ' ') digits += c;
  for (size_t i = 0; i + 1 < digits.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return out;
}

Bytes ToBytes(std::span<const uint8_t> s) { return Bytes(s.begin(), s.end()); }

// ------------------------------------------------------------- headers

struct HeaderCase {
  const char* name;
  const char* input;
  bool ok;
  uint8_t tag;
  const char* content;
};

TEST(DerReader, ParsesHeadersWithinTheInput) {
  const HeaderCase cases[] = {
      {"short form", "04 02 AA BB", true, 0x04, "AA BB"},
      {"empty content", "05 00", true, 0x05, ""},
      {"long form one octet", "04 81 01 AA", true, 0x04, "AA"},
      {"non-minimal long form accepted", "30 82 00 03 02 01 05", true, 0x30, "02 01 05"},
      {"trailing bytes are not part of it", "02 01 05 FF FF", true, 0x02, "05"},
      {"one byte", "30", false, 0, ""},
      {"nothing", "", false, 0, ""},
      {"content past the end", "04 05 AA", false, 0, ""},
      {"length octets past the end", "04 82 01", false, 0, ""},
      {"indefinite length is not DER", "30 80 00 00", false, 0, ""},
      {"high tag number form", "1F 81 01 00", false, 0, ""},
      {"length of 2^64-1", "04 88 FF FF FF FF FF FF FF FF", false, 0, ""},
      {"more length octets than size_t", "04 89 00 00 00 00 00 00 00 00 01 AA", false, 0, ""},
      {"huge length, tiny input", "04 84 FF FF FF FF 00", false, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes in = Hex(c.input);
    Element e;
    ASSERT_EQ(ParseElement(in, &e), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(e.tag, c.tag);
    EXPECT_EQ(ToBytes(e.content), Hex(c.content));
    EXPECT_EQ(e.encoded.data(), in.data());
    EXPECT_EQ(e.encoded.size(), static_cast<size_t>(e.content.data() + e.content.size() - in.data()));
  }
}

TEST(DerReader, WalksAStructureAndStaysPutOnFailure) {
  // SEQUENCE { INTEGER 5, [0] { OCTET STRING AA }, BOOLEAN TRUE, NULL }
  Bytes in = Hex("30 0D 02 01 05 A0 03 04 01 AA 01 01 FF 05 00");
  Reader r(in);
  Reader seq;
  ASSERT_TRUE(r.Enter(kSequence, &seq));
  EXPECT_TRUE(r.empty());
  EXPECT_EQ(seq.depth(), 1);

  // A wrong tag fails and consumes nothing.
  std::span<const uint8_t> c;
  EXPECT_FALSE(seq.ReadOctetString(&c));
  EXPECT_FALSE(seq.SkipIf(kBoolean));
  int64_t v = 0;
  ASSERT_TRUE(seq.ReadInteger(&v));
  EXPECT_EQ(v, 5);
  EXPECT_EQ(seq.PeekTag(), ContextConstructed(0));
  Reader explicit0;
  ASSERT_TRUE(seq.Enter(ContextConstructed(0), &explicit0));
  ASSERT_TRUE(explicit0.ReadOctetString(&c));
  EXPECT_EQ(ToBytes(c), Hex("AA"));
  EXPECT_TRUE(explicit0.empty());
  bool b = false;
  ASSERT_TRUE(seq.ReadBoolean(&b));
  EXPECT_TRUE(b);
  EXPECT_TRUE(seq.ReadNull());
  EXPECT_TRUE(seq.empty());
  EXPECT_FALSE(seq.Skip());
  EXPECT_FALSE(seq.PeekTag().has_value());
}

TEST(DerReader, ChildMustLieInsideItsParent) {
  // The outer SEQUENCE says 3 bytes, the inner OCTET STRING claims 4.
  Bytes in = Hex("30 03 04 04 AA BB CC DD");
  Reader r(in);
  Reader seq;
  ASSERT_TRUE(r.Enter(kSequence, &seq));
  std::span<const uint8_t> c;
  EXPECT_FALSE(seq.ReadOctetString(&c));
  EXPECT_EQ(seq.remaining(), 3u);
}

TEST(DerReader, EnterNeedsAConstructedTagAndCapsTheDepth) {
  Bytes prim = Hex("04 00");
  Reader r(prim), inner;
  EXPECT_FALSE(r.Enter(0x04, &inner));

  // kMaxDepth + 1 nested SEQUENCEs, built with the writer.
  Writer w;
  for (int i = 0; i <= kMaxDepth; ++i) w.Begin(kSequence);
  for (int i = 0; i <= kMaxDepth; ++i) w.End();
  auto nested = w.Finish();
  ASSERT_TRUE(nested);
  Reader cur(*nested);
  int entered = 0;
  while (true) {
    Reader next;
    if (!cur.Enter(kSequence, &next)) break;
    cur = next;
    ++entered;
  }
  EXPECT_EQ(entered, kMaxDepth);
  EXPECT_TRUE(cur.Peek(kSequence));  // still there, just not entered
}

TEST(DerReader, Integers) {
  struct Case {
    const char* input;
    bool ok;
    int64_t value;
  } cases[] = {
      {"02 01 00", true, 0},
      {"02 01 7F", true, 127},
      {"02 02 00 80", true, 128},
      {"02 01 80", true, -128},
      {"02 01 FF", true, -1},
      {"02 08 7F FF FF FF FF FF FF FF", true, INT64_MAX},
      {"02 08 80 00 00 00 00 00 00 00", true, INT64_MIN},
      {"02 09 00 FF FF FF FF FF FF FF FF", false, 0},  // beyond 64 bits
      {"02 00", false, 0},                             // empty
      {"0A 01 02", false, 0},                          // ENUMERATED is another tag
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    Bytes in = Hex(c.input);
    Reader r(in);
    int64_t v = 0;
    EXPECT_EQ(r.ReadInteger(&v), c.ok);
    if (c.ok) {
      EXPECT_EQ(v, c.value);
    }
  }
  // Content octets keep the sign octet (serial numbers are compared that way).
  Bytes serial = Hex("02 09 00 FF FF FF FF FF FF FF FF");
  Reader r(serial);
  std::span<const uint8_t> content;
  ASSERT_TRUE(r.ReadInteger(&content));
  EXPECT_EQ(content.size(), 9u);
  EXPECT_EQ(content[0], 0);
  // Implicitly tagged.
  Bytes implicit = Hex("80 01 03");
  Reader ri(implicit);
  int64_t v = 0;
  ASSERT_TRUE(ri.ReadInteger(&v, ContextPrimitive(0)));
  EXPECT_EQ(v, 3);
}

TEST(DerReader, BitStrings) {
  struct Case {
    const char* input;
    bool ok;
    const char* bytes;
    uint8_t unused;
  } cases[] = {
      {"03 01 00", true, "", 0},
      {"03 02 07 80", true, "80", 7},
      {"03 03 00 AA BB", true, "AA BB", 0},
      {"03 00", false, "", 0},     // no unused-bits octet
      {"03 01 01", false, "", 0},  // unused bits without bytes
      {"03 02 08 FF", false, "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    Bytes in = Hex(c.input);
    Reader r(in);
    std::span<const uint8_t> bytes;
    uint8_t unused = 0;
    ASSERT_EQ(r.ReadBitString(&bytes, &unused), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(ToBytes(bytes), Hex(c.bytes));
    EXPECT_EQ(unused, c.unused);
  }
}

TEST(DerReader, Times) {
  struct Case {
    uint8_t tag;
    const char* text;
    bool ok;
    int64_t unix_seconds;  // when the zone is known
    Time::Zone zone;
    const char* fraction;
  } cases[] = {
      {kUtcTime, "700101000000Z", true, 0, Time::Zone::kUtc, ""},
      {kUtcTime, "491231235959Z", true, 2524607999, Time::Zone::kUtc, ""},
      {kUtcTime, "500101000000Z", true, -631152000, Time::Zone::kUtc, ""},
      {kUtcTime, "2403151230Z", true, 1710505800, Time::Zone::kUtc, ""},  // seconds left out (BER)
      {kUtcTime, "240315123000+0100", true, 1710502200, Time::Zone::kOffset, ""},
      {kUtcTime, "240315123000", false, 0, Time::Zone::kUtc, ""},   // UTCTime needs a zone
      {kUtcTime, "240230123000Z", false, 0, Time::Zone::kUtc, ""},  // 30 February
      {kUtcTime, "241315123000Z", false, 0, Time::Zone::kUtc, ""},
      {kUtcTime, "24031512300Z", false, 0, Time::Zone::kUtc, ""},
      {kUtcTime, "240315123000Zjunk", false, 0, Time::Zone::kUtc, ""},
      {kGeneralizedTime, "20240315123000Z", true, 1710505800, Time::Zone::kUtc, ""},
      {kGeneralizedTime, "20240315123000.125Z", true, 1710505800, Time::Zone::kUtc, "125"},
      {kGeneralizedTime, "20240229000000Z", true, 1709164800, Time::Zone::kUtc, ""},
      {kGeneralizedTime, "20230229000000Z", false, 0, Time::Zone::kUtc, ""},
      {kGeneralizedTime, "20240315123000", true, 0, Time::Zone::kLocal, ""},
      {kGeneralizedTime, "20240315123000.Z", false, 0, Time::Zone::kUtc, ""},
      {kGeneralizedTime, "20240315246000Z", false, 0, Time::Zone::kUtc, ""},
      {kOctetString, "20240315123000Z", false, 0, Time::Zone::kUtc, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Writer w;
    w.AddString(c.tag, c.text);
    auto enc = w.Finish();
    ASSERT_TRUE(enc);
    Reader r(*enc);
    Time t;
    ASSERT_EQ(r.ReadTime(&t), c.ok);
    if (!c.ok) {
      EXPECT_FALSE(r.empty());
      continue;
    }
    EXPECT_EQ(t.zone, c.zone);
    EXPECT_EQ(t.fraction, c.fraction);
    if (c.zone == Time::Zone::kLocal) {
      EXPECT_FALSE(t.ToUnix().has_value());
    } else {
      EXPECT_EQ(t.ToUnix(), c.unix_seconds);
    }
  }
}

TEST(DerWriter, TimesRoundTrip) {
  for (int64_t s : {int64_t{0}, int64_t{951782400} /* 2000-02-29 */, int64_t{2524607999}, int64_t{-631152000},
                    int64_t{4102444800} /* 2100-01-01 */}) {
    SCOPED_TRACE(s);
    Time t = Time::FromUnix(s);
    EXPECT_EQ(t.ToUnix(), s);
    Writer w;
    w.AddGeneralizedTime(t);
    if (t.year >= 1950 && t.year <= 2049) w.AddUtcTime(t);
    auto enc = w.Finish();
    ASSERT_TRUE(enc);
    Reader r(*enc);
    while (!r.empty()) {
      Time back;
      ASSERT_TRUE(r.ReadTime(&back));
      EXPECT_EQ(back.ToUnix(), s);
    }
  }
  Time t = Time::FromUnix(4102444800);
  Writer w;
  w.AddUtcTime(t);  // 2100 does not fit a UTCTime
  EXPECT_FALSE(w.ok());
  EXPECT_FALSE(w.Finish());

  Time frac = Time::FromUnix(0);
  frac.fraction = "500";
  Writer w2;
  w2.AddGeneralizedTime(frac);
  Bytes expected = Hex("18 11");
  for (char ch : std::string("19700101000000.5Z")) expected.push_back(static_cast<uint8_t>(ch));
  EXPECT_EQ(*w2.Finish(), expected);
}

TEST(DerReader, Strings) {
  struct Case {
    uint8_t tag;
    const char* raw;
    bool ok;
    const char* utf8;
  } cases[] = {
      {kUtf8String, "C5 81 C3 B3 64 C5 BA", true, "\xC5\x81\xC3\xB3\x64\xC5\xBA"},  // Łódź
      {kUtf8String, "C0 80", false, ""},                  // overlong NUL
      {kUtf8String, "ED A0 80", false, ""},               // surrogate
      {kUtf8String, "F4 90 80 80", false, ""},            // above U+10FFFF
      {kUtf8String, "E2 82", false, ""},                  // truncated
      {kBmpString, "00 41 01 41", true, "A\xC5\x81"},
      {kBmpString, "D8 3D DE 00", true, "\xF0\x9F\x98\x80"},  // surrogate pair
      {kBmpString, "D8 3D 00 41", false, ""},             // lone high surrogate
      {kBmpString, "00 41 00", false, ""},                // odd
      {kUniversalString, "00 00 01 41", true, "\xC5\x81"},
      {kUniversalString, "00 11 00 00", false, ""},
      {kT61String, "E9", true, "\xC3\xA9"},               // Latin-1 when not UTF-8
      {kPrintableString, "41 42", true, "AB"},
      {kIa5String, "C3 A9", true, "\xC3\xA9"},            // valid UTF-8 kept
      {kOctetString, "41", false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.raw);
    Writer w;
    w.Add(c.tag, Hex(c.raw));
    auto enc = w.Finish();
    Reader r(*enc);
    std::string raw, utf8;
    uint8_t tag = 0;
    if (c.tag == kOctetString) {
      EXPECT_FALSE(r.ReadString(&raw, &tag));
      continue;
    }
    ASSERT_TRUE(r.ReadString(&raw, &tag));
    EXPECT_EQ(tag, c.tag);
    EXPECT_EQ(Bytes(raw.begin(), raw.end()), Hex(c.raw));
    ASSERT_EQ(StringToUtf8(tag, Hex(c.raw), &utf8), c.ok);
    if (c.ok) {
      EXPECT_EQ(utf8, c.utf8);
    }
  }
}

// ------------------------------------------------------------- OIDs

TEST(DerOid, TextAndContent) {
  struct Case {
    const char* content;
    bool ok;
    const char* text;
  } cases[] = {
      {"2A 86 48 86 F7 0D 01 01 05", true, "1.2.840.113549.1.1.5"},
      {"2B 0E 03 02 1A", true, "1.3.14.3.2.26"},
      {"55 04 03", true, "2.5.4.3"},
      {"00", true, "0.0"},
      {"27", true, "0.39"},
      {"4F", true, "1.39"},
      {"50", true, "2.0"},
      // First subidentifier of more than one octet: 2.999 = 80 + 999 = 1079.
      {"88 37 03", true, "2.999.3"},
      {"2A 81 FF FF FF FF FF FF FF FF 7F", true, "1.2.18446744073709551615"},
      {"2A 82 80 80 80 80 80 80 80 80 00", false, ""},  // 2^64: overflow
      {"2A 86", false, ""},                             // truncated arc
      {"2A 80 01", false, ""},                          // non-minimal arc
      {"", false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content);
    std::string text;
    ASSERT_EQ(OidContentToText(Hex(c.content), &text), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(text, c.text);
    std::vector<uint8_t> back;
    ASSERT_TRUE(OidTextToContent(text, &back));
    EXPECT_EQ(back, Hex(c.content));
  }
  std::vector<uint8_t> out;
  for (const char* bad : {"", "1", "3.1", "1.40", "0.40", "1..2", "1.2.", ".1.2", "1.2.x", "1.2.-3",
                          "1.2.18446744073709551616", "2.18446744073709551615"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(OidTextToContent(bad, &out));
  }
}

// Against OpenSSL's own conversion, both ways, over a spread of OIDs.
TEST(DerOid, AgreesWithOpenSsl) {
  for (const char* text : {"1.2.840.113549.1.9.16.2.12", "2.5.29.37", "1.3.6.1.5.5.7.3.8", "2.16.840.1.101.3.4.2.1",
                           "0.9.2342.19200300.100.1.25", "1.2.616.1.170091.20.10.10.10", "2.999.1234567"}) {
    SCOPED_TRACE(text);
    std::unique_ptr<ASN1_OBJECT, decltype(&ASN1_OBJECT_free)> obj(OBJ_txt2obj(text, 1), ASN1_OBJECT_free);
    ASSERT_TRUE(obj);
    std::vector<uint8_t> ours;
    ASSERT_TRUE(OidTextToContent(text, &ours));
    EXPECT_EQ(ours, Bytes(OBJ_get0_data(obj.get()), OBJ_get0_data(obj.get()) + OBJ_length(obj.get())));
    Bytes enc = I2dBytes(i2d_ASN1_OBJECT, obj.get());
    Reader r(enc);
    std::string back;
    ASSERT_TRUE(r.ReadOid(&back));
    EXPECT_EQ(back, text);
  }
}

// ------------------------------------------------------------- writer

TEST(DerWriter, LengthsAreComputed) {
  struct Case {
    size_t length;
    const char* octets;
  } cases[] = {{0, "00"},           {127, "7F"},          {128, "81 80"},       {255, "81 FF"},
               {256, "82 01 00"},   {65535, "82 FF FF"},  {65536, "83 01 00 00"}, {0x1000000, "84 01 00 00 00"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    EXPECT_EQ(EncodeLength(c.length), Hex(c.octets));
    Writer w;
    w.Begin(kSequence);
    w.AddEncoded(Bytes(c.length, 0xAB));
    w.End();
    auto out = w.Finish();
    ASSERT_TRUE(out);
    Bytes header = Hex("30");
    for (uint8_t b : Hex(c.octets)) header.push_back(b);
    EXPECT_TRUE(std::equal(header.begin(), header.end(), out->begin()));
    Reader r(*out);
    Reader seq;
    ASSERT_TRUE(r.Enter(kSequence, &seq));
    EXPECT_EQ(seq.remaining(), c.length);
    EXPECT_TRUE(r.empty());
  }
}

TEST(DerWriter, BuildsNestedStructures) {
  Writer w;
  w.Begin(kSequence);
  w.AddInteger(5);
  w.Begin(ContextConstructed(0));
  w.AddOctetString(Hex("AA"));
  w.End();
  w.AddBoolean(true);
  w.AddNull();
  w.End();
  auto out = w.Finish();
  ASSERT_TRUE(out);
  EXPECT_EQ(*out, Hex("30 0D 02 01 05 A0 03 04 01 AA 01 01 FF 05 00"));
}

TEST(DerWriter, Integers) {
  struct Case {
    int64_t v;
    const char* enc;
  } cases[] = {{0, "02 01 00"},      {127, "02 01 7F"},        {128, "02 02 00 80"},
               {-1, "02 01 FF"},     {-128, "02 01 80"},       {-129, "02 02 FF 7F"},
               {256, "02 02 01 00"}, {INT64_MIN, "02 08 80 00 00 00 00 00 00 00"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.v);
    Writer w;
    w.AddInteger(c.v);
    EXPECT_EQ(*w.Finish(), Hex(c.enc));
  }
  struct UCase {
    const char* magnitude;
    const char* enc;
  } ucases[] = {{"", "02 01 00"}, {"00 00", "02 01 00"}, {"80", "02 02 00 80"}, {"00 7F", "02 01 7F"}, {"01 02", "02 02 01 02"}};
  for (const auto& c : ucases) {
    SCOPED_TRACE(c.magnitude);
    Writer w;
    w.AddUnsignedInteger(Hex(c.magnitude));
    EXPECT_EQ(*w.Finish(), Hex(c.enc));
  }
}

TEST(DerWriter, FailuresAreReported) {
  {
    Writer w;
    w.Begin(kSequence);
    EXPECT_FALSE(w.Finish());  // still open
  }
  {
    Writer w;
    w.End();  // nothing open
    EXPECT_FALSE(w.ok());
    EXPECT_FALSE(w.Finish());
  }
  {
    Writer w;
    EXPECT_FALSE(w.AddOid("1.2.x"));
    EXPECT_FALSE(w.Finish());
    // Finish leaves the writer empty and usable.
    w.AddNull();
    EXPECT_EQ(*w.Finish(), Hex("05 00"));
  }
  {
    Writer w;
    w.AddBitString({}, 3);
    EXPECT_FALSE(w.ok());
  }
}

TEST(DerWriter, TwoOctetLengthForm) {
  Writer w;
  w.Begin(kSequence, LengthForm::kTwoOctets);
  w.AddNull();
  w.End();
  EXPECT_EQ(*w.Finish(), Hex("30 82 00 02 05 00"));

  Writer big;
  big.Begin(kSequence, LengthForm::kTwoOctets);
  big.AddOctetString(Bytes(70000, 1));
  big.End();
  EXPECT_FALSE(big.Finish());  // does not fit two octets
}

TEST(DerI2d, BytesOfAnOpenSslObject) {
  std::unique_ptr<ASN1_INTEGER, decltype(&ASN1_INTEGER_free)> n(ASN1_INTEGER_new(), ASN1_INTEGER_free);
  ASSERT_TRUE(ASN1_INTEGER_set(n.get(), 300));
  EXPECT_EQ(I2dBytes(i2d_ASN1_INTEGER, n.get()), Hex("02 02 01 2C"));
  EXPECT_TRUE(I2dBytes(i2d_ASN1_INTEGER, static_cast<ASN1_INTEGER*>(nullptr)).empty());
}

}  // namespace
}  // namespace vel::der
