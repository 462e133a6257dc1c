// Pieces for the CMS class and signer-tree tests, made with OpenSSL's own
// code so that what we read is not only what we wrote: time-stamp requests
// and tokens (TS_REQ / TS_RESP), counter-signatures (a PKCS7_SIGNER_INFO
// signed over a messageDigest of the counter-signed signature value), and
// the size rule's two calls.
#pragma once

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/sha.h>
#include <openssl/ts.h>
#include <openssl/x509.h>

#include <span>
#include <string>
#include <vector>

#include "cryptolib/cms_message.h"
#include "cryptolib/der.h"
#include "platform/tests/test_pki.h"

namespace vel::test {

using ByteVec = std::vector<uint8_t>;

template <typename F>
uint32_t TwoCalls(F&& f, ByteVec* out) {
  uint32_t size = 0;
  uint32_t err = f(nullptr, &size);
  if (err != 234) return err;
  out->assign(size, 0);
  err = f(out->data(), &size);
  if (err == 0) out->resize(size);
  return err;
}

inline ByteVec Sha1(std::span<const uint8_t> data) {
  ByteVec d(SHA_DIGEST_LENGTH);
  SHA1(data.data(), data.size(), d.data());
  return d;
}

// An RFC 3161 request over SHA-1 of `data`, certReq TRUE, no nonce.
inline ByteVec TimeStampRequest(std::span<const uint8_t> data) {
  const ByteVec digest = Sha1(data);
  TS_REQ* req = TS_REQ_new();
  TS_REQ_set_version(req, 1);
  TS_MSG_IMPRINT* imprint = TS_MSG_IMPRINT_new();
  X509_ALGOR* alg = X509_ALGOR_new();
  X509_ALGOR_set0(alg, OBJ_nid2obj(NID_sha1), V_ASN1_NULL, nullptr);
  TS_MSG_IMPRINT_set_algo(imprint, alg);
  TS_MSG_IMPRINT_set_msg(imprint, const_cast<uint8_t*>(digest.data()),
                         static_cast<int>(digest.size()));
  TS_REQ_set_msg_imprint(req, imprint);
  TS_REQ_set_cert_req(req, 1);
  ByteVec out = der::I2dBytes(i2d_TS_REQ, req);
  X509_ALGOR_free(alg);
  TS_MSG_IMPRINT_free(imprint);
  TS_REQ_free(req);
  return out;
}

// The bare token of a response (its timeStampToken ContentInfo).
inline ByteVec TokenOfResponse(std::span<const uint8_t> response) {
  const unsigned char* p = response.data();
  TS_RESP* resp = d2i_TS_RESP(nullptr, &p, static_cast<long>(response.size()));
  if (resp == nullptr) return {};
  ByteVec out = der::I2dBytes(i2d_PKCS7, TS_RESP_get_token(resp));
  TS_RESP_free(resp);
  return out;
}

// The genTime of a token as OpenSSL reads it, "YYYYMMDDhhmmss[.f]Z".
inline std::string OpenSslGenTime(std::span<const uint8_t> token) {
  const unsigned char* p = token.data();
  PKCS7* p7 = d2i_PKCS7(nullptr, &p, static_cast<long>(token.size()));
  if (p7 == nullptr) return {};
  TS_TST_INFO* tst = PKCS7_to_TS_TST_INFO(p7);
  PKCS7_free(p7);
  if (tst == nullptr) return {};
  const ASN1_GENERALIZEDTIME* t = TS_TST_INFO_get_time(tst);
  std::string text(reinterpret_cast<const char*>(ASN1_STRING_get0_data(t)),
                   static_cast<size_t>(ASN1_STRING_length(t)));
  TS_TST_INFO_free(tst);
  return text;
}

// A counter-signature by `id` over `signature_value` (what a SignerInfo's
// signature OCTET STRING holds): messageDigest and signingTime, no content
// type, as RFC 5652 section 11.4 has it. With `nested_by`, that identity
// counter-signs this counter-signature in turn (an unsigned attribute of it).
inline ByteVec CounterSignerInfo(const TestIdentity& id, std::span<const uint8_t> signature_value,
                                 const TestIdentity* nested_by = nullptr);

// The countersignature attribute (1.2.840.113549.1.9.6) around SignerInfos.
inline ByteVec CounterSignatureAttribute(const std::vector<ByteVec>& signer_infos) {
  der::Writer w;
  w.Begin(der::kSequence);
  w.AddOid("1.2.840.113549.1.9.6");
  w.Begin(der::kSet);
  for (const ByteVec& si : signer_infos) w.AddEncoded(si);
  w.End();
  w.End();
  return *w.Finish();
}

inline ByteVec CounterSignerInfo(const TestIdentity& id, std::span<const uint8_t> signature_value,
                                 const TestIdentity* nested_by) {
  PKCS7_SIGNER_INFO* si = PKCS7_SIGNER_INFO_new();
  EXPECT_EQ(PKCS7_SIGNER_INFO_set(si, id.x509.get(), id.key.get(), EVP_sha1()), 1);
  ByteVec md = Sha1(signature_value);
  ASN1_OCTET_STRING* os = ASN1_OCTET_STRING_new();
  ASN1_OCTET_STRING_set(os, md.data(), static_cast<int>(md.size()));
  PKCS7_add_signed_attribute(si, NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING, os);
  PKCS7_add0_attrib_signing_time(si, nullptr);
  EXPECT_EQ(PKCS7_SIGNER_INFO_sign(si), 1);
  if (nested_by != nullptr) {
    const ByteVec own(si->enc_digest->data, si->enc_digest->data + si->enc_digest->length);
    const ByteVec nested = CounterSignatureAttribute({CounterSignerInfo(*nested_by, own)});
    const unsigned char* p = nested.data();
    X509_ATTRIBUTE* attr = d2i_X509_ATTRIBUTE(nullptr, &p, static_cast<long>(nested.size()));
    EXPECT_NE(attr, nullptr);
    STACK_OF(X509_ATTRIBUTE)* list = sk_X509_ATTRIBUTE_new_null();
    sk_X509_ATTRIBUTE_push(list, attr);
    PKCS7_set_attributes(si, list);  // the unsigned attributes (copied)
    sk_X509_ATTRIBUTE_pop_free(list, X509_ATTRIBUTE_free);
  }
  ByteVec out = der::I2dBytes(i2d_PKCS7_SIGNER_INFO, si);
  PKCS7_SIGNER_INFO_free(si);
  return out;
}

inline ByteVec AddUnsigned(const ByteVec& message, uint32_t index, const ByteVec& attribute) {
  ByteVec out;
  EXPECT_EQ(TwoCalls(
                [&](uint8_t* o, uint32_t* s) {
                  return crypto::AddSignerUnsignedAttribute(
                      message.data(), static_cast<uint32_t>(message.size()), index,
                      attribute.data(), static_cast<uint32_t>(attribute.size()), o, s);
                },
                &out),
            0u);
  return out;
}

inline ByteVec SignatureValue(const ByteVec& message, uint32_t index) {
  ByteVec out;
  EXPECT_EQ(TwoCalls(
                [&](uint8_t* o, uint32_t* s) {
                  return crypto::GetSignerSignatureValue(
                      message.data(), static_cast<uint32_t>(message.size()), index, o, s);
                },
                &out),
            0u);
  return out;
}

// Where `needle` first occurs in `hay` (npos when it does not).
inline size_t Find(const ByteVec& hay, std::span<const uint8_t> needle) {
  if (needle.empty() || needle.size() > hay.size()) return std::string::npos;
  for (size_t i = 0; i + needle.size() <= hay.size(); ++i)
    if (std::equal(needle.begin(), needle.end(), hay.begin() + static_cast<long>(i))) return i;
  return std::string::npos;
}

}  // namespace vel::test
