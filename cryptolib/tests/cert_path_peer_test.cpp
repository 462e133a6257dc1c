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
  OpensslCa(const fs::path& dir, const std::string& name) : dir_(dir / name), name_(name) {
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

  // This CA's key and certificate, its certificate issued by `parent`.
  void MakeUnder(OpensslCa& parent) {
    Run(NewKey(dir_ / "key.pem"));
    const fs::path csr = dir_ / "ca.csr";
    Run("openssl req -new -config " + Config() + " -key " +
        ShellQuote((dir_ / "key.pem").string()) + " -subj " + ShellQuote("/CN=" + name_) +
        " -out " + ShellQuote(csr.string()));
    parent.Sign(csr, Cert(), "v3_ca", "");
  }

  // A new end-entity certificate; `dates` are extra openssl ca options.
  fs::path IssueLeaf(const std::string& cn, const std::string& dates = "") {
    const fs::path key = dir_ / (cn + ".key"), csr = dir_ / (cn + ".csr"),
                   cert = dir_ / (cn + ".pem");
    Run(NewKey(key));
    Run("openssl req -new -config " + Config() + " -key " + ShellQuote(key.string()) +
        " -subj " + ShellQuote("/CN=" + cn) + " -out " + ShellQuote(csr.string()));
    Sign(csr, cert, "v3_leaf", dates);
    return cert;
  }

  void Sign(const fs::path& csr, const fs::path& out, const std::string& ext,
            const std::string& dates) {
    Run("openssl ca -batch -notext -config " + Config() + " -extensions " + ext + " " + dates +
        " -in " + ShellQuote(csr.string()) + " -out " + ShellQuote(out.string()));
  }

  void Revoke(const fs::path& cert) {
    Run("openssl ca -config " + Config() + " -revoke " + ShellQuote(cert.string()));
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

OpensslVerdict OpensslVerify(const fs::path& dir, const fs::path& root, const fs::path& ca,
                             const std::vector<fs::path>& crls, const fs::path& leaf) {
  const fs::path bundle = dir / "crls-for-verify.pem";
  std::string text;
  for (const fs::path& c : crls) text += test::ReadFileText(c);
  test::WriteFileText(bundle, text);
  std::string cmd = "openssl verify -crl_check_all -CAfile " + ShellQuote(root.string()) +
                    " -untrusted " + ShellQuote(ca.string());
  if (!crls.empty()) cmd += " -CRLfile " + ShellQuote(bundle.string());
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
    StoreFolder stores;
    stores.AddCert("ROOT", LoadCert(root->Cert()));
    stores.AddCert("CA", LoadCert(ca->Cert()));
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
    const OpensslVerdict peer = OpensslVerify(tmp.path(), root->Cert(), ca->Cert(), c.crls, c.leaf);
    EXPECT_EQ(peer.error, c.openssl_error) << peer.output;
    const LibraryErrorCode ours = Ours(c.leaf, c.crls);
    EXPECT_EQ(ours, c.want);
    EXPECT_EQ(ours, FromOpenssl(peer.error)) << peer.output;
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
