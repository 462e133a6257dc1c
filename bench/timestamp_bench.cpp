// The time-stamp client against OpenSSL's TS code on the same inputs in one
// run: building a request (as `openssl ts -query` does), checking an answer
// against its request and reading its token, imprint and time (as
// TS_RESP_verify_response does without the signature), and checking the
// token's signature (CMS_verify without the certificate chain, as Verify).
// The answers come from OpenSSL's responder (TS_RESP_CTX, SHA-1, RSA 2048).
// Every call's result is checked; times are medians of five batches, ratios
// openssl / ours (above 1 we are faster).
//
//   timestamp_bench
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/measure.h"
#include "cryptolib/der.h"
#include "cryptolib/timestamp_client.h"
#include "cryptolib/timestamp_parse.h"
#include "cryptolib/timestamp_token.h"

namespace {

using Bytes = std::vector<uint8_t>;
int failures = 0;

// Microseconds per call; every call's result counts.
template <typename F>
double MicrosPerRun(F&& f) {
  return vel::bench::SecondsPerCall(f, &failures) * 1e6;
}

void AddExt(X509* cert, const char* name, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf(nullptr, &ctx, name, value);
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

// OpenSSL's request for the same data, as `openssl ts -query -sha1 -cert` builds it.
Bytes OpenSslQuery(const Bytes& data) {
  unsigned char md[20];
  EVP_Digest(data.data(), data.size(), md, nullptr, EVP_sha1(), nullptr);
  TS_REQ* req = TS_REQ_new();
  TS_REQ_set_version(req, 1);
  TS_MSG_IMPRINT* imprint = TS_MSG_IMPRINT_new();
  X509_ALGOR* algo = X509_ALGOR_new();
  X509_ALGOR_set0(algo, OBJ_nid2obj(NID_sha1), V_ASN1_NULL, nullptr);
  TS_MSG_IMPRINT_set_algo(imprint, algo);
  TS_MSG_IMPRINT_set_msg(imprint, md, 20);
  TS_REQ_set_msg_imprint(req, imprint);
  TS_REQ_set_cert_req(req, 1);
  Bytes out = vel::der::I2dBytes(i2d_TS_REQ, req);
  X509_ALGOR_free(algo);
  TS_MSG_IMPRINT_free(imprint);
  TS_REQ_free(req);
  return out;
}

}  // namespace

int main() {
  EVP_PKEY* key = EVP_RSA_gen(2048);
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 7);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600L * 24);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>("Bench TSA"), -1, -1, 0);
  X509_set_issuer_name(cert, X509_get_subject_name(cert));
  X509_set_pubkey(cert, key);
  AddExt(cert, "extendedKeyUsage", "critical,timeStamping");
  X509_sign(cert, key, EVP_sha256());

  TS_RESP_CTX* ctx = TS_RESP_CTX_new();
  TS_RESP_CTX_set_signer_cert(ctx, cert);
  TS_RESP_CTX_set_signer_key(ctx, key);
  ASN1_OBJECT* policy = OBJ_txt2obj("1.2.616.1.170238.10.2.1.0", 1);
  TS_RESP_CTX_set_def_policy(ctx, policy);
  ASN1_OBJECT_free(policy);
  TS_RESP_CTX_add_md(ctx, EVP_sha1());
  TS_RESP_CTX_set_signer_digest(ctx, EVP_sha1());
  TS_RESP_CTX_set_ess_cert_id_digest(ctx, EVP_sha1());

  const Bytes data(256, 0x5A);
  vel::crypto::TspContextPtr tsp(vel::crypto::TspContextCreate());
  vel::crypto::TspBuildRequest(tsp.get(), data.data(), static_cast<uint32_t>(data.size()), nullptr,
                               1, 1, nullptr);
  const Bytes request = tsp->request;
  BIO* in = BIO_new_mem_buf(request.data(), static_cast<int>(request.size()));
  TS_RESP* ts_resp = TS_RESP_create_response(ctx, in);
  BIO_free(in);
  const Bytes response = vel::der::I2dBytes(i2d_TS_RESP, ts_resp);
  TS_RESP_free(ts_resp);
  vel::crypto::TimeStampToken token;
  token.LoadResponse(response.data(), static_cast<uint32_t>(response.size()));
  Bytes bare(20000);
  uint32_t bare_size = static_cast<uint32_t>(bare.size());
  token.GetToken(bare.data(), &bare_size);
  bare.resize(bare_size);
  if (vel::crypto::tsp::CheckAnswer(request, response) != 0 || token.Verify() != 0) {
    std::fprintf(stderr, "the answer does not check\n");
    return 1;
  }

  std::printf("%-34s %12s %12s %7s\n", "operation (256-byte data)", "ours us", "openssl us", "ratio");
  auto print = [](const char* what, double ours, double peer) {
    std::printf("%-34s %12.2f %12.2f %7s\n", what, ours, peer, vel::bench::Ratio(peer, ours).c_str());
  };

  const double build_ours = MicrosPerRun([&] {
    return vel::crypto::TspBuildRequest(tsp.get(), data.data(), static_cast<uint32_t>(data.size()), nullptr, 0, 1,
                                        nullptr) == 0 &&
           !tsp->request.empty();
  });
  const double build_peer = MicrosPerRun([&] { return !OpenSslQuery(data).empty(); });
  print("build request", build_ours, build_peer);

  const double check_ours = MicrosPerRun([&] {
    vel::crypto::TimeStampToken t;
    t.LoadResponse(response.data(), static_cast<uint32_t>(response.size()));
    uint8_t hash[20];
    uint32_t hash_size = sizeof hash;
    char time[64];
    uint32_t time_size = sizeof time;
    return vel::crypto::tsp::CheckAnswer(request, response) == 0 && t.Decode() == 0 &&
           t.GetHashedMessage(hash, &hash_size) == 0 && hash_size == 20 &&
           vel::crypto::TspGetGenTime(t.context(), time, &time_size) == 0;
  });
  const double check_peer = MicrosPerRun([&] {
    const unsigned char* p = request.data();
    TS_REQ* req = d2i_TS_REQ(nullptr, &p, static_cast<long>(request.size()));
    TS_VERIFY_CTX* vctx = TS_REQ_to_TS_VERIFY_CTX(req, nullptr);
    const unsigned char* q = response.data();
    TS_RESP* resp = d2i_TS_RESP(nullptr, &q, static_cast<long>(response.size()));
    const bool ok = TS_RESP_verify_response(vctx, resp) == 1 &&
                    TS_TST_INFO_get_time(TS_RESP_get_tst_info(resp)) != nullptr;
    TS_RESP_free(resp);
    TS_VERIFY_CTX_free(vctx);
    TS_REQ_free(req);
    return ok;
  });
  print("check answer, read imprint+time", check_ours, check_peer);

  const double verify_ours = MicrosPerRun([&] {
    vel::crypto::TimeStampToken t;
    t.LoadToken(bare.data(), static_cast<uint32_t>(bare.size()));
    return t.Verify() == 0;
  });
  const double verify_peer = MicrosPerRun([&] {
    const unsigned char* p = bare.data();
    CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(bare.size()));
    const bool ok =
        CMS_verify(cms, nullptr, nullptr, nullptr, nullptr, CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY) == 1;
    CMS_ContentInfo_free(cms);
    return ok;
  });
  print("verify token signature", verify_ours, verify_peer);
  if (failures != 0) {
    std::printf("%d calls did not give the expected result\n", failures);
    return 1;
  }

  TS_RESP_CTX_free(ctx);
  X509_free(cert);
  EVP_PKEY_free(key);
  return 0;
}
