#include "app/signed_content.h"

#include "app/signed_file.h"
#include "app/signed_source.h"
#include "app/window_models.h"

namespace vel::app {
namespace {

constexpr uint32_t kInvalidData = 13;
constexpr uint32_t kMoreData = 234;

SignedContent Done(uint32_t status, std::vector<uint8_t> bytes) {
  SignedContent out;
  out.status = status;
  if (status != 0) return out;
  out.verdict = bytes.empty() ? SignedContent::kEmpty : SignedContent::kContent;
  out.bytes = std::move(bytes);
  return out;
}

// The content of an XML signed document by the size rule: a size query
// that answers 0 means there is none.
SignedContent XmlContent(const CSignedFile& file) {
  const auto data = file.data();
  SignedSource source(data.data(), static_cast<uint32_t>(data.size()), nullptr, 0, true);
  uint32_t count = 0;
  if (source.GetSignerCount(&count) != 0 || count == 0) {
    SignedContent none;
    none.verdict = SignedContent::kNoSignatures;
    return none;
  }
  uint32_t size = 0;
  const uint32_t query = source.GetContent(nullptr, &size);
  if (query == 0) return Done(0, {});
  if (query != kMoreData) return Done(query, {});
  std::vector<uint8_t> bytes(size);
  const uint32_t status = source.GetContent(bytes.data(), &size);
  bytes.resize(status == 0 ? std::min<size_t>(size, bytes.size()) : 0);
  return Done(status, std::move(bytes));
}

}  // namespace

SignedContent SignedContentOf(const CSignedFile& file, int kind) {
  // The content comes from the reading the signatures page checked: a file
  // named .xml that reads as a CMS or S/MIME message is shown that message's
  // signatures, so its content is that message's too, never an XML Object
  // that other signatures cover.
  if (file.GetState() == CSignedFile::kStateOther) return kind == kKindXml ? XmlContent(file) : Done(kInvalidData, {});
  std::vector<uint8_t> bytes;
  const uint32_t status = file.ExtractContent(bytes);
  return Done(status, status == 0 ? std::move(bytes) : std::vector<uint8_t>());
}

}  // namespace vel::app
