// A CMS SignedData as received, read through the bounded DER reader without
// re-encoding anything: every part is a view of the received bytes, so a
// message can be rebuilt around new pieces with every old byte kept.
// Input that is BER (indefinite lengths, as streaming encoders write) is
// turned into DER first; the views then point into that copy.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cryptolib/content_feed.h"
#include "cryptolib/status.h"
#include "platform/cert_store.h"
#include "platform/signer.h"

namespace vel::crypto::cms {

using Bytes = std::span<const uint8_t>;

inline constexpr char kOidData[] = "1.2.840.113549.1.7.1";
inline constexpr char kOidSignedData[] = "1.2.840.113549.1.7.2";
inline constexpr char kOidEnvelopedData[] = "1.2.840.113549.1.7.3";
inline constexpr char kOidContentType[] = "1.2.840.113549.1.9.3";
inline constexpr char kOidMessageDigest[] = "1.2.840.113549.1.9.4";
inline constexpr char kOidRsaEncryption[] = "1.2.840.113549.1.1.1";

struct Attribute {
  Bytes encoded;              // the whole Attribute
  std::string oid;            // dotted text
  std::vector<Bytes> values;  // each value's whole encoding
};

struct SignerInfo {
  Bytes encoded;  // the whole SignerInfo
  int64_t version = 0;
  bool by_key_id = false;
  Bytes issuer;   // issuerAndSerialNumber: the Name's whole encoding
  Bytes serial;   // and the serial number's content octets
  Bytes key_id;   // subjectKeyIdentifier
  std::string digest_oid;
  bool has_signed_attributes = false;
  Bytes signed_attributes;  // the whole [0] element
  std::vector<Attribute> signed_attrs;
  std::string signature_oid;
  Bytes signature;  // the signature value's octets
  Bytes head;       // the SignerInfo's content up to its unsigned attributes
  bool has_unsigned_attributes = false;
  Bytes unsigned_content;  // the content of the [1] element
  std::vector<Attribute> unsigned_attrs;
};

struct SignedData {
  SignedData() = default;
  SignedData(const SignedData&) = delete;
  SignedData& operator=(const SignedData&) = delete;
  SignedData(SignedData&&) = default;
  SignedData& operator=(SignedData&&) = default;

  std::vector<uint8_t> der_copy;  // holds the bytes when the input was BER
  Bytes content_type;             // the ContentInfo's OID element
  Bytes version;                  // SignedData version element
  Bytes digest_algorithms;        // the whole SET
  std::vector<std::string> digest_algorithm_oids;
  Bytes digest_algorithms_content;
  Bytes encap;                    // the whole encapContentInfo
  Bytes econtent_type;            // its OID element
  bool has_econtent = false;
  std::vector<Bytes> econtent;    // the content octets (one piece, or the pieces of a constructed string)
  bool has_certificates = false;
  Bytes certificates_element;     // the whole [0]
  Bytes certificates_content;
  std::vector<Bytes> certificates;  // the X.509 certificates among them, in order
  Bytes crls;                     // the whole [1], when present
  Bytes signer_infos_content;
  std::vector<SignerInfo> signers;
};

// Reads a ContentInfo holding a SignedData. Not a ContentInfo, or a malformed
// part: 0x8009310B; a ContentInfo of another type: 0x80091004.
LibraryErrorCode ParseSignedData(Bytes message, SignedData* out);

// A SignerInfo found outside a SignerInfos set (a counter-signature, or one
// shown alone) inside a SignedData of its own, so that ParseSignedData reads
// it: ContentInfo { signedData, [0] { 1, {}, { data }, { signerInfo } } }.
std::optional<std::vector<uint8_t>> WrapSignerInfo(Bytes signer_info);

// The encapsulated content as one piece.
std::vector<uint8_t> JoinContent(const SignedData& sd);

// Digest of pieces; empty on failure.
std::vector<uint8_t> DigestOf(const EVP_MD* md, std::span<const Bytes> pieces);
// Digest of everything the feed gives from its start; empty when the feed
// fails or cannot be rewound.
std::vector<uint8_t> DigestOf(const EVP_MD* md, ContentFeed& feed);

// The digest a dotted digest-algorithm OID names (SHA-1 and SHA-2); none otherwise.
const EVP_MD* DigestForOid(const std::string& oid);

// The certificate of the message that the signer names (issuer and serial, or
// subject key identifier); none when there is none.
platform::CertPtr FindSignerCertificate(const SignedData& sd, const SignerInfo& si);

// What a SignerInfo signs for: the content (a signer), a signature value (a
// counter-signer), or a TSTInfo (a time-stamp signer).
enum class SignerRole { kSigner, kCounterSigner, kTimeStampSigner };
// The digest of what the signer signed, by the given algorithm; empty on
// failure. Callers with several signers may compute it once per algorithm.
using ContentDigest = std::function<std::vector<uint8_t>(const EVP_MD*)>;

// Checks one SignerInfo's signature with `cert` (no chain, no revocation).
// With signed attributes: exactly one messageDigest equal to the content's
// digest, and (except for a counter-signer) exactly one contentType equal to
// `econtent_type` (else 0x80091007); the signature covers the attributes.
// Without (allowed for a signer of id-data content only, else 0x80091007):
// the signature covers the content's digest. A signature that does not
// verify: 0x80090006; an algorithm other than RSA with SHA-1/SHA-2: 0x80090008.
LibraryErrorCode CheckSignerSignature(const SignerInfo& si, const platform::CertContext& cert,
                                      Bytes econtent_type, SignerRole role,
                                      const ContentDigest& content_digest);

// Checks signer `index` of the message over the given content, with the
// certificate the message holds for it (none: 0x80092004).
LibraryErrorCode VerifySigner(const SignedData& sd, size_t index, std::span<const Bytes> content);
// The same with the content's digest made by the caller (a feed's).
LibraryErrorCode VerifySigner(const SignedData& sd, size_t index, const ContentDigest& content_digest);

// The pieces a rebuilt message takes in place of old ones.
struct Splice {
  bool add_sha1_algorithm = false;
  Bytes add_certificate;                      // appended to the certificates when not empty
  std::optional<size_t> replace_signer;       // this SignerInfo ...
  std::vector<uint8_t> replacement;           // ... becomes these bytes
  std::vector<uint8_t> add_signer;            // appended to the SignerInfos when not empty
};
// The message with the splice applied; every other element keeps its bytes.
std::optional<std::vector<uint8_t>> Rebuild(const SignedData& sd, const Splice& splice);

// A SignerInfo of our layout (SHA-1; contentType, messageDigest and ESS
// signingCertificate; RSA). `content_type` is the OID element to put in the
// contentType attribute. With `signer` none, the signature is zeros of the
// key's length (for the size of the result without using the key).
LibraryErrorCode MakeSignerInfo(const platform::CertContext& cert, Bytes content_type,
                                std::span<const uint8_t> content_digest,
                                platform::Signer* signer, std::vector<uint8_t>* out);

}  // namespace vel::crypto::cms
