// The installed XML signer window.
#include "xades/signer_window.h"

#include <atomic>
#include <string>

#include <libxml/tree.h>

#include "platform/win32_error.h"
#include "xades/node_helpers.h"

namespace vel::xades {
namespace {

// Set once at start-up and read from any thread that opens a window.
std::atomic<XmlSignerWindowHandler> g_handler{nullptr};

}  // namespace

void SetXmlSignerWindowHandler(XmlSignerWindowHandler handler) { g_handler.store(handler); }

std::string serializeSignatureCopy(const xmlNode* signature) {
  if (signature == nullptr) return {};
  // A deep copy into another document declares on the new root the
  // namespaces the element used from its ancestors.
  XmlDocPtr copy = copyAsNewDocument(signature);
  if (!copy) return {};
  xmlChar* text = nullptr;
  int size = 0;
  xmlDocDumpMemoryEnc(copy.get(), &text, &size, "UTF-8");
  if (text == nullptr) return {};
  std::string out(reinterpret_cast<const char*>(text), static_cast<size_t>(size));
  xmlFree(text);
  return out;
}

uint32_t ShowXmlSignerInfo(const XadesSignContext& sig, void* /*unused*/) {
  const XmlSignerWindowHandler handler = g_handler.load();
  if (handler == nullptr) return platform::kErrorCallNotImplemented;
  if (sig.signature == nullptr) return 87;
  const std::string copy = serializeSignatureCopy(sig.signature);
  if (copy.empty()) return 8;
  return handler(copy, sig.certificateBytes);
}

}  // namespace vel::xades
