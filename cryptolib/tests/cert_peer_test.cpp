// Certificate names and fields read by this library against openssl reading
// the same certificates, which openssl itself makes with `req -x509 -addext`.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cryptolib/cert_names.h"
#include "cryptolib/x509_context.h"
#include "platform/testing/test_support.h"

namespace vel::crypto {
namespace {

using test::RunCommand;
using test::ShellQuote;

constexpr LibraryErrorCode kMoreData = 234;

template <typename F>
std::string Twice(F f) {
  uint32_t size = 0;
  LibraryErrorCode e = f(nullptr, &size);
  if (e != kMoreData) return "<" + std::to_string(e) + ">";
  std::string text(size, '\0');
  e = f(text.data(), &size);
  if (e != 0) return "<" + std::to_string(e) + ">";
  text.resize(size - 1);
  return text;
}

std::string Trim(std::string s) {
  s.erase(0, s.find_first_not_of(" \t\r\n"));
  s.erase(s.find_last_not_of(" \t\r\n") + 1);
  return s;
}

// The values that openssl's asn1parse shows for primitives of one type, in order.
std::vector<std::string> Asn1Values(const std::string& listing, const std::string& type) {
  std::vector<std::string> out;
  std::istringstream in(listing);
  std::string line;
  while (std::getline(in, line)) {
    const size_t at = line.find("prim: " + type);
    if (at == std::string::npos) continue;
    const size_t colon = line.find(':', at + 6);
    if (colon != std::string::npos) out.push_back(Trim(line.substr(colon + 1)));
  }
  return out;
}

// Our X.500 text in openssl's RFC 2253 spelling, for names without quoted
// values: no blank after the separator, "ST" for the state.
std::string AsOpenSslSpelling(const std::string& x500) {
  std::string out;
  for (size_t i = 0; i < x500.size(); ++i) {
    if (x500.compare(i, 2, ", ") == 0) {
      out += ',';
      ++i;
      continue;
    }
    const bool at_start = out.empty() || out.back() == ',';
    if (at_start && x500.compare(i, 2, "S=") == 0) {
      out += "ST=";
      ++i;
      continue;
    }
    out += x500[i];
  }
  return out;
}

// Splits "a, b, c" into its parts.
std::vector<std::string> SplitList(const std::string& s) {
  std::vector<std::string> out;
  std::stringstream in(s);
  std::string part;
  while (std::getline(in, part, ',')) out.push_back(Trim(part));
  return out;
}

class CertPeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VEL_REQUIRE_TOOL("openssl");
    LanguageId = kLanguageEnglish;
    key_ = (dir_ / "key.pem").string();
    ASSERT_EQ(RunCommand("openssl ecparam -name prime256v1 -genkey -noout -out " + ShellQuote(key_)).exit_code, 0);
    // PrintableString wherever the value allows it, and a name for an
    // attribute type that openssl does not know when it reads.
    test::WriteFileText(dir_ / "req.cnf",
                        "oid_section = oids\n[oids]\ntestAttr = 1.2.3.4\n"
                        "[req]\ndistinguished_name = dn\nstring_mask = default\n[dn]\n"
                        "[dps]\ncrlDistributionPoints = dp1, dp2, dp3\n"
                        "[dp1]\nfullname = URI:http://a/1.crl, URI:ldap://b\n"
                        "[dp2]\nfullname = URI:http://c/2.crl\n"
                        "[dp3]\nCRLissuer = dirName:iss\n[iss]\nCN = Issuer\n");
  }
  void TearDown() override { LanguageId = kLanguagePolish; }

  // Makes a self-signed certificate; returns its PEM path.
  std::string Make(const std::string& name, const std::string& args) {
    const std::string pem = (dir_ / (name + ".pem")).string();
    const test::CommandResult r = RunCommand(
        "openssl req -x509 -new -key " + ShellQuote(key_) + " -config " + ShellQuote((dir_ / "req.cnf").string()) +
        " -days 30 -out " + ShellQuote(pem) + " " + args);
    EXPECT_EQ(r.exit_code, 0) << r.output;
    return pem;
  }
  std::string OpenSsl(const std::string& pem, const std::string& args) {
    const test::CommandResult r = RunCommand("openssl x509 -in " + ShellQuote(pem) + " -noout " + args);
    EXPECT_EQ(r.exit_code, 0) << r.output;
    return r.output;
  }
  X509ContextPtr Load(const std::string& pem) {
    const std::string der = pem + ".der";
    EXPECT_EQ(RunCommand("openssl x509 -in " + ShellQuote(pem) + " -outform DER -out " + ShellQuote(der)).exit_code, 0);
    const std::vector<uint8_t> bytes = test::ReadFileBytes(der);
    X509ContextPtr ctx = MakeX509Context();
    EXPECT_TRUE(SetCertificateFromDer(ctx.get(), bytes.data(), static_cast<uint32_t>(bytes.size())));
    return ctx;
  }

  test::TempDir dir_;
  std::string key_;
};

TEST_F(CertPeerTest, NamesAgainstRfc2253) {
  struct Case {
    const char* subj;
    const char* flags;
    // Empty: our text equals openssl's; otherwise the difference, pinned.
    const char* our_rfc2253;
    const char* our_x500_reversed;
  } cases[] = {
      {"/C=PL/O=Firma/CN=Jan Kowalski", "", "", "CN=Jan Kowalski, O=Firma, C=PL"},
      {"/C=PL/ST=Mazowieckie/L=Warszawa/OU=IT/CN=x", "", "", "CN=x, OU=IT, L=Warszawa, S=Mazowieckie, C=PL"},
      // Escapes agree; the platform's text quotes instead.
      {"/C=PL/O=a\\+b (c)/CN=x\\, y", "", "", "CN=\"x, y\", O=\"a+b (c)\", C=PL"},
      // '#', '<', '>' and ';' are no PrintableString characters: openssl writes a
      // T61String, which the RFC 2253 text leaves out.
      {"/C=PL/OU=\\#1 <a>;", "", "C=PL", "OU=\"#1 <a>;\", C=PL"},
      // A multi-valued RDN: openssl joins its attributes by '+', ours by ','.
      {"/C=PL/CN=a+OU=b", "-multivalue-rdn", "OU=b,CN=a,C=PL", "CN=a + OU=b, C=PL"},
      // Only PrintableString values make the RFC 2253 text; openssl shows every value.
      {"/C=PL/CN=\xC5\xBB\xC3\xB3\xC5\x82w", "-utf8", "C=PL", "CN=\xC5\xBB\xC3\xB3\xC5\x82w, C=PL"},
      {"/C=PL/emailAddress=a@b.pl", "", "C=PL", "E=a@b.pl, C=PL"},
      // An unknown type: the same hex of its encoding, ours in lower case.
      {"/C=PL/testAttr=Z", "", "1.2.3.4=#13015a,C=PL", "OID.1.2.3.4=Z, C=PL"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.subj);
    const std::string pem = Make("name", std::string("-subj ") + ShellQuote(c.subj) + " " + c.flags);
    std::string theirs = OpenSsl(pem, "-subject -nameopt RFC2253,-esc_msb");
    ASSERT_EQ(theirs.rfind("subject=", 0), 0u) << theirs;
    theirs = Trim(theirs.substr(8));
    X509ContextPtr ctx = Load(pem);
    const std::string ours = Twice([&](char* t, uint32_t* s) {
      return CertIssuerToRfc2253(ctx->certificate.get(), 0, t, s);  // self-signed: issuer = subject
    });
    if (c.our_rfc2253[0] == '\0') {
      EXPECT_EQ(ours, theirs);
    } else {
      EXPECT_EQ(ours, c.our_rfc2253) << "openssl: " << theirs;
    }
    const std::string x500 = Twice([&](char* t, uint32_t* s) {
      return GetIssuerString(ctx.get(), CERT_X500_NAME_STR, t, s);
    });
    EXPECT_EQ(x500, c.our_x500_reversed);
    // Where no value needs quoting, the two texts differ only in the separator blank
    // and in the key of the state ("S" for openssl's "ST").
    if (c.our_rfc2253[0] == '\0' && x500.find('"') == std::string::npos) {
      EXPECT_EQ(AsOpenSslSpelling(x500), theirs);
    }
  }
}

TEST_F(CertPeerTest, SerialValidityVersion) {
  struct Case {
    const char* serial;
    const char* ours;  // empty: as openssl prints it
  } cases[] = {{"0x01A2", ""}, {"0x7F", ""}, {"0x0123456789ABCDEF", ""},
               // openssl drops the sign byte that the DER content keeps.
               {"0x80", "0080"}, {"0xFF01", "00FF01"}};
  for (const Case& c : cases) {
    const std::string pem = Make("serial", std::string("-subj /CN=s -set_serial ") + c.serial);
    const std::string theirs = Trim(OpenSsl(pem, "-serial"));
    ASSERT_EQ(theirs.rfind("serial=", 0), 0u);
    X509ContextPtr ctx = Load(pem);
    const std::string ours = Twice([&](char* t, uint32_t* s) { return GetSerialNumberHex(ctx.get(), t, s); });
    EXPECT_EQ(ours, c.ours[0] ? std::string(c.ours) : theirs.substr(7)) << c.serial;
  }

  const std::string pem = Make("dates", "-subj /CN=d");
  X509ContextPtr ctx = Load(pem);
  std::istringstream dates(OpenSsl(pem, "-startdate -enddate -dateopt iso_8601"));
  std::string line;
  for (uint32_t which = 0; which < 2; ++which) {
    ASSERT_TRUE(std::getline(dates, line));
    // "notBefore=2026-01-02 03:04:05Z" against "2026-01-02 03:04:05 (UTC)"
    const std::string theirs = line.substr(line.find('=') + 1);
    ASSERT_EQ(theirs.size(), 20u) << theirs;
    const std::string ours = Twice([&](char* t, uint32_t* s) { return GetValidityText(ctx.get(), which, true, t, s); });
    EXPECT_EQ(ours, theirs.substr(0, 19) + " (UTC)");
  }

  // "Version: 3 (0x2)"
  const std::string text = OpenSsl(pem, "-text");
  const size_t at = text.find("Version: ");
  ASSERT_NE(at, std::string::npos);
  const size_t hex = text.find("(0x", at);
  ASSERT_NE(hex, std::string::npos);
  uint32_t version = 99;
  EXPECT_EQ(GetCertificateVersion(ctx.get(), &version), 0u);
  EXPECT_EQ(version, static_cast<uint32_t>(std::stoul(text.substr(hex + 3), nullptr, 16)));
}

TEST_F(CertPeerTest, KeyUsage) {
  const std::map<std::string, std::string> names = {
      {"Digital Signature", "Digital signature"}, {"Non Repudiation", "Non-Repudiation"},
      {"Key Encipherment", "Key encipherment"},   {"Data Encipherment", "Data encipherment"},
      {"Key Agreement", "Key agreement"},         {"Certificate Sign", "Certificate signing"},
      {"CRL Sign", "CRL signing"},                {"Encipher Only", "Encipher only"}};
  for (const char* usage : {"digitalSignature,nonRepudiation,keyEncipherment", "keyCertSign,cRLSign",
                            "dataEncipherment,keyAgreement,encipherOnly"}) {
    SCOPED_TRACE(usage);
    const std::string pem = Make("ku", std::string("-subj /CN=k -addext keyUsage=critical,") + usage);
    std::istringstream out(OpenSsl(pem, "-ext keyUsage"));
    std::string header, list;
    std::getline(out, header);
    std::getline(out, list);
    std::string expected;
    for (const std::string& n : SplitList(list)) {
      ASSERT_TRUE(names.count(n)) << n;
      expected += (expected.empty() ? "" : ", ") + names.at(n);
    }
    X509ContextPtr ctx = Load(pem);
    EXPECT_EQ(Twice([&](char* t, uint32_t* s) { return GetKeyUsageText(ctx.get(), t, s); }), expected);
  }
  // decipherOnly needs a second byte of bits: openssl shows it, the one-byte form is required here.
  const std::string pem = Make("ku9", "-subj /CN=k -addext keyUsage=digitalSignature,decipherOnly");
  EXPECT_NE(OpenSsl(pem, "-ext keyUsage").find("Decipher Only"), std::string::npos);
  X509ContextPtr ctx = Load(pem);
  EXPECT_EQ(Twice([&](char* t, uint32_t* s) { return GetKeyUsageText(ctx.get(), t, s); }), "<13>");
}

TEST_F(CertPeerTest, ExtendedKeyUsage) {
  const std::map<std::string, std::string> oids = {
      {"TLS Web Server Authentication", "1.3.6.1.5.5.7.3.1"},
      {"TLS Web Client Authentication", "1.3.6.1.5.5.7.3.2"},
      {"Code Signing", "1.3.6.1.5.5.7.3.3"},
      {"E-mail Protection", "1.3.6.1.5.5.7.3.4"},
      {"Time Stamping", "1.3.6.1.5.5.7.3.8"},
      {"OCSP Signing", "1.3.6.1.5.5.7.3.9"},
      {"Smartcard Login", "1.3.6.1.4.1.311.20.2.2"},  // openssl prefixes the vendor's name
      {"1.2.3.4", "1.2.3.4"}};
  const std::string pem = Make("eku",
      "-subj /CN=e -addext extendedKeyUsage=emailProtection,serverAuth,timeStamping,1.3.6.1.4.1.311.20.2.2,"
      "OCSPSigning,1.2.3.4");
  std::istringstream out(OpenSsl(pem, "-ext extendedKeyUsage"));
  std::string header, list;
  std::getline(out, header);
  std::getline(out, list);
  std::string expected;
  for (const std::string& n : SplitList(list)) {
    const auto it = std::find_if(oids.begin(), oids.end(), [&](const auto& e) { return n.ends_with(e.first); });
    ASSERT_NE(it, oids.end()) << n;
    const std::string& oid = it->second;
    expected += (expected.empty() ? "" : ", ") + std::string(EkuOidToName(oid.c_str())) + " (" + oid + ")";
  }
  EXPECT_NE(expected.find("Smartcard logon (1.3.6.1.4.1.311.20.2.2)"), std::string::npos);
  EXPECT_NE(expected.find("Unrecognized (1.2.3.4)"), std::string::npos);
  X509ContextPtr ctx = Load(pem);
  EXPECT_EQ(Twice([&](char* t, uint32_t* s) { return GetEnhancedKeyUsageText(ctx.get(), t, s); }), expected);
}

// The raw value of an extension, through GetExtension.
std::vector<uint8_t> Extension(X509Context* ctx, const char* oid) {
  uint32_t size = 0;
  EXPECT_EQ(GetExtension(ctx, oid, nullptr, &size), kMoreData);
  std::vector<uint8_t> value(size);
  EXPECT_EQ(GetExtension(ctx, oid, value.data(), &size), 0u);
  return value;
}

std::string Format(X509Context* ctx, const char* oid, const std::vector<uint8_t>& value, uint32_t index) {
  return Twice([&](char* t, uint32_t* s) {
    return FormatExtensionText(ctx, oid, value.data(), static_cast<uint32_t>(value.size()), index, t, s);
  });
}

TEST_F(CertPeerTest, AlternativeNamesAndDistributionPoints) {
  const std::string pem = Make("san",
      "-subj /CN=n -addext subjectAltName=email:a@b.pl,DNS:x.pl,email:c@d.pl,URI:http://u,IP:127.0.0.1"
      " -extensions dps");
  X509ContextPtr ctx = Load(pem);

  std::string emails;
  for (const std::string& entry : SplitList(Trim(OpenSsl(pem, "-ext subjectAltName").substr(
           OpenSsl(pem, "-ext subjectAltName").find('\n') + 1))))
    if (entry.rfind("email:", 0) == 0) emails += entry.substr(6) + '\0';
  EXPECT_EQ(emails, std::string("a@b.pl\0c@d.pl\0", 14));
  EXPECT_EQ(Format(ctx.get(), "2.5.29.17", Extension(ctx.get(), "2.5.29.17"), 0), emails);

  // Each "Full Name:" of openssl's listing opens a point; its first URI is the address.
  std::istringstream dps(OpenSsl(pem, "-ext crlDistributionPoints"));
  std::vector<std::string> first_urls;
  std::string line;
  bool open = false;
  int points = 0;
  while (std::getline(dps, line)) {
    line = Trim(line);
    if (line == "Full Name:") {
      open = true;
      ++points;
    } else if (line == "CRL Issuer:") {
      first_urls.push_back("");  // a point without a full name
      ++points;
      open = false;
    } else if (open && line.rfind("URI:", 0) == 0) {
      first_urls.push_back(line.substr(4));
      open = false;
    }
  }
  ASSERT_EQ(first_urls, (std::vector<std::string>{"http://a/1.crl", "http://c/2.crl", ""}));
  const std::vector<uint8_t> value = Extension(ctx.get(), "2.5.29.31");
  for (uint32_t i = 0; i < first_urls.size(); ++i)
    EXPECT_EQ(Format(ctx.get(), "2.5.29.31", value, i), first_urls[i].empty() ? "<2>" : first_urls[i]);
  EXPECT_EQ(Format(ctx.get(), "2.5.29.31", value, static_cast<uint32_t>(points)), "<2>");
}

// The statements are written by hand; openssl's asn1parse reads the same
// bytes back, and the text must say what it reads.
TEST_F(CertPeerTest, QualifiedStatements) {
  struct Case {
    const char* hex;  // the QCStatements value
    bool ok;
  } cases[] = {
      // compliance, limit 10000 x 10^2 PLN, role 3
      {"3032" "3008060604008E460101"
       "3016060604008E460102300C1303504C4E02022710020102"
       "300E06092A84680165030101020A0103", true},
      // limit 255 x 10^0 EUR
      {"3018" "3016060604008E460102300C1303455552020200FF020100", true},
      // exponent FE: -2
      {"3017" "3015060604008E460102300B1303504C4E0201010201FE", false},
      // exponent 2^31-1
      {"301A" "3018060604008E460102300E1303504C4E02010102047FFFFFFF", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hex);
    const std::string pem = Make("qc", std::string("-subj /CN=q -addext 1.3.6.1.5.5.7.1.3=DER:") + c.hex);
    X509ContextPtr ctx = Load(pem);
    const std::vector<uint8_t> value = Extension(ctx.get(), "1.3.6.1.5.5.7.1.3");
    const std::string file = (dir_ / "qc.der").string();
    test::WriteFileBytes(file, value);
    const test::CommandResult parsed = RunCommand("openssl asn1parse -inform DER -in " + ShellQuote(file));
    ASSERT_EQ(parsed.exit_code, 0) << parsed.output;

    // What openssl reads: the currency, the amount and the exponent (hex), the role.
    std::string expected;
    const std::vector<std::string> currency = Asn1Values(parsed.output, "PRINTABLESTRING");
    const std::vector<std::string> integers = Asn1Values(parsed.output, "INTEGER");
    if (currency.size() == 1 && integers.size() == 2) {
      const long amount = std::stol(integers[0], nullptr, 16);
      const long exponent = std::stol(integers[1], nullptr, 16);
      if (exponent >= 0 && exponent < 90)
        expected += "Limit transakcji, którą jednorazowo można potwierdzić za pomocą certyfikatu: " +
                    std::to_string(amount) + std::string(static_cast<size_t>(exponent), '0') + " " +
                    currency[0] + "\r\n";
    }
    const std::vector<std::string> roles = Asn1Values(parsed.output, "ENUMERATED");
    if (roles.size() == 1 && std::stol(roles[0], nullptr, 16) == 3)
      expected += "Podmiot składający podpis działa w charakterze członka organu albo organu osoby prawnej, "
                  "albo jednostki organizacyjnej nieposiadającej osobowości prawnej.\r\n";
    EXPECT_EQ(Format(ctx.get(), "1.3.6.1.5.5.7.1.3", value, 0), c.ok ? expected : "<13>") << parsed.output;
  }
}

TEST_F(CertPeerTest, IssuerAgainstVerify) {
  const std::string other_key = (dir_ / "other.pem").string();
  ASSERT_EQ(RunCommand("openssl ecparam -name prime256v1 -genkey -noout -out " + ShellQuote(other_key)).exit_code, 0);
  const std::string ca = Make("ca", "-subj '/CN=Test CA' -addext basicConstraints=critical,CA:TRUE");
  // Another CA of the same name with its own key.
  const std::string fake = (dir_ / "fake.pem").string();
  ASSERT_EQ(RunCommand("openssl req -x509 -new -key " + ShellQuote(other_key) + " -config " +
                       ShellQuote((dir_ / "req.cnf").string()) + " -subj '/CN=Test CA' -days 30 -out " +
                       ShellQuote(fake) + " -addext basicConstraints=critical,CA:TRUE").exit_code, 0);
  const std::string csr = (dir_ / "leaf.csr").string();
  const std::string leaf = (dir_ / "leaf.pem").string();
  ASSERT_EQ(RunCommand("openssl req -new -key " + ShellQuote(other_key) + " -config " +
                       ShellQuote((dir_ / "req.cnf").string()) + " -subj /CN=Leaf -out " + ShellQuote(csr)).exit_code, 0);
  ASSERT_EQ(RunCommand("openssl x509 -req -in " + ShellQuote(csr) + " -CA " + ShellQuote(ca) + " -CAkey " +
                       ShellQuote(key_) + " -set_serial 77 -days 10 -out " + ShellQuote(leaf)).exit_code, 0);

  X509ContextPtr leaf_ctx = Load(leaf);
  for (const std::string& issuer : {ca, fake}) {
    const bool verifies = RunCommand("openssl verify -CAfile " + ShellQuote(issuer) + " " + ShellQuote(leaf)).exit_code == 0;
    X509ContextPtr ctx = Load(issuer);
    EXPECT_EQ(IsIssuerOf(ctx.get(), leaf_ctx->certificate), verifies ? 1 : 0) << issuer;
    EXPECT_EQ(IsIssuerOf(ctx.get(), ctx->certificate), 1);  // self-signed
  }
  EXPECT_EQ(IsIssuerOf(leaf_ctx.get(), leaf_ctx->certificate), 0);
}

}  // namespace
}  // namespace vel::crypto
