// The engine's document reader over any bytes, then the walks every caller
// makes: signatures counted four ways, texts, attributes, the canonical form
// of the whole document and every canonical fragment of each signature.
#include <cstddef>
#include <cstdint>

#include "xades/c14n_fragments.h"
#include "xades/node_helpers.h"
#include "xades/xml_doc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vel::xades;
  XmlDocPtr doc = xadesParseMemory(data, size);
  if (!doc) return 0;
  auto context = xadesNewXPathContext(doc.get());
  if (!context) return 0;
  xmlNode* root = xmlDocGetRootElement(doc.get());
  (void)getElementText(root);
  (void)getNodeProp(root, "Id");
  for (int n = 0; n < 3; ++n) {
    (void)rootSignatureAt(context.get(), n);
    xmlNode* s = topLevelSignatureAt(context.get(), n);
    (void)anySignatureAt(context.get(), n);
    if (s) (void)signatureInContextAt(context.get(), s, 0);
  }
  for (int n = 0; n < 2; ++n) {
    const xmlNode* s = anySignatureAt(context.get(), n);
    if (!s) break;
    size_t length = 0;
    for (auto f : {signedInfoC14N, signatureValueElementC14N, keyInfoC14N, signedPropertiesC14N,
                   completeCertificateRefsC14N, completeRevocationRefsC14N, certificateValuesC14N,
                   revocationValuesC14N, signatureTimeStampC14N, counterSignatureC14N,
                   sigAndRefsTimeStampC14N, refsOnlyTimeStampC14N})
      (void)f(s);
    (void)objectC14N(s, &length);
    (void)archiveTimeStampC14N(s, -1);
    (void)archiveTimeStampC14N(s, 1);
  }
  for (int method = 0; method < 3; ++method) (void)c14nDocument(doc.get(), method);
  return 0;
}
