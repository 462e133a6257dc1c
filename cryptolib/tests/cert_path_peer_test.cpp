// The path check against `openssl verify -crl_check_all` on a PKI made with
// `openssl req`, `openssl ca` and `openssl ca -gencrl`: the same certificate,
// issuers and CRLs give the same verdict. Where the two differ by design the
// difference is pinned by hand. Also the CRL download inside the check,
// against a file server on 127.0.0.1.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <map>
#include <span>
#include <thread>

#include "cryptolib/cert_path.h"
#include "cryptolib/crl_store.h"
#include "cryptolib/tests/crl_test_ca.h"
#include "cryptolib/tests/path_fixture.h"
#include "platform/testing/test_support.h"

namespace vel::crypto {
namespace {

namespace fs = std::filesystem;

// The number after the first `marker` in `text`, or -1.
int NumberAfter(const std::string& text, const std::string& marker) {
  const size_t at = text.find(marker);
  if (at == std::string::npos) return -1;
  const char* p = text.c_str() + at + marker.size();
  char* end = nullptr;
  const long n = std::strtol(p, &end, 10);
  return end == p ? -1 : static_cast<int>(n);
}
using test::RunCommand;
using test::ShellQuote;
using test::path::StoreFolder;

constexpr uint32_t kUser = CERT_SYSTEM_STORE_CURRENT_USER;

// One openssl CA: its folder, database and configuration.
class OpensslCa {
 public:
  // `cn` is the CA's common name when it differs from its folder's name.
  OpensslCa(const fs::path& dir, const std::string& name, const std::string& cn = "")
      : dir_(dir / name), name_(cn.empty() ? name : cn) {
    fs::create_directories(dir_ / "new");
    test::WriteFileText(dir_ / "index.txt", "");
    test::WriteFileText(dir_ / "serial", "1000\n");
    test::WriteFileText(dir_ / "crlnumber", "01\n");
    test::WriteFileText(dir_ / "ca.cnf", R"([ca]
default_ca = this_ca
[this_ca]
dir = )" + dir_.string() + R"(
database = $dir/index.txt
new_certs_dir = $dir/new
serial = $dir/serial
crlnumber = $dir/crlnumber
certificate = $dir/cert.pem
private_key = $dir/key.pem
default_md = sha256
default_days = 365
default_crl_days = 7
policy = any
unique_subject = no
copy_extensions = none
[any]
commonName = supplied
[req]
distinguished_name = dn
prompt = no
[dn]
CN = unused
[req_printable]
distinguished_name = dn
prompt = no
string_mask = default
[v3_ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[v3_root]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[v3_leaf]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature, nonRepudiation
authorityKeyIdentifier = keyid
[v3_ca_ku_only]
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[v3_ca_pathlen0]
basicConstraints = critical, CA:TRUE, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[v3_leaf_dp1]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature, nonRepudiation
authorityKeyIdentifier = keyid
crlDistributionPoints = URI:http://crl.peer.test/part1.crl
[crl_akid]
authorityKeyIdentifier = keyid
[crl_idp1]
authorityKeyIdentifier = keyid
issuingDistributionPoint = critical, @idp1
[idp1]
fullname = URI:http://crl.peer.test/part1.crl
[crl_idp2]
authorityKeyIdentifier = keyid
issuingDistributionPoint = critical, @idp2
[idp2]
fullname = URI:http://crl.peer.test/part2.crl
[crl_only_ca]
authorityKeyIdentifier = keyid
issuingDistributionPoint = critical, @idp_ca
[idp_ca]
onlyCA = TRUE
[crl_only_user]
authorityKeyIdentifier = keyid
issuingDistributionPoint = critical, @idp_user
[idp_user]
onlyuser = TRUE
[crl_some_reasons]
authorityKeyIdentifier = keyid
issuingDistributionPoint = critical, @idp_reasons
[idp_reasons]
fullname = URI:http://crl.peer.test/part1.crl
onlysomereasons = keyCompromise
)");
  }

  // The next serial number, in hexadecimal: two keys of one CA draw from one
  // series, as an issuer name and serial number name one certificate.
  void SerialFrom(const std::string& hex) { test::WriteFileText(dir_ / "serial", hex + "\n"); }

  fs::path Cert() const { return dir_ / "cert.pem"; }
  std::string Config() const { return ShellQuote((dir_ / "ca.cnf").string()); }

  static std::string NewKey(const fs::path& key) {
    return "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " +
           ShellQuote(key.string());
  }

  void MakeRoot() {
    Run(NewKey(dir_ / "key.pem"));
    Run("openssl req -new -x509 -config " + Config() + " -extensions v3_root -key " +
        ShellQuote((dir_ / "key.pem").string()) + " -subj " + ShellQuote("/CN=" + name_) +
        " -days 3650 -out " + ShellQuote(Cert().string()));
  }

  // A request for this CA's key under its name, or under `spelling` when
  // given; `printable` writes the name as PrintableString, else UTF8String.
  fs::path Request(const std::string& spelling = "", bool printable = false) const {
    const fs::path csr = dir_ / "ca.csr";
    Run("openssl req -new -config " + Config() + (printable ? " -section req_printable" : "") +
        " -key " + ShellQuote((dir_ / "key.pem").string()) + " -subj " +
        ShellQuote("/CN=" + (spelling.empty() ? name_ : spelling)) + " -out " +
        ShellQuote(csr.string()));
    return csr;
  }

  // This CA's key and certificate, its certificate issued by `parent` with
  // the extensions of section `ext`, its name written as `Request` does.
  void MakeUnder(OpensslCa& parent, const std::string& ext = "v3_ca",
                 const std::string& spelling = "", bool printable = false) {
    Run(NewKey(dir_ / "key.pem"));
    parent.Sign(Request(spelling, printable), Cert(), ext, "");
  }

  // A new certificate from `parent` for this CA's key, its name written
  // otherwise; what the CA issues from now on names it so.
  void Recertify(OpensslCa& parent, const std::string& spelling, bool printable) {
    parent.Sign(Request(spelling, printable), Cert(), "v3_ca", "");
  }

  // `other`'s key certified by this CA under `other`'s name: one key of a
  // CA certifying another of the same CA, as at a key rollover.
  fs::path CertifyKeyOf(const OpensslCa& other, const std::string& file) {
    const fs::path out = dir_ / file;
    Sign(other.Request(), out, "v3_ca", "");
    return out;
  }

  // A new end-entity certificate; `dates` are extra openssl ca options.
  fs::path IssueLeaf(const std::string& cn, const std::string& dates = "",
                     const std::string& ext = "v3_leaf") {
    const fs::path key = dir_ / (cn + ".key"), csr = dir_ / (cn + ".csr"),
                   cert = dir_ / (cn + ".pem");
    Run(NewKey(key));
    Run("openssl req -new -config " + Config() + " -key " + ShellQuote(key.string()) +
        " -subj " + ShellQuote("/CN=" + cn) + " -out " + ShellQuote(csr.string()));
    Sign(csr, cert, ext, dates);
    return cert;
  }

  void Sign(const fs::path& csr, const fs::path& out, const std::string& ext,
            const std::string& dates) {
    Run("openssl ca -batch -notext -config " + Config() + " -extensions " + ext + " " + dates +
        " -in " + ShellQuote(csr.string()) + " -out " + ShellQuote(out.string()));
  }

  void Revoke(const fs::path& cert, const std::string& reason = "") {
    Run("openssl ca -config " + Config() + " -revoke " + ShellQuote(cert.string()) +
        (reason.empty() ? "" : " -crl_reason " + reason));
  }

  // A CRL as PEM; `options` e.g. the update times.
  fs::path GenCrl(const std::string& file, const std::string& options = "") {
    const fs::path out = dir_ / file;
    Run("openssl ca -config " + Config() + " -gencrl " + options + " -out " +
        ShellQuote(out.string()));
    return out;
  }

  static void Run(const std::string& command) {
    const test::CommandResult r = RunCommand(command);
    ASSERT_EQ(r.exit_code, 0) << command << "\n" << r.output;
  }

 private:
  fs::path dir_;
  std::string name_;
};

std::vector<uint8_t> PemToDer(const fs::path& pem, const char* kind) {
  const fs::path der = pem.string() + ".der";
  const test::CommandResult r = RunCommand(std::string("openssl ") + kind + " -in " +
                                           ShellQuote(pem.string()) + " -outform DER -out " +
                                           ShellQuote(der.string()));
  EXPECT_EQ(r.exit_code, 0) << r.output;
  return test::ReadFileBytes(der);
}

CertPtr LoadCert(const fs::path& pem) {
  CertPtr c = platform::CertContext::FromDer(PemToDer(pem, "x509"));
  EXPECT_TRUE(c) << pem;
  return c;
}
CrlPtr LoadCrl(const fs::path& pem) {
  CrlPtr c = platform::CrlContext::FromDer(PemToDer(pem, "crl"));
  EXPECT_TRUE(c) << pem;
  return c;
}

// openssl's verdict, as our status.
struct OpensslVerdict {
  int error = -1;  // 0 OK, else the X509_V_ERR number
  std::string output;
};

OpensslVerdict OpensslVerify(const fs::path& dir, const fs::path& root,
                             const std::vector<fs::path>& intermediates,
                             const std::vector<fs::path>& crls, const fs::path& leaf) {
  const auto bundle = [&](const char* name, const std::vector<fs::path>& files) {
    std::string text;
    for (const fs::path& f : files) text += test::ReadFileText(f);
    test::WriteFileText(dir / name, text);
    return ShellQuote((dir / name).string());
  };
  std::string cmd = "openssl verify -crl_check_all -extended_crl -CAfile " +
                    ShellQuote(root.string());
  if (!intermediates.empty()) cmd += " -untrusted " + bundle("untrusted.pem", intermediates);
  if (!crls.empty()) cmd += " -CRLfile " + bundle("crls-for-verify.pem", crls);
  cmd += " " + ShellQuote(leaf.string());
  OpensslVerdict v;
  const test::CommandResult r = RunCommand(cmd);
  v.output = r.output;
  if (r.exit_code == 0 && r.output.find(": OK") != std::string::npos)
    v.error = 0;
  else
    v.error = NumberAfter(r.output, "error ");
  return v;
}

// The status that openssl's verdict means for us.
LibraryErrorCode FromOpenssl(int error) {
  switch (error) {
    case 0: return 0;
    case 23: return CERT_E_REVOKED;          // certificate revoked
    case 10: return CERT_E_EXPIRED;          // certificate has expired
    case 9: return CERT_E_EXPIRED;           // certificate is not yet valid
    case 2:                                  // unable to get issuer certificate
    case 20: return CERT_E_CHAINING;         // unable to get local issuer certificate
    case 3: return CRYPT_E_NO_REVOCATION_CHECK;   // unable to get certificate CRL
    case 12: return CRYPT_E_NO_REVOCATION_CHECK;  // CRL has expired (pinned below)
    // A certificate that may not issue (no basicConstraints, or no room left
    // under a pathLenConstraint) is no issuer for us: no path is left.
    case 24:                                 // invalid CA certificate
    case 79: return CERT_E_CHAINING;         // invalid CA certificate (at lookup)
    case 25: return CERT_E_CHAINING;         // path length constraint exceeded
    case 44: return CRYPT_E_NO_REVOCATION_CHECK;  // different CRL scope
    case 54: return CRYPT_E_NO_REVOCATION_CHECK;  // CRL path validation error
    default: return 0xFFFFFFFF;
  }
}

class PathPeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VEL_REQUIRE_TOOL("openssl");
    root = std::make_unique<OpensslCa>(tmp.path(), "Peer Root");
    ca = std::make_unique<OpensslCa>(tmp.path(), "Peer CA");
    stranger = std::make_unique<OpensslCa>(tmp.path(), "Peer Stranger");
    root->MakeRoot();
    ca->MakeUnder(*root);
    stranger->MakeRoot();

    good = ca->IssueLeaf("good");
    revoked = ca->IssueLeaf("revoked");
    expired = ca->IssueLeaf("expired", "-startdate 20200101000000Z -enddate 20210101000000Z");
    unknown = stranger->IssueLeaf("unknown");

    ca_crl_clean = ca->GenCrl("ca-clean.crl");
    ca_crl_expired = ca->GenCrl(
        "ca-expired.crl", "-crl_lastupdate 20200101000000Z -crl_nextupdate 20200108000000Z");
    root_crl_clean = root->GenCrl("root-clean.crl");
    ca->Revoke(revoked);
    ca_crl_revoking = ca->GenCrl("ca-revoking.crl");
    root->Revoke(ca->Cert());
    root_crl_revoking = root->GenCrl("root-revoking.crl");
  }

  // Our status with the root in "ROOT", the CA in "CA" and the CRLs in the
  // CRL store, in both modes (no addresses: nothing to download).
  LibraryErrorCode Ours(const fs::path& leaf, const std::vector<fs::path>& crls) {
    return Ours({ca->Cert()}, crls, leaf);
  }
  LibraryErrorCode Ours(const std::vector<fs::path>& intermediates,
                        const std::vector<fs::path>& crls, const fs::path& leaf,
                        const fs::path& anchor = {}) {
    StoreFolder stores;
    stores.AddCert("ROOT", LoadCert(anchor.empty() ? root->Cert() : anchor));
    for (const fs::path& c : intermediates) stores.AddCert("CA", LoadCert(c));
    for (const fs::path& c : crls) stores.AddCrl(LoadCrl(c));
    X509ContextPtr ctx = MakeX509Context();
    SetCertificateContext(ctx.get(), LoadCert(leaf));
    const LibraryErrorCode offline = VerifyCertificate(ctx.get(), kUser, 1);
    EXPECT_EQ(VerifyCertificate(ctx.get(), kUser, 0), offline);
    return offline;
  }

  // Two CAs named "Peer Twin CA" under the root, each with a key of its own;
  // the first issued `twin_leaf` and revoked it.
  void MakeTwins() {
    twin_a = std::make_unique<OpensslCa>(tmp.path(), "twin-a", "Peer Twin CA");
    twin_b = std::make_unique<OpensslCa>(tmp.path(), "twin-b", "Peer Twin CA");
    twin_a->MakeUnder(*root);
    twin_b->MakeUnder(*root);
    twin_leaf = twin_a->IssueLeaf("twin-leaf");
    twin_a->Revoke(twin_leaf);
  }

  // One path under a trust anchor of our own, checked by openssl and by us.
  struct AnchoredCase {
    const char* what;
    fs::path anchor;
    std::vector<fs::path> intermediates;
    std::vector<fs::path> crls;
    fs::path leaf;
    LibraryErrorCode want;
    int openssl_error;
    const char* differs = nullptr;  // why our verdict is not openssl's
  };
  void CheckAgainstOpenssl(std::span<const AnchoredCase> cases) {
    for (const AnchoredCase& c : cases) {
      SCOPED_TRACE(c.what);
      const OpensslVerdict peer =
          OpensslVerify(tmp.path(), c.anchor, c.intermediates, c.crls, c.leaf);
      EXPECT_EQ(peer.error, c.openssl_error) << peer.output;
      const LibraryErrorCode ours = Ours(c.intermediates, c.crls, c.leaf, c.anchor);
      EXPECT_EQ(ours, c.want);
      if (c.differs == nullptr) {
        EXPECT_EQ(ours, FromOpenssl(peer.error)) << peer.output;
      }
    }
  }

  test::TempDir tmp;
  std::unique_ptr<OpensslCa> root, ca, stranger, twin_a, twin_b;
  fs::path twin_leaf;
  fs::path good, revoked, expired, unknown;
  fs::path ca_crl_clean, ca_crl_expired, ca_crl_revoking, root_crl_clean, root_crl_revoking;
};

TEST_F(PathPeerTest, AgreesWithOpensslVerify) {
  struct Case {
    const char* what;
    fs::path leaf;
    std::vector<fs::path> crls;
    LibraryErrorCode want;
    int openssl_error;  // what openssl says, pinned
  } cases[] = {
      {"good", good, {ca_crl_clean, root_crl_clean}, 0, 0},
      {"revoked leaf", revoked, {ca_crl_revoking, root_crl_clean}, CERT_E_REVOKED, 23},
      {"revoked CA", good, {ca_crl_clean, root_crl_revoking}, CERT_E_REVOKED, 23},
      {"expired leaf", expired, {ca_crl_clean, root_crl_clean}, CERT_E_EXPIRED, 10},
      {"unknown issuer", unknown, {ca_crl_clean, root_crl_clean}, CERT_E_CHAINING, 20},
      {"no CRL of the CA", good, {root_crl_clean}, CRYPT_E_NO_REVOCATION_CHECK, 3},
      {"no CRL of the root", good, {ca_crl_clean}, CRYPT_E_NO_REVOCATION_CHECK, 3},
      {"no CRLs", good, {}, CRYPT_E_NO_REVOCATION_CHECK, 3},
      // openssl names the expired CRL; for us a CRL past its next update is no
      // CRL: the check could not be made.
      {"expired CRL", good, {ca_crl_expired, root_crl_clean}, CRYPT_E_NO_REVOCATION_CHECK, 12},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const OpensslVerdict peer =
        OpensslVerify(tmp.path(), root->Cert(), {ca->Cert()}, c.crls, c.leaf);
    EXPECT_EQ(peer.error, c.openssl_error) << peer.output;
    const LibraryErrorCode ours = Ours(c.leaf, c.crls);
    EXPECT_EQ(ours, c.want);
    EXPECT_EQ(ours, FromOpenssl(peer.error)) << peer.output;
  }
}

// Paths that must fail although every signature on them is good: issuers
// that may not issue, and CRLs whose scope does not cover the certificate.
// Each is checked by openssl too, with the extended CRL support that knows
// issuingDistributionPoint.
TEST_F(PathPeerTest, ConstraintsAndCrlScopesAgreeWithOpensslVerify) {
  // A CA with keyCertSign but no basicConstraints.
  OpensslCa ku_ca(tmp.path(), "Peer KU CA");
  ku_ca.MakeUnder(*root, "v3_ca_ku_only");
  const fs::path ku_leaf = ku_ca.IssueLeaf("ku-leaf");
  const fs::path ku_crl = ku_ca.GenCrl("ku.crl");
  // A CA with pathLenConstraint 0, a CA under it, and a leaf under each.
  OpensslCa len0(tmp.path(), "Peer Len0 CA"), sub(tmp.path(), "Peer Sub CA");
  len0.MakeUnder(*root, "v3_ca_pathlen0");
  sub.MakeUnder(len0);
  const fs::path len0_leaf = len0.IssueLeaf("len0-leaf");
  const fs::path sub_leaf = sub.IssueLeaf("sub-leaf");
  const fs::path len0_crl = len0.GenCrl("len0.crl"), sub_crl = sub.GenCrl("sub.crl");
  // A CA whose CRLs are partitioned by distribution point, by kind and by
  // reason; its leaves name part 1.
  OpensslCa part(tmp.path(), "Peer Part CA");
  part.MakeUnder(*root);
  const fs::path part_good = part.IssueLeaf("part-good", "", "v3_leaf_dp1");
  const fs::path part_revoked = part.IssueLeaf("part-revoked", "", "v3_leaf_dp1");
  const fs::path plain_leaf = part.IssueLeaf("part-plain");  // no distribution point
  const fs::path idp1_clean = part.GenCrl("idp1-clean.crl", "-crlexts crl_idp1");
  const fs::path idp2_clean = part.GenCrl("idp2-clean.crl", "-crlexts crl_idp2");
  const fs::path reasons_clean = part.GenCrl("reasons-clean.crl", "-crlexts crl_some_reasons");
  part.Revoke(part_revoked, "keyCompromise");
  part.Revoke(plain_leaf, "keyCompromise");
  const fs::path idp1 = part.GenCrl("idp1.crl", "-crlexts crl_idp1");
  const fs::path idp2 = part.GenCrl("idp2.crl", "-crlexts crl_idp2");
  const fs::path only_ca = part.GenCrl("only-ca.crl", "-crlexts crl_only_ca");
  const fs::path only_user = part.GenCrl("only-user.crl", "-crlexts crl_only_user");
  const fs::path reasons = part.GenCrl("reasons.crl", "-crlexts crl_some_reasons");
  const fs::path complete = part.GenCrl("complete.crl", "-crlexts crl_akid");
  // The root's CRL with onlyContainsUserCerts: says nothing about a CA.
  const fs::path root_only_user = root->GenCrl("root-only-user.crl", "-crlexts crl_only_user");

  struct Case {
    const char* what;
    std::vector<fs::path> intermediates;
    std::vector<fs::path> crls;
    fs::path leaf;
    LibraryErrorCode want;
    int openssl_error;
  } cases[] = {
      {"CA without basicConstraints", {ku_ca.Cert()}, {ku_crl, root_crl_clean}, ku_leaf,
       CERT_E_CHAINING, 79},
      {"leaf under a pathLen 0 CA", {len0.Cert()}, {len0_crl, root_crl_clean}, len0_leaf, 0, 0},
      {"CA under a pathLen 0 CA", {len0.Cert(), sub.Cert()}, {sub_crl, len0_crl, root_crl_clean},
       sub_leaf, CERT_E_CHAINING, 25},
      {"partition naming the leaf's point", {part.Cert()}, {idp1_clean, root_crl_clean},
       part_good, 0, 0},
      {"partition listing the leaf", {part.Cert()}, {idp1, root_crl_clean}, part_revoked,
       CERT_E_REVOKED, 23},
      {"another partition only", {part.Cert()}, {idp2, root_crl_clean}, part_revoked,
       CRYPT_E_NO_REVOCATION_CHECK, 44},
      {"both partitions", {part.Cert()}, {idp2, idp1, root_crl_clean}, part_revoked,
       CERT_E_REVOKED, 23},
      {"partition for a leaf without points", {part.Cert()}, {idp1, root_crl_clean}, plain_leaf,
       CRYPT_E_NO_REVOCATION_CHECK, 44},
      {"only-CA CRL for a leaf", {part.Cert()}, {only_ca, root_crl_clean}, part_revoked,
       CRYPT_E_NO_REVOCATION_CHECK, 44},
      {"only-user CRL for a leaf", {part.Cert()}, {only_user, root_crl_clean}, part_revoked,
       CERT_E_REVOKED, 23},
      {"some reasons, not listed", {part.Cert()}, {reasons_clean, root_crl_clean}, part_good,
       CRYPT_E_NO_REVOCATION_CHECK, 3},
      {"some reasons, listed", {part.Cert()}, {reasons, root_crl_clean}, part_revoked,
       CERT_E_REVOKED, 23},
      {"only-user CRL of the root for a CA", {part.Cert()}, {complete, root_only_user},
       part_good, CRYPT_E_NO_REVOCATION_CHECK, 44},
      {"complete CRL after partitions", {part.Cert()}, {idp2_clean, complete, root_crl_clean},
       part_revoked, CERT_E_REVOKED, 23},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const OpensslVerdict peer =
        OpensslVerify(tmp.path(), root->Cert(), c.intermediates, c.crls, c.leaf);
    EXPECT_EQ(peer.error, c.openssl_error) << peer.output;
    const LibraryErrorCode ours = Ours(c.intermediates, c.crls, c.leaf);
    EXPECT_EQ(ours, c.want);
    EXPECT_EQ(ours, FromOpenssl(peer.error)) << peer.output;
  }
}

// Two CAs of one name with two keys: the leaf of the first is revoked in
// its CRL, the second's CRL lists nothing. Whichever arrives first, the
// leaf comes out revoked.
TEST_F(PathPeerTest, CrlsOfTwoKeysOfOneNameStayApart) {
  MakeTwins();
  OpensslCa &first = *twin_a, &second = *twin_b;
  const fs::path& leaf = twin_leaf;
  const fs::path first_crl = first.GenCrl("first.crl", "-crlexts crl_akid");
  const fs::path second_crl = second.GenCrl("second.crl", "-crlexts crl_akid");
  for (const auto& crls : {std::vector<fs::path>{first_crl, second_crl, root_crl_clean},
                           std::vector<fs::path>{second_crl, first_crl, root_crl_clean}}) {
    const OpensslVerdict peer =
        OpensslVerify(tmp.path(), root->Cert(), {first.Cert(), second.Cert()}, crls, leaf);
    EXPECT_EQ(peer.error, 23) << peer.output;
    EXPECT_EQ(Ours({first.Cert(), second.Cert()}, crls, leaf), CERT_E_REVOKED);
    EXPECT_EQ(Ours({second.Cert(), first.Cert()}, crls, leaf), CERT_E_REVOKED);
  }
}

// A time for openssl's -crl_lastupdate, `seconds` from now.
std::string OpensslTime(long seconds) {
  const std::time_t t = std::time(nullptr) + seconds;
  struct tm tm {};
  ::gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d%H%M%SZ", &tm);
  return text;
}

bool SameBytes(const fs::path& pem, const CrlPtr& crl) {
  return crl && std::ranges::equal(PemToDer(pem, "crl"), crl->der());
}

// CAs whose name is written in another form than before: another string
// type, case or spacing. Their leaves name them the old way, their current
// certificates and CRLs the new way; the names still match.
TEST_F(PathPeerTest, NamesInOtherFormsAgreeWithOpensslVerify) {
  // A CA certified under its name written `before` issues a good and a
  // revoked leaf; certified again under `after`, it names itself so in its
  // CRL from then on.
  struct RenamedCa {
    fs::path cert, good, revoked, crl;
  };
  const auto renamed_ca = [&](const std::string& name, const std::string& before,
                              bool before_printable, const std::string& after,
                              bool after_printable) {
    OpensslCa ca(tmp.path(), name);
    ca.MakeUnder(*root, "v3_ca", before, before_printable);
    RenamedCa out{ca.Cert(), ca.IssueLeaf("good"), ca.IssueLeaf("revoked"), {}};
    ca.Recertify(*root, after, after_printable);
    ca.Revoke(out.revoked);
    out.crl = ca.GenCrl("ca.crl", "-crlexts crl_akid");
    return out;
  };
  const RenamedCa switched =  // PrintableString first, UTF8String now
      renamed_ca("Peer Switched CA", "", true, "Peer Switched CA", false);
  const RenamedCa spaced =  // upper case and extra spaces first, plain now
      renamed_ca("Peer Spaced CA", "  PEER   spaced ca ", false, "Peer Spaced CA", true);
  const RenamedCa renamed =  // another name: not the same CA by name, whatever its key
      renamed_ca("Peer Renamed CA", "", false, "Peer Renamed-CA", false);
  // A pathLen 0 CA whose next key it certified under its name in
  // PrintableString: self-issued, so not counted against the constraint.
  OpensslCa len0(tmp.path(), "Peer Len0 Roll CA");
  OpensslCa len0_next(tmp.path(), "len0-next", "Peer Len0 Roll CA");
  OpensslCa len0_other(tmp.path(), "len0-other", "Peer Len0 Other CA");
  len0.MakeUnder(*root, "v3_ca_pathlen0");
  len0_next.MakeUnder(len0, "v3_ca", "", true);
  len0_other.MakeUnder(len0);
  const fs::path next_leaf = len0_next.IssueLeaf("len0-next-leaf");
  const fs::path other_leaf = len0_other.IssueLeaf("len0-other-leaf");
  const fs::path len0_crl = len0.GenCrl("len0.crl", "-crlexts crl_akid");
  const fs::path next_crl = len0_next.GenCrl("len0-next.crl", "-crlexts crl_akid");
  const fs::path other_crl = len0_other.GenCrl("len0-other.crl", "-crlexts crl_akid");

  // The fixtures show the fault: the names differ as bytes.
  EXPECT_FALSE(std::ranges::equal(LoadCert(switched.good)->issuer_der(),
                                  LoadCert(switched.cert)->subject_der()));
  EXPECT_FALSE(std::ranges::equal(LoadCert(spaced.good)->issuer_der(),
                                  LoadCert(spaced.cert)->subject_der()));
  EXPECT_FALSE(std::ranges::equal(LoadCert(len0_next.Cert())->issuer_der(),
                                  LoadCert(len0_next.Cert())->subject_der()));

  const fs::path anchor = root->Cert();
  const AnchoredCase cases[] = {
      {"PrintableString then UTF8String", anchor, {switched.cert}, {switched.crl, root_crl_clean},
       switched.good, 0, 0},
      {"PrintableString then UTF8String, revoked", anchor, {switched.cert},
       {switched.crl, root_crl_clean}, switched.revoked, CERT_E_REVOKED, 23},
      {"case and spaces", anchor, {spaced.cert}, {spaced.crl, root_crl_clean}, spaced.good, 0, 0},
      {"case and spaces, revoked", anchor, {spaced.cert}, {spaced.crl, root_crl_clean},
       spaced.revoked, CERT_E_REVOKED, 23},
      {"another name", anchor, {renamed.cert}, {renamed.crl, root_crl_clean}, renamed.good,
       CRYPT_E_NO_REVOCATION_CHECK, 20,
       "our paths chain by key; a CRL of another name never answers for the leaf"},
      {"self-issued under pathLen 0", anchor, {len0.Cert(), len0_next.Cert()},
       {next_crl, len0_crl, root_crl_clean}, next_leaf, 0, 0},
      {"another CA under pathLen 0", anchor, {len0.Cert(), len0_other.Cert()},
       {other_crl, len0_crl, root_crl_clean}, other_leaf, CERT_E_CHAINING, 25},
  };
  CheckAgainstOpenssl(cases);
}

// One CA's older CRL written with its name in PrintableString and its newer
// one in UTF8String: both stay in the store (their slots differ by the
// name's bytes), and the path check takes the newer, whichever came first.
TEST_F(PathPeerTest, NewerCrlWithNameInAnotherFormIsPreferred) {
  OpensslCa switched(tmp.path(), "Peer Switched CA");
  switched.MakeUnder(*root, "v3_ca", "", true);
  const fs::path leaf = switched.IssueLeaf("switched-leaf");
  const fs::path older =
      switched.GenCrl("older.crl", "-crl_lastupdate " + OpensslTime(-2 * test::path::kDay));
  switched.Recertify(*root, "Peer Switched CA", false);
  const fs::path newer = switched.GenCrl("newer.crl");
  const CertPtr ca_cert = LoadCert(switched.Cert());

  for (const auto& order : {std::vector<fs::path>{older, newer},
                            std::vector<fs::path>{newer, older}}) {
    SCOPED_TRACE(order.front().filename().string());
    StoreFolder stores;
    stores.AddCert("ROOT", LoadCert(root->Cert()));
    stores.AddCert("CA", ca_cert);
    ASSERT_EQ(AddCrlToStore(kUser, LoadCrl(root_crl_clean), LoadCert(root->Cert())), 0u);
    for (const fs::path& crl : order) ASSERT_EQ(AddCrlToStore(kUser, LoadCrl(crl), ca_cert), 0u);
    EXPECT_EQ(stores.StoredCrls().size(), 3u);

    X509ContextPtr ctx = MakeX509Context();
    SetCertificateContext(ctx.get(), LoadCert(leaf));
    EXPECT_EQ(VerifyCertificate(ctx.get(), kUser, 1), 0u);
    CertChainPtr chain = GetCertificateChain(ctx.get(), kUser);
    ASSERT_TRUE(chain);
    ASSERT_EQ(chain->chains.at(0).elements.size(), 3u);
    EXPECT_TRUE(SameBytes(newer, chain->chains[0].elements[1].base_crl));
  }
}

// A root that rolled its key over: the old key certified the new one
// ("new with old") and the new key the old one ("old with new"). Each
// certificate is checked against the CRL of the key that signed it.
TEST_F(PathPeerTest, KeyRolloverAgreesWithOpensslVerify) {
  OpensslCa old_root(tmp.path(), "roll-old", "Peer Roll Root");
  OpensslCa new_root(tmp.path(), "roll-new", "Peer Roll Root");
  old_root.MakeRoot();
  new_root.MakeRoot();
  new_root.SerialFrom("2000");
  const fs::path old_leaf = old_root.IssueLeaf("roll-old-leaf");
  const fs::path new_leaf = new_root.IssueLeaf("roll-new-leaf");
  const fs::path new_with_old = old_root.CertifyKeyOf(new_root, "new-with-old.pem");
  const fs::path old_with_new = new_root.CertifyKeyOf(old_root, "old-with-new.pem");
  const fs::path old_clean = old_root.GenCrl("old-clean.crl", "-crlexts crl_akid");
  const fs::path new_clean = new_root.GenCrl("new-clean.crl", "-crlexts crl_akid");
  old_root.Revoke(old_leaf);
  const fs::path old_lists_leaf = old_root.GenCrl("old-leaf.crl", "-crlexts crl_akid");
  old_root.Revoke(new_with_old);
  const fs::path old_lists_link = old_root.GenCrl("old-link.crl", "-crlexts crl_akid");
  new_root.Revoke(new_leaf);
  const fs::path new_lists_leaf = new_root.GenCrl("new-leaf.crl", "-crlexts crl_akid");
  // A CA under the root whose old key certified its new one.
  OpensslCa ca_old(tmp.path(), "roll-ca-old", "Peer Roll CA");
  OpensslCa ca_new(tmp.path(), "roll-ca-new", "Peer Roll CA");
  ca_old.MakeUnder(*root);
  ca_new.MakeUnder(ca_old);
  ca_new.SerialFrom("2000");
  const fs::path ca_new_leaf = ca_new.IssueLeaf("roll-ca-new-leaf");
  const fs::path ca_new_clean = ca_new.GenCrl("ca-new-clean.crl", "-crlexts crl_akid");
  const fs::path ca_old_clean = ca_old.GenCrl("ca-old-clean.crl", "-crlexts crl_akid");
  ca_old.Revoke(ca_new.Cert());
  const fs::path ca_old_lists_link = ca_old.GenCrl("ca-old-link.crl", "-crlexts crl_akid");

  const fs::path old_anchor = old_root.Cert(), new_anchor = new_root.Cert();
  const AnchoredCase cases[] = {
      {"new leaf, old anchor", old_anchor, {new_with_old}, {new_clean, old_clean}, new_leaf, 0, 0},
      {"old leaf, new anchor", new_anchor, {old_with_new}, {old_clean, new_clean}, old_leaf, 0, 0},
      {"both links, old anchor", old_anchor, {old_with_new, new_with_old},
       {new_clean, old_clean}, new_leaf, 0, 0},
      {"new leaf revoked", old_anchor, {new_with_old}, {new_lists_leaf, old_clean}, new_leaf,
       CERT_E_REVOKED, 23},
      {"old leaf revoked", new_anchor, {old_with_new}, {old_lists_leaf, new_clean}, old_leaf,
       CERT_E_REVOKED, 23},
      {"new-with-old revoked by the old key", old_anchor, {new_with_old},
       {new_clean, old_lists_link}, new_leaf, CERT_E_REVOKED, 23},
      {"the old key revoked the old leaf only", old_anchor, {new_with_old},
       {new_clean, old_lists_leaf}, new_leaf, 0, 0},
      {"new leaf, only the old key's CRL", old_anchor, {new_with_old}, {old_clean}, new_leaf,
       CRYPT_E_NO_REVOCATION_CHECK, 0,
       "a CRL answers only for what the key that signed it issued"},
      {"new-with-old, only the new key's CRL", old_anchor, {new_with_old}, {new_clean}, new_leaf,
       CRYPT_E_NO_REVOCATION_CHECK, 54},
      {"CA's new key under its old", root->Cert(), {ca_old.Cert(), ca_new.Cert()},
       {ca_new_clean, ca_old_clean, root_crl_clean}, ca_new_leaf, 0, 0},
      {"CA's new key revoked by its old", root->Cert(), {ca_old.Cert(), ca_new.Cert()},
       {ca_new_clean, ca_old_lists_link, root_crl_clean}, ca_new_leaf, CERT_E_REVOKED, 23},
      {"CA's new key, only the old key's CRL", root->Cert(), {ca_old.Cert(), ca_new.Cert()},
       {ca_old_clean, root_crl_clean}, ca_new_leaf, CRYPT_E_NO_REVOCATION_CHECK, 0,
       "a CRL answers only for what the key that signed it issued"},
  };
  CheckAgainstOpenssl(cases);
}

TEST_F(PathPeerTest, DownloadsMissingCrlsAndKeepsThem) {
  const fs::path served = tmp.path() / "served";
  fs::create_directories(served);
  test::WriteFileBytes(served / "ca.crl", PemToDer(ca_crl_revoking, "crl"));
  test::WriteFileBytes(served / "root.crl", PemToDer(root_crl_clean, "crl"));
  test::StaticFileServer server(served);
  ASSERT_NE(server.port(), 0);

  StoreFolder stores;
  stores.AddCert("ROOT", LoadCert(root->Cert()));
  stores.AddCert("CA", LoadCert(ca->Cert()));
  // An outdated CRL of the CA is in the store; a missing file comes first.
  stores.AddCrl(LoadCrl(ca_crl_expired));

  X509ContextPtr ctx = MakeX509Context();
  for (const char* name : {"missing.crl", "root.crl", "ca.crl"})
    ASSERT_EQ(AddCrlUrl(ctx.get(), server.Url(name).c_str()), 0u);

  SetCertificateContext(ctx.get(), LoadCert(good));
  EXPECT_EQ(VerifyCertificate(ctx.get(), kUser, 1), CRYPT_E_NO_REVOCATION_CHECK);
  EXPECT_EQ(VerifyCertificate(ctx.get(), kUser, 0), 0u);
  EXPECT_EQ(stores.StoredCrls().size(), 2u);  // both kept, the outdated one replaced
  // Now current in the store: offline works, and the revoked leaf is seen.
  EXPECT_EQ(VerifyCertificate(ctx.get(), kUser, 1), 0u);
  SetCertificateContext(ctx.get(), LoadCert(revoked));
  EXPECT_EQ(VerifyCertificate(ctx.get(), kUser, 1), CERT_E_REVOKED);
}

// The same twins with CRLs that carry no key identifier, downloaded in both
// orders: each is stored under the key that signed it, so neither takes the
// other's place, offline afterwards included.
TEST_F(PathPeerTest, DownloadedCrlsOfTwoKeysOfOneNameStayApart) {
  MakeTwins();
  OpensslCa &first = *twin_a, &second = *twin_b;
  const fs::path& leaf = twin_leaf;
  const fs::path served = tmp.path() / "served-twins";
  fs::create_directories(served);
  test::WriteFileBytes(served / "first.crl", PemToDer(first.GenCrl("first.crl"), "crl"));
  test::WriteFileBytes(served / "second.crl", PemToDer(second.GenCrl("second.crl"), "crl"));
  test::WriteFileBytes(served / "root.crl", PemToDer(root_crl_clean, "crl"));
  test::StaticFileServer server(served);
  ASSERT_NE(server.port(), 0);

  for (const auto& order : {std::vector<std::string>{"first.crl", "second.crl", "root.crl"},
                            std::vector<std::string>{"second.crl", "first.crl", "root.crl"}}) {
    SCOPED_TRACE(order.front());
    StoreFolder stores;
    stores.AddCert("ROOT", LoadCert(root->Cert()));
    stores.AddCert("CA", LoadCert(first.Cert()));
    stores.AddCert("CA", LoadCert(second.Cert()));
    X509ContextPtr ctx = MakeX509Context();
    for (const std::string& name : order) ASSERT_EQ(AddCrlUrl(ctx.get(), server.Url(name).c_str()), 0u);
    SetCertificateContext(ctx.get(), LoadCert(leaf));
    EXPECT_EQ(VerifyCertificate(ctx.get(), kUser, 0), CERT_E_REVOKED);
    EXPECT_EQ(VerifyCertificate(ctx.get(), kUser, 1), CERT_E_REVOKED);
  }
}

}  // namespace
}  // namespace vel::crypto
