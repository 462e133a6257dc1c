// The certification-path check against OpenSSL's X509_verify_cert with
// CRL_CHECK_ALL on the same three-level RSA-2048 PKI in one run: root and CA
// in the stores, CRLs of the root and of the CA (the CA's with `revoked`
// entries) in the CRL store, the leaf checked offline. The stores are kept
// in memory between checks; every check still opens each store and looks
// whether its folder changed, as the program does. The first check after the
// store was written (which reads and decodes everything) is shown apart.
//
//   cert_path_bench [iterations] [revoked ...]   (defaults 200; 5000 and 50000)
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "cryptolib/cert_path.h"
#include "platform/cert_store.h"

namespace {

using Clock = std::chrono::steady_clock;
using vel::platform::CertContext;
using vel::platform::CrlContext;

template <typename F>
double BestSeconds(F&& f) {
  double best = 1e30;
  for (int i = 0; i < 5; ++i) {
    auto t0 = Clock::now();
    f();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return best;
}

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

int Run(int iterations, int revoked) {
  char dir_template[] = "/tmp/cert_path_benchXXXXXX";
  const char* dir = ::mkdtemp(dir_template);
  if (dir == nullptr) return 1;
  ::setenv("VELDOC_STORE_DIR", dir, 1);

  Key root_key(EVP_RSA_gen(2048), EVP_PKEY_free), ca_key(EVP_RSA_gen(2048), EVP_PKEY_free),
      leaf_key(EVP_RSA_gen(2048), EVP_PKEY_free);
  Cert root = MakeCert("Bench Root", "Bench Root", root_key.get(), root_key.get(), 1, true);
  Cert ca = MakeCert("Bench CA", "Bench Root", ca_key.get(), root_key.get(), 2, true);
  Cert leaf = MakeCert("Bench Leaf", "Bench CA", leaf_key.get(), ca_key.get(), 3, false);
  Crl root_crl = MakeCrl(root.get(), root_key.get(), 0);
  Crl ca_crl = MakeCrl(ca.get(), ca_key.get(), revoked);

  using vel::platform::AddDisposition;
  using vel::platform::CertStore;
  std::unique_ptr<CertStore> store;
  CertStore::Open(vel::platform::kStoreCurrentUser, "ROOT", &store);
  store->AddCertificate(CertContext::FromDer(Der(root.get(), i2d_X509)), AddDisposition::kNew);
  CertStore::Open(vel::platform::kStoreCurrentUser, "CA", &store);
  store->AddCertificate(CertContext::FromDer(Der(ca.get(), i2d_X509)), AddDisposition::kNew);
  CertStore::Open(vel::platform::kStoreCurrentUser, "VelCryptoAPI", &store);
  store->AddCrl(CrlContext::FromDer(Der(root_crl.get(), i2d_X509_CRL)), AddDisposition::kNew);
  store->AddCrl(CrlContext::FromDer(Der(ca_crl.get(), i2d_X509_CRL)), AddDisposition::kNew);

  vel::crypto::X509ContextPtr context = vel::crypto::MakeX509Context();
  vel::crypto::SetCertificateContext(context.get(),
                                     CertContext::FromDer(Der(leaf.get(), i2d_X509)));
  uint32_t ours_status = 0;
  const auto cold_start = Clock::now();
  vel::crypto::VerifyCertificate(context.get(), vel::platform::kStoreCurrentUser, 1);
  const double cold = std::chrono::duration<double>(Clock::now() - cold_start).count();
  const double ours = BestSeconds([&] {
    for (int i = 0; i < iterations; ++i)
      ours_status = vel::crypto::VerifyCertificate(context.get(), vel::platform::kStoreCurrentUser, 1);
  });

  // OpenSSL with everything in memory, CRLs decoded once: its best case.
  int peer_status = -1;
  const double peer = BestSeconds([&] {
    for (int i = 0; i < iterations; ++i) {
      std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> trust(X509_STORE_new(), X509_STORE_free);
      X509_STORE_add_cert(trust.get(), root.get());
      X509_STORE_add_crl(trust.get(), root_crl.get());
      X509_STORE_add_crl(trust.get(), ca_crl.get());
      X509_STORE_set_flags(trust.get(), X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL);
      std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)> untrusted(
          sk_X509_new_null(), [](STACK_OF(X509)* s) { sk_X509_free(s); });
      sk_X509_push(untrusted.get(), ca.get());
      std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> ctx(X509_STORE_CTX_new(),
                                                                        X509_STORE_CTX_free);
      X509_STORE_CTX_init(ctx.get(), trust.get(), leaf.get(), untrusted.get());
      peer_status = X509_verify_cert(ctx.get()) == 1 ? 0 : X509_STORE_CTX_get_error(ctx.get());
    }
  });

  std::printf("path check, 3 levels, CA CRL with %d entries, %d checks (best of 5)\n", revoked,
              iterations);
  std::printf("  ours, first check (reads the stores):  %8.1f us\n", cold * 1e6);
  std::printf("  ours (offline, stores kept in memory):  %8.1f us/check  status 0x%08X\n",
              ours / iterations * 1e6, ours_status);
  std::printf("  openssl X509_verify_cert (in memory):   %8.1f us/check  status %d\n",
              peer / iterations * 1e6, peer_status);
  std::printf("  ratio ours / openssl: %.2f\n", ours / peer);
  std::filesystem::remove_all(dir);
  return ours_status == 0 && peer_status == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const int iterations = argc > 1 ? std::atoi(argv[1]) : 200;
  std::vector<int> sizes;
  for (int i = 2; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
  if (sizes.empty()) sizes = {5000, 50000};
  int rc = 0;
  for (int revoked : sizes) rc |= Run(iterations, revoked);
  return rc;
}
