// The engine's certificate and CRL texts against openssl's own reading of
// certificates and CRLs that openssl made, and local times against date(1).
#include "xades/crypto_helpers.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "platform/testing/test_support.h"
#include "xades/engine_messages.h"

namespace vel::xades {
namespace {

using test::RunCommand;
using test::ShellQuote;

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

std::string HexToDecimalByOpenSsl(const std::string& hex) {
  BIGNUM* bn = nullptr;
  EXPECT_GT(BN_hex2bn(&bn, hex.c_str()), 0) << hex;
  char* text = BN_bn2dec(bn);
  std::string out(text);
  OPENSSL_free(text);
  BN_free(bn);
  return out;
}

// The value after "key=" in openssl's output; long values continue on the
// next line after a backslash.
std::string ValueAfter(const std::string& output, const std::string& key) {
  const size_t at = output.find(key + "=");
  if (at == std::string::npos) return "";
  std::string value;
  for (size_t i = at + key.size() + 1; i < output.size() && output[i] != '\n'; ++i) {
    if (output[i] == '\\' && i + 1 < output.size() && output[i + 1] == '\n') {
      ++i;
      continue;
    }
    value.push_back(output[i]);
  }
  return value;
}

class CryptoHelpersPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    VEL_REQUIRE_TOOL("openssl");
    test::WriteFileText(dir_ / "req.cnf",
                        "[ req ]\ndistinguished_name = dn\nstring_mask = nombstr\n[ dn ]\n"
                        "[ v3_ca ]\nbasicConstraints = critical,CA:true\n");
    Run("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + Q("ca.key") + " -out " +
        Q("ca.pem") + " -subj " + ShellQuote("/C=PL/O=Testowe Centrum, Sp./CN=Test CA 1") +
        " -days 30 -config " + Q("req.cnf") + " -extensions v3_ca");
    Run("openssl req -new -newkey rsa:2048 -nodes -keyout " + Q("leaf.key") + " -out " +
        Q("leaf.csr") + " -subj " + ShellQuote("/C=PL/O=Firma Przykladowa/CN=Jan Kowalski") +
        " -config " + Q("req.cnf"));
  }

  // A leaf with this serial (hex), DER.
  std::vector<uint8_t> Leaf(const std::string& serial_hex, const std::string& name) {
    Run("openssl x509 -req -in " + Q("leaf.csr") + " -CA " + Q("ca.pem") + " -CAkey " +
        Q("ca.key") + " -set_serial 0x" + serial_hex + " -days 10 -outform DER -out " +
        Q(name + ".der"));
    return test::ReadFileBytes(dir_ / (name + ".der"));
  }

  // A CRL with this lastUpdate (YYYYMMDDHHMMSSZ) and CRL number (hex; empty: none).
  std::vector<uint8_t> Crl(const std::string& last_update, const std::string& number_hex,
                           const std::string& name) {
    test::WriteFileText(dir_ / "index.txt", "");
    std::string cnf = "[ ca ]\ndefault_ca = c\n[ c ]\ndatabase = " + (dir_ / "index.txt").string() +
                      "\ncertificate = " + (dir_ / "ca.pem").string() +
                      "\nprivate_key = " + (dir_ / "ca.key").string() + "\ndefault_md = sha256\n";
    if (!number_hex.empty()) {
      test::WriteFileText(dir_ / "crlnumber", number_hex + "\n");
      cnf += "crlnumber = " + (dir_ / "crlnumber").string() + "\n";
    }
    test::WriteFileText(dir_ / "ca.cnf", cnf);
    Run("openssl ca -batch -config " + Q("ca.cnf") + " -gencrl -crl_lastupdate " + last_update +
        " -crl_nextupdate 20991231000000Z -out " + Q(name + ".pem"));
    Run("openssl crl -in " + Q(name + ".pem") + " -outform DER -out " + Q(name + ".der"));
    return test::ReadFileBytes(dir_ / (name + ".der"));
  }

  std::string Openssl(const std::string& args) {
    const test::CommandResult r = RunCommand("openssl " + args);
    EXPECT_EQ(r.exit_code, 0) << args << "\n" << r.output;
    return r.output;
  }

  std::string Q(const std::string& name) const { return ShellQuote((dir_ / name).string()); }
  static void Run(const std::string& command) {
    const test::CommandResult r = RunCommand(command);
    ASSERT_EQ(r.exit_code, 0) << command << "\n" << r.output;
  }

  test::TempDir dir_;
};

// Issuer names of every string type: the engine writes what
// `openssl -nameopt RFC2253` (and so xmlsec1) writes, and reads that text,
// other renderings of the same name and the short text of earlier versions
// (which holds PrintableString values only, so is empty without a country).
TEST_F(CryptoHelpersPeer, IssuerTextsOfEveryStringType) {
  struct Name {
    const char* mask;     // openssl string_mask: the string types used
    const char* subject;  // UTF-8
    const char* xadesjs = "";  // the text xadesjs writes for it (unescaped, in the Name's order)
  } names[] = {
      {"utf8only", "/O=Łódź Certyfikaty, S.A./OU=#1 <dział> \\+;\"/CN=Urząd Testowy "},
      {"pkix", "/O=Żółta Łąka/CN=Urząd"},                        // BMPString
      {"nombstr", "/O=Müller Café/CN=Zürich CA"},               // TeletexString (Latin-1)
      {"utf8only", "/DC=pl/DC=przyklad/CN=Kontroler"},         // IA5String
      {"utf8only", "/C=PL/O=Łódź Certyfikaty, S.A./CN=Urząd\\+Testowy",
       "C=PL, O=Łódź Certyfikaty, S.A., CN=Urząd+Testowy"},
  };
  int k = 0;
  for (const Name& n : names) {
    SCOPED_TRACE(n.subject);
    const std::string cnf = "ca" + std::to_string(k) + ".cnf", pem = "ca" + std::to_string(k) + ".pem";
    ++k;
    test::WriteFileText(dir_ / cnf, std::string("[ req ]\ndistinguished_name = dn\nstring_mask = ") + n.mask +
                                        "\nutf8 = yes\n[ dn ]\n");
    Run("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + Q("k.key") + " -out " + Q(pem) +
        " -subj " + ShellQuote(n.subject) + " -days 30 -config " + Q(cnf));
    const auto der = test::ReadFileBytes(dir_ / pem);
    const std::string opensslText = Trim(ValueAfter(
        Openssl("x509 -noout -issuer -nameopt RFC2253 -in " + Q(pem)), "issuer"));
    const std::string rawUtf8 = Trim(ValueAfter(
        Openssl("x509 -noout -issuer -nameopt RFC2253,-esc_msb -in " + Q(pem)), "issuer"));
    const std::string forward = Trim(ValueAfter(
        Openssl("x509 -noout -issuer -nameopt RFC2253,-esc_msb,-dn_rev,sep_comma_plus_space -in " + Q(pem)),
        "issuer"));
    Run("openssl x509 -in " + Q(pem) + " -outform DER -out " + Q("ca.der"));
    const auto cert_der = test::ReadFileBytes(dir_ / "ca.der");
    CertPtr cert = xadesCertCreate(cert_der.data(), cert_der.size());
    ASSERT_TRUE(cert);
    uint32_t size = 0;
    ASSERT_EQ(getCertIssuerText(cert.get(), nullptr, &size), 234u);
    std::string text(size, '\0');
    ASSERT_EQ(getCertIssuerText(cert.get(), text.data(), &size), 0u);
    text.resize(size - 1);
    EXPECT_EQ(text, opensslText);
    const auto shortText = shortCertIssuerText(cert.get());
    const auto name = cert->issuer_der();
    for (const std::string& written : {text, rawUtf8, forward, std::string(n.xadesjs)}) {
      if (written.empty()) continue;
      EXPECT_EQ(matchIssuerText(written, name, shortText), IssuerTextMatch::kFull) << written;
    }
    ASSERT_TRUE(shortText);
    EXPECT_EQ(matchIssuerText(*shortText, name, shortText), IssuerTextMatch::kShort);
    EXPECT_EQ(shortText->empty(), std::string(n.subject).find("/C=") == std::string::npos);
    // Another name is none of them.
    EXPECT_EQ(matchIssuerText("CN=Inny Urzad", name, shortText), IssuerTextMatch::kNone);
    EXPECT_EQ(matchIssuerText(text.substr(text.find(',') + 1), name, shortText), IssuerTextMatch::kNone);
  }
}

TEST_F(CryptoHelpersPeer, SerialNumbersInDecimal) {
  const std::string serials[] = {"0102", "01", "7fffffffffffffffffffffffffffffffffffffff",
                                 "00ff", "100000000",
                                 // a 100-byte serial
                                 "5a" + std::string(198, 'c')};
  int i = 0;
  for (const std::string& hex : serials) {
    const auto der = Leaf(hex, "leaf" + std::to_string(i++));
    ASSERT_FALSE(der.empty());
    CertPtr cert = xadesCertCreate(der.data(), der.size());
    ASSERT_TRUE(cert);
    const std::string shown =
        ValueAfter(Openssl("x509 -inform DER -noout -serial -in " + Q("leaf" + std::to_string(i - 1) + ".der")), "serial");
    EXPECT_EQ(getCertSerialDecimal(cert.get()), HexToDecimalByOpenSsl(shown)) << hex;
    xadesCertFree(cert);
    EXPECT_FALSE(cert);
  }
  EXPECT_EQ(getCertSerialDecimal(nullptr), std::nullopt);
}

TEST_F(CryptoHelpersPeer, IssuerAndSubjectTexts) {
  const auto der = Leaf("0a", "leaf");
  CertPtr cert = xadesCertCreate(der.data(), der.size());
  ASSERT_TRUE(cert);
  uint32_t size = 0;
  ASSERT_EQ(getCertIssuerText(cert.get(), nullptr, &size), 234u);
  std::string text(size, '\0');
  ASSERT_EQ(getCertIssuerText(cert.get(), text.data(), &size), 0u);
  const std::string issuer = Trim(ValueAfter(
      Openssl("x509 -inform DER -noout -issuer -nameopt RFC2253 -in " + Q("leaf.der")), "issuer"));
  EXPECT_EQ(std::string(text.c_str()), issuer);
  EXPECT_EQ(std::string(text.c_str()), "CN=Test CA 1,O=Testowe Centrum\\, Sp.,C=PL");

  // The CRL's issuer is rendered the same way as the certificate's.
  const auto crl_der = Crl("20250115120000Z", "01", "crl");
  CrlPtr crl = xadesCrlCreate(crl_der.data(), crl_der.size());
  ASSERT_TRUE(crl);
  size = 0;
  ASSERT_EQ(getCrlIssuerText(crl.get(), nullptr, &size), 234u);
  std::string crl_text(size, '\0');
  ASSERT_EQ(getCrlIssuerText(crl.get(), crl_text.data(), &size), 0u);
  EXPECT_EQ(std::string(crl_text.c_str()), issuer);

  // The subject, most specific part first.
  size = 0;
  ASSERT_EQ(getCertNameText(cert, nullptr, &size), 234u);
  std::string subject(size, '\0');
  ASSERT_EQ(getCertNameText(cert, subject.data(), &size), 0u);
  EXPECT_EQ(std::string(subject.c_str()), "CN=Jan Kowalski, O=Firma Przykladowa, C=PL");
  uint32_t tiny = 2;
  char small[2];
  EXPECT_EQ(getCertNameText(cert, small, &tiny), 34u);
}

TEST_F(CryptoHelpersPeer, CrlNumbersInDecimal) {
  // Short and long (more than 127 content octets: long-form length) numbers.
  const std::string numbers[] = {"01", "00ff", "0100", "7f" + std::string(58, '1'),
                                 "7e" + std::string(298, '9')};
  int i = 0;
  for (const std::string& hex : numbers) {
    const std::string name = "crl" + std::to_string(i++);
    const auto der = Crl("20250115120000Z", hex, name);
    CrlPtr crl = xadesCrlCreate(der.data(), der.size());
    ASSERT_TRUE(crl);
    std::string shown = Trim(ValueAfter(Openssl("crl -inform DER -noout -crlnumber -in " + Q(name + ".der")), "crlNumber"));
    if (shown.rfind("0x", 0) == 0) shown = shown.substr(2);
    const std::string expected = HexToDecimalByOpenSsl(shown);
    uint32_t size = 0;
    ASSERT_EQ(getCrlNumberDecimal(crl.get(), nullptr, &size), 234) << hex;
    EXPECT_EQ(size, expected.size() + 1);
    std::string text(size, 'X');
    uint32_t short_size = size - 1;
    EXPECT_EQ(getCrlNumberDecimal(crl.get(), text.data(), &short_size), 234);
    ASSERT_EQ(getCrlNumberDecimal(crl.get(), text.data(), &size), 0);
    EXPECT_EQ(std::string(text.c_str()), expected) << hex;
  }
  const auto none = Crl("20250115120000Z", "", "nonumber");
  CrlPtr crl = xadesCrlCreate(none.data(), none.size());
  ASSERT_TRUE(crl);
  uint32_t size = 100;
  std::string text(100, '\0');
  EXPECT_EQ(getCrlNumberDecimal(crl.get(), text.data(), &size), -2);
  EXPECT_EQ(getCrlNumberDecimal(nullptr, text.data(), &size), -1);
}

class ZoneScope {
 public:
  explicit ZoneScope(const char* zone) {
    const char* old = std::getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneScope() {
    if (had_) setenv("TZ", old_.c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }

 private:
  bool had_ = false;
  std::string old_;
};

TEST_F(CryptoHelpersPeer, IssueTimeInLocalTimeWithItsRealOffset) {
  struct Case {
    const char* last_update;
    const char* zone;
    const char* expected;
  };
  const Case cases[] = {
      {"20250715120000Z", "Europe/Warsaw", "2025-07-15T14:00:00+02:00"},  // summer time
      {"20250115120000Z", "Europe/Warsaw", "2025-01-15T13:00:00+01:00"},  // winter
      {"20250715120000Z", "UTC", "2025-07-15T12:00:00+00:00"},
      {"20250715120000Z", "Asia/Kolkata", "2025-07-15T17:30:00+05:30"},
      {"20250115120000Z", "America/St_Johns", "2025-01-15T08:30:00-03:30"},
      {"20251231233000Z", "Europe/Warsaw", "2026-01-01T00:30:00+01:00"},  // across the year
  };
  int i = 0;
  for (const Case& c : cases) {
    const std::string name = "t" + std::to_string(i++);
    const auto der = Crl(c.last_update, "01", name);
    CrlPtr crl = xadesCrlCreate(der.data(), der.size());
    ASSERT_TRUE(crl);
    // date(1) turns openssl's own reading of lastUpdate into local time.
    const std::string shown =
        Trim(ValueAfter(Openssl("crl -inform DER -noout -lastupdate -in " + Q(name + ".der")), "lastUpdate"));
    const std::string by_date = Trim(
        RunCommand(std::string("TZ=") + c.zone + " date -d " + ShellQuote(shown) + " +%Y-%m-%dT%H:%M:%S%:z").output);
    EXPECT_EQ(by_date, c.expected);
    ZoneScope zone(c.zone);
    uint32_t size = 25;
    std::string text(26, 'X');
    EXPECT_EQ(getCrlThisUpdateText(crl.get(), text.data(), &size), 234);
    EXPECT_EQ(size, 26u);
    ASSERT_EQ(getCrlThisUpdateText(crl.get(), text.data(), &size), 0);
    EXPECT_EQ(std::string(text.c_str()), by_date) << c.zone;
  }
}

TEST_F(CryptoHelpersPeer, DigestsAndBase64AgreeWithOpenssl) {
  const auto der = Leaf("0b", "leaf");
  CertPtr cert = xadesCertCreate(der.data(), der.size());
  ASSERT_TRUE(cert);
  const std::string sha1 =
      Trim(RunCommand("openssl dgst -sha1 -binary " + Q("leaf.der") + " | openssl base64 -A").output);
  const std::string md5 =
      Trim(RunCommand("openssl dgst -md5 -binary " + Q("leaf.der") + " | openssl base64 -A").output);
  EXPECT_EQ(encodedDigestBase64(cert.get(), kDigestSha1), sha1);
  EXPECT_EQ(sha1.size(), 28u);
  EXPECT_EQ(encodedDigestBase64(cert.get(), kDigestMd5), md5);
  EXPECT_EQ(digestBase64(der, kDigestSha1), sha1);
  const std::string whole = Trim(RunCommand("openssl base64 -A -in " + Q("leaf.der")).output);
  EXPECT_EQ(encodedBase64(cert.get()), whole);
  XadesMessageCapture capture;
  EXPECT_EQ(digestBase64(der, 2), std::nullopt);
  EXPECT_EQ(capture.text(), "Unsuported hash algorithm\n");
}

TEST_F(CryptoHelpersPeer, RsaSha1SignatureCheck) {
  const auto der = Leaf("0c", "leaf");
  CertPtr cert = xadesCertCreate(der.data(), der.size());
  ASSERT_TRUE(cert);
  test::WriteFileText(dir_ / "data.txt", "<ds:SignedInfo>signed</ds:SignedInfo>");
  Run("openssl dgst -sha1 -sign " + Q("leaf.key") + " -out " + Q("sig.bin") + " " + Q("data.txt"));
  const auto data = test::ReadFileBytes(dir_ / "data.txt");
  auto signature = test::ReadFileBytes(dir_ / "sig.bin");
  XadesMessageCapture capture;
  EXPECT_EQ(verifyRsaSha1Signature(data, signature, cert.get()), 0);
  EXPECT_EQ(capture.text(), "");
  signature[10] ^= 1;
  EXPECT_EQ(verifyRsaSha1Signature(data, signature, cert.get()), -1);
  EXPECT_EQ(capture.text(), "Sygnatura niepoprawna.");
  EXPECT_EQ(verifyRsaSha1Signature(data, signature, nullptr), 13);
  // A certificate whose key is not RSA.
  Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout " + Q("ec.key") +
      " -outform DER -out " + Q("ec.der") + " -subj /CN=EC -days 2 -config " + Q("req.cnf"));
  const auto ec = test::ReadFileBytes(dir_ / "ec.der");
  CertPtr ec_cert = xadesCertCreate(ec.data(), ec.size());
  ASSERT_TRUE(ec_cert);
  EXPECT_EQ(verifyRsaSha1Signature(data, signature, ec_cert.get()), -4);
  EXPECT_EQ(capture.text().find("Public key error.\n", 22), 22u);
  const uint8_t junk[] = {1, 2, 3};
  EXPECT_FALSE(xadesCertCreate(junk, sizeof junk));
  EXPECT_FALSE(xadesCrlCreate(junk, sizeof junk));
}

}  // namespace
}  // namespace vel::xades
