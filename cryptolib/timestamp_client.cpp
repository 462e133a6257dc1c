#include "cryptolib/timestamp_client.h"

#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <new>
#include <span>
#include <string>

#include "cryptolib/cms_message.h"
#include "cryptolib/der.h"
#include "cryptolib/der_utils.h"
#include "cryptolib/http_client.h"
#include "cryptolib/timestamp_parse.h"
#include "platform/temp_files.h"

namespace vel::crypto {
namespace {

using Bytes = std::span<const uint8_t>;

constexpr LibraryErrorCode kNotFound = 2;
constexpr LibraryErrorCode kNoMemory = 8;
constexpr LibraryErrorCode kInvalidData = 13;
constexpr LibraryErrorCode kBadLength = 24;
constexpr LibraryErrorCode kInvalidParameter = 87;
constexpr LibraryErrorCode kMoreData = 234;
constexpr LibraryErrorCode kNteFail = 0x80090020;

constexpr char kContentTypeHeader[] = "Content-Type: application/timestamp-query";
constexpr char kAcceptType[] = "application/timestamp-reply";

LibraryErrorCode Record(TspContext* context, LibraryErrorCode status) {
  context->last_status = status;
  return status;
}

// The size rule.
LibraryErrorCode PutBytes(Bytes bytes, uint8_t* out, uint32_t* size) {
  if (bytes.size() > std::numeric_limits<uint32_t>::max()) return kNoMemory;
  const auto need = static_cast<uint32_t>(bytes.size());
  if (need != 0 && (out == nullptr || *size < need)) {
    *size = need;
    return kMoreData;
  }
  if (need != 0) std::memcpy(out, bytes.data(), need);
  *size = need;
  return 0;
}

// Runs a body; a failed allocation anywhere inside is status 8.
template <typename F>
LibraryErrorCode Guard(F&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  }
}

// The TSTInfo of the held response.
LibraryErrorCode HeldTstInfo(const TspContext* context, tsp::TstInfo* info) {
  tsp::ResponseView resp;
  if (!tsp::ParseResponse(context->response, &resp) || resp.token.empty()) return kInvalidData;
  tsp::TokenView token;
  if (!tsp::ParseToken(resp.token, &token) || !token.is_tst_info) return kInvalidData;
  return tsp::ParseTstInfo(token.econtent, info) ? 0 : kInvalidData;
}

// A fresh nonce: a positive INTEGER in minimal form (first octet 01..7F),
// which is what DER-strict authorities accept.
LibraryErrorCode MakeNonce(std::array<uint8_t, kNonceLength>* nonce) {
  platform::NewUuid(nonce->data());
  if (RAND_bytes(nonce->data() + 16, static_cast<int>(kNonceLength - 16)) != 1) return kNteFail;
  (*nonce)[0] &= 0x7F;
  if ((*nonce)[0] == 0) (*nonce)[0] = 1;
  return 0;
}

}  // namespace

TspContext* TspContextCreate() {
  try {
    return std::make_unique<TspContext>().release();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void TspContextFree(TspContext* context) { std::unique_ptr<TspContext> owned(context); }

LibraryErrorCode TspBuildRequest(TspContext* context, const uint8_t* data, uint32_t length,
                                 const char* policy, uint32_t nonce, uint32_t cert_req,
                                 const platform::CertContext* signer_certificate) {
  if (context == nullptr) return kInvalidParameter;
  if (data == nullptr || length == 0) return Record(context, kInvalidData);
  const LibraryErrorCode status = Guard([&]() -> LibraryErrorCode {
    context->request.clear();
    std::array<uint8_t, 20> digest{};
    uint32_t digest_size = digest.size();
    LibraryErrorCode err = ComputeHash(data, length, kCalgSha1, digest.data(), &digest_size);
    if (err != 0) return Record(context, err);
    if (digest_size != digest.size()) return Record(context, kBadLength);

    std::vector<uint8_t> policy_oid;
    if (policy != nullptr && !der::OidTextToContent(policy, &policy_oid)) return kInvalidParameter;
    std::array<uint8_t, kNonceLength> nonce_bytes{};
    if (nonce != 0 && (err = MakeNonce(&nonce_bytes)) != 0) return Record(context, err);

    // Lengths are written in whatever form they need, so long policy
    // identifiers stay well formed.
    der::Writer w;
    w.Begin(der::kSequence);
    w.AddInteger(1);
    w.Begin(der::kSequence);
    w.Begin(der::kSequence);
    w.AddOid(kOidSha1);
    w.AddNull();
    w.End();
    w.AddOctetString(digest);
    w.End();
    if (policy != nullptr) w.AddOidContent(policy_oid);
    if (nonce != 0) w.AddIntegerContent(nonce_bytes);
    if (cert_req != 0) w.AddBoolean(true);
    w.End();
    std::optional<std::vector<uint8_t>> request = w.Finish();
    if (!request) return Record(context, kInvalidData);
    context->request = std::move(*request);
    if (signer_certificate == nullptr) return Record(context, 0);

    std::vector<uint8_t> signed_request(kMaxSignedRequest);
    uint32_t signed_size = kMaxSignedRequest;
    err = SignMessageAttached(context->request.data(), static_cast<uint32_t>(context->request.size()),
                              signer_certificate, signed_request.data(), &signed_size);
    if (err != 0) return Record(context, err);  // the unsigned request stays
    signed_request.resize(signed_size);
    context->request = std::move(signed_request);
    return Record(context, 0);
  });
  if (status == kNoMemory) {
    context->request.clear();
    return Record(context, kNoMemory);
  }
  return status;
}

LibraryErrorCode TspSendRequest(TspContext* context, const char* url) {
  if (context == nullptr) return kInvalidParameter;
  if (url == nullptr || context->request.empty()) return Record(context, kInvalidParameter);
  const LibraryErrorCode status = Guard([&]() -> LibraryErrorCode {
    HttpRequestPtr http(CreateHttpRequest());
    if (!http) return Record(context, kNoMemory);
    LibraryErrorCode err = SetHttpRequestUrl(http.get(), url);
    if (err == 0) {
      SetHttpRequestBody(http.get(), context->request.data(),
                         static_cast<uint32_t>(context->request.size()));
      err = SetHttpRequestHeaders(http.get(), kContentTypeHeader);
    }
    if (err == 0) err = SetHttpRequestAcceptType(http.get(), kAcceptType);
    if (err == 0) err = SendHttpRequest(http.get());
    context->response.clear();
    if (err != 0) return Record(context, err);
    context->response = std::move(http->response);
    http.reset();

    // Accept the answer only for what was asked: the imprint always, the
    // nonce when one was sent.
    err = tsp::CheckAnswer(context->request, context->response);
    return Record(context, err);
  });
  return status == kNoMemory ? Record(context, kNoMemory) : status;
}

LibraryErrorCode TspSetResponse(TspContext* context, const uint8_t* response, uint32_t length) {
  if (context == nullptr || response == nullptr || length == 0) return kInvalidParameter;
  const LibraryErrorCode status = Guard([&]() -> LibraryErrorCode {
    context->response.clear();
    context->response.assign(response, response + length);
    return 0;
  });
  return status == 0 ? 0 : Record(context, status);
}

LibraryErrorCode TspSetToken(TspContext* context, const uint8_t* token, uint32_t length) {
  if (context == nullptr || token == nullptr || length == 0 || length > kMaxStoredToken)
    return kInvalidParameter;
  const LibraryErrorCode status = Guard([&]() -> LibraryErrorCode {
    context->response.clear();
    // A granted response around the token, always with a two-byte length.
    der::Writer w;
    w.Begin(der::kSequence, der::LengthForm::kTwoOctets);
    w.Begin(der::kSequence);
    w.AddInteger(0);
    w.End();
    w.AddEncoded(Bytes(token, length));
    w.End();
    std::optional<std::vector<uint8_t>> bytes = w.Finish();
    if (!bytes) return kInvalidParameter;
    context->response = std::move(*bytes);
    return 0;
  });
  if (status == kNoMemory) return Record(context, kNoMemory);
  return status;
}

LibraryErrorCode TspGetResponse(TspContext* context, uint8_t* buffer, uint32_t* size) {
  if (context == nullptr || size == nullptr) return kInvalidParameter;
  return PutBytes(context->response, buffer, size);
}

LibraryErrorCode TspGetToken(TspContext* context, uint8_t* buffer, uint32_t* size) {
  if (context == nullptr || size == nullptr) return kInvalidParameter;
  tsp::ResponseView resp;
  if (!tsp::ParseResponse(context->response, &resp) || resp.token.empty()) return kInvalidData;
  return PutBytes(resp.token, buffer, size);
}

int32_t TspGetStatus(TspContext* context) {
  if (context == nullptr) return -1;
  tsp::ResponseView resp;
  if (!tsp::ParseResponse(context->response, &resp)) {
    Record(context, kInvalidData);
    return -1;
  }
  return resp.status;
}

LibraryErrorCode TspGetMessageImprintHash(TspContext* context, uint8_t* buffer, uint32_t* size) {
  if (context == nullptr || size == nullptr) return kInvalidParameter;
  tsp::TstInfo info;
  const LibraryErrorCode err = HeldTstInfo(context, &info);
  if (err != 0) return err;
  return PutBytes(info.imprint.hashed, buffer, size);
}

LibraryErrorCode TspGetGenTime(TspContext* context, char* buffer, uint32_t* size) {
  if (context == nullptr || size == nullptr) return kInvalidParameter;
  tsp::TstInfo info;
  const LibraryErrorCode err = HeldTstInfo(context, &info);
  if (err != 0) return err;
  const auto need = static_cast<uint32_t>(info.gen_time.size() + 1);
  if (buffer == nullptr || *size < need) {
    *size = need;
    return kMoreData;
  }
  std::memcpy(buffer, info.gen_time.data(), info.gen_time.size());
  buffer[info.gen_time.size()] = '\0';
  *size = need;
  return 0;
}

LibraryErrorCode TspGetCertificatesField(TspContext* context, uint8_t* buffer, uint32_t* size) {
  if (context == nullptr || size == nullptr) return kInvalidParameter;
  tsp::ResponseView resp;
  if (!tsp::ParseResponse(context->response, &resp) || resp.token.empty()) return kInvalidData;
  tsp::TokenView token;
  if (!tsp::ParseToken(resp.token, &token)) return kInvalidData;
  if (!token.has_certificates) return kNotFound;
  return PutBytes(token.certificates, buffer, size);
}

}  // namespace vel::crypto
