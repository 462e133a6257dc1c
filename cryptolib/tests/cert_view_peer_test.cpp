// The viewer's and the selection window's rows against openssl's own reading
// of certificates that `openssl req -x509` made: `openssl x509 -text` for the
// fields and extensions, `openssl verify -show_chain` for the path.
#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cryptolib/der.h"
#include "cryptolib/tests/cert_ui_fixture.h"
#include "cryptolib/ui/cert_list_model.h"
#include "cryptolib/ui/cert_view_model.h"
#include "cryptolib/lib_strings.h"

namespace vel::crypto::ui {
namespace {

namespace fs = std::filesystem;
using test::certui::Language;
using test::certui::LoadPem;
using test::certui::MakeReqCert;
using test::certui::Openssl;
using test::certui::Req;

constexpr const char* kNameOpt = " -nameopt oid,utf8,sep_comma_plus_space";
constexpr const char* kPolicyId = "1.2.616.1.113527.2.4.1.1";

// The text between the first `before` and the next `after`; empty when absent.
std::string Between(const std::string& text, const std::string& before, const std::string& after) {
  const size_t start = text.find(before);
  if (start == std::string::npos) return {};
  const size_t from = start + before.size();
  const size_t end = text.find(after, from);
  return end == std::string::npos ? std::string() : text.substr(from, end - from);
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string out;
  for (uint8_t b : bytes) {
    static const char* digits = "0123456789ABCDEF";
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

// qcStatements: compliance, a transaction limit of 1000 * 10^2 PLN, the signer's own name.
std::vector<uint8_t> QcStatements() {
  der::Writer w;
  w.Begin(der::kSequence);
  w.Begin(der::kSequence);
  w.AddOid("0.4.0.1862.1.1");
  w.End();
  w.Begin(der::kSequence);
  w.AddOid("0.4.0.1862.1.2");
  w.Begin(der::kSequence);
  w.AddString(der::kPrintableString, "PLN");
  w.AddInteger(1000);
  w.AddInteger(2);
  w.End();
  w.End();
  w.Begin(der::kSequence);
  w.AddOid("1.2.616.1.101.3.1.1.2");
  w.AddInteger(1, der::kEnumerated);
  w.End();
  w.End();
  return *w.Finish();
}

std::string PolicyConfig(const std::string& cps, bool notice) {
  std::string c = "[ext]\ncertificatePolicies = @pol\nbasicConstraints = CA:FALSE\n[pol]\n"
                  "policyIdentifier = " + std::string(kPolicyId) + "\nCPS.1 = \"" + cps + "\"\n";
  if (notice) c += "userNotice.1 = @notice\n[notice]\nexplicitText = \"UTF8:Polityka zażółć gęślą jaźń\"\n";
  return c;
}

std::string Cps(size_t length) {
  std::string uri = "http://www.example.pl/repozytorium/";
  uri += std::string(length - uri.size(), 'x');
  return uri;
}

// The PKI for the whole suite.
class CertViewPeer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new test::TempDir;
    const fs::path d = dir_->path();
    Req root;
    root.subject = "/C=PL/O=Test/CN=Root CA";
    root.serial = "0x01";
    root.days = 3650;
    root.addext = {"basicConstraints=critical,CA:TRUE", "keyUsage=critical,keyCertSign,cRLSign"};
    root_pem_ = MakeReqCert(d, "root", root);

    Req inter = root;
    inter.subject = "/C=PL/O=Test/CN=Inter CA";
    inter.serial = "0x02";
    inter.ca_cert = root_pem_;
    inter.ca_key = d / "root.key";
    inter_pem_ = MakeReqCert(d, "inter", inter);

    Req leaf;
    leaf.subject = "/C=PL/O=Spółka Testowa/GN=Jan/SN=Kowalski/CN=Jan Kowalski";
    leaf.serial = "0x0B7E";
    leaf.ca_cert = inter_pem_;
    leaf.ca_key = d / "inter.key";
    leaf.config = PolicyConfig(Cps(200), true);
    leaf.addext = {"keyUsage=critical,digitalSignature,nonRepudiation",
                   "extendedKeyUsage=emailProtection,clientAuth",
                   "subjectAltName=email:jan@example.pl,DNS:example.pl,email:biuro@example.pl",
                   "1.3.6.1.5.5.7.1.3=DER:" + Hex(QcStatements())};
    leaf_pem_ = MakeReqCert(d, "leaf", leaf);

    Req long_cps = leaf;
    long_cps.serial = "0x0C";
    long_cps.key = d / "leaf.key";
    long_cps.config = PolicyConfig(Cps(201), false);
    long_cps.addext = {};
    long_cps_pem_ = MakeReqCert(d, "leaf201", long_cps);
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }

  static std::string Text(const fs::path& pem) {
    return Openssl("x509 -in " + test::ShellQuote(pem.string()) + " -noout -text" + kNameOpt);
  }
  // "key=value" of `openssl x509 -noout -<what>`.
  static std::string Field(const fs::path& pem, const std::string& what,
                           const std::string& extra = "") {
    std::string out = Openssl("x509 -in " + test::ShellQuote(pem.string()) + " -noout -" + what +
                              extra + kNameOpt);
    out = out.substr(out.find('=') + 1);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
  }
  // The indented lines under an extension's heading in `openssl x509 -text`.
  static std::vector<std::string> ExtensionLines(const std::string& text, const std::string& head) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    bool inside = false;
    while (std::getline(in, line)) {
      const size_t indent = line.find_first_not_of(' ');
      if (inside) {
        if (indent == std::string::npos || indent <= 12) break;
        lines.push_back(line.substr(indent));
      } else if (indent == 12 && line.substr(12, head.size()) == head) {
        inside = true;
      }
    }
    return lines;
  }
  static std::vector<std::string> Split(const std::string& s, const std::string& by) {
    std::vector<std::string> parts;
    for (size_t start = 0;;) {
      const size_t at = s.find(by, start);
      parts.push_back(s.substr(start, at - start));
      if (at == std::string::npos) break;
      start = at + by.size();
    }
    return parts;
  }
  static const DetailRow* Row(const CertViewModel& m, uint32_t label) {
    for (const DetailRow& r : m.details)
      if (r.label_id == label) return &r;
    return nullptr;
  }

  static test::TempDir* dir_;
  static fs::path root_pem_, inter_pem_, leaf_pem_, long_cps_pem_;
};
test::TempDir* CertViewPeer::dir_ = nullptr;
fs::path CertViewPeer::root_pem_, CertViewPeer::inter_pem_, CertViewPeer::leaf_pem_,
    CertViewPeer::long_cps_pem_;

TEST_F(CertViewPeer, RowsMatchOpensslText) {
  VEL_REQUIRE_TOOL("openssl");
  const CertPtr cert = LoadPem(leaf_pem_);
  ASSERT_TRUE(cert);
  const std::string text = Text(leaf_pem_);
  test::certui::Stores stores;  // empty: the path is not the point here

  for (uint32_t language : {kLanguageEnglish, kLanguagePolish}) {
    SCOPED_TRACE(language);
    Language l(language);
    const bool en = language == kLanguageEnglish;
    const CertViewModel m = BuildCertViewModel(cert);
    ASSERT_EQ(m.status, 0u);

    EXPECT_EQ(Row(m, 19)->text, Between(text, "Version: ", " "));
    EXPECT_EQ(Row(m, 18)->text, Field(leaf_pem_, "serial"));

    // Names: the subject in encoded order, the issuer most specific first.
    const std::string subject = Field(leaf_pem_, "subject");
    EXPECT_EQ(Row(m, 6)->text, subject);
    std::vector<std::string> issuer = Split(Field(leaf_pem_, "issuer"), ", ");
    std::reverse(issuer.begin(), issuer.end());
    std::string reversed;
    for (const std::string& a : issuer) reversed += (reversed.empty() ? "" : ", ") + a;
    EXPECT_EQ(Row(m, 9)->text, reversed);
    const std::vector<std::string> subject_parts = Split(subject, ", ");
    ASSERT_EQ(m.subject.size(), subject_parts.size());
    for (size_t i = 0; i < subject_parts.size(); ++i) {
      const size_t eq = subject_parts[i].find('=');
      EXPECT_EQ(m.subject[i].name, GetDnAttributeLabelId(subject_parts[i].substr(0, eq)));
      EXPECT_EQ(m.subject[i].value, subject_parts[i].substr(eq + 1));
    }
    EXPECT_EQ(m.subject[1].name, en ? "Organization" : "Organizacja");
    EXPECT_EQ(m.subject[1].value, "Spółka Testowa");

    // Dates: openssl's ISO form "YYYY-MM-DD hh:mm:ssZ".
    for (const auto& [what, label] : {std::pair<std::string, uint32_t>{"startdate", 15},
                                      {"enddate", 16}}) {
      std::string iso = Field(leaf_pem_, what, " -dateopt iso_8601");
      ASSERT_EQ(iso.back(), 'Z');
      iso.pop_back();
      EXPECT_EQ(Row(m, label)->text, iso + " (UTC)");
    }
    EXPECT_EQ(m.not_before, Row(m, 15)->text);

    ASSERT_NE(text.find("Public Key Algorithm: rsaEncryption"), std::string::npos);
    EXPECT_EQ(Row(m, 20)->text, "RSA " + Between(text, "Public-Key: (", " bit)") + " bit.");

    // Key usage: openssl's names mapped to ours.
    const std::map<std::string, std::pair<std::string, std::string>> usage_names = {
        {"Digital Signature", {"Digital signature", "Podpis cyfrowy"}},
        {"Non Repudiation", {"Non-Repudiation", "Usługa niezaprzeczalności"}},
        {"E-mail Protection", {"Email protection (1.3.6.1.5.5.7.3.4)",
                               "Zabezpieczanie poczty (1.3.6.1.5.5.7.3.4)"}},
        {"TLS Web Client Authentication", {"Client authentication (1.3.6.1.5.5.7.3.2)",
                                           "Autentykacja klienta (1.3.6.1.5.5.7.3.2)"}},
    };
    const auto mapped = [&](const std::string& head) {
      const std::vector<std::string> lines = ExtensionLines(text, head);
      EXPECT_EQ(lines.size(), 1u) << head;
      std::string out;
      for (const std::string& name : Split(lines.at(0), ", ")) {
        const auto it = usage_names.find(name);
        EXPECT_NE(it, usage_names.end()) << name;
        if (it == usage_names.end()) continue;
        out += (out.empty() ? "" : ", ") + (en ? it->second.first : it->second.second);
      }
      return out;
    };
    EXPECT_EQ(Row(m, 22)->text, mapped("X509v3 Key Usage"));
    EXPECT_EQ(Row(m, 23)->text, mapped("X509v3 Extended Key Usage"));

    // Alternative names: the e-mail entries, in order, under their label.
    std::string emails;
    for (const std::string& entry : Split(ExtensionLines(text, "X509v3 Subject Alternative Name").at(0), ", "))
      if (entry.rfind("email:", 0) == 0)
        emails += std::string(GetLibString(39)) + ":\r\n  " + entry.substr(6) + "\r\n";
    EXPECT_EQ(Row(m, 31)->text, emails);

    // Policy: identifier, explicit text and CPS address as openssl reads them.
    const std::vector<std::string> policy = ExtensionLines(text, "X509v3 Certificate Policies");
    ASSERT_EQ(policy.size(), 4u);
    ASSERT_EQ(policy[0], "Policy: " + std::string(kPolicyId));
    ASSERT_EQ(policy[1].substr(0, 5), "CPS: ");
    ASSERT_EQ(policy[3].substr(0, 15), "Explicit Text: ");
    EXPECT_EQ(policy[1].size() - 5, 200u);
    EXPECT_EQ(Row(m, 24)->text, "[1]  ID = " + std::string(kPolicyId) + "\r\n[1,1] " +
                                    (en ? "UserNotice" : "Opis") + " = " + policy[3].substr(15) +
                                    "\r\n[1,2] CPS = " + policy[1].substr(5) + "\r\n");

    EXPECT_EQ(ExtensionLines(text, "X509v3 Basic Constraints"), std::vector<std::string>{"CA:FALSE"});
    EXPECT_EQ(Row(m, 21)->text, en ? "End entity" : "Certyfikat użytkownika końcowego");

    EXPECT_EQ(Row(m, 43)->text,
              "Limit transakcji, którą jednorazowo można potwierdzić za pomocą certyfikatu: "
              "100000 PLN\r\nPodmiot składający podpis działa we własnym imieniu.\r\n");

    // Extension rows come in the certificate's order, which openssl prints.
    const std::map<std::string, uint32_t> heads = {
        {"X509v3 Certificate Policies", 24}, {"X509v3 Basic Constraints", 21},
        {"X509v3 Key Usage", 22},            {"X509v3 Extended Key Usage", 23},
        {"X509v3 Subject Alternative Name", 31}, {"qcStatements", 43}};
    std::vector<uint32_t> openssl_order;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
      if (line.size() < 13 || line.find_first_not_of(' ') != 12) continue;
      const std::string head = line.substr(12, line.find(':', 12) - 12);
      if (const auto it = heads.find(head); it != heads.end()) openssl_order.push_back(it->second);
    }
    std::vector<uint32_t> ours;
    for (size_t i = 7; i < m.details.size(); ++i) ours.push_back(m.details[i].label_id);
    EXPECT_EQ(ours, openssl_order);
    EXPECT_EQ(ours.size(), 6u);
  }

  // The CA's own certificate.
  Language l(kLanguageEnglish);
  const CertViewModel ca = BuildCertViewModel(LoadPem(root_pem_));
  ASSERT_EQ(ca.status, 0u);
  EXPECT_EQ(ExtensionLines(Text(root_pem_), "X509v3 Basic Constraints"),
            std::vector<std::string>{"CA:TRUE"});
  EXPECT_EQ(Row(ca, 21)->text, "Certification authority");
  EXPECT_EQ(Row(ca, 22)->text, "Certificate signing, CRL signing");
}

TEST_F(CertViewPeer, CpsOf201CharactersIsShownWhole) {
  VEL_REQUIRE_TOOL("openssl");
  Language l(kLanguagePolish);
  test::certui::Stores stores;
  const CertViewModel m = BuildCertViewModel(LoadPem(long_cps_pem_));
  ASSERT_EQ(m.status, 0u);
  const std::vector<std::string> policy =
      ExtensionLines(Text(long_cps_pem_), "X509v3 Certificate Policies");
  ASSERT_EQ(policy.size(), 2u);
  EXPECT_EQ(policy[1].size() - 5, 201u);
  EXPECT_EQ(Row(m, 24)->text,
            "[1]  ID = " + std::string(kPolicyId) + "\r\n[1,1] CPS = " + policy[1].substr(5) + "\r\n");
}

// The display names of the path, root end first, as `openssl verify -show_chain` lists them.
std::vector<std::string> VerifyChain(const std::string& arguments) {
  const std::string out = Openssl("verify -show_chain" + std::string(kNameOpt) + " " + arguments);
  std::vector<std::string> names;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    // "depth=N: <name> [(untrusted)]", the common name last in the name.
    const size_t cn = line.rfind("2.5.4.3=");
    if (line.rfind("depth=", 0) != 0 || cn == std::string::npos) continue;
    std::string name = line.substr(cn + 8);
    name = name.substr(0, name.find(", "));
    if (const size_t mark = name.rfind(" (untrusted)"); mark != std::string::npos) name.resize(mark);
    names.insert(names.begin(), name);
  }
  return names;
}

TEST_F(CertViewPeer, PathMatchesVerifyShowChain) {
  VEL_REQUIRE_TOOL("openssl");
  const CertPtr leaf = LoadPem(leaf_pem_);
  test::certui::Stores stores;
  stores.Add("CA", LoadPem(inter_pem_));

  // Without the root: openssl accepts the chain only as a partial one; the
  // viewer shows it under the missing-issuer item.
  const std::vector<std::string> partial = VerifyChain(
      "-partial_chain -CAfile " + test::ShellQuote(inter_pem_.string()) + " " +
      test::ShellQuote(leaf_pem_.string()));
  ASSERT_EQ(partial, (std::vector<std::string>{"Inter CA", "Jan Kowalski"}));
  for (uint32_t language : {kLanguageEnglish, kLanguagePolish}) {
    Language l(language);
    const CertViewModel m = BuildCertViewModel(leaf);
    ASSERT_EQ(m.path.size(), 3u);
    EXPECT_TRUE(m.path[0].missing_issuer);
    EXPECT_EQ(m.path[0].text, GetLibString(36));
    EXPECT_EQ((std::vector<std::string>{m.path[1].text, m.path[2].text}), partial);
  }

  stores.Add("Root", LoadPem(root_pem_));
  const std::vector<std::string> full = VerifyChain(
      "-CAfile " + test::ShellQuote(root_pem_.string()) + " -untrusted " +
      test::ShellQuote(inter_pem_.string()) + " " + test::ShellQuote(leaf_pem_.string()));
  ASSERT_EQ(full, (std::vector<std::string>{"Root CA", "Inter CA", "Jan Kowalski"}));
  const CertViewModel m = BuildCertViewModel(leaf);
  std::vector<std::string> ours;
  for (const PathItem& item : m.path) {
    EXPECT_FALSE(item.missing_issuer);
    ours.push_back(item.text);
  }
  EXPECT_EQ(ours, full);
  EXPECT_EQ(PathItemToOpen(m, 2), nullptr);
  ASSERT_TRUE(PathItemToOpen(m, 1));
  EXPECT_EQ(PathItemToOpen(m, 1)->sha1(), LoadPem(inter_pem_)->sha1());
}

TEST_F(CertViewPeer, SelectionRowsMatchOpenssl) {
  VEL_REQUIRE_TOOL("openssl");
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  const std::vector<fs::path> pems = {leaf_pem_, inter_pem_, root_pem_};
  std::vector<CertPtr> candidates;
  for (const fs::path& p : pems) candidates.push_back(LoadPem(p));
  const std::vector<CertListRow> rows = BuildCertListRows(candidates);
  ASSERT_EQ(rows.size(), pems.size());
  for (size_t i = 0; i < pems.size(); ++i) {
    const auto cn = [](const std::string& name) {
      const size_t at = name.rfind("2.5.4.3=");
      return name.substr(at + 8, name.find(", ", at) - at - 8);
    };
    EXPECT_EQ(rows[i].subject, cn(Field(pems[i], "subject")));
    EXPECT_EQ(rows[i].issuer, cn(Field(pems[i], "issuer")));
    EXPECT_EQ(rows[i].serial, Field(pems[i], "serial"));
    std::string end = Field(pems[i], "enddate", " -dateopt iso_8601");
    end.pop_back();  // the zone letter; local time is UTC here
    EXPECT_EQ(rows[i].valid_to, end);
  }
}

}  // namespace
}  // namespace vel::crypto::ui
