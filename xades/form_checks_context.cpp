// The checks by entry of a verification context.
#include "xades/form_checks.h"
#include "xades/signature_discovery.h"
#include "xades/verify_context.h"

namespace vel::xades {
namespace {

bool HasEntry(const XadesVerifyContext* ctx, int entry) {
  return ctx != nullptr && entry >= 0 && static_cast<size_t>(entry) < ctx->signatures.size();
}

}  // namespace

int verifyForms(XadesVerifyContext* ctx, const crypto::CertChainContext* chain, int32_t mode) {
  if (ctx == nullptr) return 0;
  for (size_t i = 0; i < ctx->signatures.size(); ++i) {
    if (const int rc = verifyFormOf(formCheckEntryOf(*ctx, static_cast<int>(i)), chain, mode); rc != 0) return rc;
  }
  return 0;
}

int verifyFormsFirst(XadesVerifyContext* ctx, const crypto::CertChainContext* chain) {
  if (!HasEntry(ctx, 0)) return 0;
  return verifyAllFormsOf(formCheckEntryOf(*ctx, 0), chain);
}

int verifySignatureTimeStamp(XadesVerifyContext* ctx, int entry) {
  if (!HasEntry(ctx, entry)) return kTsUnreadable;
  const FormCheckEntry e = formCheckEntryOf(*ctx, entry);
  return verifySignatureTimeStampOf(e.signature, e.signatureTimeStampCount);
}

int verifyRefsTimeStamp(XadesVerifyContext* ctx, int entry) {
  if (!HasEntry(ctx, entry)) return kTsUnreadable;
  const FormCheckEntry e = formCheckEntryOf(*ctx, entry);
  return e.hasX ? verifyRefsTimeStampOf(e.signature, e.refsTimeStampCount) : kTsPassed;
}

int verifyArchiveTimeStamp(XadesVerifyContext* ctx, int entry, int lastToken) {
  if (!HasEntry(ctx, entry)) return kTsUnreadable;
  const FormCheckEntry e = formCheckEntryOf(*ctx, entry);
  return e.hasA ? verifyArchiveTimeStampOf(e.signature, e.archiveTimeStampCount, lastToken) : kTsPassed;
}

int compareRefs(XadesVerifyContext* ctx, const crypto::CertChainContext* chain, int entry) {
  if (!HasEntry(ctx, entry)) return kRefsUnreadable;
  const FormCheckEntry e = formCheckEntryOf(*ctx, entry);
  return chain != nullptr ? compareRefsOf(e.completeCertificateRefs, e.completeRevocationRefs, chain)
                          : compareRefsForCertificate(e.completeCertificateRefs, e.completeRevocationRefs,
                                                      e.certificate);
}

int compareValuesWithRefs(XadesVerifyContext* ctx, int entry) {
  if (!HasEntry(ctx, entry)) return kRefsUnreadable;
  const FormCheckEntry e = formCheckEntryOf(*ctx, entry);
  return compareValuesWithRefsOf(e.certificateValues, e.revocationValues, e.completeCertificateRefs,
                                 e.completeRevocationRefs);
}

}  // namespace vel::xades
