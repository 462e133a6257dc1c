// BerToDer and OID text against openssl: streamed CMS messages (indefinite
// lengths) become definite DER that openssl still verifies.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cryptolib/der.h"
#include "cryptolib/der_utils.h"
#include "platform/testing/test_support.h"

namespace vel::crypto {
namespace {

using test::ReadFileBytes;
using test::RunCommand;
using test::ShellQuote;
using test::TempDir;
using test::WriteFileBytes;
using test::WriteFileText;

std::string Q(const std::filesystem::path& p) { return ShellQuote(p.string()); }

class DerPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    VEL_REQUIRE_TOOL("openssl");
    auto r = RunCommand("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj '/CN=DER peer test/O=Vellorum' "
                        "-keyout " + Q(dir_ / "key.pem") + " -out " + Q(dir_ / "cert.pem"));
    ASSERT_EQ(r.exit_code, 0) << r.output;
    // Content larger than one stream chunk, so the content is split into several OCTET STRINGs.
    std::string content;
    for (int i = 0; i < 3000; ++i) content += "line " + std::to_string(i) + " of the signed text\n";
    WriteFileText(dir_ / "content.txt", content);
  }

  // Signs with -stream (indefinite lengths) through `openssl cms` (CMS) or
  // `openssl smime` (PKCS#7), converts, and checks the result with openssl.
  void SignConvertVerify(const std::string& tool) {
    const auto ber = dir_ / "signed.ber";
    const auto der = dir_ / "signed.der";
    auto r = RunCommand("openssl " + tool + " -sign -stream -binary -outform DER -nodetach -md sha1 -in " + Q(dir_ / "content.txt") + " -signer " + Q(dir_ / "cert.pem") + " -inkey " +
                        Q(dir_ / "key.pem") + " -out " + Q(ber));
    ASSERT_EQ(r.exit_code, 0) << r.output;
    auto parsed = RunCommand("openssl asn1parse -inform DER -in " + Q(ber));
    ASSERT_EQ(parsed.exit_code, 0) << parsed.output;
    ASSERT_NE(parsed.output.find("l=inf"), std::string::npos) << "the input should use indefinite lengths";

    std::vector<uint8_t> in = ReadFileBytes(ber);
    uint32_t size = 0;
    ASSERT_EQ(BerToDer(in.data(), static_cast<uint32_t>(in.size()), nullptr, &size), 234u);
    std::vector<uint8_t> out(size);
    ASSERT_EQ(BerToDer(in.data(), static_cast<uint32_t>(in.size()), out.data(), &size), 0u);
    out.resize(size);
    WriteFileBytes(der, out);

    parsed = RunCommand("openssl asn1parse -inform DER -in " + Q(der));
    ASSERT_EQ(parsed.exit_code, 0) << parsed.output;
    EXPECT_EQ(parsed.output.find("l=inf"), std::string::npos) << parsed.output;

    const auto got = dir_ / "content.out";
    r = RunCommand("openssl " + tool + " -verify -noverify -binary -inform DER -in " + Q(der) + " -out " + Q(got));
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_NE(r.output.find("Verification successful"), std::string::npos) << r.output;
    EXPECT_EQ(ReadFileBytes(got), ReadFileBytes(dir_ / "content.txt"));

    // A second pass changes nothing: the output is already definite and minimal.
    std::vector<uint8_t> again;
    ASSERT_EQ(BerToDer(out, &again), 0u);
    EXPECT_EQ(again, out);

    // A changed content byte must still be caught after the conversion.
    {
      std::vector<uint8_t> tampered = out;
      const std::string needle = "line 1500 of";
      auto it = std::search(tampered.begin(), tampered.end(), needle.begin(), needle.end());
      ASSERT_NE(it, tampered.end());
      *it = 'L';
      WriteFileBytes(dir_ / "tampered.der", tampered);
      r = RunCommand("openssl " + tool + " -verify -noverify -binary -inform DER -in " + Q(dir_ / "tampered.der") +
                     " -out /dev/null");
      EXPECT_NE(r.exit_code, 0) << r.output;
    }
  }

  TempDir dir_;
};

TEST_F(DerPeer, StreamedCmsSignatureBecomesDefinite) { SignConvertVerify("cms"); }

TEST_F(DerPeer, StreamedPkcs7SignatureBecomesDefinite) { SignConvertVerify("smime"); }

// A certificate is already DER: the conversion gives back the same bytes.
TEST_F(DerPeer, CertificateIsUnchanged) {
  auto r = RunCommand("openssl x509 -in " + Q(dir_ / "cert.pem") + " -outform DER -out " + Q(dir_ / "cert.der"));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  std::vector<uint8_t> cert = ReadFileBytes(dir_ / "cert.der");
  std::vector<uint8_t> out;
  ASSERT_EQ(BerToDer(cert, &out), 0u);
  EXPECT_EQ(out, cert);
}

// OIDs both ways against openssl: openssl encodes the text (asn1parse -genstr)
// and we must read the same text back and encode the same bytes; openssl
// prints OIDs it has no name for as dotted text, which must match ours.
TEST_F(DerPeer, OidsAgreeWithAsn1parse) {
  struct Case {
    const char* oid;
    bool named;  // openssl prints a name instead of the numbers
  } cases[] = {{"1.2.840.113549.1.1.5", true},         {"1.3.14.3.2.26", true},
               {"1.2.840.113549.1.9.16.2.47", true},   {"2.5.4.3", true},
               {"0.4.0.1862.1.1", false},              {"1.2.616.1.170091.20.10.10.10", false},
               {"2.999.123456789012", false},          {"1.3.6.1.4.1.311.20.2", true},
               {"2.1999.7", false},
               // Arcs beyond 64 bits: openssl takes them, we refuse them with 13.
               {"2.25.329800735698586629295641978511506172918", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.oid);
    std::vector<uint8_t> ours;
    const bool fits = der::OidTextToContent(c.oid, &ours);
    const auto file = dir_ / "oid.der";
    auto r = RunCommand("openssl asn1parse -genstr " + ShellQuote(std::string("OID:") + c.oid) + " -noout -out " +
                        Q(file));
    ASSERT_EQ(r.exit_code, 0) << r.output;
    std::vector<uint8_t> theirs = ReadFileBytes(file);
    ASSERT_GE(theirs.size(), 2u);
    std::vector<uint8_t> content(theirs.begin() + 2, theirs.end());
    uint32_t size = 0;
    LibraryErrorCode err = OidToText(content.data(), static_cast<uint32_t>(content.size()), nullptr, &size);
    if (!fits) {
      EXPECT_EQ(err, 13u);
      continue;
    }
    ASSERT_EQ(err, 234u);
    std::string text(size, '\0');
    ASSERT_EQ(OidToText(content.data(), static_cast<uint32_t>(content.size()), text.data(), &size), 0u);
    EXPECT_STREQ(text.c_str(), c.oid);
    EXPECT_EQ(ours, content);

    der::Writer w;
    ASSERT_TRUE(w.AddOid(c.oid));
    WriteFileBytes(file, *w.Finish());
    r = RunCommand("openssl asn1parse -inform DER -in " + Q(file));
    ASSERT_EQ(r.exit_code, 0) << r.output;
    ASSERT_NE(r.output.find("OBJECT"), std::string::npos) << r.output;
    if (!c.named) {
      EXPECT_NE(r.output.find(std::string(":") + c.oid + "\n"), std::string::npos) << r.output;
    }
  }
}

}  // namespace
}  // namespace vel::crypto
