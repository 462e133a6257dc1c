// Our CMS messages against openssl cms, both ways.
#include <gtest/gtest.h>

#include <string>

#include "cryptolib/cms_message.h"
#include "cryptolib/cms_signed_data.h"
#include "cryptolib/der.h"
#include "cryptolib/x509_context.h"
#include "platform/tests/test_pki.h"

namespace vel::crypto {
namespace {

using Bytes = std::vector<uint8_t>;
using test::RunCommand;
using test::ShellQuote;

template <typename F>
LibraryErrorCode TwoCalls(F&& f, Bytes* out) {
  uint32_t size = 0;
  LibraryErrorCode err = f(nullptr, &size);
  if (err != 234) return err;
  out->assign(size, 0);
  err = f(out->data(), &size);
  if (err == 0) out->resize(size);
  return err;
}

std::string Q(const std::filesystem::path& p) { return ShellQuote(p.string()); }

class CmsPeerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pki_ = std::make_unique<test::TestPki>();
    // A page stream: a length, then page records, with every byte value in it.
    Bytes pages = {0, 0, 0, 0};
    for (int i = 0; i < 5000; ++i) pages.push_back(static_cast<uint8_t>(i * 7 + (i >> 8)));
    content_ = pages;
    content_file_ = pki_->dir / "pages.bin";
    test::WriteFileBytes(content_file_, content_);
  }
  static void TearDownTestSuite() { pki_.reset(); }
  void SetUp() override {
    VEL_REQUIRE_TOOL("openssl");
    pin_.Install();
  }

  static Bytes Sign(const test::TestIdentity& id, bool detached) {
    Bytes out;
    EXPECT_EQ(TwoCalls(
                  [&](uint8_t* o, uint32_t* s) {
                    const uint32_t n = static_cast<uint32_t>(content_.size());
                    return detached ? SignMessageDetached(content_.data(), n, id.cert.get(), o, s)
                                    : SignMessageAttached(content_.data(), n, id.cert.get(), o, s);
                  },
                  &out),
              0u);
    return out;
  }
  static Bytes CoSignDet(const Bytes& sig, const test::TestIdentity& id) {
    Bytes out;
    EXPECT_EQ(TwoCalls(
                  [&](uint8_t* o, uint32_t* s) {
                    return CoSignDetached(content_.data(), static_cast<uint32_t>(content_.size()),
                                          sig.data(), static_cast<uint32_t>(sig.size()),
                                          id.cert.get(), o, s);
                  },
                  &out),
              0u);
    return out;
  }
  static Bytes AddToken(const Bytes& m, uint32_t index, size_t token_size, uint8_t fill) {
    // A token stand-in: SEQUENCE { OCTET STRING } of about the given size.
    der::Writer w;
    w.Begin(der::kSequence);
    w.AddOctetString(Bytes(token_size, fill));
    w.End();
    const Bytes token = *w.Finish();
    Bytes attr, out;
    EXPECT_EQ(MakeSignatureTimeStampAttribute(token, &attr), 0u);
    EXPECT_EQ(TwoCalls(
                  [&](uint8_t* o, uint32_t* s) {
                    return AddSignerUnsignedAttribute(m.data(), static_cast<uint32_t>(m.size()),
                                                      index, attr.data(),
                                                      static_cast<uint32_t>(attr.size()), o, s);
                  },
                  &out),
              0u);
    return out;
  }

  // openssl cms -verify of a message; detached ones with the content.
  static test::CommandResult OpenSslVerify(const Bytes& m, bool detached, bool with_ca) {
    const auto file = pki_->dir / "msg.p7s";
    test::WriteFileBytes(file, m);
    std::string cmd = "openssl cms -verify -binary -inform DER -in " + Q(file) + " -out /dev/null";
    if (detached) cmd += " -content " + Q(content_file_);
    cmd += with_ca ? " -CAfile " + Q(pki_->dir / "ca.pem") + " -purpose any" : " -noverify";
    return RunCommand(cmd);
  }

  static std::unique_ptr<test::TestPki> pki_;
  static Bytes content_;
  static std::filesystem::path content_file_;
  test::ScriptedPin pin_;
};
std::unique_ptr<test::TestPki> CmsPeerTest::pki_;
Bytes CmsPeerTest::content_;
std::filesystem::path CmsPeerTest::content_file_;

TEST_F(CmsPeerTest, OpenSslVerifiesWhatWeSignCoSignAndTimeStamp) {
  const Bytes attached = Sign(pki_->signer, false);
  const Bytes detached = Sign(pki_->qualified, true);
  const Bytes cosigned = CoSignDet(detached, pki_->cosigner);
  const Bytes stamped = AddToken(AddToken(cosigned, 0, 3000, 0x11), 1, 100, 0x22);
  struct Case {
    const char* what;
    const Bytes* message;
    bool detached;
  };
  const Case cases[] = {{"attached", &attached, false},
                        {"detached", &detached, true},
                        {"co-signed", &cosigned, true},
                        {"time-stamped", &stamped, true}};
  for (const Case& c : cases) {
    for (bool with_ca : {false, true}) {
      const test::CommandResult r = OpenSslVerify(*c.message, c.detached, with_ca);
      EXPECT_EQ(r.exit_code, 0) << c.what << (with_ca ? " -CAfile" : " -noverify") << "\n"
                                << r.output;
    }
  }
  // A changed page stream fails openssl's check too.
  Bytes changed = content_;
  changed[100] ^= 1;
  const auto other = pki_->dir / "other.bin";
  test::WriteFileBytes(other, changed);
  test::WriteFileBytes(pki_->dir / "d.p7s", detached);
  EXPECT_NE(RunCommand("openssl cms -verify -binary -noverify -inform DER -in " +
                       Q(pki_->dir / "d.p7s") + " -content " + Q(other) + " -out /dev/null")
                .exit_code,
            0);
}

TEST_F(CmsPeerTest, OpenSslShowsThreeSignedAttributesAndOneCertificate) {
  const auto file = pki_->dir / "print.p7s";
  test::WriteFileBytes(file, Sign(pki_->signer, true));
  const test::CommandResult r =
      RunCommand("openssl cms -cmsout -print -inform DER -in " + Q(file));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  auto count = [&](const std::string& what) {
    size_t n = 0;
    for (size_t at = r.output.find(what); at != std::string::npos; at = r.output.find(what, at + 1))
      ++n;
    return n;
  };
  EXPECT_EQ(count("object: contentType"), 1u) << r.output;
  EXPECT_EQ(count("object: messageDigest"), 1u) << r.output;
  EXPECT_EQ(count("object: id-smime-aa-signingCertificate"), 1u) << r.output;
  EXPECT_EQ(count("object: signingTime"), 0u);
  // Exactly three attributes in the signer's signed attributes.
  const size_t from = r.output.find("signedAttrs:"), to = r.output.find("signatureAlgorithm:", from);
  ASSERT_NE(from, std::string::npos);
  const std::string attrs = r.output.substr(from, to - from);
  size_t objects = 0;
  for (size_t at = attrs.find("object: "); at != std::string::npos; at = attrs.find("object: ", at + 1))
    ++objects;
  EXPECT_EQ(objects, 3u) << attrs;
  EXPECT_EQ(count("cert_info:"), 1u) << "the signer's certificate only";
  EXPECT_EQ(count("algorithm: sha1"), 2u) << "SHA-1 in the digest set and in the signer";
}

TEST_F(CmsPeerTest, Asn1ParseShowsTwoByteLengthsAndOrderOfTokens) {
  const Bytes stamped = AddToken(AddToken(Sign(pki_->signer, true), 0, 2000, 0x11), 0, 60, 0x22);
  const auto file = pki_->dir / "ts.p7s";
  test::WriteFileBytes(file, stamped);
  const test::CommandResult r = RunCommand("openssl asn1parse -inform DER -in " + Q(file));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  // Each attribute: a SEQUENCE with a four-byte header, the OID, then a SET
  // with a four-byte header, in the order added.
  std::vector<std::string> lines;
  for (size_t at = 0; at < r.output.size();) {
    const size_t end = r.output.find('\n', at);
    lines.push_back(r.output.substr(at, end == std::string::npos ? std::string::npos : end - at));
    at = end == std::string::npos ? r.output.size() : end + 1;
  }
  auto length_of = [](const std::string& line, const std::string& kind) {
    const size_t hl = line.find("hl=4 l=");
    if (hl == std::string::npos || line.find("cons: " + kind) == std::string::npos) return -1;
    return std::stoi(line.substr(hl + 7));
  };
  std::vector<std::pair<int, int>> found;
  for (size_t i = 1; i + 1 < lines.size(); ++i) {
    if (lines[i].find(":id-smime-aa-timeStampToken") == std::string::npos) continue;
    found.emplace_back(length_of(lines[i - 1], "SEQUENCE"), length_of(lines[i + 1], "SET"));
  }
  ASSERT_EQ(found.size(), 2u) << r.output;
  // Token sizes: SEQUENCE { OCTET STRING } around 2000 and 60 bytes.
  EXPECT_EQ(found[0].second, 2000 + 4 + 4);
  EXPECT_EQ(found[0].first, found[0].second + 17);
  EXPECT_EQ(found[1].second, 60 + 2 + 2);
  EXPECT_EQ(found[1].first, found[1].second + 17);
}

TEST_F(CmsPeerTest, WeVerifyWhatOpenSslSignsAndReSigns) {
  const auto cert = pki_->CertFile(pki_->signer), key = pki_->KeyFile(pki_->signer);
  const auto cert2 = pki_->CertFile(pki_->cosigner), key2 = pki_->KeyFile(pki_->cosigner);
  const auto out = pki_->dir / "o.p7s", out2 = pki_->dir / "o2.p7s";
  const std::string sign = "openssl cms -sign -binary -outform DER -in " + Q(content_file_) +
                           " -signer " + Q(cert) + " -inkey " + Q(key);
  struct Case {
    const char* what;
    std::string options;
    bool detached;
  };
  const Case cases[] = {
      {"attached sha1", " -md sha1 -nodetach", false},
      {"detached sha1", " -md sha1", true},
      {"attached, streamed (BER)", " -md sha1 -nodetach -stream", false},
      {"detached sha256", " -md sha256", true},
      {"by key identifier", " -md sha1 -nodetach -keyid", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::CommandResult r = RunCommand(sign + c.options + " -out " + Q(out));
    ASSERT_EQ(r.exit_code, 0) << r.output;
    const Bytes m = test::ReadFileBytes(out);
    uint32_t n = 0;
    ASSERT_EQ(GetSignerCount(m.data(), static_cast<uint32_t>(m.size()), &n), 0u);
    EXPECT_EQ(n, 1u);
    if (c.detached) {
      EXPECT_EQ(VerifyDetached(content_.data(), static_cast<uint32_t>(content_.size()), m.data(),
                               static_cast<uint32_t>(m.size()), 0),
                0u);
      Bytes changed = content_;
      changed[7] ^= 0x40;
      EXPECT_EQ(VerifyDetached(changed.data(), static_cast<uint32_t>(changed.size()), m.data(),
                               static_cast<uint32_t>(m.size()), 0),
                kCryptEHashValue);
    } else {
      EXPECT_EQ(VerifyAttached(m.data(), static_cast<uint32_t>(m.size()), 0), 0u);
      Bytes got;
      ASSERT_EQ(TwoCalls([&](uint8_t* o, uint32_t* s) {
                  return GetMessageContent(m.data(), static_cast<uint32_t>(m.size()), o, s);
                }, &got), 0u);
      EXPECT_EQ(got, content_);
    }
    Bytes signer_cert;
    ASSERT_EQ(TwoCalls([&](uint8_t* o, uint32_t* s) {
                return GetSignerCertificate(m.data(), static_cast<uint32_t>(m.size()), 0, o, s);
              }, &signer_cert), 0u);
    EXPECT_TRUE(std::ranges::equal(signer_cert, pki_->signer.cert->der()));
  }

  // A flipped content byte and a flipped signature byte of openssl's message.
  ASSERT_EQ(RunCommand(sign + " -md sha1 -nodetach -out " + Q(out)).exit_code, 0);
  const Bytes m = test::ReadFileBytes(out);
  cms::SignedData sd;
  ASSERT_EQ(cms::ParseSignedData(m, &sd), 0u);
  Bytes bad = m;
  bad[static_cast<size_t>(sd.econtent[0].data() - m.data()) + 10] ^= 1;
  EXPECT_EQ(VerifyAttached(bad.data(), static_cast<uint32_t>(bad.size()), 0), kCryptEHashValue);
  bad = m;
  bad[static_cast<size_t>(sd.signers[0].signature.data() - m.data()) + 5] ^= 1;
  EXPECT_EQ(VerifyAttached(bad.data(), static_cast<uint32_t>(bad.size()), 0), kNteBadSignature);

  // openssl -resign adds a second signer; both verify here.
  test::CommandResult r =
      RunCommand("openssl cms -resign -binary -inform DER -outform DER -in " + Q(out) +
                 " -signer " + Q(cert2) + " -inkey " + Q(key2) + " -md sha1 -out " + Q(out2));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const Bytes resigned = test::ReadFileBytes(out2);
  for (uint32_t i = 0; i < 2; ++i)
    EXPECT_EQ(VerifyAttached(resigned.data(), static_cast<uint32_t>(resigned.size()), i), 0u) << i;

  // Our co-signature on openssl's message keeps it verifiable by openssl.
  Bytes ours;
  ASSERT_EQ(TwoCalls([&](uint8_t* o, uint32_t* s) {
              return CoSignAttached(resigned.data(), static_cast<uint32_t>(resigned.size()),
                                    pki_->qualified.cert.get(), o, s);
            }, &ours), 0u);
  for (uint32_t i = 0; i < 3; ++i)
    EXPECT_EQ(VerifyAttached(ours.data(), static_cast<uint32_t>(ours.size()), i), 0u) << i;
  r = OpenSslVerify(ours, false, true);
  EXPECT_EQ(r.exit_code, 0) << r.output;

  // Without signed attributes the signature covers the data itself, as
  // openssl checks it; a changed content byte breaks it.
  ASSERT_EQ(RunCommand(sign + " -md sha1 -nodetach -noattr -out " + Q(out)).exit_code, 0);
  Bytes noattr = test::ReadFileBytes(out);
  r = OpenSslVerify(noattr, false, true);
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(VerifyAttached(noattr.data(), static_cast<uint32_t>(noattr.size()), 0), 0u);
  ASSERT_EQ(cms::ParseSignedData(noattr, &sd), 0u);
  noattr[static_cast<size_t>(sd.econtent[0].data() - noattr.data()) + 10] ^= 1;
  EXPECT_EQ(VerifyAttached(noattr.data(), static_cast<uint32_t>(noattr.size()), 0),
            kNteBadSignature);
}

TEST_F(CmsPeerTest, DecryptsWhatOpenSslEncryptsForAKeyInTheStore) {
  const auto recipient = pki_->CertFile(pki_->signer);
  const auto out = pki_->dir / "enc.p7m";
  struct Case {
    const char* cipher;
    const char* providers;
  };
  const Case cases[] = {{"-aes256", ""},
                        {"-des3", ""},
                        {"-rc2", " -provider legacy -provider default"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cipher);
    test::CommandResult r = RunCommand("openssl cms -encrypt -binary -outform DER " +
                                       std::string(c.cipher) + c.providers + " -in " +
                                       Q(content_file_) + " -out " + Q(out) + " " + Q(recipient));
    ASSERT_EQ(r.exit_code, 0) << r.output;
    const Bytes m = test::ReadFileBytes(out);
    pin_.asked = 0;
    Bytes plain;
    ASSERT_EQ(TwoCalls([&](uint8_t* o, uint32_t* s) {
                return DecryptMessage(m.data(), static_cast<uint32_t>(m.size()),
                                      CERT_SYSTEM_STORE_CURRENT_USER, o, s);
              }, &plain), 0u);
    EXPECT_EQ(plain, content_);
    EXPECT_EQ(pin_.asked, 1) << "the size query asks no PIN";
  }

  // Encrypted for a certificate without a key in the store; then a cancelled PIN.
  test::CommandResult r =
      RunCommand("openssl cms -encrypt -binary -outform DER -aes128 -in " + Q(content_file_) +
                 " -out " + Q(out) + " " + Q(pki_->CertFile(pki_->unbound)));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  Bytes m = test::ReadFileBytes(out);
  uint32_t size = 0;
  EXPECT_EQ(DecryptMessage(m.data(), static_cast<uint32_t>(m.size()),
                           CERT_SYSTEM_STORE_CURRENT_USER, nullptr, &size),
            kCryptENoKeyProperty);
  r = RunCommand("openssl cms -encrypt -binary -outform DER -aes128 -in " + Q(content_file_) +
                 " -out " + Q(out) + " " + Q(pki_->CertFile(pki_->cosigner)));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  m = test::ReadFileBytes(out);
  pin_.cancel = true;
  Bytes buf(content_.size() + 64);
  size = static_cast<uint32_t>(buf.size());
  EXPECT_EQ(DecryptMessage(m.data(), static_cast<uint32_t>(m.size()),
                           CERT_SYSTEM_STORE_CURRENT_USER, buf.data(), &size),
            1223u);
  // A signed message is not enveloped data.
  pin_.cancel = false;
  const Bytes signed_message = Sign(pki_->signer, false);
  EXPECT_EQ(DecryptMessage(signed_message.data(), static_cast<uint32_t>(signed_message.size()),
                           CERT_SYSTEM_STORE_CURRENT_USER, nullptr, &size),
            kCryptEInvalidMsgType);
}

}  // namespace
}  // namespace vel::crypto
