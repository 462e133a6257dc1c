// The certification-path check against OpenSSL's X509_verify_cert with
// CRL_CHECK_ALL on the same three-level RSA-2048 PKI in one run: root and CA
// in the stores, CRLs of the root and of the CA (the CA's with `revoked`
// entries) in the CRL store, the leaf checked offline. Two measures, each
// the same work on both sides, medians:
//  - the first check of a process: ours in a fresh process of this program
//    (its "first" mode) reads the stores and decodes what it needs; OpenSSL
//    reads the same certificates and CRLs from files, decodes them into a
//    new store and checks;
//  - repeated checks: ours keeps the stores and the CRLs it has verified in
//    memory (every check still opens each store and looks whether its folder
//    changed, as the program does); OpenSSL keeps one store with the CRLs
//    decoded and makes a new check context each time.
//
//   cert_path_bench [iterations] [revoked ...]   (defaults 200; 5000 and 50000)
//   cert_path_bench first <leaf.der>             one check: microseconds, status
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/measure.h"
#include "bench/xades_bench.h"
#include "cryptolib/cert_path.h"
#include "platform/cert_store.h"

namespace {

using vel::bench::Clock;
using vel::platform::CertContext;
using vel::platform::CrlContext;
namespace fs = std::filesystem;

constexpr int kRuns = 5;

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Cert = std::unique_ptr<X509, decltype(&X509_free)>;
using Crl = std::unique_ptr<X509_CRL, decltype(&X509_CRL_free)>;

void SetName(X509_NAME* name, const char* cn) {
  X509_NAME_add_entry_by_txt(name, "C", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("PL"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
}

Cert MakeCert(const char* subject, const char* issuer, EVP_PKEY* key, EVP_PKEY* signer, long serial,
              bool ca) {
  Cert x(X509_new(), X509_free);
  X509_set_version(x.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x.get()), serial);
  SetName(X509_get_subject_name(x.get()), subject);
  SetName(X509_get_issuer_name(x.get()), issuer);
  X509_gmtime_adj(X509_getm_notBefore(x.get()), -86400);
  X509_gmtime_adj(X509_getm_notAfter(x.get()), 365L * 86400);
  X509_set_pubkey(x.get(), key);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, nullptr, x.get(), nullptr, nullptr, 0);
  const char* bc = ca ? "critical,CA:TRUE" : "CA:FALSE";
  const char* ku = ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature,nonRepudiation";
  for (auto [nid, value] : {std::pair{NID_basic_constraints, bc}, std::pair{NID_key_usage, ku}}) {
    X509_EXTENSION* e = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    X509_add_ext(x.get(), e, -1);
    X509_EXTENSION_free(e);
  }
  X509_sign(x.get(), signer, EVP_sha256());
  return x;
}

Crl MakeCrl(X509* issuer, EVP_PKEY* key, int revoked) {
  Crl crl(X509_CRL_new(), X509_CRL_free);
  X509_CRL_set_version(crl.get(), 1);
  X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(issuer));
  std::unique_ptr<ASN1_TIME, decltype(&ASN1_TIME_free)> t(ASN1_TIME_new(), ASN1_TIME_free);
  X509_gmtime_adj(t.get(), -3600);
  X509_CRL_set1_lastUpdate(crl.get(), t.get());
  X509_gmtime_adj(t.get(), 7 * 86400);
  X509_CRL_set1_nextUpdate(crl.get(), t.get());
  for (int i = 0; i < revoked; ++i) {
    X509_REVOKED* r = X509_REVOKED_new();
    ASN1_INTEGER* serial = ASN1_INTEGER_new();
    ASN1_INTEGER_set(serial, 100000 + i);
    X509_REVOKED_set_serialNumber(r, serial);
    ASN1_INTEGER_free(serial);
    X509_REVOKED_set_revocationDate(r, t.get());
    X509_CRL_add0_revoked(crl.get(), r);
  }
  X509_CRL_sort(crl.get());
  X509_CRL_sign(crl.get(), key, EVP_sha256());
  return crl;
}

template <typename T, typename F>
std::vector<uint8_t> Der(T* object, F i2d) {
  std::vector<uint8_t> out(static_cast<size_t>(i2d(object, nullptr)));
  unsigned char* p = out.data();
  i2d(object, &p);
  return out;
}

// One check of the leaf in this process: the stores are read anew.
int First(const char* leaf_file) {
  vel::crypto::X509ContextPtr context = vel::crypto::MakeX509Context();
  vel::crypto::SetCertificateContext(context.get(), CertContext::FromDer(vel::bench::ReadFile(leaf_file)));
  const auto start = Clock::now();
  const uint32_t status = vel::crypto::VerifyCertificate(context.get(), vel::platform::kStoreCurrentUser, 1);
  std::printf("%.1f %u\n", vel::bench::SecondsSince(start) * 1e6, status);
  return 0;
}

// X509_verify_cert of the leaf with both CRLs, from a store of `trust`'s
// root and CRLs; 0 or OpenSSL's error.
int OpenSslCheck(X509_STORE* trust, X509* ca, X509* leaf) {
  std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)> untrusted(sk_X509_new_null(),
                                                                        [](STACK_OF(X509)* s) { sk_X509_free(s); });
  sk_X509_push(untrusted.get(), ca);
  std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> ctx(X509_STORE_CTX_new(), X509_STORE_CTX_free);
  X509_STORE_CTX_init(ctx.get(), trust, leaf, untrusted.get());
  return X509_verify_cert(ctx.get()) == 1 ? 0 : X509_STORE_CTX_get_error(ctx.get());
}

using Store = std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)>;
Store TrustStore(X509* root, X509_CRL* root_crl, X509_CRL* ca_crl) {
  Store trust(X509_STORE_new(), X509_STORE_free);
  X509_STORE_add_cert(trust.get(), root);
  X509_STORE_add_crl(trust.get(), root_crl);
  X509_STORE_add_crl(trust.get(), ca_crl);
  X509_STORE_set_flags(trust.get(), X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL);
  return trust;
}

template <typename T>
T* Decode(const fs::path& file, T* (*d2i)(T**, const unsigned char**, long)) {
  const std::vector<uint8_t> der = vel::bench::ReadFile(file);
  const unsigned char* p = der.data();
  return d2i(nullptr, &p, static_cast<long>(der.size()));
}

int Run(int iterations, int revoked) {
  char dir_template[] = "/tmp/cert_path_benchXXXXXX";
  const char* dir_name = ::mkdtemp(dir_template);
  if (dir_name == nullptr) return 1;
  const fs::path dir = dir_name;
  ::setenv("VELDOC_STORE_DIR", dir_name, 1);

  Key root_key(EVP_RSA_gen(2048), EVP_PKEY_free), ca_key(EVP_RSA_gen(2048), EVP_PKEY_free),
      leaf_key(EVP_RSA_gen(2048), EVP_PKEY_free);
  Cert root = MakeCert("Bench Root", "Bench Root", root_key.get(), root_key.get(), 1, true);
  Cert ca = MakeCert("Bench CA", "Bench Root", ca_key.get(), root_key.get(), 2, true);
  Cert leaf = MakeCert("Bench Leaf", "Bench CA", leaf_key.get(), ca_key.get(), 3, false);
  Crl root_crl = MakeCrl(root.get(), root_key.get(), 0);
  Crl ca_crl = MakeCrl(ca.get(), ca_key.get(), revoked);
  const fs::path files = dir / "files";
  fs::create_directories(files);
  for (const auto& [name, der] : {std::pair{"root.der", Der(root.get(), i2d_X509)},
                                  {"ca.der", Der(ca.get(), i2d_X509)},
                                  {"leaf.der", Der(leaf.get(), i2d_X509)},
                                  {"root.crl", Der(root_crl.get(), i2d_X509_CRL)},
                                  {"ca.crl", Der(ca_crl.get(), i2d_X509_CRL)}})
    std::ofstream(files / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(der.data()), static_cast<std::streamsize>(der.size()));

  using vel::platform::AddDisposition;
  using vel::platform::CertStore;
  {
    std::unique_ptr<CertStore> store;
    CertStore::Open(vel::platform::kStoreCurrentUser, "ROOT", &store);
    store->AddCertificate(CertContext::FromDer(Der(root.get(), i2d_X509)), AddDisposition::kNew);
    CertStore::Open(vel::platform::kStoreCurrentUser, "CA", &store);
    store->AddCertificate(CertContext::FromDer(Der(ca.get(), i2d_X509)), AddDisposition::kNew);
    CertStore::Open(vel::platform::kStoreCurrentUser, "VelCryptoAPI", &store);
    store->AddCrl(CrlContext::FromDer(Der(root_crl.get(), i2d_X509_CRL)), AddDisposition::kNew);
    store->AddCrl(CrlContext::FromDer(Der(ca_crl.get(), i2d_X509_CRL)), AddDisposition::kNew);
  }

  // First checks: ours in fresh processes, each printing its own time.
  const std::string self = fs::canonical("/proc/self/exe").string();
  std::vector<double> first_ours;
  unsigned first_status = 1;
  for (int i = 0; i < kRuns; ++i) {
    double us = -1;
    if (FILE* p = popen((self + " first " + (files / "leaf.der").string()).c_str(), "r")) {
      if (std::fscanf(p, "%lf %u", &us, &first_status) != 2) us = -1;
      pclose(p);
    }
    if (us < 0 || first_status != 0) break;
    first_ours.push_back(us * 1e-6);
  }
  int first_peer_status = -1;
  const double first_peer = vel::bench::MedianSeconds(kRuns, [&] {
    std::unique_ptr<X509, decltype(&X509_free)> r(Decode(files / "root.der", d2i_X509), X509_free),
        c(Decode(files / "ca.der", d2i_X509), X509_free), l(Decode(files / "leaf.der", d2i_X509), X509_free);
    Crl rc(Decode(files / "root.crl", d2i_X509_CRL), X509_CRL_free), cc(Decode(files / "ca.crl", d2i_X509_CRL),
                                                                      X509_CRL_free);
    first_peer_status = OpenSslCheck(TrustStore(r.get(), rc.get(), cc.get()).get(), c.get(), l.get());
  });

  // Repeated checks, everything kept in memory on both sides.
  vel::crypto::X509ContextPtr context = vel::crypto::MakeX509Context();
  vel::crypto::SetCertificateContext(context.get(), CertContext::FromDer(Der(leaf.get(), i2d_X509)));
  uint32_t ours_status = vel::crypto::VerifyCertificate(context.get(), vel::platform::kStoreCurrentUser, 1);
  bool ours_ok = ours_status == 0;
  const double ours = vel::bench::MedianSeconds(kRuns, [&] {
    for (int i = 0; i < iterations; ++i)
      ours_ok &= vel::crypto::VerifyCertificate(context.get(), vel::platform::kStoreCurrentUser, 1) == 0;
  });
  const Store trust = TrustStore(root.get(), root_crl.get(), ca_crl.get());
  int peer_status = OpenSslCheck(trust.get(), ca.get(), leaf.get());
  bool peer_ok = peer_status == 0;
  const double peer = vel::bench::MedianSeconds(kRuns, [&] {
    for (int i = 0; i < iterations; ++i) peer_ok &= OpenSslCheck(trust.get(), ca.get(), leaf.get()) == 0;
  });

  const double first = vel::bench::Median(first_ours);
  std::printf("path check, 3 levels, CA CRL with %d entries, medians of %d (ratio openssl / ours)\n", revoked,
              kRuns);
  std::printf("  first check of a process:  ours %8.1f us (status 0x%08X), openssl from files %8.1f us (status %d), "
              "ratio %s\n",
              first * 1e6, first_status, first_peer * 1e6, first_peer_status,
              vel::bench::Ratio(first_peer, first).c_str());
  std::printf("  repeated, kept in memory:  ours %8.1f us/check (status 0x%08X), openssl %8.1f us/check (status %d), "
              "ratio %s, every check correct: %s\n",
              ours / iterations * 1e6, ours_status, peer / iterations * 1e6, peer_status,
              vel::bench::Ratio(peer, ours).c_str(), ours_ok && peer_ok ? "yes" : "NO");
  fs::remove_all(dir);
  return ours_ok && peer_ok && first_status == 0 && first_peer_status == 0 && first > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "first") return First(argv[2]);
  const int iterations = argc > 1 ? std::atoi(argv[1]) : 200;
  std::vector<int> sizes;
  for (int i = 2; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
  if (sizes.empty()) sizes = {5000, 50000};
  int rc = 0;
  for (int revoked : sizes) rc |= Run(iterations, revoked);
  return rc;
}
