// Opening and verifying a detached signature over a large file, one signer,
// chain and revocation from stored CRLs: this program's reader and checks
// against `openssl cms -verify` on the same files, each as a whole process,
// with their wall time (medians) and peak memory in one run; the ratio is
// openssl / ours (above 1 we are faster).
//
//   signed_file_bench [megabytes]        (default 10)
//   signed_file_bench --verify <dir>     (the measured child: exit 0 when correct)
#include <openssl/cms.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app/signature_verifier.h"
#include "bench/measure.h"
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

// What the program does for the file: read the signature, check it over the
// content digested straight from its file, then the signer's certificate with
// the stored CRLs.
int VerifyHere(const fs::path& dir) {
  setenv("VELDOC_STORE_DIR", (dir / "stores").c_str(), 1);
  vel::app::CSignedFile signature;
  if (!signature.Load((dir / "data.bin.p7").string(), false)) return 3;
  auto content = std::make_shared<vel::app::CFileContentFeed>();
  if (!content->Open((dir / "data.bin").string())) return 4;
  const auto sig = signature.signature();
  vel::app::SignedSource source(sig.data(), static_cast<uint32_t>(sig.size()), content);
  const auto root = source.CreateSignerRef();
  if (!root || root->Verify() != 0) return 5;
  const auto cert = root->GetCertificate();
  if (!cert || cert->Verify(vel::crypto::CERT_SYSTEM_STORE_CURRENT_USER, 1) != 0) return 6;
  return 0;
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
  const std::string self = vel::bench::ShellQuote(fs::read_symlink("/proc/self/exe").string());
  const std::string ours_command = self + " --verify " + vel::bench::ShellQuote(d) + " >/dev/null";
  const std::string peer_command = "openssl cms -verify -binary -inform DER -in " +
                                   vel::bench::ShellQuote(d + "/data.bin.p7") + " -content " +
                                   vel::bench::ShellQuote(d + "/data.bin") + " -CAfile " +
                                   vel::bench::ShellQuote(d + "/trust.pem") + " -crl_check_all -out /dev/null 2>/dev/null";
  // Both sides' verdicts once: a failure ends the measure with seconds -1.
  const int rounds = 5;
  const vel::bench::Measure ours = vel::bench::MeasureCommand(ours_command, rounds);
  const vel::bench::Measure peer = vel::bench::MeasureCommand(peer_command, rounds);
  const vel::bench::Measure start = vel::bench::MeasureCommand(self + " --start-only", rounds);
  if (ours.seconds < 0 || peer.seconds < 0) {
    std::fprintf(stderr, "verification failed: ours %s, openssl %s\n", ours.seconds < 0 ? "failed" : "correct",
                 peer.seconds < 0 ? "failed" : "correct");
    return 1;
  }
  std::printf("%.1f MB detached, 1 signer, stored CRLs (medians of %d, whole process)\n", mb, rounds);
  std::printf("  ours:    %7.1f ms  peak %6ld KB\n", ours.seconds * 1e3, ours.max_rss_kb);
  std::printf("  openssl: %7.1f ms  peak %6ld KB\n", peer.seconds * 1e3, peer.max_rss_kb);
  std::printf("  our process doing nothing: %5.1f ms  peak %6ld KB (the libraries it loads)\n", start.seconds * 1e3,
              start.max_rss_kb);
  std::printf("  ratio %s; our peak over the file's size %.2f (above the idle process %.2f)\n",
              vel::bench::Ratio(peer.seconds, ours.seconds).c_str(), ours.max_rss_kb * 1024.0 / (mb * 1024 * 1024),
              (ours.max_rss_kb - start.max_rss_kb) * 1024.0 / (mb * 1024 * 1024));
  if (std::getenv("SIGNED_FILE_BENCH_KEEP") != nullptr)
    std::printf("  inputs kept in %s\n", d.c_str());
  else
    fs::remove_all(dir);
  return 0;
}
