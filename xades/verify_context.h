// The verification context: the signature entries of one document, the
// compiled XAdES schema with a validation context of its own, an XPath
// context over the document, and the document.
//
// The XAdES schema and its imports are built into the program; libxml2 is
// answered the schema keys from memory by a process-wide entity loader,
// installed once at start (after xmlInitParser, before any thread). Any
// other location is refused: nothing is read from disk or the network.
// The compiled schema is immutable and shared; each context owns its own
// validation context.
#pragma once

#include <libxml/xmlschemas.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "xades/sign_context.h"
#include "xades/xml_doc.h"

namespace vel::xades {

// What reveals the forms above T in one signature (its own elements and
// those of the counter-signatures inside it, never another signature's).
struct CompleteRefsRecord {  // C
  xmlNode* certificateRefs = nullptr;
  xmlNode* revocationRefs = nullptr;
};
struct RefsTimeStampsRecord {  // X: RefsOnlyTimeStamp and SigAndRefsTimeStamp
  std::vector<xmlNode*> timeStamps;
};
struct ValuesRecord {  // X-L
  xmlNode* certificateValues = nullptr;
  xmlNode* revocationValues = nullptr;
};
struct ArchiveTimeStampsRecord {  // A
  std::vector<xmlNode*> timeStamps;
};
struct SignatureForms {
  std::optional<CompleteRefsRecord> c;
  std::optional<RefsTimeStampsRecord> x;
  std::optional<ValuesRecord> xl;
  std::optional<ArchiveTimeStampsRecord> a;
};

struct SchemaValidCtxtDeleter {
  void operator()(xmlSchemaValidCtxt* p) const { xmlSchemaFreeValidCtxt(p); }
};
using SchemaValidCtxtPtr = std::unique_ptr<xmlSchemaValidCtxt, SchemaValidCtxtDeleter>;

struct XadesVerifyContext {
  std::vector<XadesSignContextPtr> signatures;  // document order, counter-signatures included
  int32_t count = 0;
  SchemaValidCtxtPtr validation;
  std::shared_ptr<xmlSchema> schema;  // the built-in one is the process's, shared
  XPathContextPtr xpath;
  xmlDoc* document = nullptr;  // owned only when released with xadesVerifyContextFreeAll
  std::vector<SignatureForms> forms;  // parallel to signatures
};

// Built-in schema texts (generated at build time from the schema files).
std::string_view xadesSchemaText();         // XAdES 1.3.2, imports XMLDSig by key
std::string_view xmldsigSchemaText();       // XMLDSig core, imports c14n and XAdES by key
std::string_view excC14nSchemaText();       // exclusive canonicalisation
// The text for a schema key ("http://xades/xades.xsd", "http://xades/c14n.xsd",
// "http://xades/xmldsig.xsd"), exact and case-sensitive; none for any other.
std::optional<std::string_view> builtInSchemaFor(std::string_view location);

// Installs the loader that answers the keys from memory and refuses every
// other location (documents still load no external entity). Once per
// process, after xmlInitParser and before any thread; repeated calls are
// harmless.
void xadesInstallSchemaLoader();
// The compiled built-in schema, compiled once per process; null when it
// does not compile.
xmlSchema* xadesCompiledSchema();

XadesVerifyContext* xadesVerifyContextCreate(const char* schemaText, size_t length);
// With null: the built-in schema (shared compiled copy). With a path: that
// file's schema (its imports still only from the keys).
XadesVerifyContext* xadesVerifyContextLoadSchema(const char* path);
int xadesVerifyContextFree(XadesVerifyContext* ctx);     // leaves the document alone
int xadesVerifyContextFreeAll(XadesVerifyContext* ctx);  // frees the document too

// Validates a copy of the Signature element as the root of a document of
// its own, long serial numbers rewritten as in the qualifying-properties
// check: 0 valid, non-zero invalid.
int validateSignatureByCopy(XadesVerifyContext* ctx, const xmlNode* signature);

}  // namespace vel::xades
