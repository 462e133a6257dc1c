// The content the viewer page presents and saves for an open signed file:
// the signed content of a CMS message, or the content of an XML signed
// document that a correct signature covers. Nothing empty is ever handed
// out as content.
#pragma once

#include <cstdint>
#include <vector>

namespace vel::app {

class CSignedFile;

struct SignedContent {
  enum Verdict {
    kContent,       // `bytes` is the signed content
    kEmpty,         // there is no content: nothing to present or save
    kNoSignatures,  // an XML file without signatures
    kFailed,        // `status` says why
  };
  Verdict verdict = kFailed;
  uint32_t status = 0;
  std::vector<uint8_t> bytes;
};

// `kind` is the open document's kind (5 XML file, 6 PKCS#7 file). A file in
// state 1 is an XML document when it is of kind 5; a PKCS#7 file in state 1
// has no signed content of its own: kFailed with 13. A file of either kind
// read as a CMS or S/MIME message gives that message's signed content.
SignedContent SignedContentOf(const CSignedFile& file, int kind);

}  // namespace vel::app
