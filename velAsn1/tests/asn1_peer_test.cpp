// The generated classes decode what openssl makes: a certificate, CMS signed
// data (definite and streamed), and an RFC 3161 time-stamp response.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cryptolib/der.h"
#include "cryptolib/der_utils.h"
#include "platform/testing/test_support.h"
#include "velAsn1/asn1.h"

namespace vel::asn1 {
namespace {

using test::ReadFileBytes;
using test::RunCommand;
using test::ShellQuote;
using test::TempDir;
using test::WriteFileText;
using Bytes = std::vector<uint8_t>;

std::string Q(const std::filesystem::path& p) { return ShellQuote(p.string()); }

Bytes Ints(const SNACC::AsnInt& i) {
  // Content octets of an INTEGER as decoded (sign octet kept).
  const unsigned char* p = i.c_str();
  return Bytes(p, p + i.length());
}

class Asn1Peer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { RegisterAnyTypes(); }

  void SetUp() override {
    VEL_REQUIRE_TOOL("openssl");
    auto r = RunCommand("openssl req -x509 -newkey rsa:2048 -nodes -days 30 -set_serial 0x00AB12 "
                        "-subj '/C=PL/O=Vellorum Test/CN=Jan Kowalski' "
                        "-addext 'extendedKeyUsage=critical,timeStamping' "
                        "-keyout " + Q(dir_ / "key.pem") + " -out " + Q(dir_ / "cert.pem") +
                        " && openssl x509 -in " + Q(dir_ / "cert.pem") + " -outform DER -out " + Q(dir_ / "cert.der"));
    ASSERT_EQ(r.exit_code, 0) << r.output;
    WriteFileText(dir_ / "content.txt", "signed content\n");
  }

  TempDir dir_;
};

TEST_F(Asn1Peer, DecodesACertificate) {
  Bytes der = ReadFileBytes(dir_ / "cert.der");
  SNACC::Certificate cert;
  ASSERT_TRUE(Decode(der, cert));
  const SNACC::TBSCertificate& tbs = cert.tbsCertificate;
  EXPECT_EQ(Ints(tbs.serialNumber), (Bytes{0x00, 0xAB, 0x12}));  // the sign octet is kept
  ASSERT_TRUE(tbs.subject.rdnSequence);
  ASSERT_EQ(tbs.subject.rdnSequence->size(), 3u);
  // The last RDN is the common name; its value stays as its DER bytes.
  const SNACC::AttributeTypeAndValue& cn = tbs.subject.rdnSequence->back().front();
  EXPECT_STREQ(static_cast<const char*>(cn.type), "2.5.4.3");
  Bytes value;
  ASSERT_TRUE(AnyBytes(cn.value, &value));
  der::Reader r(value);
  std::string raw;
  uint8_t tag = 0;
  ASSERT_TRUE(r.ReadString(&raw, &tag));
  EXPECT_EQ(tag, der::kUtf8String);
  EXPECT_EQ(raw, "Jan Kowalski");
  ASSERT_TRUE(tbs.extensions);
  bool found = false;
  for (const auto& ext : *tbs.extensions) {
    if (std::string(static_cast<const char*>(ext.extnID)) == "2.5.29.37") {
      found = true;
      EXPECT_TRUE(ext.critical && *ext.critical);
    }
  }
  EXPECT_TRUE(found);
  EXPECT_STREQ(static_cast<const char*>(cert.signatureAlgorithm.algorithm), "1.2.840.113549.1.1.11");
}

TEST_F(Asn1Peer, DecodesSignedData) {
  for (bool stream : {false, true}) {
    SCOPED_TRACE(stream);
    auto r = RunCommand(std::string("openssl cms -sign -binary -nodetach -outform DER -md sha1 ") +
                        (stream ? "-stream " : "") + "-in " + Q(dir_ / "content.txt") + " -signer " +
                        Q(dir_ / "cert.pem") + " -inkey " + Q(dir_ / "key.pem") + " -out " + Q(dir_ / "sig.der"));
    ASSERT_EQ(r.exit_code, 0) << r.output;
    Bytes msg = ReadFileBytes(dir_ / "sig.der");
    Bytes der;
    ASSERT_EQ(crypto::BerToDer(msg, &der), 0u);
    for (const Bytes* input : {&msg, &der}) {
      SNACC::ContentInfo ci;
      ASSERT_TRUE(Decode(*input, ci)) << "input of " << input->size() << " bytes";
      EXPECT_STREQ(static_cast<const char*>(ci.contentType), "1.2.840.113549.1.7.2");
      auto* sd = dynamic_cast<SNACC::SignedData*>(ci.content.value);
      ASSERT_NE(sd, nullptr) << "the registered type decodes the content";
      ASSERT_TRUE(sd->encapContentInfo.eContent);
      EXPECT_EQ(sd->encapContentInfo.eContent->data(), "signed content\n");
      ASSERT_TRUE(sd->certificates);
      EXPECT_EQ(sd->certificates->size(), 1u);
      ASSERT_EQ(sd->signerInfos.size(), 1u);
      const SNACC::SignerInfo& si = sd->signerInfos.front();
      ASSERT_TRUE(si.sid.issuerAndSerialNumber);
      EXPECT_EQ(Ints(si.sid.issuerAndSerialNumber->serialNumber), (Bytes{0x00, 0xAB, 0x12}));
      ASSERT_TRUE(si.signedAttrs);
      bool digest = false;
      for (const auto& a : *si.signedAttrs) {
        if (std::string(static_cast<const char*>(a.attrType)) != "1.2.840.113549.1.9.4") continue;
        Bytes v;
        ASSERT_TRUE(AnyBytes(a.attrValues.front(), &v));
        SNACC::MessageDigest md;
        ASSERT_TRUE(Decode(v, md));
        EXPECT_EQ(md.Len(), 20u);
        digest = true;
      }
      EXPECT_TRUE(digest);
    }
  }
}

TEST_F(Asn1Peer, DecodesATimeStampResponse) {
  const std::string conf =
      "[ tsa ]\ndefault_tsa = tsa_config\n[ tsa_config ]\n"
      "serial = " + (dir_ / "serial").string() + "\n"
      "signer_cert = " + (dir_ / "cert.pem").string() + "\n"
      "signer_key = " + (dir_ / "key.pem").string() + "\n"
      "signer_digest = sha256\ndefault_policy = 1.2.3.4.1\ndigests = sha1, sha256\n"
      "accuracy = secs:1, millisecs:500\nordering = no\ntsa_name = no\ness_cert_id_chain = no\n";
  WriteFileText(dir_ / "tsa.cnf", conf);
  WriteFileText(dir_ / "serial", "0A\n");
  auto r = RunCommand("openssl ts -query -data " + Q(dir_ / "content.txt") + " -sha1 -cert -out " +
                      Q(dir_ / "req.tsq") + " && openssl ts -reply -config " + Q(dir_ / "tsa.cnf") +
                      " -queryfile " + Q(dir_ / "req.tsq") + " -out " + Q(dir_ / "resp.tsr"));
  ASSERT_EQ(r.exit_code, 0) << r.output;

  SNACC::TimeStampReq req;
  ASSERT_TRUE(Decode(ReadFileBytes(dir_ / "req.tsq"), req));
  EXPECT_EQ(req.messageImprint.hashedMessage.Len(), 20u);
  EXPECT_TRUE(req.nonce);
  EXPECT_TRUE(req.certReq && *req.certReq);

  SNACC::TimeStampResp resp;
  ASSERT_TRUE(Decode(ReadFileBytes(dir_ / "resp.tsr"), resp));
  EXPECT_EQ(static_cast<AsnIntType>(resp.status.status), 0);
  ASSERT_TRUE(resp.timeStampToken);
  auto* sd = dynamic_cast<SNACC::SignedData*>(resp.timeStampToken->content.value);
  ASSERT_NE(sd, nullptr);
  EXPECT_STREQ(static_cast<const char*>(sd->encapContentInfo.eContentType), "1.2.840.113549.1.9.16.1.4");
  ASSERT_TRUE(sd->encapContentInfo.eContent);
  const std::string& tst_bytes = sd->encapContentInfo.eContent->data();
  SNACC::TSTInfo tst;
  ASSERT_TRUE(Decode(Bytes(tst_bytes.begin(), tst_bytes.end()), tst));
  EXPECT_STREQ(static_cast<const char*>(tst.policy), "1.2.3.4.1");
  EXPECT_EQ(Ints(tst.serialNumber), Bytes{0x0B});  // openssl steps the serial file before use
  ASSERT_TRUE(tst.nonce);
  EXPECT_EQ(Ints(*tst.nonce), Ints(*req.nonce));
  EXPECT_EQ(tst.genTime.size(), 15u);  // YYYYMMDDHHMMSSZ
  EXPECT_EQ(tst.genTime.back(), 'Z');
  ASSERT_TRUE(tst.accuracy);
  ASSERT_TRUE(tst.accuracy->millis);
  EXPECT_EQ(static_cast<AsnIntType>(*tst.accuracy->millis), 500);
  // The signing-certificate attribute (ESS) of the token names the TSA certificate.
  const SNACC::SignerInfo& si = sd->signerInfos.front();
  ASSERT_TRUE(si.signedAttrs);
  bool ess = false;
  for (const auto& a : *si.signedAttrs) {
    std::string type = static_cast<const char*>(a.attrType);
    Bytes v;
    if (type == "1.2.840.113549.1.9.16.2.12") {
      ASSERT_TRUE(AnyBytes(a.attrValues.front(), &v));
      SNACC::SigningCertificate sc;
      ASSERT_TRUE(Decode(v, sc));
      ASSERT_EQ(sc.certs.size(), 1u);
      EXPECT_EQ(sc.certs.front().certHash.Len(), 20u);
      ess = true;
    } else if (type == "1.2.840.113549.1.9.16.2.47") {
      ASSERT_TRUE(AnyBytes(a.attrValues.front(), &v));
      SNACC::SigningCertificateV2 sc;
      ASSERT_TRUE(Decode(v, sc));
      ASSERT_EQ(sc.certs.size(), 1u);
      EXPECT_EQ(sc.certs.front().certHash.Len(), 32u);
      ess = true;
    }
  }
  EXPECT_TRUE(ess);
}

}  // namespace
}  // namespace vel::asn1
