// Opening and verifying a detached signature over a large file, one signer,
// chain and revocation from stored CRLs: this program's reader and checks
// against `openssl cms -verify` on the same files, each as a whole process,
// with their wall time and peak memory in one run.
//
//   signed_file_bench [megabytes]        (default 10)
//   signed_file_bench --verify <dir>     (the measured child: exit 0 when correct)
#include <openssl/cms.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/signature_verifier.h"
#include "app/signed_file.h"
#include "cryptolib/certificate.h"
#include "cryptolib/x509_context.h"
#include "platform/cert_store.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

void Write(const fs::path& p, const void* data, size_t n) {
  std::ofstream(p, std::ios::binary).write(static_cast<const char*>(data), static_cast<std::streamsize>(n));
}

template <typename T, typename F>
Bytes Der(T* object, F i2d) {
  Bytes der(static_cast<size_t>(i2d(object, nullptr)));
  unsigned char* p = der.data();
  i2d(object, &p);
  return der;
}

struct Party {
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
};

Party Make(const char* cn, const Party* issuer, long serial, bool ca) {
  Party p;
  p.key = EVP_RSA_gen(2048);
  p.cert = X509_new();
  X509_set_version(p.cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(p.cert), serial);
  X509_gmtime_adj(X509_getm_notBefore(p.cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(p.cert), 86400 * 30);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(p.cert), "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
  const Party& by = issuer ? *issuer : p;
  X509_set_issuer_name(p.cert, X509_get_subject_name(by.cert));
  X509_set_pubkey(p.cert, p.key);
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, by.cert, p.cert, nullptr, nullptr, 0);
  const char* bc = ca ? "critical,CA:TRUE" : "CA:FALSE";
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_basic_constraints, bc);
  X509_add_ext(p.cert, ext, -1);
  X509_EXTENSION_free(ext);
  ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_key_usage,
                            ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature,nonRepudiation");
  X509_add_ext(p.cert, ext, -1);
  X509_EXTENSION_free(ext);
  X509_sign(p.cert, by.key, EVP_sha256());
  return p;
}

X509_CRL* Crl(const Party& issuer) {
  X509_CRL* crl = X509_CRL_new();
  X509_CRL_set_version(crl, 1);
  X509_CRL_set_issuer_name(crl, X509_get_subject_name(issuer.cert));
  ASN1_TIME* t = ASN1_TIME_adj(nullptr, time(nullptr), 0, -3600);
  X509_CRL_set1_lastUpdate(crl, t);
  ASN1_TIME_adj(t, time(nullptr), 7, 0);
  X509_CRL_set1_nextUpdate(crl, t);
  ASN1_TIME_free(t);
  X509_CRL_sign(crl, issuer.key, EVP_sha256());
  return crl;
}

void Prepare(const fs::path& dir, double megabytes) {
  fs::create_directories(dir);
  setenv("VELDOC_STORE_DIR", (dir / "stores").c_str(), 1);
  Party root = Make("Bench Root", nullptr, 1, true);
  Party ca = Make("Bench CA", &root, 2, true);
  Party leaf = Make("Bench Signer", &ca, 3, false);
  Bytes content(static_cast<size_t>(megabytes * 1024 * 1024));
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 31 + (i >> 11));
  Write(dir / "data.bin", content.data(), content.size());
  BIO* in = BIO_new_mem_buf(content.data(), static_cast<int>(content.size()));
  CMS_ContentInfo* cms = CMS_sign(leaf.cert, leaf.key, nullptr, in, CMS_BINARY | CMS_DETACHED);
  const Bytes sig = Der(cms, i2d_CMS_ContentInfo);
  Write(dir / "data.bin.p7", sig.data(), sig.size());
  CMS_ContentInfo_free(cms);
  BIO_free(in);
  // The peer's inputs: the trusted root, the intermediate and both CRLs.
  for (X509* x : {root.cert, ca.cert}) {
    BIO* b = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(b, x);
    char* data = nullptr;
    const long n = BIO_get_mem_data(b, &data);
    Write(dir / (x == root.cert ? "root.pem" : "ca.pem"), data, static_cast<size_t>(n));
    BIO_free(b);
  }
  std::string crls;
  for (const Party* p : {&root, &ca}) {
    X509_CRL* crl = Crl(*p);
    BIO* b = BIO_new(BIO_s_mem());
    PEM_write_bio_X509_CRL(b, crl);
    char* data = nullptr;
    const long n = BIO_get_mem_data(b, &data);
    crls.append(data, static_cast<size_t>(n));
    BIO_free(b);
    // Ours: stored, as a previous download leaves them.
    const Bytes der = Der(crl, i2d_X509_CRL);
    std::unique_ptr<vel::platform::CertStore> store;
    vel::platform::CertStore::Open(vel::platform::kStoreCurrentUser, "VelCryptoAPI", &store);
    store->AddCrl(vel::platform::CrlContext::FromDer(der), vel::platform::AddDisposition::kReplaceExisting);
    X509_CRL_free(crl);
  }
  // openssl's -CAfile takes the intermediate and the CRLs too.
  std::ifstream root_pem(dir / "root.pem"), ca_pem(dir / "ca.pem");
  const std::string trust = std::string(std::istreambuf_iterator<char>(root_pem), {}) +
                            std::string(std::istreambuf_iterator<char>(ca_pem), {}) + crls;
  Write(dir / "trust.pem", trust.data(), trust.size());
  for (auto [name, x] : {std::pair{"ROOT", root.cert}, {"CA", ca.cert}}) {
    std::unique_ptr<vel::platform::CertStore> store;
    vel::platform::CertStore::Open(vel::platform::kStoreCurrentUser, name, &store);
    store->AddCertificate(vel::platform::CertContext::FromDer(Der(x, i2d_X509)),
                          vel::platform::AddDisposition::kUseExisting);
  }
  for (Party* p : {&root, &ca, &leaf}) {
    X509_free(p->cert);
    EVP_PKEY_free(p->key);
  }
}

// What the program does for the file: read both, check the signature, then
// the signer's certificate with the stored CRLs.
int VerifyHere(const fs::path& dir) {
  setenv("VELDOC_STORE_DIR", (dir / "stores").c_str(), 1);
  vel::app::CSignedFile signature;
  if (!signature.Load((dir / "data.bin.p7").string(), false)) return 3;
  vel::app::CWinFile file;
  Bytes content;
  if (!file.Open((dir / "data.bin").string(), vel::app::CWinFile::GENERIC_READ) || !file.ReadAll(content))
    return 4;
  const auto sig = signature.signature();
  vel::app::SignedSource source(sig.data(), static_cast<uint32_t>(sig.size()), content.data(),
                                static_cast<uint32_t>(content.size()), false);
  const auto root = source.CreateSignerRef();
  if (!root || root->Verify() != 0) return 5;
  const auto cert = root->GetCertificate();
  if (!cert || cert->Verify(vel::crypto::CERT_SYSTEM_STORE_CURRENT_USER, 1) != 0) return 6;
  return 0;
}

struct Run {
  double seconds = 0;
  long max_rss_kb = 0;
  int status = -1;
};

Run Measure(const std::vector<std::string>& argv) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  Run r;
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.max_rss_kb = usage.ru_maxrss;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--verify") return VerifyHere(argv[2]);
  if (argc == 2 && std::string(argv[1]) == "--start-only") return 0;
  const double mb = argc > 1 ? std::atof(argv[1]) : 10;
  char tmpl[] = "/tmp/signed_file_bench_XXXXXX";
  const fs::path dir = mkdtemp(tmpl);
  Prepare(dir, mb);
  const std::string d = dir.string();
  const std::vector<std::string> self = {fs::read_symlink("/proc/self/exe").string(), "--verify", d};
  const std::vector<std::string> peer = {
      "openssl", "cms", "-verify", "-binary", "-inform", "DER", "-in", d + "/data.bin.p7",
      "-content", d + "/data.bin", "-CAfile", d + "/trust.pem", "-crl_check_all", "-out", "/dev/null"};
  const int rounds = 5;
  double best_ours = 1e9, best_peer = 1e9, best_start = 1e9;
  long rss_ours = 0, rss_peer = 0, rss_start = 0;
  for (int i = 0; i < rounds; ++i) {
    const Run a = Measure(self), b = Measure(peer), c = Measure({self[0], "--start-only"});
    best_start = std::min(best_start, c.seconds);
    rss_start = std::max(rss_start, c.max_rss_kb);
    if (a.status != 0 || b.status != 0) {
      std::fprintf(stderr, "verification failed: ours %d, openssl %d\n", a.status, b.status);
      return 1;
    }
    best_ours = std::min(best_ours, a.seconds);
    best_peer = std::min(best_peer, b.seconds);
    rss_ours = std::max(rss_ours, a.max_rss_kb);
    rss_peer = std::max(rss_peer, b.max_rss_kb);
  }
  std::printf("%.1f MB detached, 1 signer, stored CRLs (best of %d, whole process)\n", mb, rounds);
  std::printf("  ours:    %7.1f ms  peak %6ld KB\n", best_ours * 1e3, rss_ours);
  std::printf("  openssl: %7.1f ms  peak %6ld KB\n", best_peer * 1e3, rss_peer);
  std::printf("  our process doing nothing: %5.1f ms  peak %6ld KB (the libraries it loads)\n",
              best_start * 1e3, rss_start);
  std::printf("  ratio %.2f; our peak over the file's size %.2f (above the idle process %.2f)\n",
              best_ours / best_peer, rss_ours * 1024.0 / (mb * 1024 * 1024),
              (rss_ours - rss_start) * 1024.0 / (mb * 1024 * 1024));
  if (std::getenv("SIGNED_FILE_BENCH_KEEP") != nullptr)
    std::printf("  inputs kept in %s\n", d.c_str());
  else
    fs::remove_all(dir);
  return 0;
}
