// The document access readers over any bytes: signature count, Object
// content and the signer certificate with the size rule, the canonical
// SignatureValue, embedded values, the time-stamp token texts, the search by
// certificate and the addition of a signature time stamp.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "xades/document_access.h"
#include "xades/node_helpers.h"
#include "xades/xml_doc.h"

namespace {

using namespace vel::xades;

// The two calls of the size rule.
template <typename Get>
void TwoCalls(Get get) {
  uint32_t size = 0;
  if (get(nullptr, &size) != 234 || size > (1u << 24)) return;
  std::vector<uint8_t> out(size);
  (void)get(out.data(), &size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  const uint32_t length = static_cast<uint32_t>(size);
  int count = 0;
  (void)getSignatureCount(data, length, &count);
  for (int n = 0; n < 2; ++n) {
    for (int m = 0; m < 2; ++m)
      TwoCalls(
          [&](uint8_t* out, uint32_t* s) { return getObjectContent(data, length, out, s, n, m); });
    TwoCalls(
        [&](uint8_t* out, uint32_t* s) { return getSignatureValueC14N(data, length, out, s, n); });
    const vel::platform::CertPtr cert = getSignerCertContext(data, length, n);
    int index = 0;
    if (cert) (void)findSignatureByCertificate(data, length, cert.get(), &index);
    (void)getEncapsulatedCertificatesXml(data, length, n);
    (void)getEncapsulatedCrlsXml(data, length, n);
  }
  const uint8_t token[] = {0x30, 0x03, 0x02, 0x01, 0x00};
  TwoCalls([&](uint8_t* out, uint32_t* s) {
    return xadesAddSignatureTimeStamp(data, length, token, sizeof token, out, s, 0);
  });

  XmlDocPtr doc = xadesParseMemory(data, size);
  if (!doc) return 0;
  XPathContextPtr context = xadesNewXPathContext(doc.get());
  xmlNode* signature = topLevelSignatureAt(context.get(), 0);
  if (signature == nullptr) return 0;
  int encoding = 0;
  (void)getSignatureTimeStampNodes(signature);
  (void)getSignatureTimeStampToken(signature, &encoding, 0);
  (void)getRefsTimeStampToken(signature, &encoding, 0);
  (void)getArchiveTimeStampToken(signature, &encoding, 0);
  return 0;
}
