#include "platform/cert_name_str.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "platform/testing/test_support.h"

namespace vel::platform {
namespace {

using Bytes = std::vector<uint8_t>;
using test::Cat;
constexpr auto Tlv = &test::DerTlv;

Bytes Str(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Attribute type identifiers, already encoded as OBJECT IDENTIFIER content.
const Bytes kCN{0x55, 0x04, 0x03};
const Bytes kSN{0x55, 0x04, 0x04};
const Bytes kC{0x55, 0x04, 0x06};
const Bytes kO{0x55, 0x04, 0x0A};
const Bytes kE{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x01};
const Bytes kPseudonym{0x55, 0x04, 0x41};
const Bytes kUnknown{0x2A, 0x03};  // 1.2.3

Bytes Atv(const Bytes& oid, const Bytes& value) { return Tlv(0x30, Cat({Tlv(0x06, oid), value})); }
Bytes Rdn(std::initializer_list<Bytes> atvs) { return Tlv(0x31, Cat(atvs)); }
Bytes Name(std::initializer_list<Bytes> rdns) { return Tlv(0x30, Cat(rdns)); }
Bytes Printable(const std::string& s) { return Tlv(0x13, Str(s)); }
Bytes Utf8(const std::string& s) { return Tlv(0x0C, Str(s)); }

std::string Text(const Bytes& name, uint32_t type) {
  std::optional<std::string> t = CertNameToStr(name, type);
  return t ? *t : std::string("<failed>");
}

const Bytes kPersonal = Name({Rdn({Atv(kC, Printable("PL"))}), Rdn({Atv(kO, Utf8("Firma"))}),
                             Rdn({Atv(kCN, Utf8("Jan Kowalski"))})});

TEST(CertNameToStr, FormsAndOrder) {
  struct Case {
    uint32_t type;
    const char* text;
  } cases[] = {
      {kCertX500NameStr, "C=PL, O=Firma, CN=Jan Kowalski"},
      {kCertX500NameStr | kCertNameStrReverseFlag, "CN=Jan Kowalski, O=Firma, C=PL"},
      {kCertOidNameStr, "2.5.4.6=PL, 2.5.4.10=Firma, 2.5.4.3=Jan Kowalski"},
      {kCertOidNameStr | kCertNameStrReverseFlag, "2.5.4.3=Jan Kowalski, 2.5.4.10=Firma, 2.5.4.6=PL"},
      {kCertSimpleNameStr, "PL, Firma, Jan Kowalski"},
      {kCertX500NameStr | kCertNameStrSemicolonFlag, "C=PL; O=Firma; CN=Jan Kowalski"},
      {kCertX500NameStr | kCertNameStrCrlfFlag, "C=PL\r\nO=Firma\r\nCN=Jan Kowalski"},
  };
  for (const Case& c : cases) EXPECT_EQ(Text(kPersonal, c.type), c.text) << std::hex << c.type;
}

TEST(CertNameToStr, MultiValuedRdnKeepsItsOrderWhenReversed) {
  const Bytes name = Name({Rdn({Atv(kC, Printable("PL"))}),
                           Rdn({Atv(kCN, Utf8("a")), Atv(kSN, Utf8("b"))})});
  EXPECT_EQ(Text(name, kCertX500NameStr), "C=PL, CN=a + SN=b");
  EXPECT_EQ(Text(name, kCertX500NameStr | kCertNameStrReverseFlag), "CN=a + SN=b, C=PL");
  EXPECT_EQ(Text(name, kCertOidNameStr), "2.5.4.6=PL, 2.5.4.3=a + 2.5.4.4=b");
  EXPECT_EQ(Text(name, kCertSimpleNameStr), "PL, a + b");
  EXPECT_EQ(Text(name, kCertX500NameStr | kCertNameStrNoPlusFlag), "C=PL, CN=a SN=b");
}

TEST(CertNameToStr, Keys) {
  const Bytes name = Name({Rdn({Atv(kE, Tlv(0x16, Str("a@b.pl")))}),
                           Rdn({Atv(kPseudonym, Utf8("Ps"))}), Rdn({Atv(kUnknown, Utf8("x"))})});
  EXPECT_EQ(Text(name, kCertX500NameStr), "E=a@b.pl, OID.2.5.4.65=Ps, OID.1.2.3=x");
  EXPECT_EQ(Text(name, kCertOidNameStr), "1.2.840.113549.1.9.1=a@b.pl, 2.5.4.65=Ps, 1.2.3=x");
  EXPECT_EQ(X500KeyForOid("2.5.4.5"), "SERIALNUMBER");
  EXPECT_EQ(X500KeyForOid("2.5.4.8"), "S");
  EXPECT_EQ(X500KeyForOid("2.5.4.42"), "G");
  EXPECT_EQ(X500KeyForOid("2.5.4.15"), "");
}

TEST(CertNameToStr, Quoting) {
  struct Case {
    std::string value;
    const char* quoted;
  } cases[] = {
      {"Kowalski, Jan", "CN=\"Kowalski, Jan\""},
      {"Joe \"Cool\"", "CN=\"Joe \"\"Cool\"\"\""},
      {" lead", "CN=\" lead\""},
      {"trail ", "CN=\"trail \""},
      {"", "CN=\"\""},
      {"#1", "CN=\"#1\""},
      {"a+b", "CN=\"a+b\""},
      {"a=b", "CN=\"a=b\""},
      {"a<b>", "CN=\"a<b>\""},
      {"a;b", "CN=\"a;b\""},
      {"a\nb", "CN=\"a\nb\""},
      {"two  blanks", "CN=two  blanks"},
      {"plain", "CN=plain"},
      {"back\\slash", "CN=back\\slash"},
  };
  for (const Case& c : cases) {
    const Bytes name = Name({Rdn({Atv(kCN, Utf8(c.value))})});
    EXPECT_EQ(Text(name, kCertX500NameStr), c.quoted) << c.value;
    EXPECT_EQ(Text(name, kCertX500NameStr | kCertNameStrNoQuotingFlag), "CN=" + c.value);
  }
}

TEST(CertNameToStr, NonStringValuesAsHex) {
  const Bytes seq = Tlv(0x30, Cat({Utf8("a"), Utf8("b")}));
  const Bytes name = Name({Rdn({Atv(kCN, seq)}), Rdn({Atv(kO, Tlv(0x04, {0xAB, 0x01}))}),
                           Rdn({Atv(kUnknown, Tlv(0x02, {0x05}))})});
  EXPECT_EQ(Text(name, kCertX500NameStr), "CN=#30060C01610C0162, O=#AB01, OID.1.2.3=#020105");
  EXPECT_EQ(Text(name, kCertSimpleNameStr), "#30060C01610C0162, #AB01, #020105");
}

TEST(CertNameToStr, CharacterSets) {
  // "Zażółć" in the string types that carry it.
  const std::string utf8 = "Za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87";
  const Bytes bmp{0x00, 'Z', 0x00, 'a', 0x01, 0x7C, 0x00, 0xF3, 0x01, 0x42, 0x01, 0x07};
  Bytes universal;
  for (size_t i = 0; i < bmp.size(); i += 2) universal.insert(universal.end(), {0, 0, bmp[i], bmp[i + 1]});
  struct Case {
    Bytes value;
    std::string text;
  } cases[] = {
      {Utf8(utf8), utf8},
      {Tlv(0x1E, bmp), utf8},
      {Tlv(0x1C, universal), utf8},
      {Tlv(0x14, Str(utf8)), utf8},                                // Teletex holding UTF-8
      {Tlv(0x14, {'c', 0xE9}), "c\xC3\xA9"},                       // Teletex as 8-bit
      {Tlv(0x16, {'x', 0xE9}), "x\xC3\xA9"},                       // IA5 widened
      {Tlv(0x1E, {0xD8, 0x3D, 0xDE, 0x00}), "\xF0\x9F\x98\x80"},   // surrogate pair
      {Tlv(0x1E, {0xD8, 0x3D, 0x00, 0x41}), "\xEF\xBF\xBD" "A"},   // lone surrogate
      {Utf8("a\xFF" "b"), "a\xEF\xBF\xBD" "b"},                    // ill-formed UTF-8
      {Tlv(0x0C, {'a', 0x00, 'b'}), "a\xEF\xBF\xBD" "b"},          // NUL never cuts the text
  };
  for (const Case& c : cases) {
    const Bytes name = Name({Rdn({Atv(kO, c.value)})});
    EXPECT_EQ(Text(name, kCertSimpleNameStr), c.text);
  }
  const Bytes t61_latin = Name({Rdn({Atv(kO, Tlv(0x14, Str(utf8)))})});
  EXPECT_NE(Text(t61_latin, kCertSimpleNameStr | kCertNameStrDisableIe4Utf8Flag), utf8);
}

TEST(CertNameToStr, MalformedNamesGiveNoText) {
  const Bytes good = Name({Rdn({Atv(kCN, Utf8("x"))})});
  Bytes trailing = good;
  trailing.push_back(0);
  Bytes cut(good.begin(), good.end() - 1);
  const std::vector<Bytes> bad = {
      {},
      cut,
      trailing,
      Tlv(0x31, Rdn({Atv(kCN, Utf8("x"))})),                        // outer not a SEQUENCE
      Name({Tlv(0x30, Atv(kCN, Utf8("x")))}),                        // RDN not a SET
      Name({Rdn({Tlv(0x30, Cat({Tlv(0x06, kCN), Utf8("x"), Utf8("y")}))})}),  // extra element
      Name({Rdn({Tlv(0x30, Tlv(0x06, kCN))})}),                      // value missing
      Name({Rdn({Atv({0x80, 0x01}, Utf8("x"))})}),                   // bad identifier
      Name({Rdn({Atv(kCN, Tlv(0x1E, {0x00, 0x41, 0x00}))})}),        // odd BMPString
      Name({Rdn({Atv(kCN, Tlv(0x1C, {0x00, 0x00, 0x41}))})}),        // short UniversalString
      {0x30, 0x80, 0x00, 0x00},                                      // indefinite length
  };
  for (const Bytes& b : bad) EXPECT_FALSE(CertNameToStr(b, kCertX500NameStr).has_value());
  EXPECT_FALSE(CertNameToStr(good, 4).has_value());
  EXPECT_FALSE(CertNameToStr(good, 0).has_value());
}

TEST(CertNameToStr, EmptyNameAndEmptyRdn) {
  EXPECT_EQ(Text({0x30, 0x00}, kCertX500NameStr), "");
  const Bytes name = Name({Tlv(0x31, {}), Rdn({Atv(kCN, Utf8("x"))})});
  EXPECT_EQ(Text(name, kCertX500NameStr), "CN=x");
}

TEST(CertNameToStr, AttributesForCallersThatRebuildTheText) {
  const Bytes name = Name({Rdn({Atv(kC, Printable("PL"))}),
                           Rdn({Atv(kO, Utf8("a, b")), Atv(kUnknown, Tlv(0x04, {0x01}))})});
  std::optional<NameRdns> rdns = DecodeNameAttributes(name, kCertNameStrReverseFlag);
  ASSERT_TRUE(rdns);
  ASSERT_EQ(rdns->size(), 2u);
  ASSERT_EQ((*rdns)[0].size(), 2u);
  EXPECT_EQ((*rdns)[0][0].oid, "2.5.4.10");
  EXPECT_EQ((*rdns)[0][0].text, "a, b");  // unquoted
  EXPECT_FALSE((*rdns)[0][0].hex);
  EXPECT_EQ((*rdns)[0][1].text, "#01");
  EXPECT_TRUE((*rdns)[0][1].hex);
  EXPECT_EQ(FormatNameValue((*rdns)[0][0], kCertOidNameStr), "\"a, b\"");
  EXPECT_EQ(FormatNameText(*rdns, kCertOidNameStr), "2.5.4.10=\"a, b\" + 1.2.3=#01, 2.5.4.6=PL");
  EXPECT_FALSE(FormatNameText(*rdns, 5).has_value());
}

}  // namespace
}  // namespace vel::platform
