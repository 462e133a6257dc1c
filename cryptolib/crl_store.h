// Certificate revocation lists: the download addresses of an X509Context,
// the download of one CRL over HTTP or LDAP, the library's own CRL store
// "VelCryptoAPI" (one CRL per issuer, signing key and scope) and the search
// of a store for the CRL a CA signed. The certification path's CRL step (cryptolib/cert_path.h) uses
// them to take a CA's CRL from the store while current, else to download it.
//
// A download never reports 0 without a CRL: an empty answer, an answer that
// is not one whole DER CRL, a CRL cut by a size limit, each ends with a
// non-zero status and nothing is stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "cryptolib/status.h"
#include "cryptolib/x509_context.h"
#include "platform/cert_store.h"

namespace vel::crypto {

// The store is "VelCryptoAPI" (kCrlStoreName); a CA without a usable CRL is
// CRYPT_E_NO_REVOCATION_CHECK (both in cryptolib/cert_path.h, whose CRL step
// uses the functions below).

// The type of FindCrlByIssuer and VerifyCrlSignature that checks the CRL's
// signature with the issuer certificate's key (the only one built).
inline constexpr uint32_t CRL_FIND_ISSUED_BY = 1;
// The type VerifyCrlSignature names but does not implement (0x80004001).
inline constexpr uint32_t CRL_VERIFY_ISSUER_CHAIN = 3;

// LDAP downloads: the directory of the national root's operator is searched
// with this base and filter, and a CRL may be at most this long.
inline constexpr char kLdapCrlSearchBase[] = "C=PL";
inline constexpr char kLdapCrlFilter[] = "CN=*Veredove*";
inline constexpr uint32_t kLdapCrlMaxBytes = 20000;

// ---- the address list of a context

// Appends a copy of the address. Null address: 87 (also the last error); a
// list holding 1000 addresses: 14, the list and the last error unchanged.
LibraryErrorCode AddCrlUrl(X509Context* context, const char* address);
// Empties the list (FreeX509Context does it too).
void FreeCrlUrls(X509Context* context);

// ---- download

// Downloads one CRL: an address beginning with "ldap://" (any case) over
// LDAP, any other with an HTTP GET. Returns the CRL, or none with the
// reason as the context's last error (never 0 without a CRL):
//  - the HTTP statuses (0xE0000194 for a 404, 1460, 12029, 8, ...);
//  - the LDAP results, 0xE0000001 for several entries, 2 for none, 234 for
//    a CRL over 20,000 bytes (which is then not decoded);
//  - the decoder's error for bytes that are not one whole CRL, an empty
//    answer included (0x80093102).
CrlPtr FetchCrl(X509Context* context, const char* address);
// FetchCrl of the address at `index` of the context's list (beyond it: 87).
CrlPtr FetchCrlByIndex(X509Context* context, size_t index);

// The accept step of every downloaded CRL: the bytes must be exactly one DER
// CertificateList that decodes; 0 with the CRL, or the decoder's error
// (0x80093102 cut short or empty, 0x8009310B malformed) with none.
LibraryErrorCode DecodeDownloadedCrl(std::span<const uint8_t> bytes, CrlPtr* crl);

// The LDAP part of FetchCrl: anonymous bind to `host` ("name[:port]", port
// 389 by default), subtree search of `base` with `filter` for
// "authorityRevocationList" (120-second limit), and the first value of
// "authorityRevocationList;binary" (else of "authorityRevocationList") of the
// one entry found. Size rule: *size below the value's length gives 234,
// otherwise the bytes are copied; either way *size becomes the length.
// No entry: 2; several: 0xE0000001; no such values: the connection's last
// result (0x10 when that is 0); otherwise WinLDAP's result numbers.
LibraryErrorCode LdapFetchRevocationList(const char* host, const char* base, const char* filter,
                                         uint8_t* buffer, uint32_t* size);

// ---- CRLs and stores

// Type 1: 0 when the issuer certificate's key verifies the CRL's signature,
// else the platform's error; type 3: 0x80004001; other types: 87. A missing
// CRL or certificate: LIB_E_NO_CERTIFICATE.
LibraryErrorCode VerifyCrlSignature(uint32_t type, const CrlPtr& crl, const CertPtr& issuer);

// Type 1 only (others: 0x80004001): the first CRL of the store after
// `previous` (none: from the start) whose signature the issuer certificate
// verifies goes to *crl and the result is 0; none found: 2 and *crl empty.
// The encoding and flags are not used.
LibraryErrorCode FindCrlByIssuer(platform::CertStore& store, uint32_t encoding, uint32_t flags,
                                 uint32_t type, const CertPtr& issuer, const CrlPtr& previous,
                                 CrlPtr* crl);

// Puts a CRL into the library's store "VelCryptoAPI" at `location`, under
// the store's lock so that threads and processes replace safely. The CRL
// takes the slot of its issuer, signing key (`signer`'s when given, else the
// CRL's authority key identifier) and scope; a CRL in that slot is replaced
// only by one with a later thisUpdate, or, when `signer` is given and
// verifies the new CRL but not the stored one, by the new one. *stored (optional) tells whether the new CRL was written.
// Keeping the stored CRL is success.
LibraryErrorCode AddCrlToStore(uint32_t location, const CrlPtr& crl, const CertPtr& signer = nullptr,
                               bool* stored = nullptr);

// Deletes every CRL of the library's store "VelCryptoAPI" at `location`: 0,
// or the error of the first CRL that could not be deleted (those after it
// are left).
LibraryErrorCode DeleteCachedCrls(uint32_t location);

}  // namespace vel::crypto
