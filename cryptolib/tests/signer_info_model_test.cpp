// The CMS signer window's rows without a display: the label tables, the two
// hexadecimal forms, signing and time-stamp times (malformed ones give no
// row), every attribute kind on crafted SignerInfos, and the rows of our own
// signatures with their time stamps, in both languages.
#include "cryptolib/ui/signer_info_model.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cryptolib/cms_signed_data.h"
#include "cryptolib/cms_signer_tree.h"
#include "cryptolib/tests/cert_ui_fixture.h"
#include "cryptolib/tests/signer_ui_fixture.h"
#include "cryptolib/ui/signer_info_labels.h"

namespace vel::crypto::ui {
namespace {

using test::ByteVec;
using test::certui::Language;
using test::signerui::Attr;
using test::signerui::Craft;
using test::signerui::CraftedSigner;
using test::signerui::CraftedToken;
using test::signerui::OctetsValue;
using test::signerui::OidValue;
using test::signerui::Primitive;

constexpr uint32_t kLanguages[] = {kLanguageEnglish, kLanguagePolish};

std::vector<std::string> Labels(const std::vector<SignerRow>& rows) {
  std::vector<std::string> out;
  for (const SignerRow& r : rows) out.push_back(r.label);
  return out;
}

std::vector<uint32_t> LabelIds(const std::vector<SignerRow>& rows) {
  std::vector<uint32_t> out;
  for (const SignerRow& r : rows) out.push_back(r.label_id);
  return out;
}

std::string L(uint32_t id) { return GetCmsSignerLabel(id); }

// ------------------------------------------------------------------ labels

TEST(CmsSignerLabels, BothTablesAndTheirDefaults) {
  struct Case {
    uint32_t id;
    const char* en;
    const char* pl;
  };
  const Case cases[] = {
      {2, "Signature ", "Szczegóły podpisu"},
      {8, "Show signature", "Wyświetl podpis"},
      {201, "", ""},
      {209, "Unknown signatur algorithm", "Nieznany algorytm podpisu"},
      {309, "Signing certificate", "Certyfikat podpisującego"},
      {312, "TimeStamp Token", "TimeStamp Token"},
      {319, "Proof of Creation", "Poświadczenie utworzenia"},
      {407, "CRL references", "Odnośniki do statusów unieważnień"},
      {409, "Cert. revocation list", "Lista unieważnień"},
      {0, "__ERR__ : Label not found.", "__BLAD__ : Brak napisu."},
      {1, "__ERR__ : Label not found.", "__BLAD__ : Brak napisu."},
      {200, "__ERR__ : Label not found.", "__BLAD__ : Brak napisu."},
      {410, "__ERR__ : Label not found.", "__BLAD__ : Brak napisu."},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(GetCmsSignerLabelEn(c.id), c.en) << c.id;
    EXPECT_STREQ(GetCmsSignerLabelPl(c.id), c.pl) << c.id;
    {
      Language l(kLanguageEnglish);
      EXPECT_STREQ(GetCmsSignerLabel(c.id), c.en);
    }
    {
      Language l(kLanguagePolish);
      EXPECT_STREQ(GetCmsSignerLabel(c.id), c.pl);
    }
    Language l(1031);
    EXPECT_STREQ(GetCmsSignerLabel(c.id), "Unknown language set.");
  }
}

TEST(CmsSignerLabels, AnUnknownLanguageNamesEveryRowTheSame) {
  Language l(0);
  const SignerInfoModel m = BuildSignerInfoModel(Craft({}));
  ASSERT_EQ(m.status, 0u);
  ASSERT_EQ(m.general.size(), 5u);
  for (const SignerRow& r : m.general) EXPECT_EQ(r.label, "Unknown language set.");
  EXPECT_EQ(m.general[3].shown, "SHA1");
}

// ------------------------------------------------------------- hex forms

TEST(CmsSignerHex, RowAndDumpArePinned) {
  ByteVec twenty;
  for (uint8_t i = 0; i < 20; ++i) twenty.push_back(static_cast<uint8_t>(i * 0x11 + 0x0A));
  EXPECT_EQ(HexRow(ByteVec{0x00, 0x7F, 0xA0, 0xFF}), "00 7F A0 FF ");
  EXPECT_EQ(HexRow(ByteVec{}), "");
  EXPECT_EQ(HexDump(twenty),
            "0A 1B 2C 3D 4E 5F 70 81  92 A3 B4 C5 D6 E7 F8 09  \r\n"
            "1A 2B 3C 4D ");
  EXPECT_EQ(HexDump(ByteVec(8, 0x01)), "01 01 01 01 01 01 01 01  ");
  EXPECT_EQ(HexDump(ByteVec(32, 0xEE)),
            "EE EE EE EE EE EE EE EE  EE EE EE EE EE EE EE EE  \r\n"
            "EE EE EE EE EE EE EE EE  EE EE EE EE EE EE EE EE  \r\n");
  EXPECT_EQ(HexDump(ByteVec{}), "");
}

TEST(CmsSignerHex, DumpReadsBackAndRejectsStrayCharacters) {
  ByteVec bytes;
  for (int i = 0; i < 300; ++i) bytes.push_back(static_cast<uint8_t>(i * 31));
  EXPECT_EQ(HexDumpBytes(HexDump(bytes)), bytes);
  EXPECT_EQ(HexDumpBytes("0a ff\n10"), (ByteVec{0x0A, 0xFF, 0x10}));
  for (const char* bad : {"0", "0A 1", "0A G1", "0A-1B", "0A\t1B", "\xC3\xB3"})
    EXPECT_TRUE(HexDumpBytes(bad).empty()) << bad;
}

// ------------------------------------------------------------------ times

TEST(CmsSignerTimes, SigningTimeTexts) {
  struct Case {
    uint8_t tag;
    const char* value;
    const char* text;  // null: no row
  };
  const Case cases[] = {
      {der::kUtcTime, "090409101520Z", "2009-04-09 10:15:20 GMT"},
      {der::kUtcTime, "490101000000Z", "2049-01-01 00:00:00 GMT"},
      {der::kUtcTime, "500101000000Z", "1950-01-01 00:00:00 GMT"},
      {der::kGeneralizedTime, "20090409101520Z", "2009-04-09 10:15:20 UTC"},
      {der::kGeneralizedTime, "20090409101520.25Z", "2009-04-09 10:15:20.25 UTC"},
      {der::kUtcTime, "090409101520+0200", "2009-04-09 08:15:20 GMT"},
      {der::kGeneralizedTime, "20090101003000+0100", "2008-12-31 23:30:00 UTC"},
      {der::kGeneralizedTime, "20081231235960Z", "2008-12-31 23:59:60 UTC"},
      {der::kGeneralizedTime, "20090409101520", "2009-04-09 10:15:20"},
      {der::kUtcTime, "0904091015Z", nullptr},         // no seconds
      {der::kGeneralizedTime, "200904091015Z", nullptr},
      {der::kUtcTime, "0904", nullptr},
      {der::kUtcTime, "", nullptr},
      {der::kUtcTime, "090230101520Z", nullptr},       // 30 February
      {der::kUtcTime, "090409241520Z", nullptr},
      {der::kUtcTime, "09040910152OZ", nullptr},
      {der::kUtcTime, "090409101520", nullptr},        // UTCTime without zone
      {der::kGeneralizedTime, "20090409101520Z junk", nullptr},
      {der::kOctetString, "090409101520Z", nullptr},
  };
  for (const Case& c : cases) {
    std::string text = "untouched";
    const bool ok = SigningTimeText(Primitive(c.tag, c.value), &text);
    EXPECT_EQ(ok, c.text != nullptr) << c.value;
    EXPECT_EQ(text, c.text != nullptr ? c.text : "untouched") << c.value;
  }
  // A length that runs past the value, and bytes after the time.
  std::string text;
  EXPECT_FALSE(SigningTimeText(ByteVec{0x17, 0x0D, '0', '9'}, &text));
  ByteVec trailing = Primitive(der::kUtcTime, "090409101520Z");
  trailing.push_back(0x00);
  EXPECT_FALSE(SigningTimeText(trailing, &text));
  EXPECT_FALSE(SigningTimeText(ByteVec{}, &text));
}

TEST(CmsSignerTimes, TimeStampTexts) {
  struct Case {
    const char* gen_time;
    const char* text;  // null: no row
  };
  const Case cases[] = {
      {"20090409101520Z", "2009-04-09 10:15:20 (UTC)"},
      {"20090409101520.123Z", "2009-04-09 10:15:20 (UTC)"},
      {"20090409001520+0100", "2009-04-08 23:15:20 (UTC)"},
      {"20090409101520", nullptr},  // no zone: not known to be UTC
      {"200904091015Z", nullptr},
      {"2009", nullptr},
      {"", nullptr},
      {"20090230101520Z", nullptr},
      {"2009040910152xZ", nullptr},
  };
  for (const Case& c : cases) {
    const ByteVec token = CraftedToken(c.gen_time);
    std::string text = "untouched";
    EXPECT_EQ(TimeStampRowText(token, &text), c.text != nullptr) << c.gen_time;
    EXPECT_EQ(text, c.text != nullptr ? c.text : "untouched") << c.gen_time;
    // The same token inside a whole response.
    text = "untouched";
    EXPECT_EQ(TimeStampRowText(test::signerui::ResponseWithText(token), &text), c.text != nullptr)
        << c.gen_time;
    EXPECT_EQ(text, c.text != nullptr ? c.text : "untouched") << c.gen_time;

    // In a signer, a time that cannot be shown leaves no row at all.
    CraftedSigner s;
    s.unsigned_attributes = {Attr(kOidSignatureTimeStampToken, {token})};
    const SignerInfoModel m = BuildSignerInfoModel(Craft(s));
    ASSERT_EQ(m.status, 0u);
    ASSERT_EQ(m.unsigned_attributes.size(), c.text != nullptr ? 1u : 0u) << c.gen_time;
    if (c.text != nullptr) {
      EXPECT_EQ(m.unsigned_attributes[0].shown, c.text);
      EXPECT_EQ(m.unsigned_attributes[0].value, HexDump(token));
    }
  }
  std::string text;
  for (const ByteVec& junk : {ByteVec{}, ByteVec{0x30, 0x00}, ByteVec{0x30, 0x82, 0xFF, 0xFF},
                              ByteVec(70000, 0x30)})
    EXPECT_FALSE(TimeStampRowText(junk, &text));
}

// ------------------------------------------------------- crafted signers

TEST(CmsSignerModel, GeneralRowsOfACraftedSigner) {
  for (uint32_t language : kLanguages) {
    Language l(language);
    CraftedSigner s;
    s.serial = {0x00, 0x80, 0x11};
    s.issuer = test::signerui::NameDer(
        {{"2.5.4.6", "PL"}, {"2.5.4.10", "Firma, S.A."}, {"2.5.4.3", "Urząd"}});
    const SignerInfoModel m = BuildSignerInfoModel(Craft(s));
    ASSERT_EQ(m.status, 0u);
    EXPECT_EQ(LabelIds(m.general), (std::vector<uint32_t>{204, 205, 206, 208, 210}));
    EXPECT_EQ(Labels(m.general),
              (std::vector<std::string>{L(204), L(205), L(206), L(208), L(210)}));
    EXPECT_EQ(m.general[0].shown, "V1");
    EXPECT_EQ(m.general[1].shown, "CN=Urząd, O=\"Firma, S.A.\", C=PL");
    EXPECT_EQ(m.general[2].shown, "00 80 11 ");
    EXPECT_EQ(m.general[3].shown, "SHA1");
    EXPECT_EQ(m.general[4].shown, "RSA-SHA1");
    EXPECT_EQ(m.general[4].value, HexDump(s.signature));
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(m.general[i].value, m.general[i].shown);
    EXPECT_TRUE(m.signed_attributes.empty());
    EXPECT_TRUE(m.unsigned_attributes.empty());
  }
}

TEST(CmsSignerModel, AlgorithmNamesAndKeyIdentifiers) {
  struct Case {
    std::string digest, signature;
    uint32_t digest_label;  // 0: "SHA1"
    std::string signature_text;  // empty: label 209
  };
  const Case cases[] = {
      {"1.3.14.3.2.26", "1.2.840.113549.1.1.4", 0, "RSA-MD5"},
      {"1.3.14.3.2.26", "1.2.840.113549.1.1.1", 0, "RSA"},
      {"2.16.840.1.101.3.4.2.1", "1.2.840.113549.1.1.11", 207, ""},
      {"1.2.840.113549.2.5", "1.2.840.10040.4.3", 207, ""},
  };
  for (uint32_t language : kLanguages) {
    Language l(language);
    for (const Case& c : cases) {
      CraftedSigner s;
      s.digest_oid = c.digest;
      s.signature_oid = c.signature;
      s.by_key_id = true;
      s.version = 3;
      const SignerInfoModel m = BuildSignerInfoModel(Craft(s));
      ASSERT_EQ(m.status, 0u);
      ASSERT_EQ(m.general.size(), 5u);
      EXPECT_EQ(m.general[0].shown, "V3");
      EXPECT_EQ(m.general[1].shown, "");  // a key identifier names no issuer ...
      EXPECT_EQ(m.general[2].shown, "");  // ... and no serial number
      EXPECT_EQ(m.general[3].shown, c.digest_label == 0 ? "SHA1" : L(c.digest_label));
      EXPECT_EQ(m.general[4].shown, c.signature_text.empty() ? L(209) : c.signature_text);
    }
  }
}

TEST(CmsSignerModel, SignedAttributeRowsInTheirOrder) {
  const ByteVec hints_a = test::signerui::Element([](der::Writer& w) {
    w.Begin(der::kSequence);
    w.AddUtf8String("Umowa zlecenia");
    w.AddOid("1.2.840.113549.1.7.1");
    w.End();
  });
  const ByteVec hints_no_text = test::signerui::Element([](der::Writer& w) {
    w.Begin(der::kSequence);
    w.AddOid("1.2.840.113549.1.7.1");
    w.End();
  });
  const ByteVec hints_b = test::signerui::Element([](der::Writer& w) {
    w.Begin(der::kSequence);
    w.AddUtf8String("Załącznik");
    w.AddOid("1.2.840.113549.1.7.1");
    w.End();
  });
  const ByteVec signing_certificate = test::signerui::Element([](der::Writer& w) {
    w.Begin(der::kSequence);
    w.Begin(der::kSequence);
    for (uint8_t fill : {0x01, 0xF0}) {
      w.Begin(der::kSequence);
      w.AddOctetString(ByteVec(4, fill));
      w.End();
    }
    w.End();
    w.End();
  });
  const auto commitment = [](const std::string& oid) {
    return test::signerui::Element([&](der::Writer& w) {
      w.Begin(der::kSequence);
      w.AddOid(oid);
      w.End();
    });
  };
  const ByteVec policy = test::signerui::Element([](der::Writer& w) {
    w.Begin(der::kSequence);
    w.AddOid("1.2.616.1.113527.2.4.1.1");
    w.End();
  });

  CraftedSigner s;
  s.signed_attributes = {
      Attr("1.2.840.113549.1.9.3", {OidValue("1.2.840.113549.1.7.1")}),
      Attr("1.2.840.113549.1.9.5", {Primitive(der::kUtcTime, "090409101520Z")}),
      Attr("1.2.840.113549.1.9.4", {OctetsValue(ByteVec{0xDE, 0xAD, 0xBE, 0xEF})}),
      Attr("1.2.840.113549.1.9.16.2.4", {hints_a, hints_no_text, hints_b}),
      Attr("1.2.840.113549.1.9.16.2.12", {signing_certificate}),
      Attr("1.2.840.113549.1.9.16.2.15", {policy}),
      Attr("1.2.840.113549.1.9.16.2.47", {signing_certificate}),  // no row
      Attr("1.2.840.113549.1.9.3", {OidValue("1.2.840.113549.1.9.16.1.4")}),
      Attr("1.2.840.113549.1.9.3", {OidValue("1.2.840.113549.1.9.16.2.14")}),
      Attr("1.2.840.113549.1.9.3", {OidValue("1.2.3.4")}),
  };
  for (int k = 1; k <= 7; ++k)
    s.signed_attributes.push_back(
        Attr("1.2.840.113549.1.9.16.2.16", {commitment("1.2.840.113549.1.9.16.6." + std::to_string(k))}));
  // Values that do not decode give no row.
  s.signed_attributes.push_back(Attr("1.2.840.113549.1.9.3", {OctetsValue(ByteVec{1})}));
  s.signed_attributes.push_back(Attr("1.2.840.113549.1.9.3", {}));
  s.signed_attributes.push_back(Attr("1.2.840.113549.1.9.4", {OidValue("1.2.3")}));
  s.signed_attributes.push_back(Attr("1.2.840.113549.1.9.5", {Primitive(der::kUtcTime, "0904")}));
  s.signed_attributes.push_back(Attr("1.2.840.113549.1.9.16.2.12", {OctetsValue(ByteVec{1})}));
  s.signed_attributes.push_back(Attr("1.2.840.113549.1.9.16.2.16", {OidValue("1.2.3")}));
  s.signed_attributes.push_back(Attr("1.2.840.113549.1.9.16.2.4", {OctetsValue(ByteVec{1})}));

  for (uint32_t language : kLanguages) {
    Language l(language);
    const SignerInfoModel m = BuildSignerInfoModel(Craft(s));
    ASSERT_EQ(m.status, 0u);
    EXPECT_EQ(LabelIds(m.signed_attributes),
              (std::vector<uint32_t>{304, 306, 307, 308, 311, 310, 304, 304, 304, 313, 313, 313,
                                     313, 313, 313, 313}));
    const std::vector<SignerRow>& r = m.signed_attributes;
    ASSERT_EQ(r.size(), 16u);
    EXPECT_EQ(r[0].label, L(304));
    EXPECT_EQ(r[0].shown, L(305));
    EXPECT_EQ(r[0].value, "1.2.840.113549.1.7.1");
    EXPECT_EQ(r[1].shown, "2009-04-09 10:15:20 GMT");
    EXPECT_EQ(r[1].value, r[1].shown);
    EXPECT_EQ(r[2].shown, "DE AD BE EF ");
    EXPECT_EQ(r[3].value, "Umowa zlecenia\r\nZałącznik\r\n");
    EXPECT_EQ(r[4].shown, "01 01 01 01 F0 F0 F0 F0 ");
    EXPECT_EQ(r[5].shown, "");
    EXPECT_EQ(r[6].shown, L(312));
    EXPECT_EQ(r[6].value, "1.2.840.113549.1.9.16.1.4");
    EXPECT_EQ(r[7].shown, L(312));
    EXPECT_EQ(r[8].shown, "1.2.3.4");
    for (uint32_t k = 0; k < 6; ++k) EXPECT_EQ(r[9 + k].shown, L(314 + k));
    EXPECT_EQ(r[15].shown, "1.2.840.113549.1.9.16.6.7");
    EXPECT_TRUE(m.unsigned_attributes.empty());
  }
}

TEST(CmsSignerModel, UnsignedAttributeRowsGrowPastTheOldLimit) {
  const ByteVec token = CraftedToken("20090409101520Z");
  CraftedSigner s;
  s.unsigned_attributes = {
      Attr("1.2.840.113549.1.9.6", {Craft({})}),
      Attr(kOidSignatureTimeStampToken, {token}),
      Attr("1.2.840.113549.1.9.16.2.21", {}),
      Attr("1.2.840.113549.1.9.16.2.22", {}),
      Attr("1.2.840.113549.1.9.16.2.23", {}),
      Attr("1.2.840.113549.1.9.16.2.24", {}),
      Attr("1.2.840.113549.1.9.16.2.25", {}),  // no row
      Attr("1.2.840.113549.1.9.6", {ByteVec{0x05, 0x00}}),  // does not decode: still a row
      Attr(kOidSignatureTimeStampToken, {}),                // nothing to read: no row
  };
  for (int i = 0; i < 250; ++i) s.unsigned_attributes.push_back(Attr(kOidSignatureTimeStampToken, {token}));
  for (uint32_t language : kLanguages) {
    Language l(language);
    const SignerInfoModel m = BuildSignerInfoModel(Craft(s));
    ASSERT_EQ(m.status, 0u);
    ASSERT_EQ(m.unsigned_attributes.size(), 7u + 250u);
    EXPECT_EQ(LabelIds({m.unsigned_attributes.begin(), m.unsigned_attributes.begin() + 7}),
              (std::vector<uint32_t>{404, 405, 406, 407, 408, 409, 404}));
    EXPECT_EQ(m.unsigned_attributes[0].label, L(404));
    EXPECT_EQ(m.unsigned_attributes[0].shown, "");
    EXPECT_EQ(m.unsigned_attributes[0].value, "");
    EXPECT_EQ(m.unsigned_attributes[1].label, L(405));
    EXPECT_EQ(m.unsigned_attributes[1].shown, "2009-04-09 10:15:20 (UTC)");
    EXPECT_EQ(m.unsigned_attributes[1].value, HexDump(token));
    for (size_t i = 2; i < 6; ++i) EXPECT_EQ(m.unsigned_attributes[i].shown, "");
    EXPECT_EQ(m.unsigned_attributes.back().label, L(405));
    EXPECT_EQ(m.unsigned_attributes.back().value, HexDump(token));
  }
  // The signed side grows the same way.
  CraftedSigner many;
  for (int i = 0; i < 120; ++i)
    many.signed_attributes.push_back(Attr("1.2.840.113549.1.9.4", {OctetsValue(ByteVec{1, 2})}));
  EXPECT_EQ(BuildSignerInfoModel(Craft(many)).signed_attributes.size(), 120u);
}

TEST(CmsSignerModel, WithoutAttributesThreePagesOfWhichTwoAreEmpty) {
  CraftedSigner s;
  s.with_signed = false;
  const SignerInfoModel m = BuildSignerInfoModel(Craft(s));
  ASSERT_EQ(m.status, 0u);
  EXPECT_EQ(m.general.size(), 5u);
  EXPECT_TRUE(m.signed_attributes.empty());
  EXPECT_TRUE(m.unsigned_attributes.empty());
}

TEST(CmsSignerModel, BytesThatAreNoSignerInfoAreNotShown) {
  const ByteVec good = Craft({});
  ByteVec trailing = good;
  trailing.push_back(0x00);
  ByteVec cut(good.begin(), good.end() - 1);
  CraftedSigner bad_name;
  bad_name.issuer = {0x30, 0x03, 0x31, 0x01, 0x00};  // an RDN that is no attribute
  for (const ByteVec& bytes : {ByteVec{}, ByteVec{0x30, 0x00}, trailing, cut,
                               ByteVec{0x31, 0x03, 0x02, 0x01, 0x01}, Craft(bad_name)}) {
    const SignerInfoModel m = BuildSignerInfoModel(bytes);
    EXPECT_EQ(m.status, 0x8009310Bu);
    EXPECT_TRUE(m.general.empty());
  }
}

// ------------------------------------------- our signatures and time stamps

class OwnSignatures : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pki_ = std::make_unique<test::TestPki>();
    tsa_ = std::make_unique<test::TestTsa>();
    test::ScriptedPin pin;
    pin.Install();
    sample_ = std::make_unique<test::signerui::SignedSample>(
        test::signerui::MakeSignedSample(*pki_, *tsa_));
  }
  static void TearDownTestSuite() {
    sample_.reset();
    tsa_.reset();
    pki_.reset();
  }
  static std::unique_ptr<CmsSignerNode> Tree(const ByteVec& message) {
    return CmsSignerNode::BuildTree(message.data(), static_cast<uint32_t>(message.size()),
                                    sample_->content.data(),
                                    static_cast<uint32_t>(sample_->content.size()));
  }

  static std::unique_ptr<test::TestPki> pki_;
  static std::unique_ptr<test::TestTsa> tsa_;
  static std::unique_ptr<test::signerui::SignedSample> sample_;
};
std::unique_ptr<test::TestPki> OwnSignatures::pki_;
std::unique_ptr<test::TestTsa> OwnSignatures::tsa_;
std::unique_ptr<test::signerui::SignedSample> OwnSignatures::sample_;

TEST_F(OwnSignatures, RowsOfOurSignatureWithItsTimeStampAndCounterSignature) {
  const std::unique_ptr<CmsSignerNode> root = Tree(sample_->stamped);
  ASSERT_NE(root, nullptr);
  ASSERT_EQ(root->Verify(), 0u);
  const ByteVec signature = test::SignatureValue(sample_->stamped, 0);
  const ByteVec cert_der(pki_->signer.cert->der().begin(), pki_->signer.cert->der().end());
  std::string stamp_time;
  for (const CmsSignerNode* n = root->first_child(); n != nullptr; n = n->next())
    if (n->kind() == CmsSignerNode::kTimeStampSigner) stamp_time = n->GetTimeText();
  ASSERT_TRUE(stamp_time.ends_with(" UTC")) << stamp_time;

  for (uint32_t language : kLanguages) {
    Language l(language);
    const SignerInfoModel m = BuildSignerInfoModel(root->signer_info());
    ASSERT_EQ(m.status, 0u);
    ASSERT_EQ(m.general.size(), 5u);
    EXPECT_EQ(m.general[0].shown, "V1");
    EXPECT_EQ(m.general[1].shown, "CN=Test CA, O=Vellorum Test, C=PL");
    EXPECT_EQ(m.general[2].shown, "00 80 11 22 33 ");  // the sign octet stays
    EXPECT_EQ(m.general[3].shown, "SHA1");
    EXPECT_EQ(m.general[4].shown, "RSA");
    EXPECT_EQ(m.general[4].value, HexDump(signature));

    EXPECT_EQ(LabelIds(m.signed_attributes), (std::vector<uint32_t>{304, 307, 311}));
    EXPECT_EQ(m.signed_attributes[0].shown, L(305));
    EXPECT_EQ(m.signed_attributes[1].shown, HexRow(test::Sha1(sample_->content)));
    EXPECT_EQ(m.signed_attributes[2].shown, HexRow(test::Sha1(cert_der)));

    EXPECT_EQ(LabelIds(m.unsigned_attributes), (std::vector<uint32_t>{405, 404}));
    // The tree's time text and the row's are the same time.
    EXPECT_EQ(m.unsigned_attributes[0].shown,
              stamp_time.substr(0, stamp_time.size() - 4) + " (UTC)");
    EXPECT_EQ(m.unsigned_attributes[0].value, HexDump(sample_->token));
    EXPECT_EQ(m.unsigned_attributes[1].shown, "");
  }

  // The genTime as OpenSSL reads it gives the same row.
  const std::string gen = test::OpenSslGenTime(sample_->token);
  ASSERT_GE(gen.size(), 15u);
  const std::string expected = gen.substr(0, 4) + "-" + gen.substr(4, 2) + "-" + gen.substr(6, 2) +
                               " " + gen.substr(8, 2) + ":" + gen.substr(10, 2) + ":" +
                               gen.substr(12, 2) + " (UTC)";
  std::string text;
  ASSERT_TRUE(TimeStampRowText(sample_->token, &text));
  EXPECT_EQ(text, expected);
}

TEST_F(OwnSignatures, RowsOfTheTimeStampAndCounterSigners) {
  const std::unique_ptr<CmsSignerNode> root = Tree(sample_->stamped);
  ASSERT_NE(root, nullptr);
  const CmsSignerNode* counter = nullptr;
  const CmsSignerNode* stamp = nullptr;
  for (const CmsSignerNode* n = root->first_child(); n != nullptr; n = n->next())
    (n->kind() == CmsSignerNode::kCounterSigner ? counter : stamp) = n;
  ASSERT_NE(counter, nullptr);
  ASSERT_NE(stamp, nullptr);

  const SignerInfoModel c = BuildSignerInfoModel(counter->signer_info());
  ASSERT_EQ(c.status, 0u);
  EXPECT_EQ(c.general[1].shown, "CN=Test CA, O=Vellorum Test, C=PL");
  EXPECT_EQ(c.general[2].shown, "00 80 11 22 33 ");
  // OpenSSL's counter-signature: messageDigest and signingTime (UTCTime).
  ASSERT_EQ(LabelIds(c.signed_attributes), (std::vector<uint32_t>{306, 307}));
  EXPECT_TRUE(c.signed_attributes[0].shown.ends_with(" GMT")) << c.signed_attributes[0].shown;
  EXPECT_EQ(c.signed_attributes[0].shown.size(), 23u);

  const SignerInfoModel t = BuildSignerInfoModel(stamp->signer_info());
  ASSERT_EQ(t.status, 0u);
  EXPECT_EQ(t.general[1].shown, "CN=Test TSA Root, O=Vellorum Test, C=PL");
  EXPECT_EQ(t.general[2].shown, "54 53 ");
  ASSERT_FALSE(t.signed_attributes.empty());
  EXPECT_EQ(t.signed_attributes[0].label_id, kLabelContentType);
  EXPECT_EQ(t.signed_attributes[0].shown, L(312));
}

TEST_F(OwnSignatures, ShowSignatureOpensTheTokensSignerForATimestampRowOnly) {
  const std::unique_ptr<CmsSignerNode> root = Tree(sample_->stamped);
  ASSERT_NE(root, nullptr);
  const SignerInfoModel m = BuildSignerInfoModel(root->signer_info());
  ASSERT_EQ(m.unsigned_attributes.size(), 2u);
  const std::unique_ptr<CmsSignerNode> tsa = TimeStampTreeForRow(m, 0);
  ASSERT_NE(tsa, nullptr);
  ASSERT_NE(tsa->GetCertificateContext(), nullptr);
  EXPECT_TRUE(std::ranges::equal(tsa->GetCertificateContext()->der(), tsa_->tsa.cert->der()));
  cms::SignedData token;
  ASSERT_EQ(cms::ParseSignedData(sample_->token, &token), 0u);
  EXPECT_TRUE(std::ranges::equal(tsa->signer_info(), token.signers[0].encoded));
  EXPECT_EQ(TimeStampTreeForRow(m, 1), nullptr);  // Countersignature
  EXPECT_EQ(TimeStampTreeForRow(m, 2), nullptr);
  SignerInfoModel general_only = m;
  general_only.unsigned_attributes.clear();
  EXPECT_EQ(TimeStampTreeForRow(general_only, 0), nullptr);

  // A stored whole response: the token inside it is opened.
  CraftedSigner s;
  s.unsigned_attributes = {
      Attr(kOidSignatureTimeStampToken, {test::signerui::ResponseWithText(sample_->token)})};
  const SignerInfoModel r = BuildSignerInfoModel(Craft(s));
  ASSERT_EQ(r.unsigned_attributes.size(), 1u);
  EXPECT_EQ(r.unsigned_attributes[0].shown, m.unsigned_attributes[0].shown);
  const std::unique_ptr<CmsSignerNode> from_response = TimeStampTreeForRow(r, 0);
  ASSERT_NE(from_response, nullptr);
  EXPECT_TRUE(std::ranges::equal(from_response->signer_info(), token.signers[0].encoded));

  // A value box text that no longer reads as a token opens nothing.
  SignerInfoModel spoiled = m;
  spoiled.unsigned_attributes[0].value = "30 0";
  EXPECT_EQ(TimeStampTreeForRow(spoiled, 0), nullptr);
  spoiled.unsigned_attributes[0].value = "30 03 02 01 00 ";
  EXPECT_EQ(TimeStampTreeForRow(spoiled, 0), nullptr);
}

}  // namespace
}  // namespace vel::crypto::ui
