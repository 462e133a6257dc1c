// The recogniser of signed files and the MIME readers on hand-made inputs:
// every position is checked, every shape lands in its state.
#include <gtest/gtest.h>

#include <string>

#include "app/message_catalog.h"
#include "app/mime_message.h"
#include "app/prompt.h"
#include "app/signature_verifier.h"
#include "app/signed_file.h"
#include "app/signed_mime_doc.h"
#include "platform/testing/test_support.h"

namespace vel::app {
namespace {

using Bytes = std::vector<uint8_t>;
Bytes B(std::string_view s) { return {s.begin(), s.end()}; }
Bytes Hex(std::string_view hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return out;
}

constexpr char kMultipart[] =
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/signed; protocol=\"application/x-pkcs7-signature\"; "
    "boundary=\"----B1\"\r\n\r\n"
    "This is an S/MIME signed message\r\n\r\n"
    "------B1\r\nContent-Type: text/plain\r\n\r\nhello\r\n"
    "------B1\r\nContent-Type: application/x-pkcs7-signature\r\n"
    "Content-Transfer-Encoding: base64\r\n\r\nMAMCAQE=\r\n"
    "------B1--\r\n\r\n";

TEST(SignedFile, DerHeaderMustBeFollowedByThePkcs7Oid) {
  const std::string oid = "06092a864886f70d0107";
  struct Case {
    const char* what;
    std::string hex;
    int type;
  };
  const Case cases[] = {
      {"two-byte length, OID at 4", "30820010" + oid + "02a0", 2},
      {"short form, OID at 2", "3010" + oid + "03a0", 3},
      {"indefinite, OID at 2", "3080" + oid + "0200", 2},
      {"OID elsewhere", "3082001000" + oid + "02", 0},
      {"OID ends the data: no type byte", "30820010" + oid, 0},
      {"another PKCS #7 type", "3010" + oid + "01a0", 0},
      {"one byte", "30", 0},
      {"no SEQUENCE", "3110" + oid + "02", 0},
      {"length bytes past the end", "308f" + oid + "02", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(DerCmsType(Hex(c.hex)), c.type) << c.what;
}

TEST(SignedFile, ByteSearchStopsBeforeAnOccurrenceThatEndsTheData) {
  EXPECT_EQ(FindBytes(B("abcabc"), "bc", 0), 1);
  EXPECT_EQ(FindBytes(B("abcabc"), "bc", 2), -1);  // the one at 4 ends the data
  EXPECT_EQ(FindBytes(B("ab"), "ab", 0), -1);
  EXPECT_EQ(FindBytes(B("a"), "abc", 0), -1);
  EXPECT_EQ(FindBytes(B("abcabc"), "c", 100), -1);
  EXPECT_EQ(FindBytes(Hex("00ff8001"), std::string_view("\xff\x80", 2), 0), 1);
}

TEST(SignedFile, ClassifiesEachShape) {
  struct Case {
    const char* what;
    const char* name;
    Bytes bytes;
    bool allow_enveloped;
    uint32_t state;
    int loaded;
  };
  const std::string enveloped =
      "MIME-Version: 1.0\r\nContent-Type: application/x-pkcs7-mime; smime-type=enveloped-data; "
      "name=\"smime.p7m\"\r\n\r\nMIIB\r\n";
  const Case cases[] = {
      {"text", "a.p7", B("hello world\r\n"), true, CSignedFile::kStateOther, 1},
      {"XML", "a.xml", B("<?xml version=\"1.0\"?><a/>"), true, CSignedFile::kStateOther, 1},
      {"base64 of no CMS", "a.sig", B("TWFu"), true, CSignedFile::kStateOther, 1},
      {"base64 that does not decode", "a.sig", B("T==="), true, CSignedFile::kStateNone, 0},
      {"base64 under another name", "a.txt", B("TWFu"), true, CSignedFile::kStateOther, 1},
      {"enveloped S/MIME", "a.p7", B(enveloped), true, CSignedFile::kStateSmimeEnveloped, 1},
      {"enveloped S/MIME not allowed", "a.p7", B(enveloped), false, CSignedFile::kStateOther, 1},
      {"multipart whose signature is no CMS", "a.p7", B(kMultipart), true,
       CSignedFile::kStateOther, 1},
      {"multipart cut inside its first part", "a.p7",
       B(std::string(kMultipart).substr(0, 170)), true, CSignedFile::kStateOther, 1},
      {"one base64 character", "a.p7", B("M"), true, CSignedFile::kStateNone, 0},
      {"one byte", "a.p7", B("\x01"), true, CSignedFile::kStateOther, 1},
      {"DER EnvelopedData", "a.bin", Hex("3010" "06092a864886f70d010703" "a000"), false,
       CSignedFile::kStateCmsEnveloped, 1},
  };
  for (const Case& c : cases) {
    CSignedFile file;
    EXPECT_EQ(file.LoadBytes(c.name, c.bytes, c.allow_enveloped), c.loaded) << c.what;
    EXPECT_EQ(file.GetState(), c.state) << c.what;
  }
}

TEST(SignedFile, EmptyOrMissingFilesFailToLoad) {
  test::TempDir dir;
  const auto empty = dir / "empty.p7";
  test::WriteFileBytes(empty, {});
  CSignedFile file;
  EXPECT_EQ(file.Load(empty.string(), true), 0);
  EXPECT_EQ(file.GetLastError(), 0xFFFFFFFFu);
  EXPECT_EQ(file.Load((dir / "none.p7").string(), true), 0);
  EXPECT_EQ(file.GetLastError(), 2u);
  EXPECT_EQ(file.Load(std::string(300, 'a'), true), 0);
  EXPECT_EQ(file.GetLastError(), 0xFFFFFFFFu);
}

TEST(MimeMessage, SplitsHeadersAndWalksPartsWithinBounds) {
  CMimeMultipartSigned m;
  ASSERT_EQ(m.LoadMemory(B(kMultipart)), 0);
  EXPECT_TRUE(m.multipart());
  EXPECT_EQ(m.boundary(), "----B1");
  ASSERT_EQ(m.GetFirstPart(), 1);
  EXPECT_EQ(std::string(m.part().raw().begin(), m.part().raw().end()),
            "Content-Type: text/plain\r\n\r\nhello");
  EXPECT_EQ(std::string(m.part().body().begin(), m.part().body().end()), "hello");
  ASSERT_EQ(m.GetNextPart(), 1);
  Bytes signature;
  ASSERT_EQ(m.part().DecodedBody(signature), 0u);
  EXPECT_EQ(signature, Hex("3003020101"));
  EXPECT_EQ(m.GetNextPart(), 0) << "the closing boundary starts no part";

  // No blank line: one body, unless the message is multipart/signed.
  CMimeMessage plain;
  ASSERT_EQ(plain.LoadMemory(B("just text")), 0);
  EXPECT_FALSE(plain.header().has_value());
  EXPECT_EQ(plain.body().size(), 9u);
  CMimeMultipartSigned no_blank;
  EXPECT_NE(no_blank.LoadMemory(B("Content-Type: multipart/signed; boundary=\"x\"\r\n")), 0);
  CMimeMultipartSigned no_boundary;
  EXPECT_NE(no_boundary.LoadMemory(B("Content-Type: multipart/signed\r\n\r\nbody")), 0);
  // A boundary right at the end of the body starts no part past it.
  CMimeMultipartSigned cut;
  ASSERT_EQ(cut.LoadMemory(B("Content-Type: multipart/signed; boundary=\"b\"\r\n\r\n--b")), 0);
  EXPECT_EQ(cut.GetFirstPart(), 0);
}

TEST(SignedMimeDoc, PackagesKeepTheSignedPartWithItsHeaders) {
  test::TempDir dir;
  const auto package = dir / "umowa.vestPro";
  test::WriteFileText(package, kMultipart);
  CMessageTable catalog(1045);
  ScriptedPrompt prompt;
  CSignedMimeDoc doc(package.string(), catalog, prompt);
  ASSERT_TRUE(doc.path().has_value());
  EXPECT_EQ(doc.kind(), CSignedMimeDoc::kMultipartSigned);
  EXPECT_EQ(std::string(doc.signed_content().begin(), doc.signed_content().end()),
            "Content-Type: text/plain\r\n\r\nhello");
  EXPECT_EQ(std::string(doc.document().begin(), doc.document().end()), "hello");
  // The base64 signature part is decoded before it becomes DER.
  EXPECT_EQ(Bytes(doc.signature().begin(), doc.signature().end()), Hex("3003020101"));

  const auto broken = dir / "broken.pem";
  test::WriteFileText(broken, "Content-Type: multipart/signed\r\n\r\nno boundary");
  CSignedMimeDoc failed(broken.string(), catalog, prompt);
  EXPECT_FALSE(failed.path().has_value());
  EXPECT_TRUE(failed.signature().empty());
}

TEST(SignedSource, UnreadableSignaturesAreNeverCorrect) {
  CMessageTable catalog(1033);
  CSignatureVerifier verifier(catalog, false, {});
  // An XML source without a document: no kind, never correct.
  SignedSource xml(nullptr, 0, nullptr, 0, true);
  EXPECT_EQ(xml.kind(), SignedSource::kNone);
  uint32_t count = 0;
  EXPECT_EQ(xml.GetSignerCount(&count), 0xFFFFFFFFu);
  EXPECT_EQ(xml.CreateSignerRef(), nullptr);
  SourceVerdict v = VerifySource(verifier, xml);
  EXPECT_EQ(v.worst, kClassInvalid);
  EXPECT_FALSE(v.message.empty());
  // A DER header that promises a SignedData and holds none.
  const Bytes bad = Hex("3082001006092a864886f70d010702a003020100");
  SignedSource cms(bad.data(), static_cast<uint32_t>(bad.size()), nullptr, 0, false);
  EXPECT_EQ(cms.CreateSignerRef(), nullptr);
  EXPECT_NE(cms.tree_status(), 0u);
  v = VerifySource(verifier, cms);
  EXPECT_EQ(v.worst, kClassInvalid);
  EXPECT_FALSE(v.message.empty());
  EXPECT_TRUE(v.items.empty());
}

TEST(SignatureVerifier, XadesFormSuffixes) {
  const CMessageTable polish(1045), english(1033);
  struct Case {
    int forms;
    const char* label;
    const char* text;
  };
  const Case cases[] = {
      {-1, "", ""},
      {100, "", ""},  // no forms known
      {0, " - XAdES", " (XAdES)"},
      {1, " - XAdES-C", " (XAdES-C)"},
      {2, " - XAdES-X", " (XAdES-X)"},
      {3, " - XAdES-X", " (XAdES-X)"},
      {4, " - XAdES-X-L", " (XAdES-X-L)"},
      {7, " - XAdES-X-L", " (XAdES-X-L)"},
      {8, " - XAdES-A\tWażny do: 2030-01-01 00:00:00 (UTC)", " (XAdES-A)         Ważny do: 2030-01-01 00:00:00 (UTC)"},
      {15, " - XAdES-A\tWażny do: 2030-01-01 00:00:00 (UTC)", " (XAdES-A)         Ważny do: 2030-01-01 00:00:00 (UTC)"},
  };
  for (const Case& c : cases) {
    const FormSuffix s = XadesFormSuffix(polish, c.forms, "2030-01-01 00:00:00 (UTC)");
    EXPECT_EQ(s.label, c.label) << c.forms;
    EXPECT_EQ(s.text, c.text) << c.forms;
  }
  EXPECT_EQ(XadesFormSuffix(english, 9, "").text, " (XAdES-A)         Valid till: ");
}

TEST(SignatureVerifier, CrlAddressesAreTrimmedLines) {
  const auto entries = ParseCrlUrls("http://a.example/x.crl\r\n\r\n  ldap://b.example/c  \r\n");
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].url, "http://a.example/x.crl");
  EXPECT_EQ(entries[1].url, "ldap://b.example/c");
  EXPECT_EQ(entries[1].name, entries[1].url);
  EXPECT_EQ(ClassOfStatus(0), kClassCorrect);
  EXPECT_EQ(ClassOfStatus(0x80092012), kClassIncomplete);
  EXPECT_EQ(ClassOfStatus(0x800B010A), kClassIncomplete);
  EXPECT_EQ(ClassOfStatus(0x80091007), kClassInvalid);
  EXPECT_EQ(ClassOfStatus(0xFFFFFFFF), kClassInvalid);
}

}  // namespace
}  // namespace vel::app
