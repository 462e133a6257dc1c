#include "cryptolib/timestamp_token.h"

#include <algorithm>
#include <new>
#include <vector>

#include "cryptolib/cms_message.h"
#include "cryptolib/cms_signed_data.h"
#include "cryptolib/der.h"
#include "cryptolib/http_client.h"

namespace vel::crypto {
namespace {

constexpr LibraryErrorCode kNotFound = 2;
constexpr LibraryErrorCode kNoMemory = 8;
constexpr LibraryErrorCode kMoreData = 234;

// The held token, read with the size rule's two calls.
LibraryErrorCode ReadToken(TspContext* context, std::vector<uint8_t>* token) {
  uint32_t size = 0;
  LibraryErrorCode err = TspGetToken(context, nullptr, &size);
  if (err != kMoreData) return err;
  token->assign(size, 0);
  err = TspGetToken(context, token->data(), &size);
  if (err == 0) token->resize(size);
  return err;
}

bool IsTstInfoType(cms::Bytes econtent_type) {
  der::Reader r(econtent_type);
  std::string oid;
  return r.ReadOid(&oid) && r.empty() && oid == kOidTstInfo;
}

}  // namespace

TimeStampToken::TimeStampToken() : context_(TspContextCreate()) {
  last_result_ = context_ ? 0 : kNoMemory;
}

TimeStampToken::~TimeStampToken() = default;

LibraryErrorCode TimeStampToken::CreateRequest(const uint8_t* data, uint32_t length,
                                               const char* policy, uint32_t nonce,
                                               uint32_t cert_req,
                                               const platform::CertContext* signer_certificate) {
  if (!context_) return Keep(kNoMemory);
  return Keep(TspBuildRequest(context_.get(), data, length, policy, nonce, cert_req,
                              signer_certificate));
}

LibraryErrorCode TimeStampToken::Send(const char* url) {
  if (!context_) return Keep(kNoMemory);
  return Keep(TspSendRequest(context_.get(), url));
}

int32_t TimeStampToken::Decode() {
  if (!context_) {
    Keep(static_cast<LibraryErrorCode>(-1));
    return -1;
  }
  const int32_t status = TspGetStatus(context_.get());
  Keep(static_cast<LibraryErrorCode>(status));
  return status;
}

LibraryErrorCode TimeStampToken::GetResponse(uint8_t* buffer, uint32_t* size) {
  if (!context_) return Keep(kNoMemory);
  return Keep(TspGetResponse(context_.get(), buffer, size));
}

LibraryErrorCode TimeStampToken::GetToken(uint8_t* buffer, uint32_t* size) {
  if (!context_) return Keep(kNoMemory);
  return Keep(TspGetToken(context_.get(), buffer, size));
}

LibraryErrorCode TimeStampToken::GetHashedMessage(uint8_t* buffer, uint32_t* size) {
  if (!context_) return Keep(kNoMemory);
  return Keep(TspGetMessageImprintHash(context_.get(), buffer, size));
}

platform::CertPtr TimeStampToken::GetTsaCertificate() {
  if (!context_) {
    Keep(kNoMemory);
    return nullptr;
  }
  try {
    uint32_t size = 0;
    LibraryErrorCode err = TspGetCertificatesField(context_.get(), nullptr, &size);
    if (err != kMoreData) {
      Keep(err == 0 ? kNotFound : err);  // an empty field holds no certificate
      return nullptr;
    }
    // Of the certificates the token carries, the one whose key signed it: a
    // chain, or a stray certificate put first, must not stand in for it.
    std::vector<uint8_t> token;
    err = ReadToken(context_.get(), &token);
    if (err != 0) {
      Keep(err);
      return nullptr;
    }
    cms::SignedData sd;
    err = cms::ParseSignedData(token, &sd);
    if (err != 0) {
      Keep(err);
      return nullptr;
    }
    platform::CertPtr cert =
        sd.signers.empty() ? nullptr : cms::FindSignerCertificate(sd, sd.signers[0]);
    Keep(cert ? 0 : kNotFound);
    return cert;
  } catch (const std::bad_alloc&) {
    Keep(kNoMemory);
    return nullptr;
  }
}

LibraryErrorCode TimeStampToken::LoadResponse(const uint8_t* response, uint32_t length) {
  if (!context_) return Keep(kNoMemory);
  return Keep(TspSetResponse(context_.get(), response, length));
}

LibraryErrorCode TimeStampToken::LoadToken(const uint8_t* token, uint32_t length) {
  if (!context_) return Keep(kNoMemory);
  return Keep(TspSetToken(context_.get(), token, length));
}

LibraryErrorCode TimeStampToken::Verify() {
  if (!context_) return Keep(kNoMemory);
  try {
    std::vector<uint8_t> token;
    LibraryErrorCode err = ReadToken(context_.get(), &token);
    if (err != 0) return Keep(err);
    cms::SignedData sd;
    err = cms::ParseSignedData(token, &sd);
    if (err != 0) return Keep(err);
    // Any signed message is not a time stamp.
    if (!IsTstInfoType(sd.econtent_type)) return Keep(kCryptEInvalidMsgType);
    return Keep(cms::VerifySigner(sd, 0, sd.econtent));
  } catch (const std::bad_alloc&) {
    return Keep(kNoMemory);
  }
}

void TimeStampToken::SetGlobalProxy(const char* server, const char* user, const char* password) {
  SetProxy(server, user, password);
}

}  // namespace vel::crypto
