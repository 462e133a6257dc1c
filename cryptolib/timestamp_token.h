// The library's object over one RFC 3161 exchange or one stored time-stamp
// token: it owns a TspContext and forwards every operation to the time-stamp
// client, keeping each result as its last result.
//
// The signing flow, on one object: SetGlobalProxy (when a proxy is set),
// CreateRequest (nonce 0, certReq 1, the signer's certificate when requests
// are signed), Send, Decode (needs 0, granted), Verify, GetTsaCertificate (the
// caller checks it), GetToken (what the signature stores).
// Readers of a stored token: LoadToken (bare token) or LoadResponse (whole
// response), then Verify, GetHashedMessage, GetTsaCertificate, GetResponse.
//
// Verify checks the token's own CMS signature only; the caller checks the
// authority's certificate and compares GetHashedMessage with the SHA-1 of
// what was stamped (Send already refuses an answer for other data).
#pragma once

#include <cstdint>

#include "cryptolib/status.h"
#include "cryptolib/timestamp_client.h"
#include "platform/cert_store.h"

namespace vel::crypto {

class TimeStampToken {
 public:
  // Last result 0, or 8 when no context could be made (the object is then unusable).
  TimeStampToken();
  virtual ~TimeStampToken();
  TimeStampToken(const TimeStampToken&) = delete;
  TimeStampToken& operator=(const TimeStampToken&) = delete;

  LibraryErrorCode CreateRequest(const uint8_t* data, uint32_t length, const char* policy,
                                 uint32_t nonce, uint32_t cert_req,
                                 const platform::CertContext* signer_certificate);
  LibraryErrorCode Send(const char* url);
  // The PKIStatus of the held response (0 granted); -1 when it does not decode.
  int32_t Decode();
  LibraryErrorCode GetResponse(uint8_t* buffer, uint32_t* size);
  LibraryErrorCode GetToken(uint8_t* buffer, uint32_t* size);
  LibraryErrorCode GetHashedMessage(uint8_t* buffer, uint32_t* size);
  // The certificate that signed the token (the one signer 0 names among the
  // token's certificates); none on failure, with the status as last result
  // (2: the token carries no certificates, or not the signer's).
  platform::CertPtr GetTsaCertificate();
  LibraryErrorCode LoadResponse(const uint8_t* response, uint32_t length);
  LibraryErrorCode LoadToken(const uint8_t* token, uint32_t length);
  // 0 when the token is a SignedData over a TSTInfo whose signer 0 verifies.
  // Not a ContentInfo: 0x8009310B; another content type: 0x80091004; the
  // signer's checks: 0x80091007, 0x80090006, 0x80092004, 0x80090008; no token
  // held: 13.
  LibraryErrorCode Verify();

  // The process-wide proxy of every later exchange of the library.
  static void SetGlobalProxy(const char* server, const char* user, const char* password);

  // Decode's -1 is kept as 0xFFFFFFFF.
  LibraryErrorCode GetLastResult() const { return last_result_; }
  TspContext* context() const { return context_.get(); }

 private:
  LibraryErrorCode Keep(LibraryErrorCode status) { return last_result_ = status; }
  LibraryErrorCode last_result_ = 0;
  TspContextPtr context_;
};

}  // namespace vel::crypto
