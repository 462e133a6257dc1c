// The generated decoders over arbitrary bytes, as the program meets them:
// CMS messages, certificates, time-stamp responses and tokens, ESS values.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "velAsn1/asn1.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool registered = (vel::asn1::RegisterAnyTypes(), true);
  (void)registered;
  if (size > (1u << 20)) return 0;
  std::span<const uint8_t> in(data, size);

  SNACC::ContentInfo ci;
  if (vel::asn1::Decode(in, ci)) {
    if (auto* sd = dynamic_cast<SNACC::SignedData*>(ci.content.value)) {
      for (const auto& si : sd->signerInfos) {
        if (!si.signedAttrs) continue;
        for (const auto& a : *si.signedAttrs) {
          for (const auto& v : a.attrValues) {
            std::vector<uint8_t> bytes;
            if (vel::asn1::AnyBytes(v, &bytes)) {
              SNACC::SigningCertificate sc;
              vel::asn1::Decode(bytes, sc);
            }
          }
        }
      }
    }
  }
  SNACC::Certificate cert;
  if (vel::asn1::Decode(in, cert) && cert.tbsCertificate.subject.rdnSequence) {
    for (const auto& rdn : *cert.tbsCertificate.subject.rdnSequence)
      for (const auto& atv : rdn) {
        std::vector<uint8_t> bytes;
        vel::asn1::AnyBytes(atv.value, &bytes);
      }
  }
  SNACC::TimeStampResp resp;
  vel::asn1::Decode(in, resp);
  SNACC::TSTInfo tst;
  vel::asn1::Decode(in, tst);
  SNACC::SigningCertificateV2 sc2;
  vel::asn1::Decode(in, sc2);
  return 0;
}
