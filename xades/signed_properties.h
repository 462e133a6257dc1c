// The XAdES properties a signature really signs, and the signer's
// certificate they name.
//
// A signature's properties count only when its SignedInfo holds exactly one
// Reference typed SignedProperties, and that Reference names the
// SignedProperties of the one QualifyingProperties the signature holds in
// its own Objects, whose Target names this signature. Every reader of
// properties (verification, forms, property tables) takes them from there,
// never from another copy elsewhere in the document.
#pragma once

#include <libxml/tree.h>
#include <openssl/evp.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "xades/sign_context.h"

namespace vel::xades {

struct BoundProperties {
  const xmlNode* reference = nullptr;             // in SignedInfo
  const xmlNode* qualifyingProperties = nullptr;  // Signature/Object/QualifyingProperties
  const xmlNode* signedProperties = nullptr;      // its SignedProperties, the Reference's target
};

// The properties bound to the Signature element, read from the element
// alone; none when the signature has no such binding.
std::optional<BoundProperties> boundProperties(const xmlNode* signature);

// The digest a DigestMethod Algorithm names (SHA-1, SHA-256, SHA-384,
// SHA-512); none for any other.
const EVP_MD* digestMethodOf(std::string_view uri);

// Result codes of the checks below.
inline constexpr int kPropertiesBound = 0;
inline constexpr int kPropertiesNotBound = -40;     // no binding, or the Reference resolves elsewhere
inline constexpr int kSigningCertificateMismatch = -41;  // absent, or names another certificate
inline constexpr int kSigningCertificateUnsupported = -42;  // a CertDigest algorithm the engine does not know

// The SigningCertificate of the SignedProperties against the DER
// certificate: a Cert whose CertDigest (by its own DigestMethod) is the
// digest of that certificate, with the certificate's serial number in its
// IssuerSerial and an issuer text that is the certificate's (written in the
// usual forms, or empty).
int checkSigningCertificate(const xmlNode* signedProperties, std::span<const uint8_t> certificateDer);

// Both checks on a verification record: the binding (with the Reference's
// resolved target the bound SignedProperties) and the signer's certificate
// against SigningCertificate.
int checkSignedProperties(const XadesSignContext& entry);

}  // namespace vel::xades
