// libxml2 handles with their free functions, the one parse helper every
// engine parse goes through, the XPath context with the engine's prefixes,
// the identifiers the engine writes and compares, and the one mapping of the
// engine's canonicalisation numbers to libxml2's.
//
// Parsing is safe for untrusted documents: no entity is expanded, no DTD or
// external entity is loaded, nothing is fetched from the network, and
// libxml2's default nesting limit holds. libxml2's diagnostics are collected
// through a structured handler (LibxmlDiagnostics), never printed.
#pragma once

#include <libxml/c14n.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xpath.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace vel::xades {

struct XmlDocDeleter {
  void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
struct XPathContextDeleter {
  void operator()(xmlXPathContext* c) const { xmlXPathFreeContext(c); }
};
struct XPathObjectDeleter {
  void operator()(xmlXPathObject* o) const { xmlXPathFreeObject(o); }
};
struct XmlCharDeleter {
  void operator()(xmlChar* s) const { xmlFree(s); }
};
using XmlDocPtr = std::unique_ptr<xmlDoc, XmlDocDeleter>;
using XPathContextPtr = std::unique_ptr<xmlXPathContext, XPathContextDeleter>;
using XPathObjectPtr = std::unique_ptr<xmlXPathObject, XPathObjectDeleter>;
using XmlCharPtr = std::unique_ptr<xmlChar, XmlCharDeleter>;

// While alive, libxml2's diagnostics on this thread go to `sink` (dropped
// when none) instead of standard error; the previous handler comes back at
// the end. The parse helper, the XPath evaluation and c14nDocument hold one;
// an entry point that calls other libxml2 functions holds its own.
class LibxmlDiagnostics {
 public:
  explicit LibxmlDiagnostics(std::string* sink = nullptr);
  ~LibxmlDiagnostics();
  LibxmlDiagnostics(const LibxmlDiagnostics&) = delete;
  LibxmlDiagnostics& operator=(const LibxmlDiagnostics&) = delete;

 private:
  static void Handle(void* data, xmlErrorPtr error);
  std::string* sink_;
  xmlStructuredErrorFunc previous_;
  void* previous_data_;
};

// Identifiers.
inline constexpr char kXmlDsigNs[] = "http://www.w3.org/2000/09/xmldsig#";
inline constexpr char kXadesNs[] = "http://uri.etsi.org/01903/v1.3.2#";
inline constexpr char kC14nInclusive[] = "http://www.w3.org/TR/2001/REC-xml-c14n-20010315";
inline constexpr char kC14nWithComments[] =
    "http://www.w3.org/TR/2001/REC-xml-c14n-20010315#WithComments";
inline constexpr char kC14nExclusive[] = "http://www.w3.org/TR/2001/WD-xml-exc-c14n";  // 2001 draft
inline constexpr char kRsaSha1[] = "http://www.w3.org/2000/09/xmldsig#rsa-sha1";
inline constexpr char kSha1[] = "http://www.w3.org/2000/09/xmldsig#sha1";
inline constexpr char kBase64Transform[] = "http://www.w3.org/2000/09/xmldsig#base64";
inline constexpr char kEnvelopedTransform[] =
    "http://www.w3.org/2000/09/xmldsig#enveloped-signature";
inline constexpr char kSignedPropertiesType[] = "http://uri.etsi.org/01903#SignedProperties";
inline constexpr char kEncodingDer[] = "http://uri.etsi.org/01903/v1.2.2#DER";
inline constexpr char kEncodingBer[] = "http://uri.etsi.org/01903/v1.2.2#BER";

// The size rule's answer of every engine function that returns bytes: the
// buffer is missing or too small, and the size now tells what is needed.
inline constexpr uint32_t kMoreData = 234;

// The engine's canonicalisation numbers.
inline constexpr int kC14nMethodInclusive = 0;
inline constexpr int kC14nMethodWithComments = 1;
inline constexpr int kC14nMethodExclusive = 2;
// A CanonicalizationMethod the engine does not know (or none).
inline constexpr int kC14nMethodUnknown = -1;

// libxml2's mode and comment flag for an engine number (unknown: inclusive).
struct C14nMode {
  int mode = XML_C14N_1_0;  // xmlC14NMode
  int withComments = 0;
};
C14nMode c14nModeOf(int method);
// The engine number for a CanonicalizationMethod Algorithm; kC14nMethodUnknown
// for any other.
int c14nMethodOfAlgorithm(std::string_view algorithm);

// Canonical text of a whole document (no node set, no prefix list); none when
// libxml2 fails.
XmlCharPtr c14nDocument(xmlDoc* doc, int method, int* length = nullptr);

// The one parse helper. Null when the bytes are not a well-formed document
// or break a limit. `diagnostics`, when given, receives libxml2's messages.
XmlDocPtr xadesParseMemory(std::string_view xml, std::string* diagnostics = nullptr);
XmlDocPtr xadesParseMemory(std::span<const uint8_t> xml, std::string* diagnostics = nullptr);
XmlDocPtr xadesParseMemory(const uint8_t* xml, size_t length, std::string* diagnostics = nullptr);
XmlDocPtr xadesParseFile(const std::filesystem::path& path, std::string* diagnostics = nullptr);

// An XPath context over the document with "xmldsig" and "xades" registered.
XPathContextPtr xadesNewXPathContext(xmlDoc* doc);
// Evaluates an expression; none when it fails.
XPathObjectPtr xadesEval(xmlXPathContext* context, const char* expression);
// `expression` evaluated with `node` as the context node, in its own document.
XPathObjectPtr xadesEvalAt(const xmlNode* node, const char* expression);
// The node set of a result (nodes in document order), possibly empty.
std::span<xmlNode*> nodesOf(const xmlXPathObject* result);

}  // namespace vel::xades
