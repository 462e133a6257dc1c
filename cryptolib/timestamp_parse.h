// Readers of RFC 3161 structures over the bounded DER reader: the request as
// it was sent, the response, the token's SignedData up to its TSTInfo, and
// the TSTInfo. Every view points into the bytes given; nothing is re-encoded.
// A structure that does not have its shape, or runs past its bytes, fails.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vel::crypto::tsp {

using Bytes = std::span<const uint8_t>;

struct Imprint {
  std::string algorithm;  // dotted digest-algorithm OID
  Bytes parameters;       // the parameters' whole encoding; empty when absent
  Bytes hashed;           // hashedMessage
};

struct RequestView {
  int64_t version = 0;
  Imprint imprint;
  bool has_policy = false;
  std::string policy;
  bool has_nonce = false;
  Bytes nonce;  // INTEGER content octets
  bool cert_req = false;
};

// Exactly one TimeStampReq.
bool ParseRequest(Bytes der, RequestView* out);

struct ResponseView {
  int32_t status = -1;  // PKIStatus
  Bytes token;          // the timeStampToken ContentInfo element; empty when absent
};

// Exactly one TimeStampResp whose status fits 32 bits.
bool ParseResponse(Bytes der, ResponseView* out);

struct TokenView {
  bool is_tst_info = false;  // eContentType is id-ct-TSTInfo
  Bytes econtent;            // the eContent OCTET STRING's content
  bool has_certificates = false;
  Bytes certificates;        // the content of the certificates [0]
};

// A ContentInfo with a SignedData and a primitive eContent; the walk stops
// after the certificates.
bool ParseToken(Bytes token, TokenView* out);

struct TstInfo {
  int64_t version = 0;
  bool has_policy = false;
  std::string policy;
  Imprint imprint;
  Bytes serial;          // INTEGER content octets
  std::string gen_time;  // the GeneralizedTime text; at least YYYYMMDDhhmmss, valid values
  bool has_nonce = false;
  Bytes nonce;
};

// Exactly one TSTInfo.
bool ParseTstInfo(Bytes der, TstInfo* out);

// Whether a response answers a request (bare, or the content of a CMS
// SignedData): 0 when it carries a token over a TSTInfo with the request's
// message imprint and, when the request has a nonce, the same nonce, and
// also when it is a refusal (status 2 or more) without a token, whose status
// the caller then reports; 13 otherwise.
uint32_t CheckAnswer(Bytes request, Bytes response);

// Same digest algorithm and the same hashed message.
bool SameImprint(const Imprint& a, const Imprint& b);
// Two INTEGER contents with the same value (redundant sign octets ignored).
bool SameInteger(Bytes a, Bytes b);

}  // namespace vel::crypto::tsp
