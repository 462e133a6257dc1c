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
#include <map>
#include <thread>

#include "cryptolib/cert_path.h"
#include "cryptolib/crl_store.h"
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

  // This CA's key and certificate, its certificate issued by `parent` with
  // the extensions of section `ext`.
  void MakeUnder(OpensslCa& parent, const std::string& ext = "v3_ca") {
    Run(NewKey(dir_ / "key.pem"));
    const fs::path csr = dir_ / "ca.csr";
    Run("openssl req -new -config " + Config() + " -key " +
        ShellQuote((dir_ / "key.pem").string()) + " -subj " + ShellQuote("/CN=" + name_) +
        " -out " + ShellQuote(csr.string()));
    parent.Sign(csr, Cert(), ext, "");
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
                        const std::vector<fs::path>& crls, const fs::path& leaf) {
    StoreFolder stores;
    stores.AddCert("ROOT", LoadCert(root->Cert()));
    for (const fs::path& c : intermediates) stores.AddCert("CA", LoadCert(c));
    for (const fs::path& c : crls) stores.AddCrl(LoadCrl(c));
    X509ContextPtr ctx = MakeX509Context();
    SetCertificateContext(ctx.get(), LoadCert(leaf));
    const LibraryErrorCode offline = VerifyCertificate(ctx.get(), kUser, 1);
    EXPECT_EQ(VerifyCertificate(ctx.get(), kUser, 0), offline);
    return offline;
  }

  test::TempDir tmp;
  std::unique_ptr<OpensslCa> root, ca, stranger;
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
  OpensslCa user_root(tmp.path(), "Peer User Root");
  user_root.MakeRoot();

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
  OpensslCa first(tmp.path(), "twin-a", "Peer Twin CA"), second(tmp.path(), "twin-b", "Peer Twin CA");
  first.MakeUnder(*root);
  second.MakeUnder(*root);
  const fs::path leaf = first.IssueLeaf("twin-leaf");
  first.Revoke(leaf);
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

// python3's file server on 127.0.0.1, serving one folder; stopped by pid.
class FileServer {
 public:
  explicit FileServer(const fs::path& dir) {
    const fs::path log = dir / "server.log";
    const test::CommandResult r = RunCommand(
        "cd " + ShellQuote(dir.string()) + " && { python3 -u -m http.server --bind 127.0.0.1 0 > " +
        ShellQuote(log.string()) + " 2>&1 & echo $!; }");
    pid_ = std::atoi(r.output.c_str());
    for (int i = 0; i < 100 && port_ == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      const std::string text = fs::exists(log) ? test::ReadFileText(log) : "";
      port_ = std::max(0, NumberAfter(text, " port "));
    }
  }
  ~FileServer() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, WNOHANG);
    }
  }
  std::string Url(const std::string& name) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + name;
  }
  int port() const { return port_; }

 private:
  int pid_ = 0;
  int port_ = 0;
};

TEST_F(PathPeerTest, DownloadsMissingCrlsAndKeepsThem) {
  const fs::path served = tmp.path() / "served";
  fs::create_directories(served);
  test::WriteFileBytes(served / "ca.crl", PemToDer(ca_crl_revoking, "crl"));
  test::WriteFileBytes(served / "root.crl", PemToDer(root_crl_clean, "crl"));
  FileServer server(served);
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

}  // namespace
}  // namespace vel::crypto
