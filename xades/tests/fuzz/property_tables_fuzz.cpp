// The three property tables and both reference-list parsers over each
// Signature of any document, and the values check over its elements.
#include <cstddef>
#include <cstdint>

#include "xades/form_checks.h"
#include "xades/node_helpers.h"
#include "xades/property_tables.h"
#include "xades/reference_lists.h"
#include "xades/xml_doc.h"

namespace {

xmlNode* FirstNamed(xmlNode* from, const char* name) {
  for (xmlNode* n = from; n != nullptr; n = vel::xades::nextElementInOrder(n)) {
    if (vel::xades::nameIs(n, name)) return n;
  }
  return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vel::xades;
  if (size > 1 << 16) return 0;
  XmlDocPtr doc = xadesParseMemory(data, size);
  if (!doc) return 0;
  auto context = xadesNewXPathContext(doc.get());
  if (!context) return 0;
  for (int n = 0; n < 2; ++n) {
    xmlNode* s = anySignatureAt(context.get(), n);
    if (!s) break;
    XadesSignContext sig;
    sig.signature = s;
    signatureInfoTableFree(getSignedInfoTable(sig));
    signatureInfoTableFree(getSignedPropertiesTable(sig));
    signatureInfoTableFree(getUnsignedPropertiesTable(sig));
  }
  xmlNode* root = xmlDocGetRootElement(doc.get());
  XadesCertRefList certs;
  XadesCrlRefList crls;
  std::vector<std::string> algorithms;
  xmlNode* certRefs = FirstNamed(root, "CompleteCertificateRefs");
  xmlNode* crlRefs = FirstNamed(root, "CompleteRevocationRefs");
  (void)parseCompleteCertificateRefsElement(certRefs, &certs, &algorithms);
  (void)parseCompleteRevocationRefsElement(crlRefs, &crls, &algorithms);
  (void)compareValuesWithRefsOf(FirstNamed(root, "CertificateValues"), FirstNamed(root, "RevocationValues"),
                                certRefs, crlRefs);
  return 0;
}
