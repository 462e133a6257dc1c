#include "xades/sign_context.h"

#include <string>

#include "xades/engine_messages.h"
#include "xades/node_helpers.h"

namespace vel::xades {
namespace {

// The method a CanonicalizationMethod names; an absent or unknown one is
// kC14nMethodUnknown, which verification reports as unsupported.
void ReadCanonicalizationMethod(XadesSignContext* record, const xmlNode* node) {
  record->c14nMethod = c14nMethodOfAlgorithm(getNodeProp(node, "Algorithm").value_or(""));
}

int TransformKindOf(const xmlNode* reference, const std::optional<std::string>& uri) {
  int kind = kTransformNone;
  const xmlNode* transforms = xmlFirstElementChild(const_cast<xmlNode*>(reference));
  if (isDsig(transforms, "Transforms")) {
    for (const xmlNode* t = transforms->children; t != nullptr; t = t->next) {
      if (isDsig(t, "Transform") &&
          getNodeProp(t, "Algorithm").value_or("") == kEnvelopedTransform)
        kind = kTransformEnveloped;
    }
  }
  if (uri && (uri->empty() || (*uri)[0] != '#')) kind = kTransformExternalUri;
  return kind;
}

}  // namespace

IdIndex::IdIndex(xmlDoc* doc) {
  for (xmlNode* node = doc != nullptr ? xmlDocGetRootElement(doc) : nullptr; node != nullptr;
       node = nextElementInOrder(node)) {
    for (std::string& value : idValuesOf(node)) {
      const auto [at, added] = elements_.try_emplace(std::move(value), node);
      if (!added && at->second != node) at->second = nullptr;
    }
  }
}

xmlNode* IdIndex::Find(std::string_view id, bool* duplicate) const {
  const auto at = elements_.find(std::string(id));
  if (duplicate != nullptr) *duplicate = at != elements_.end() && at->second == nullptr;
  return at != elements_.end() ? at->second : nullptr;
}

const IdIndex& IdIndexes::Of(xmlDoc* doc) {
  for (const auto& [indexed, index] : indexes_)
    if (indexed == doc) return *index;
  indexes_.emplace_back(doc, std::make_unique<IdIndex>(doc));
  return *indexes_.back().second;
}

xmlNode* findElementById(IdIndexes& indexes, std::initializer_list<xmlDoc*> docs,
                         std::string_view id, bool* duplicate) {
  if (duplicate != nullptr) *duplicate = false;
  // The first document that holds the Id answers; an Id is ambiguous only
  // within one document. A signature checked from a copy of itself next to
  // its original finds each Id in both, which is no ambiguity: the original
  // was checked for unique Ids when it was loaded.
  for (xmlDoc* doc : docs) {
    if (doc == nullptr) continue;
    bool ambiguous = false;
    xmlNode* found = indexes.Of(doc).Find(id, &ambiguous);
    if (ambiguous) {
      if (duplicate != nullptr) *duplicate = true;
      return nullptr;
    }
    if (found != nullptr) return found;
  }
  return nullptr;
}

std::vector<std::string> idValuesOf(const xmlNode* element) {
  std::vector<std::string> values;
  for (const xmlAttr* a = element->properties; a != nullptr; a = a->next) {
    const auto* node = reinterpret_cast<const xmlNode*>(a);
    if (a->ns == nullptr && (nameIs(node, "Id") || nameIs(node, "id")))
      values.push_back(getAttrValue(node).value_or(""));
  }
  return values;
}

xmlNode* nextElementInOrder(xmlNode* node) {
  if (node == nullptr) return nullptr;
  if (xmlNode* child = xmlFirstElementChild(node)) return child;
  while (node != nullptr && node->type == XML_ELEMENT_NODE) {
    if (xmlNode* sibling = xmlNextElementSibling(node)) return sibling;
    node = node->parent;
  }
  return nullptr;
}

XadesSignContextPtr xadesSignContextCreate(xmlNode* signature, xmlNode* second,
                                           DocOwnership ownership, IdIndexes* indexes) {
  IdIndexes own;
  if (indexes == nullptr) indexes = &own;
  if (signature == nullptr) {
    xadesPrint("xadesSignContextCreateNode\nWartosc doc musi byc wypelniona\n");
    return nullptr;
  }
  auto record = std::make_unique<XadesSignContext>();
  record->signature = signature;
  xmlDoc* signature_doc = signature->doc;
  xmlDoc* second_doc = second != nullptr ? second->doc : nullptr;

  const xmlNode* info = signedInfoOf(signature);
  if (info == nullptr) {
    xadesPrint("xadesSignContextCreate\nNiepoprawny dokument XadES\n");
    return nullptr;
  }
  record->c14nMethod = kC14nMethodUnknown;
  for (xmlNode* child = info->children; child != nullptr; child = child->next) {
    if (child->type != XML_ELEMENT_NODE) continue;
    record->transformKind = kTransformNone;
    if (isDsig(child, "CanonicalizationMethod")) {
      // A second method would leave the readers to choose between two.
      if (soleChild(info, kXmlDsigNs, "CanonicalizationMethod") != child) {
        xadesPrint("xadesSignContextCreate\nNiepoprawny dokument XadES\n");
        return nullptr;
      }
      ReadCanonicalizationMethod(record.get(), child);
      continue;
    }
    if (!isDsig(child, "Reference")) continue;
    const auto uri = getNodeProp(child, "URI");
    record->transformKind = TransformKindOf(child, uri);
    xmlNode* target = nullptr;
    if (record->transformKind == kTransformNone) {
      if (!uri || uri->empty() || (*uri)[0] != '#') {
        xadesPrint("xadesSignContextCreate\nNiepoprawna wartosc URI node'a " +
                   std::string(reinterpret_cast<const char*>(child->name)) + "\n");
        return nullptr;
      }
      bool duplicate = false;
      target = findElementById(*indexes, {signature_doc, second_doc},
                               std::string_view(*uri).substr(1), &duplicate);
      if (duplicate) {
        // Two elements with one Id: which one was signed cannot be told.
        xadesPrint("xadesSignContextCreate\nIdentyfikator " + uri->substr(1) +
                   " wystepuje w dokumencie wiecej niz raz\n");
        return nullptr;
      }
      if (target == nullptr) return nullptr;
    }
    record->references.push_back(child);
    record->targets.push_back(target);
  }
  record->referenceCount = static_cast<int32_t>(record->references.size());
  if (ownership == DocOwnership::kOwned) {
    record->signatureDocument = DocHandle::Owned(XmlDocPtr(signature_doc));
    if (second_doc != signature_doc)
      record->secondDocument = DocHandle::Owned(XmlDocPtr(second_doc));
  } else {
    record->signatureDocument = DocHandle::Shared(signature_doc);
    record->secondDocument = DocHandle::Shared(second_doc);
  }
  return record;
}

XadesSignContextPtr xadesSignContextCreateWithCert(xmlNode* signature, xmlNode* second,
                                                   DocOwnership ownership,
                                                   platform::Signer& signer,
                                                   IdIndexes* indexes) {
  XadesSignContextPtr record = xadesSignContextCreate(signature, second, ownership, indexes);
  if (record == nullptr) return nullptr;
  record->signer = &signer;
  record->signerCertificate = signer.certificate();
  if (record->signerCertificate != nullptr) {
    const auto der = record->signerCertificate->der();
    record->certificateBytes.assign(der.begin(), der.end());
  }
  return record;
}

void xadesSignContextFree(XadesSignContextPtr record) { record.reset(); }

}  // namespace vel::xades
