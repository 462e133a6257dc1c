// The signature tree over any bytes: the object and its tree are built, every
// node is walked (next, first child, time-stamp signers) and asked for its
// forms, its tokens and its verification; the object's own answers too.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "xades/signature_node.h"
#include "xades/xml_signed_document.h"

using namespace vel::xades;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  XmlSignedDocument doc(data, static_cast<uint32_t>(size));
  int count = 0;
  (void)doc.GetSignatureCount(&count);
  (void)doc.GetSignatureForms(0);
  (void)doc.Verify(1);
  uint32_t content = 0;
  if (doc.GetContent(nullptr, &content) == 234 && content < (1u << 24)) {
    std::vector<uint8_t> out(content);
    (void)doc.GetContent(out.data(), &content);
  }

  std::unique_ptr<XadesSignatureNode> tree = doc.CreateSignatureTree();
  if (tree->build_failed()) return 0;
  // Depth first without recursion; a tree holds one node per Signature.
  std::vector<XadesSignatureNode*> pending = {tree.get()};
  while (!pending.empty()) {
    XadesSignatureNode* node = pending.back();
    pending.pop_back();
    (void)node->GetForms();
    (void)node->Verify();
    (void)node->GetSignatureTimeStamp(0);
    (void)node->GetRefsTimeStamp(0);
    (void)node->GetArchiveTimeStamp(0);
    for (auto* s = node->time_stamp_signers(); s != nullptr; s = s->next()) {
      (void)s->GetTimeText();
      (void)s->Verify();
    }
    if (node->next() != nullptr) pending.push_back(node->next());
    if (node->first_child() != nullptr) pending.push_back(node->first_child());
  }
  return 0;
}
