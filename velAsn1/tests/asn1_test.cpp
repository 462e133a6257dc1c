// Decoding never throws and refuses malformed or trailing input.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cryptolib/der.h"
#include "velAsn1/asn1.h"

namespace vel::asn1 {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Hex(const std::string& hex) {
  Bytes out;
  std::string digits;
  for (char c : hex)
    if (c != ' ') digits += c;
  for (size_t i = 0; i + 1 < digits.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return out;
}

// A minimal ESS SigningCertificate, written with our DER writer.
Bytes SigningCertificateBytes() {
  der::Writer w;
  w.Begin(der::kSequence);
  w.Begin(der::kSequence);
  w.Begin(der::kSequence);
  w.AddOctetString(Bytes(20, 0x5A));
  w.End();
  w.End();
  w.End();
  return *w.Finish();
}

TEST(Asn1Decode, WellFormedInput) {
  RegisterAnyTypes();
  SNACC::SigningCertificate sc;
  ASSERT_TRUE(Decode(SigningCertificateBytes(), sc));
  ASSERT_EQ(sc.certs.size(), 1u);
  EXPECT_EQ(sc.certs.front().certHash.data(), std::string(20, 'Z'));
  EXPECT_FALSE(sc.certs.front().issuerSerial);
}

TEST(Asn1Decode, MalformedInputFailsCleanly) {
  const Bytes good = SigningCertificateBytes();
  struct Case {
    const char* name;
    Bytes bytes;
  } cases[] = {
      {"empty", {}},
      {"trailing byte", [&] {
         Bytes b = good;
         b.push_back(0);
         return b;
       }()},
      {"cut short", Bytes(good.begin(), good.end() - 1)},
      {"child past its parent", Hex("30 05 30 07 30 05 04 03 AA")},
      {"length past the input", Hex("30 84 7F FF FF FF 30 00")},
      {"five length octets", Hex("30 85 00 00 00 00 02 30 00")},
      {"wrong tag", Hex("31 02 30 00")},
      {"indefinite without end", Hex("30 80 30 80 30 80")},
      {"end-of-contents in a definite element", Hex("30 04 00 00 30 00")},
      {"OCTET STRING where a SEQUENCE belongs", Hex("30 04 04 02 AA BB")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SNACC::SigningCertificate sc;
    EXPECT_FALSE(Decode(c.bytes, sc));
  }
  // Deep nesting is refused before the decoder sees it.
  Bytes deep;
  for (int i = 0; i < 10000; ++i) deep.insert(deep.end(), {0x30, 0x80});
  for (int i = 0; i < 10000; ++i) deep.insert(deep.end(), {0x00, 0x00});
  SNACC::ContentInfo ci;
  EXPECT_FALSE(Decode(deep, ci));
}

// The content of an unregistered type stays as bytes; indefinite-length
// content of a registered type decodes.
TEST(Asn1Decode, AnyContent) {
  RegisterAnyTypes();
  // ContentInfo { 1.2.3, [0] { OCTET STRING AA } }: unregistered.
  der::Writer w;
  w.Begin(der::kSequence);
  w.AddOid("1.2.3");
  w.Begin(der::ContextConstructed(0));
  w.AddOctetString(Hex("AA"));
  w.End();
  w.End();
  Bytes unknown = *w.Finish();
  SNACC::ContentInfo ci;
  ASSERT_TRUE(Decode(unknown, ci));
  EXPECT_EQ(ci.content.value, nullptr);
  Bytes raw;
  ASSERT_TRUE(AnyBytes(ci.content, &raw));
  EXPECT_EQ(raw, Hex("04 01 AA"));
  // The decoded object keeps its own copy: the input may go away.
  SNACC::ContentInfo kept;
  {
    Bytes temporary = unknown;
    ASSERT_TRUE(Decode(temporary, kept));
    std::fill(temporary.begin(), temporary.end(), 0);
  }
  ASSERT_TRUE(AnyBytes(kept.content, &raw));
  EXPECT_EQ(raw, Hex("04 01 AA"));

  // id-data, indefinite lengths: decoded through the registered OCTET STRING.
  Bytes data = Hex("30 80 06 09 2A 86 48 86 F7 0D 01 07 01 A0 80 04 02 AB CD 00 00 00 00");
  SNACC::ContentInfo ci2;
  ASSERT_TRUE(Decode(data, ci2));
  auto* octs = dynamic_cast<SNACC::AsnOcts*>(ci2.content.value);
  ASSERT_NE(octs, nullptr);
  EXPECT_EQ(octs->data(), std::string("\xAB\xCD"));
}

}  // namespace
}  // namespace vel::asn1
