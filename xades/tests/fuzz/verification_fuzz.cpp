// Discovery and verification over any bytes: the whole document, each of the
// first signatures and counter-signatures alone, every form check mode, and
// the signed properties with the signing certificate they name (which the
// entry points reach only after a signature value verifies).
#include <cstddef>
#include <cstdint>
#include <memory>

#include "xades/signature_discovery.h"
#include "xades/signed_properties.h"
#include "xades/verification.h"
#include "xades/verify_context.h"
#include "xades/xml_doc.h"

namespace {

using namespace vel::xades;

struct ContextDeleter {
  void operator()(XadesVerifyContext* c) const { xadesVerifyContextFree(c); }
};
using ContextPtr = std::unique_ptr<XadesVerifyContext, ContextDeleter>;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  XmlDocPtr doc = xadesParseMemory(data, size);
  if (!doc) return 0;
  {
    ContextPtr ctx(xadesVerifyContextLoadSchema(nullptr));
    (void)xadesVerifyDocument(ctx.get(), doc.get(), nullptr);
  }
  {
    ContextPtr ctx(xadesVerifyContextLoadSchema(nullptr));
    if (xadesLoadSignatures(ctx.get(), doc.get()) == 0) {
      xadesLinkCounterSignatures(ctx.get());
      for (int i = 0; i < ctx->count && i < 4; ++i) (void)xadesGetFormFlags(ctx.get(), doc.get(), i);
      for (const auto& entry : ctx->signatures) {
        (void)checkSignedProperties(*entry);
        if (const auto bound = boundProperties(entry->signature))
          (void)checkSigningCertificate(bound->signedProperties, entry->certificateBytes);
      }
    }
  }
  for (int i = 0; i < 2; ++i) {
    for (int j = -1; j < 1; ++j) {
      ContextPtr ctx(xadesVerifyContextLoadSchema(nullptr));
      (void)xadesVerifySignature(ctx.get(), doc.get(), nullptr, i, j, true);
    }
    for (int32_t mode : {1, 2, 3, 4, 255}) {
      ContextPtr ctx(xadesVerifyContextLoadSchema(nullptr));
      (void)xadesVerifyForms(ctx.get(), doc.get(), nullptr, i, -1, mode);
    }
  }
  return 0;
}
