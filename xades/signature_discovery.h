// Finding every ds:Signature of a document, the signer's certificate of
// each, the links of counter-signatures and the forms each signature shows.
#pragma once

#include <cstdint>
#include <optional>

#include <libxml/tree.h>

#include "xades/form_checks.h"
#include "xades/verify_context.h"

namespace vel::xades {

enum XadesFormFlags : int32_t {
  kFormC = 1,
  kFormX = 2,
  kFormXL = 4,
  kFormA = 8,
};

int xadesLoadSignatures(XadesVerifyContext* ctx, xmlDoc* doc);
int xadesLoadSignatureRoot(XadesVerifyContext* ctx, xmlDoc* doc, int index);
int xadesLoadSignerCertificates(XadesVerifyContext* ctx);
// Counter-signatures whose CounterSignature holds a foreign element are
// skipped (see skippedCounterSignatures).
int xadesLinkCounterSignatures(XadesVerifyContext* ctx);

// The form elements among the signature's own unsigned signature properties
// (not those of a signature nested in it); the first of each kind where one
// counts.
SignatureForms findForms(const xmlNode* signature);

// 4 A, 3 X-L, 2 X, 1 C, 0 none.
int highestFormOf(const SignatureForms& forms);
// What the form checks read of entry i of the context.
FormCheckEntry formCheckEntryOf(const XadesVerifyContext& ctx, int i);

int32_t xadesGetFormFlags(XadesVerifyContext* ctx, xmlDoc* doc, int i);

}  // namespace vel::xades
