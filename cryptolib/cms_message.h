// CMS (PKCS#7) signed and enveloped messages as a flat interface: sign
// attached or detached, co-sign, count and verify signers, add an unsigned
// attribute, read a signer's certificate, signature value and attributes, the
// encapsulated content and its digest, and decrypt enveloped data with a key
// of the user's "My" store.
//
// Every signature made here is a SignedData with SHA-1, the signer's
// certificate only, and exactly the signed attributes contentType,
// messageDigest and ESS signingCertificate (the SHA-1 of the certificate);
// issuer and serial number are copied from the certificate as they stand.
// All bytes are written by our DER writer. Co-signing and adding an
// attribute splice new bytes into the message and keep every other byte as
// received (only the lengths of the enclosing elements change).
//
// Functions return a status code and keep no state. Functions that return
// bytes follow the size rule: with no buffer, or one smaller than the need,
// the size is set to the need and 234 returned; otherwise the bytes are
// written and the size set to the count. Codes callers test:
//   0x8009310B  the bytes are not a ContentInfo (or a part of it is malformed)
//   0x80091004  a ContentInfo of another type than the one asked for
//   0x8009200E  no signer with that index
//   0x80092004  the signer's certificate is not in the message
//   0x80091007  content digest mismatch, or the signed attributes lack exactly
//               one messageDigest / a contentType equal to the content's type
//   0x80090006  the signature does not verify
//   0x80090008  a digest or signature algorithm that is not supported
//   0x8009200B  no private key for the certificate (signing) / for any
//               recipient (decryption)
//   1223        the PIN request was cancelled
//   2           no such certificate, attribute or occurrence
//   87          a missing argument, an unknown selector, a malformed attribute
//   8           working memory not available
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "cryptolib/content_feed.h"
#include "cryptolib/status.h"
#include "platform/cert_store.h"
#include "platform/signer.h"

namespace vel::crypto {

inline constexpr char kOidSha1[] = "1.3.14.3.2.26";
inline constexpr char kOidSigningCertificate[] = "1.2.840.113549.1.9.16.2.12";
inline constexpr char kOidSignatureTimeStampToken[] = "1.2.840.113549.1.9.16.2.14";
inline constexpr char kOidSignedFileName[] = "1.2.616.1.170091.20.10.10.10";

inline constexpr LibraryErrorCode kCryptEBadTag = 0x8009310B;
inline constexpr LibraryErrorCode kCryptEInvalidMsgType = 0x80091004;
inline constexpr LibraryErrorCode kCryptEHashValue = 0x80091007;
inline constexpr LibraryErrorCode kCryptESignerNotFound = 0x8009200E;
inline constexpr LibraryErrorCode kCryptENotFound = 0x80092004;
inline constexpr LibraryErrorCode kCryptENoKeyProperty = 0x8009200B;
inline constexpr LibraryErrorCode kNteBadSignature = 0x80090006;
inline constexpr LibraryErrorCode kNteBadAlgId = 0x80090008;
inline constexpr LibraryErrorCode kNteBadData = 0x80090005;

// Longest time-stamp token a signature time-stamp attribute can hold: its
// lengths are always written in two bytes (T + 17 <= 65535).
inline constexpr uint32_t kMaxTimeStampToken = 65518;

// ---- signing (the key is found through the certificate's key binding)

LibraryErrorCode SignMessageAttached(const uint8_t* content, uint32_t content_length,
                                     const platform::CertContext* signer_certificate, uint8_t* out,
                                     uint32_t* out_size);
LibraryErrorCode SignMessageDetached(const uint8_t* content, uint32_t content_length,
                                     const platform::CertContext* signer_certificate, uint8_t* out,
                                     uint32_t* out_size);
// The new signer comes last; the certificate is added only when the message
// does not hold it yet.
LibraryErrorCode CoSignAttached(const uint8_t* message, uint32_t length,
                                const platform::CertContext* signer_certificate, uint8_t* out,
                                uint32_t* out_size);
// A detached signature stays detached.
LibraryErrorCode CoSignDetached(const uint8_t* content, uint32_t content_length,
                                const uint8_t* signature, uint32_t signature_length,
                                const platform::CertContext* signer_certificate, uint8_t* out,
                                uint32_t* out_size);

// The same with a signer in hand (the key wherever it lives).
LibraryErrorCode SignMessage(std::span<const uint8_t> content, bool detached,
                             platform::Signer& signer, std::vector<uint8_t>* out);
// `content` is the detached content, or none for an attached message.
LibraryErrorCode CoSignMessage(std::span<const uint8_t> message,
                               const std::span<const uint8_t>* detached_content,
                               platform::Signer& signer, std::vector<uint8_t>* out);

// ---- reading and verifying

// `count` may be absent.
LibraryErrorCode GetSignerCount(const uint8_t* message, uint32_t length, uint32_t* count);
LibraryErrorCode VerifyAttached(const uint8_t* message, uint32_t length, uint32_t signer_index);
LibraryErrorCode VerifyDetached(const uint8_t* content, uint32_t content_length,
                                const uint8_t* signature, uint32_t signature_length,
                                uint32_t signer_index);
// The same over content read through a feed (a read failure: 0x80091007).
LibraryErrorCode VerifyDetached(ContentFeed& content, const uint8_t* signature,
                                uint32_t signature_length, uint32_t signer_index);

// `attribute` must be one whole encoded Attribute (SEQUENCE { OID, SET }),
// else 87. It is appended after the signer's existing unsigned attributes.
LibraryErrorCode AddSignerUnsignedAttribute(const uint8_t* message, uint32_t length,
                                            uint32_t signer_index, const uint8_t* attribute,
                                            uint32_t attribute_length, uint8_t* out,
                                            uint32_t* out_size);

// The signature time-stamp attribute for a token, with two-byte lengths
// throughout (30 82 ... 06 0B <oid> 31 82 <T> <token>). A token that is empty,
// not one DER element, or longer than kMaxTimeStampToken: 87.
LibraryErrorCode MakeSignatureTimeStampAttribute(std::span<const uint8_t> token,
                                                 std::vector<uint8_t>* attribute);

LibraryErrorCode GetSignerCertificate(const uint8_t* message, uint32_t length,
                                      uint32_t signer_index, uint8_t* out, uint32_t* out_size);
LibraryErrorCode GetSignerSignatureValue(const uint8_t* message, uint32_t length,
                                         uint32_t signer_index, uint8_t* out, uint32_t* out_size);
// selector 1: the certificate, 2: the signature value; other: 87.
LibraryErrorCode GetSignerItem(uint32_t selector, const uint8_t* message, uint32_t length,
                               uint32_t signer_index, uint8_t* out, uint32_t* out_size);

// The first value (DER) of the occurrence-th attribute with that OID (exact
// text). For the signed file-name attribute the value's content is given as
// text with a terminating zero; the need stays the value's whole length.
LibraryErrorCode GetSignedAttribute(const uint8_t* message, uint32_t length, uint32_t signer_index,
                                    const char* oid, uint32_t occurrence, uint8_t* out,
                                    uint32_t* out_size);
LibraryErrorCode GetUnsignedAttribute(const uint8_t* message, uint32_t length,
                                      uint32_t signer_index, const char* oid, uint32_t occurrence,
                                      uint8_t* out, uint32_t* out_size);
LibraryErrorCode GetSignerTimeStampToken(const uint8_t* message, uint32_t length,
                                         uint32_t signer_index, uint32_t occurrence, uint8_t* out,
                                         uint32_t* out_size);

// The encapsulated content octets (none for a detached signature).
LibraryErrorCode GetMessageContent(const uint8_t* message, uint32_t length, uint8_t* out,
                                   uint32_t* out_size);
// SHA-1 of the encapsulated content octets; a message without them: 13.
LibraryErrorCode GetMessageContentDigest(const uint8_t* message, uint32_t length, uint8_t* out,
                                         uint32_t* out_size);
// selector 1: the content, 2: its digest; other: 87.
LibraryErrorCode GetMessageContentItem(uint32_t selector, const uint8_t* message, uint32_t length,
                                       uint8_t* out, uint32_t* out_size);

// ---- enveloped data

// Decrypts an EnvelopedData with the key of a certificate in the "My" store
// of the location (callers pass the current user, 0x10000).
LibraryErrorCode DecryptMessage(const uint8_t* message, uint32_t length, uint32_t store_flags,
                                uint8_t* out, uint32_t* out_size);

}  // namespace vel::crypto
