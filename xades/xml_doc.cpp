#include "xades/xml_doc.h"

#include <libxml/parser.h>
#include <libxml/xpathInternals.h>

#include <climits>
#include <cstring>

namespace vel::xades {
namespace {

// NONET: nothing fetched. Without NOENT, DTDLOAD, DTDATTR, DTDVALID and HUGE:
// entities stay references, no external subset or entity is read, and
// libxml2's depth and size limits hold.
constexpr int kParseOptions = XML_PARSE_NONET;

}  // namespace

LibxmlDiagnostics::LibxmlDiagnostics(std::string* sink)
    : sink_(sink), previous_(xmlStructuredError), previous_data_(xmlStructuredErrorContext) {
  xmlSetStructuredErrorFunc(this, &LibxmlDiagnostics::Handle);
}

LibxmlDiagnostics::~LibxmlDiagnostics() { xmlSetStructuredErrorFunc(previous_data_, previous_); }

void LibxmlDiagnostics::Handle(void* data, xmlErrorPtr error) {
  auto* self = static_cast<LibxmlDiagnostics*>(data);
  if (self->sink_ == nullptr || error == nullptr || error->message == nullptr) return;
  self->sink_->append("line ").append(std::to_string(error->line)).append(": ");
  self->sink_->append(error->message);
}

C14nMode c14nModeOf(int method) {
  switch (method) {
    case kC14nMethodWithComments:
      return {XML_C14N_1_0, 1};
    case kC14nMethodExclusive:
      return {XML_C14N_EXCLUSIVE_1_0, 0};
    default:
      return {XML_C14N_1_0, 0};
  }
}

int c14nMethodOfAlgorithm(std::string_view algorithm) {
  if (algorithm == kC14nInclusive) return kC14nMethodInclusive;
  if (algorithm == kC14nWithComments) return kC14nMethodWithComments;
  if (algorithm == kC14nExclusive) return kC14nMethodExclusive;
  return kC14nMethodUnknown;
}

XmlCharPtr c14nDocument(xmlDoc* doc, int method, int* length) {
  if (doc == nullptr) return nullptr;
  const C14nMode m = c14nModeOf(method);
  xmlChar* out = nullptr;
  LibxmlDiagnostics quiet;
  const int n = xmlC14NDocDumpMemory(doc, nullptr, m.mode, nullptr, m.withComments, &out);
  if (n < 0 || out == nullptr) {
    xmlFree(out);
    return nullptr;
  }
  if (length != nullptr) *length = n;
  return XmlCharPtr(out);
}

XmlDocPtr xadesParseMemory(std::string_view xml, std::string* diagnostics) {
  if (xml.data() == nullptr || xml.empty() || xml.size() > static_cast<size_t>(INT_MAX))
    return nullptr;
  LibxmlDiagnostics scope(diagnostics);
  return XmlDocPtr(xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr,
                                 kParseOptions));
}

XmlDocPtr xadesParseMemory(std::span<const uint8_t> xml, std::string* diagnostics) {
  return xadesParseMemory(
      std::string_view(reinterpret_cast<const char*>(xml.data()), xml.size()), diagnostics);
}

XmlDocPtr xadesParseMemory(const uint8_t* xml, size_t length, std::string* diagnostics) {
  return xadesParseMemory(std::span<const uint8_t>(xml, length), diagnostics);
}

XmlDocPtr xadesParseFile(const std::filesystem::path& path, std::string* diagnostics) {
  LibxmlDiagnostics scope(diagnostics);
  return XmlDocPtr(xmlReadFile(path.c_str(), nullptr, kParseOptions));
}

XPathContextPtr xadesNewXPathContext(xmlDoc* doc) {
  if (doc == nullptr) return nullptr;
  XPathContextPtr context(xmlXPathNewContext(doc));
  if (!context) return nullptr;
  if (xmlXPathRegisterNs(context.get(), BAD_CAST "xmldsig", BAD_CAST kXmlDsigNs) != 0 ||
      xmlXPathRegisterNs(context.get(), BAD_CAST "xades", BAD_CAST kXadesNs) != 0)
    return nullptr;
  return context;
}

XPathObjectPtr xadesEval(xmlXPathContext* context, const char* expression) {
  if (context == nullptr || expression == nullptr) return nullptr;
  LibxmlDiagnostics quiet;
  return XPathObjectPtr(xmlXPathEvalExpression(BAD_CAST expression, context));
}

XPathObjectPtr xadesEvalAt(const xmlNode* node, const char* expression) {
  if (node == nullptr) return nullptr;
  XPathContextPtr context = xadesNewXPathContext(node->doc);
  if (!context) return nullptr;
  context->node = const_cast<xmlNode*>(node);
  return xadesEval(context.get(), expression);
}

std::span<xmlNode*> nodesOf(const xmlXPathObject* result) {
  if (result == nullptr || result->type != XPATH_NODESET || result->nodesetval == nullptr ||
      result->nodesetval->nodeNr <= 0)
    return {};
  return {result->nodesetval->nodeTab, static_cast<size_t>(result->nodesetval->nodeNr)};
}

}  // namespace vel::xades
