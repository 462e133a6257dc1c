// The library's RFC 3161 client: a small context that holds one time-stamp
// request and one time-stamp response as encoded bytes, with flat functions
// that build the request, send it to a time-stamp authority by HTTP POST,
// check the answer, read its status and pull single fields out of a stored
// response or token.
//
// A signature stores the bare token (the ContentInfo with the authority's
// SignedData). TspSetToken turns it back into a granted response by putting
// 30 82 HH LL 30 03 02 01 00 in front (HH LL = token length + 5), so that one
// set of readers serves answers and stored tokens alike.
//
// Requests are written by our DER writer; every response is read by the
// bounded DER reader, and the token is found by walking the response (a
// status with text or failure information does not move it). A response that
// does not have the shape the reader needs, or that ends early, gives 13.
//
// Functions that return bytes follow the size rule: with no buffer, or one
// smaller than the need, the size is set to the need and 234 returned;
// otherwise the bytes are written and the size set to the count (nothing to
// hand out: size 0 and 0).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "cryptolib/status.h"
#include "platform/cert_store.h"

namespace vel::crypto {

inline constexpr char kOidTstInfo[] = "1.2.840.113549.1.9.16.1.4";

// The two-byte header of a stored token holds the token length + 5.
inline constexpr uint32_t kMaxStoredToken = 65530;
// A signed request may be at most this long.
inline constexpr uint32_t kMaxSignedRequest = 20000;
// Bytes of a nonce (a positive INTEGER whose first octet is 01..7F).
inline constexpr uint32_t kNonceLength = 24;

struct TspContext {
  uint32_t structure_size = sizeof(TspContext);
  LibraryErrorCode last_status = 0;
  std::vector<uint8_t> request;   // empty: none
  std::vector<uint8_t> response;  // empty: none
};

// A new empty context; null when memory is short.
TspContext* TspContextCreate();
// Releases the request, the response and the context; null is accepted.
void TspContextFree(TspContext* context);

struct TspContextFreeer {
  void operator()(TspContext* c) const { TspContextFree(c); }
};
using TspContextPtr = std::unique_ptr<TspContext, TspContextFreeer>;

// Builds the request for `data` (SHA-1 imprint): version 1, the policy (dotted
// text) when given, a fresh nonce when `nonce` is nonzero, certReq TRUE when
// `cert_req` is nonzero. With a signer certificate the request becomes the
// content of an attached CMS SignedData made with that certificate's key (at
// most kMaxSignedRequest bytes, else 234). Data missing or empty: 13; a policy
// that is not an object identifier: 87 (not recorded). On a signing failure
// the unsigned request is kept and the signing status returned.
LibraryErrorCode TspBuildRequest(TspContext* context, const uint8_t* data, uint32_t length,
                                 const char* policy, uint32_t nonce, uint32_t cert_req,
                                 const platform::CertContext* signer_certificate);

// POSTs the request ("application/timestamp-query", accepting
// "application/timestamp-reply") through the process-wide proxy and keeps the
// answer. The exchange's status is returned unchanged (no answer is then
// held). The answer is accepted (0) only when it carries a token whose
// TSTInfo has the request's message imprint and, when the request had a
// nonce, the same nonce, or when it is a refusal without a token (Decode
// then gives its status); otherwise 13, with the answer still held so that
// its status can be read. No request built: 87.
LibraryErrorCode TspSendRequest(TspContext* context, const char* url);

// Replace the held response: a copy of a whole response, or a bare token put
// into a granted response. 0, or 8 when memory is short (no response is then
// held). No bytes, or a token longer than kMaxStoredToken (its two-byte
// header would wrap): 87, nothing changed.
LibraryErrorCode TspSetResponse(TspContext* context, const uint8_t* response, uint32_t length);
LibraryErrorCode TspSetToken(TspContext* context, const uint8_t* token, uint32_t length);

// The held response as it stands.
LibraryErrorCode TspGetResponse(TspContext* context, uint8_t* buffer, uint32_t* size);
// The token found in the held response (its ContentInfo element); none: 13.
LibraryErrorCode TspGetToken(TspContext* context, uint8_t* buffer, uint32_t* size);

// The PKIStatus of the held response (0 granted, 1 grantedWithMods, 2
// rejection, ...); -1 with last status 13 when the response does not decode.
int32_t TspGetStatus(TspContext* context);

// The TSTInfo's hashedMessage (no OCTET STRING there: 13).
LibraryErrorCode TspGetMessageImprintHash(TspContext* context, uint8_t* buffer, uint32_t* size);
// The TSTInfo's genTime as the authority wrote it ("YYYYMMDDhhmmss[.f...]Z"),
// with a terminating NUL; the size counts the NUL. No valid GeneralizedTime: 13.
LibraryErrorCode TspGetGenTime(TspContext* context, char* buffer, uint32_t* size);
// The content of the token's certificates [0] (the DER certificates as they
// stand); the token has none: 2.
LibraryErrorCode TspGetCertificatesField(TspContext* context, uint8_t* buffer, uint32_t* size);

}  // namespace vel::crypto
