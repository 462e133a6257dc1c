// Canonical fragments of a ds:Signature element: each part is copied, deep,
// into a document of its own and that whole document is canonicalised
// (inclusive, no comments). A fragment that cannot be formed is none; the
// joined forms give none when nothing matched.
#pragma once

#include <libxml/tree.h>
#include <openssl/evp.h>

#include <cstddef>
#include <optional>
#include <string>

namespace vel::xades {

using Fragment = std::optional<std::string>;

// Canonical text of a copy of `element` as the root of a new document; with
// `declareDs` the copy's root declares the "ds" prefix unless it already does.
Fragment elementC14N(const xmlNode* element, bool declareDs, int method = 0);

// Canonical text of `element` as a signature covers it where it stands: with
// an inclusive method (with or without comments) the form also carries the
// namespace declarations in scope from its ancestors and the xml:*
// attributes it inherits, as every XMLDSig verifier reads it; an exclusive
// form takes nothing from the ancestors.
Fragment elementInPlaceC14N(const xmlNode* element, int method);
// What `element` holds (its children, not its own tags) in inclusive
// canonical form without comments, read where it stands.
Fragment contentInPlaceC14N(const xmlNode* element);
// The base64 text of the digest `md` of that canonical text, taken as the
// text is written so that a large element is never held whole; none when the
// text cannot be formed.
std::optional<std::string> elementInPlaceC14NDigest(const xmlNode* element, int method, const EVP_MD* md);

Fragment signedInfoC14N(const xmlNode* signature);
Fragment signatureValueElementC14N(const xmlNode* signature);
Fragment keyInfoC14N(const xmlNode* signature);
Fragment signedPropertiesC14N(const xmlNode* signature);
// The second Object: its decoded bytes when its Encoding is the base64
// identifier (*length set to their count), else its canonical text (*length
// left alone).
Fragment objectC14N(const xmlNode* signature, size_t* length);

Fragment completeCertificateRefsC14N(const xmlNode* signature);
Fragment completeRevocationRefsC14N(const xmlNode* signature);
Fragment certificateValuesC14N(const xmlNode* signature);
Fragment revocationValuesC14N(const xmlNode* signature);
Fragment signatureTimeStampC14N(const xmlNode* signature);
Fragment counterSignatureC14N(const xmlNode* signature);
Fragment sigAndRefsTimeStampC14N(const xmlNode* signature);
Fragment refsOnlyTimeStampC14N(const xmlNode* signature);
// The ArchiveTimeStamps before position k (k = -1: all) that have children;
// k = 0 or k < -1: none.
Fragment archiveTimeStampC14N(const xmlNode* signature, int k);

}  // namespace vel::xades
