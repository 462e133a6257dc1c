// Arbitrary bytes as a CMS message turned into a signer tree (attached and
// detached over a fixed content), every node verified and read; as a stored
// time-stamp value (a token or a whole response) for a time-stamp signer and
// for the object classes' token lookup; and as a genTime text. Checks that
// the tree stays within its nesting cap and that time texts have their form.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "cryptolib/cms_classes.h"
#include "cryptolib/cms_signer_tree.h"
#include "cryptolib/timestamp_token.h"

namespace {

using vel::crypto::CmsSignerNode;

constexpr uint8_t kContent[] = "page stream";
constexpr uint32_t kContentLength = sizeof(kContent) - 1;

void Check(bool ok) {
  if (!ok) std::abort();
}

void CheckTimeText(const std::string& t) {
  Check(t.empty() || t.size() == 19 || (t.size() == 23 && t.ends_with(" UTC")));
}

// Every node reachable from `node`, its siblings and their children.
void Walk(const CmsSignerNode* node, int depth) {
  Check(depth <= vel::crypto::kMaxCounterSignatureDepth + 2);
  for (; node != nullptr; node = node->next()) {
    Check(node->kind() >= 1 && node->kind() <= 3);
    const uint32_t status = node->Verify();
    Check(status != 0 || (!node->signer_info().empty() && node->GetCertificateContext()));
    (void)node->ShowInfoWindow(nullptr);
    CheckTimeText(node->GetTimeText());
    if (node->kind() != CmsSignerNode::kTimeStampSigner) Check(node->GetTimeText().empty());
    Walk(node->first_child(), depth + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  const uint32_t n = static_cast<uint32_t>(size);
  for (bool detached : {false, true}) {
    uint32_t status = 0;
    auto root = CmsSignerNode::BuildTree(data, n, detached ? kContent : nullptr,
                                         detached ? kContentLength : 0, &status);
    Check((root != nullptr) == (status == 0));
    Walk(root.get(), 0);
  }
  uint32_t status = 0;
  auto stamp = CmsSignerNode::ConstructTimeStampSigner(
      std::span(data, size), std::span<const uint8_t>(kContent, kContentLength), &status);
  Check((stamp != nullptr) == (status == 0));
  Walk(stamp.get(), 0);

  // The bytes as a stored time-stamp value of a message's signer 0.
  vel::crypto::CmsBlob blob(data, n);
  (void)blob.GetSignerTimeStamp(0, 0);
  (void)blob.GetSignerCertificateContext(0);

  std::string text;
  if (vel::crypto::TimeStampTimeText(
          std::string_view(reinterpret_cast<const char*>(data), size), &text))
    CheckTimeText(text);
  return 0;
}
