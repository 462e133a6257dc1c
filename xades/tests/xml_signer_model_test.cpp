// The rows of the XML signer window without widgets: a signature made by the
// engine with two time stamps and a counter-signature, in both languages;
// what Show Signature opens for each unsigned row; crafted copies (foreign
// counter-signatures, every time-stamp form, hostile bytes); and the text
// helpers as one table.
#include "xades/ui/xml_signer_model.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "cryptolib/status.h"
#include "cryptolib/tests/cert_ui_fixture.h"
#include "cryptolib/tests/signer_ui_fixture.h"
#include "xades/base64.h"
#include "xades/tests/xml_signer_fixture.h"
#include "xades/ui/xml_signer_labels.h"

namespace vel::xades::ui {
namespace {

using crypto::kLanguageEnglish;
using crypto::kLanguagePolish;
using vel::test::certui::Language;

std::vector<std::string> Labels(const std::vector<XmlSignerRow>& rows) {
  std::vector<std::string> out;
  for (const XmlSignerRow& r : rows) out.push_back(r.label);
  return out;
}

// OpenSSL's reading of the token's time, as the window writes it.
std::string ExpectedTime(const test::Bytes& token) {
  const std::string t = vel::test::OpenSslGenTime(token);  // YYYYMMDDhhmmss[.f]Z
  if (t.size() < 15) return "?";
  return t.substr(0, 4) + "-" + t.substr(4, 2) + "-" + t.substr(6, 2) + " " + t.substr(8, 2) + ":" +
         t.substr(10, 2) + ":" + t.substr(12, 2) + " (UTC)";
}

class XmlSignerModel : public test::XmlSignerSuite {
 protected:
  static XmlSignerInfoModel Sample() {
    const auto& der = pki_->signer.cert->der();
    return BuildXmlSignerInfoModel(sample_->signature, std::vector<uint8_t>(der.begin(), der.end()));
  }
};

TEST_F(XmlSignerModel, RowsOfASignedDocumentInBothLanguages) {
  XmlDocPtr doc = xadesParseMemory(sample_->document);
  ASSERT_TRUE(doc);
  const std::string props = "//*[@Id='Signature-1']/xmldsig:Object/xades:QualifyingProperties/";
  const std::string issuer =
      test::Texts(doc.get(), props + "xades:SignedProperties/*/xades:SigningCertificate//xmldsig:X509IssuerName")
          .at(0);
  const std::string signature_value =
      test::Texts(doc.get(), "//*[@Id='Signature-1']/xmldsig:SignatureValue").at(0);

  struct Case {
    uint32_t language;
    std::vector<std::string> signed_labels, unsigned_labels;
    std::string algorithm, c14n;
  } cases[] = {
      {kLanguagePolish,
       {"Skrót certyfikat", "Wydawca certyfikatu", "Numer seryjny certyfikatu"},
       {"Kontrasygnata", "Znacznik czasu", "Znacznik czasu"},
       "Algorytm podpisu",
       "Metoda kanonikalizacji"},
      // Property names follow the language as the window's own texts do.
      {kLanguageEnglish,
       {"Certificate Hash", "Certificate Subject", "Serial Number"},
       {"Countersignature", "Timestamp", "Timestamp"},
       "Signature Algorithm",
       "Canonicalization Method"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.language);
    Language l(c.language);
    const XmlSignerInfoModel m = Sample();
    ASSERT_EQ(m.status, 0u);
    EXPECT_EQ(m.signature_xml, sample_->signature);
    ASSERT_GE(m.general.size(), 2u);
    EXPECT_EQ(m.general[0].label, c.algorithm);
    EXPECT_EQ(m.general[0].shown, "RSA-SHA1");
    EXPECT_EQ(m.general[0].value, signature_value);
    EXPECT_EQ(m.general[1].label, c.c14n);
    EXPECT_EQ(m.general[1].value, kC14nInclusive);

    EXPECT_EQ(Labels(m.signed_attributes), c.signed_labels);
    ASSERT_EQ(m.signed_attributes.size(), 3u);
    EXPECT_EQ(m.signed_attributes[0].shown, "SHA1");
    // The issuer as the engine wrote it (its common name and the attribute
    // lines are in the crafted case below).
    EXPECT_EQ(m.signed_attributes[1].shown, CommonNameOf(issuer).value_or(""));
    EXPECT_EQ(m.signed_attributes[1].value, JoinRowText(issuer));
    // 0x80112233 does not fit a 32-bit signed number.
    EXPECT_EQ(m.signed_attributes[2].shown, "80112233");
    EXPECT_EQ(m.signed_attributes[2].value, "2148606515");

    EXPECT_EQ(Labels(m.unsigned_attributes), c.unsigned_labels);
    ASSERT_EQ(m.unsigned_attributes.size(), 3u);
    for (size_t k = 0; k < 2; ++k) {
      const XmlSignerRow& row = m.unsigned_attributes[1 + k];
      EXPECT_EQ(row.kind, XmlRowKind::kSignatureTimeStamp);
      EXPECT_EQ(row.shown, ExpectedTime(sample_->tokens[k]));
      EXPECT_EQ(row.value, base64Encode(sample_->tokens[k]));
    }
  }
}

TEST_F(XmlSignerModel, ShowSignatureTargetsCountRowsByKind) {
  const XmlSignerInfoModel m = Sample();
  ASSERT_EQ(m.unsigned_attributes.size(), 3u);
  // The counter-signature: a copy of its own that names it, with its signer.
  const XmlSignatureTarget counter = SignatureTargetForRow(m, 0);
  ASSERT_EQ(counter.kind, XmlSignatureTarget::kCounterSignature);
  XmlDocPtr copy = xadesParseMemory(counter.signature_xml);
  ASSERT_TRUE(copy);
  EXPECT_EQ(getNodeProp(xmlDocGetRootElement(copy.get()), "Id"), sample_->counter_id);
  EXPECT_TRUE(std::ranges::equal(counter.certificate, pki_->signer.cert->der()));
  // The second time-stamp row opens the second token.
  for (size_t k = 0; k < 2; ++k) {
    const XmlSignatureTarget stamp = SignatureTargetForRow(m, 1 + k);
    EXPECT_EQ(stamp.kind, XmlSignatureTarget::kTimeStamp);
    EXPECT_EQ(stamp.token, sample_->tokens[k]);
  }
  EXPECT_EQ(SignatureTargetForRow(m, 3).kind, XmlSignatureTarget::kNone);
  EXPECT_EQ(OpenSignatureForRow(m, 3), 87u);
  // Without installed windows nothing opens (the crypto library's answer).
  SetXmlSignerWindowHandler(nullptr);
  EXPECT_EQ(OpenSignatureForRow(m, 0), 120u);
  EXPECT_EQ(OpenSignatureForRow(m, 1), 120u);
}

constexpr char kOpen[] =
    "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" "
    "xmlns:xades=\"http://uri.etsi.org/01903/v1.3.2#\" Id=\"S\">"
    "<ds:SignedInfo><ds:CanonicalizationMethod Algorithm=\"urn:x\"/><ds:SignatureMethod Algorithm=\"urn:y\"/>"
    "<ds:Reference URI=\"#o\"><ds:Transforms><ds:Transform Algorithm=\"http://www.w3.org/2000/09/xmldsig#base64\"/>"
    "</ds:Transforms><ds:DigestMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#sha1\"/>"
    "<ds:DigestValue>QUFB</ds:DigestValue></ds:Reference>"
    "<ds:Reference Type=\"http://uri.etsi.org/01903#SignedProperties\" URI=\"#SP\"/></ds:SignedInfo>"
    "<ds:SignatureValue>U1ZT</ds:SignatureValue>";

std::string Crafted(const std::string& signed_props, const std::string& unsigned_props) {
  return std::string(kOpen) +
         "<ds:Object><xades:QualifyingProperties Target=\"#S\"><xades:SignedProperties Id=\"SP\">"
         "<xades:SignedSignatureProperties>" +
         signed_props +
         "</xades:SignedSignatureProperties></xades:SignedProperties><xades:UnsignedProperties>"
         "<xades:UnsignedSignatureProperties>" +
         unsigned_props +
         "</xades:UnsignedSignatureProperties></xades:UnsignedProperties></xades:QualifyingProperties>"
         "</ds:Object></ds:Signature>";
}

std::string Counter(const std::string& id) {
  return "<xades:CounterSignature><ds:Signature Id=\"" + id +
         "\"><ds:KeyInfo><ds:X509Data><ds:X509Certificate>AQID</ds:X509Certificate></ds:X509Data>"
         "</ds:KeyInfo><ds:Object><xades:QualifyingProperties/></ds:Object></ds:Signature>"
         "</xades:CounterSignature>";
}

std::string Stamp(const std::string& element, const std::string& token) {
  return "<xades:" + element + "><xades:EncapsulatedTimeStamp>" + token +
         "</xades:EncapsulatedTimeStamp></xades:" + element + ">";
}

TEST_F(XmlSignerModel, CraftedCopiesEveryTimeStampFormAndForeignCounterSignatures) {
  const std::string t0 = base64Encode(sample_->tokens[0]), t1 = base64Encode(sample_->tokens[1]);
  const std::string xml = Crafted(
      "<xades:SigningTime>2026-03-04T05:06:07Z</xades:SigningTime>"
      "<xades:SigningCertificate><xades:Cert><xades:IssuerSerial><ds:X509IssuerName>CN=Doe, John, O=Firm"
      "</ds:X509IssuerName><ds:X509SerialNumber>\n  1461501637330902918203684832716283019655932542975\n"
      "</ds:X509SerialNumber></xades:IssuerSerial></xades:Cert></xades:SigningCertificate>",
      // A foreign counter-signature before ours: the row after it still
      // opens the first of ours.
      "<xades:CounterSignature><f:Signature xmlns:f=\"urn:f\"/></xades:CounterSignature>" + Counter("C1") +
          Counter("C2") + Stamp("SignatureTimeStamp", "bm90IGEgdG9rZW4=") +
          Stamp("SigAndRefsTimeStamp", t0) + Stamp("ArchiveTimeStamp", t1));
  for (uint32_t language : {kLanguagePolish, kLanguageEnglish}) {
    Language l(language);
    const XmlSignerInfoModel m = BuildXmlSignerInfoModel(xml, {});
    ASSERT_EQ(m.status, 0u);
    const bool en = language == kLanguageEnglish;
    EXPECT_EQ(m.general[2].label, en ? "Transformation (#o)" : "Transformacja (#o)");
    EXPECT_EQ(m.general[2].shown, "Base64");
    EXPECT_EQ(m.general[3].label, en ? "Hash (#o)" : "Skrót (#o)");
    EXPECT_EQ(m.general[1].shown, en ? "Unknown Algorithm" : "Algorytm nieznany");
    ASSERT_EQ(m.signed_attributes.size(), 3u);
    // The English label of the signing time is Polish too.
    EXPECT_EQ(m.signed_attributes[0].label, "Czas podpisu");
    EXPECT_EQ(m.signed_attributes[0].shown, "2026-03-04 05:06:07 ");
    EXPECT_EQ(m.signed_attributes[1].shown, "Doe, John");
    EXPECT_EQ(m.signed_attributes[1].value, "CN=Doe\r\nJohn, O=Firm");
    // A 160-bit serial, whole.
    EXPECT_EQ(m.signed_attributes[2].shown, "ffffffffffffffffffffffffffffffffffffffff");

    const std::string stamp = en ? "Timestamp" : "Znacznik czasu";
    const std::string counter = en ? "Countersignature" : "Kontrasygnata";
    EXPECT_EQ(Labels(m.unsigned_attributes),
              (std::vector<std::string>{counter, counter, counter, stamp, stamp + " XAdES-X",
                                        stamp + " XAdES-A"}));
    EXPECT_EQ(m.unsigned_attributes[3].shown, "ERROR");
    EXPECT_EQ(m.unsigned_attributes[4].shown, ExpectedTime(sample_->tokens[0]));
    EXPECT_EQ(m.unsigned_attributes[5].shown, ExpectedTime(sample_->tokens[1]));

    EXPECT_EQ(SignatureTargetForRow(m, 0).kind, XmlSignatureTarget::kNone);
    for (size_t row : {1u, 2u}) {
      const XmlSignatureTarget target = SignatureTargetForRow(m, row);
      ASSERT_EQ(target.kind, XmlSignatureTarget::kCounterSignature);
      XmlDocPtr copy = xadesParseMemory(target.signature_xml);
      ASSERT_TRUE(copy);
      EXPECT_EQ(getNodeProp(xmlDocGetRootElement(copy.get()), "Id"), row == 1 ? "C1" : "C2");
      EXPECT_EQ(target.certificate, (std::vector<uint8_t>{1, 2, 3}));
    }
    EXPECT_EQ(SignatureTargetForRow(m, 3).kind, XmlSignatureTarget::kTimeStamp);
    EXPECT_EQ(SignatureTargetForRow(m, 4).token, sample_->tokens[0]);
    EXPECT_EQ(SignatureTargetForRow(m, 5).token, sample_->tokens[1]);
  }
}

TEST(XmlSignerModelInput, WhatIsNotASignatureOpensNothingAndMissingTablesLeaveEmptyPages) {
  for (const char* xml : {"", "<a/>", "<ds:Signature", "<Signature/>",
                          "<ds:Signature xmlns:ds=\"urn:not-dsig\"/>"}) {
    EXPECT_EQ(BuildXmlSignerInfoModel(xml, {}).status, 13u) << xml;
  }
  // A signature without a SignatureValue has no general table: all pages
  // stay empty, the window still opens.
  const XmlSignerInfoModel m =
      BuildXmlSignerInfoModel("<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"/>", {});
  EXPECT_EQ(m.status, 0u);
  EXPECT_TRUE(m.general.empty() && m.signed_attributes.empty() && m.unsigned_attributes.empty());
}

TEST(XmlSignerModelText, Helpers) {
  struct Case {
    std::string input;
    std::string join;
    std::optional<std::string> common_name;
  } names[] = {
      {"CN=A, O=B, L=C", "CN=A\r\nO=B\r\nL=C", "A"},
      {"CN=Doe, John, O=Firm", "CN=Doe\r\nJohn, O=Firm", "Doe, John"},
      {"O=Firm, CN=Last", "O=Firm\r\nCN=Last", "Last"},
      {"O=Firm", "O=Firm", std::nullopt},
      {"CN=", "CN=", ""},
      {"", "", std::nullopt},
      {"a, b", "a, b", std::nullopt},
  };
  for (const Case& c : names) {
    EXPECT_EQ(JoinRowText(c.input), c.join) << c.input;
    EXPECT_EQ(CommonNameOf(c.input), c.common_name) << c.input;
  }
  struct Serial {
    std::string decimal;
    std::optional<std::string> hex;
  } serials[] = {
      {"255", "ff"},
      {"0", "0"},
      {"000", "0"},
      {" 16\n", "10"},
      {"4294967296", "100000000"},
      {"1461501637330902918203684832716283019655932542975", std::string(40, 'f')},
      {std::string(kMaxSerialDigits, '9'), std::nullopt},  // checked below
      {std::string(kMaxSerialDigits + 1, '1'), std::nullopt},
      {"-1", std::nullopt},
      {"12abc", std::nullopt},
      {"", std::nullopt},
  };
  for (const Serial& s : serials) {
    if (s.decimal.size() == kMaxSerialDigits) {
      EXPECT_TRUE(SerialHexText(s.decimal).has_value());
      continue;
    }
    EXPECT_EQ(SerialHexText(s.decimal), s.hex) << s.decimal;
  }
  // Tokens: one of a whole day, impossible or unreadable ones.
  EXPECT_EQ(TimeStampTimeText(base64Encode(vel::test::signerui::CraftedToken("20240229235959Z"))),
            "2024-02-29 23:59:59 (UTC)");
  for (const std::string& bad : {base64Encode(vel::test::signerui::CraftedToken("20230229235959Z")),
                                 std::string("bm90IGEgdG9rZW4="), std::string("!!"), std::string()}) {
    EXPECT_EQ(TimeStampTimeText(bad), "ERROR") << bad;
  }
}

TEST(XmlSignerLabels, CurrentLanguageAndMissingIds) {
  struct Case {
    uint32_t language, id;
    std::string text;
  } cases[] = {
      {kLanguageEnglish, 2, "Signature"},         {kLanguagePolish, 2, "Szczegóły podpisu"},
      {kLanguageEnglish, 1100, "Czas podpisu"},   {kLanguageEnglish, 1102, "Certificate Subject"},
      {kLanguagePolish, 1008, "Kanoniczny XML z komrntarzami"},
      {kLanguageEnglish, 1006, kXmlNoLabelEn},    {kLanguagePolish, 1006, kXmlNoLabelPl},
      {kLanguageEnglish, 9, kXmlNoLabelEn},       {1031, 2, "Unknown language set."},
  };
  for (const Case& c : cases) {
    Language l(c.language);
    EXPECT_EQ(GetXmlWndLabel(c.id), c.text) << c.language << " " << c.id;
  }
  Language en(kLanguageEnglish);
  EXPECT_EQ(GetXmlWndLabelEx(1001, std::string("#a")), "Hash (#a)");
  EXPECT_EQ(GetXmlWndLabelEx(1010, std::string()), "Transformation ()");
  EXPECT_EQ(GetXmlWndLabelEx(1001, std::nullopt), "Hash");
  EXPECT_EQ(GetXmlWndLabelEx(1000, std::string("#a")), "Signature Algorithm");
}

}  // namespace
}  // namespace vel::xades::ui
