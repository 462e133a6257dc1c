// A signed file comes from anyone: the whole recogniser (base64, S/MIME
// multipart and opaque, DER CMS, the file name, the signer tree and the
// content) takes any bytes without reading outside them, and a state it
// reports always comes with what that state promises.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "app/signature_verifier.h"
#include "app/signed_file.h"
#include "app/signed_source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the name the bytes are loaded under.
  static const char* const kNames[] = {"x.p7", "x.sig", "x.xml", "x.bin"};
  const char* name = kNames[data[0] & 3];
  vel::app::CSignedFile file;
  file.LoadBytes(name, std::vector<uint8_t>(data + 1, data + size), true);
  const uint32_t state = file.GetState();
  if (state > vel::app::CSignedFile::kStateCmsEnveloped) std::abort();
  if ((state == 3 || state == 4) && file.signature().empty()) std::abort();
  // Only a message that was not read as signed reports why.
  if (file.signature_error() != 0 && state != vel::app::CSignedFile::kStateOther) std::abort();
  if (file.file_name().size() > size) std::abort();
  std::vector<uint8_t> content;
  file.ExtractContent(content);
  if (auto source = vel::app::SourceForFile(file)) {
    uint32_t count = 0;
    source->GetSignerCount(&count);
    if (auto root = source->CreateSignerRef()) {
      root->Verify();
      for (auto child = root->GetFirstChild(); child; child = child->GetNext()) child->Verify();
    }
  }
  return 0;
}
