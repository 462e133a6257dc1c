// Certificate loading and names as text against OpenSSL on the same inputs in
// one run: a certificate context (decode plus the reads it keeps) against a
// bare d2i_X509, and the X.500 name text against X509_NAME_print_ex in its
// RFC 2253 form, in microseconds per item.
//
//   cert_name_bench [iterations]   (default 20000)
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/measure.h"
#include "platform/cert_name_str.h"
#include "platform/cert_store.h"

namespace {

template <typename F>
double MedianSeconds(F&& f) {
  return vel::bench::MedianSeconds(5, f);
}

// A certificate with a name of the usual size of a qualified certificate.
std::vector<uint8_t> MakeCertificate() {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  std::unique_ptr<X509, decltype(&X509_free)> x(X509_new(), X509_free);
  X509_set_version(x.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x.get()), 0x1234567);
  X509_NAME* name = X509_get_subject_name(x.get());
  const char* fields[][2] = {{"C", "PL"},          {"O", "Firma, Sp. z o.o."}, {"OU", "Dział IT"},
                             {"L", "Warszawa"},     {"serialNumber", "PNOPL-80010112345"},
                             {"GN", "Jan"},         {"SN", "Kowalski"},         {"CN", "Jan Kowalski"}};
  for (const auto& f : fields)
    X509_NAME_add_entry_by_txt(name, f[0], MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(f[1]), -1, -1, 0);
  X509_set_issuer_name(x.get(), name);
  X509_gmtime_adj(X509_getm_notBefore(x.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(x.get()), 86400);
  X509_set_pubkey(x.get(), key.get());
  X509_sign(x.get(), key.get(), EVP_sha256());
  std::vector<uint8_t> der(static_cast<size_t>(i2d_X509(x.get(), nullptr)));
  unsigned char* p = der.data();
  i2d_X509(x.get(), &p);
  return der;
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 20000;
  const std::vector<uint8_t> der = MakeCertificate();
  vel::platform::CertPtr ctx = vel::platform::CertContext::FromDer(der);
  if (!ctx) return 1;

  size_t sink = 0;
  const double t_ours_load = MedianSeconds([&] {
    for (int i = 0; i < n; ++i) sink += vel::platform::CertContext::FromDer(der)->serial().size();
  });
  const double t_ssl_load = MedianSeconds([&] {
    for (int i = 0; i < n; ++i) {
      const unsigned char* p = der.data();
      X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
      sink += X509_get_version(x) >= 0;
      X509_free(x);
    }
  });

  const uint32_t type = vel::platform::kCertX500NameStr | vel::platform::kCertNameStrReverseFlag;
  std::string text;
  const double t_ours_name = MedianSeconds([&] {
    for (int i = 0; i < n; ++i) {
      text = *vel::platform::CertNameToStr(ctx->subject_der(), type);
      sink += text.size();
    }
  });
  const X509_NAME* name = X509_get_subject_name(ctx->x509());
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  const double t_ssl_name = MedianSeconds([&] {
    for (int i = 0; i < n; ++i) {
      (void)BIO_reset(bio.get());
      X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253);
      sink += static_cast<size_t>(BIO_pending(bio.get()));
    }
  });

  std::printf("certificate context (decode, names, serial, SHA-1): %.2f us   d2i_X509: %.2f us   ratio %s\n",
              1e6 * t_ours_load / n, 1e6 * t_ssl_load / n, vel::bench::Ratio(t_ssl_load, t_ours_load).c_str());
  std::printf("X.500 name text: %.2f us   X509_NAME_print_ex RFC 2253: %.2f us   ratio %s\n", 1e6 * t_ours_name / n,
              1e6 * t_ssl_name / n, vel::bench::Ratio(t_ssl_name, t_ours_name).c_str());
  std::printf("medians of 5; ratio openssl / ours (above 1 we are faster; the context does more than d2i_X509)\n");
  std::printf("(%s; %zu)\n", text.c_str(), sink % 10);
  return 0;
}
