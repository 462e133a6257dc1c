#include "xades/verify_context.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/xmlIO.h>

#include <fstream>
#include <iterator>
#include <mutex>

#include "xades/node_helpers.h"
#include "xades/verification.h"

namespace vel::xades {
namespace {

constexpr std::string_view kXadesKey = "http://xades/xades.xsd";
constexpr std::string_view kC14nKey = "http://xades/c14n.xsd";
constexpr std::string_view kXmldsigKey = "http://xades/xmldsig.xsd";

// Answers the schema keys from copies of the built-in texts and refuses
// every other location, so no schema or entity is ever read from disk or the
// network.
xmlParserInputPtr builtInLoader(const char* url, const char* /*id*/, xmlParserCtxtPtr ctxt) {
  if (url == nullptr || ctxt == nullptr) return nullptr;
  auto text = builtInSchemaFor(url);
  if (!text) return nullptr;
  // The buffer copies the text: libxml2 owns what it reads from.
  xmlParserInputBufferPtr buffer = xmlParserInputBufferCreateMem(
      text->data(), static_cast<int>(text->size()), XML_CHAR_ENCODING_NONE);
  if (buffer == nullptr) return nullptr;
  xmlParserInputPtr input = xmlNewIOInputStream(ctxt, buffer, XML_CHAR_ENCODING_NONE);
  if (input == nullptr) {
    xmlFreeParserInputBuffer(buffer);
    return nullptr;
  }
  input->filename = reinterpret_cast<const char*>(xmlStrdup(BAD_CAST url));
  return input;
}

std::shared_ptr<xmlSchema> compileSchema(std::string_view text) {
  xadesInstallSchemaLoader();
  xmlSchemaParserCtxtPtr parser = xmlSchemaNewMemParserCtxt(text.data(), static_cast<int>(text.size()));
  if (parser == nullptr) return nullptr;
  // libxml2 reports through its handlers; the engine prints nothing.
  xmlSchemaSetParserStructuredErrors(parser, [](void*, xmlErrorPtr) {}, nullptr);
  xmlSchemaPtr schema = xmlSchemaParse(parser);
  xmlSchemaFreeParserCtxt(parser);
  if (schema == nullptr) return nullptr;
  return std::shared_ptr<xmlSchema>(schema, xmlSchemaFree);
}

}  // namespace

std::optional<std::string_view> builtInSchemaFor(std::string_view location) {
  if (location == kXadesKey) return xadesSchemaText();
  if (location == kC14nKey) return excC14nSchemaText();
  if (location == kXmldsigKey) return xmldsigSchemaText();
  return std::nullopt;
}

void xadesInstallSchemaLoader() {
  static std::once_flag once;
  std::call_once(once, [] {
    xmlInitParser();
    xmlSetExternalEntityLoader(builtInLoader);
  });
}

xmlSchema* xadesCompiledSchema() {
  static const std::shared_ptr<xmlSchema> schema = compileSchema(xadesSchemaText());
  return schema.get();
}

namespace {

XadesVerifyContext* contextOver(std::shared_ptr<xmlSchema> schema) {
  if (!schema) return nullptr;
  auto ctx = std::make_unique<XadesVerifyContext>();
  ctx->validation.reset(xmlSchemaNewValidCtxt(schema.get()));
  if (!ctx->validation) return nullptr;
  xmlSchemaSetValidStructuredErrors(ctx->validation.get(), [](void*, xmlErrorPtr) {}, nullptr);
  ctx->schema = std::move(schema);
  return ctx.release();
}

}  // namespace

XadesVerifyContext* xadesVerifyContextCreate(const char* schemaText, size_t length) {
  if (schemaText == nullptr) return nullptr;
  std::string_view text(schemaText, length);
  if (text == xadesSchemaText()) {
    // The built-in schema is compiled once and never changed afterwards.
    xmlSchema* shared = xadesCompiledSchema();
    if (shared == nullptr) return nullptr;
    return contextOver(std::shared_ptr<xmlSchema>(shared, [](xmlSchema*) {}));
  }
  return contextOver(compileSchema(text));
}

XadesVerifyContext* xadesVerifyContextLoadSchema(const char* path) {
  if (path == nullptr) {
    auto text = xadesSchemaText();
    return xadesVerifyContextCreate(text.data(), text.size());
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return nullptr;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return nullptr;
  return xadesVerifyContextCreate(bytes.data(), bytes.size());
}

int xadesVerifyContextFree(XadesVerifyContext* ctx) {
  if (ctx == nullptr) return 0;
  for (auto& entry : ctx->signatures) {
    if (!entry) continue;
    entry->certificateBytes.clear();
    xadesSignContextFree(std::move(entry));
  }
  ctx->signatures.clear();
  ctx->forms.clear();
  ctx->xpath.reset();
  ctx->validation.reset();
  ctx->schema.reset();
  delete ctx;  // made by contextOver's unique_ptr
  return 0;
}

int xadesVerifyContextFreeAll(XadesVerifyContext* ctx) {
  if (ctx == nullptr) return 0;
  xmlDoc* doc = ctx->document;
  ctx->document = nullptr;
  ctx->xpath.reset();  // it points into the document
  for (auto& entry : ctx->signatures) {
    if (entry) xadesSignContextFree(std::move(entry));
  }
  ctx->signatures.clear();
  if (doc != nullptr) xmlFreeDoc(doc);
  return xadesVerifyContextFree(ctx);
}

int validateSignatureByCopy(XadesVerifyContext* ctx, const xmlNode* signature) {
  if (ctx == nullptr || !ctx->validation || signature == nullptr) return -1;
  XmlDocPtr copy = copyAsNewDocument(signature);
  if (!copy) return -1;
  // The same serial rewrite as the qualifying-properties check, so both
  // paths judge long serial numbers alike.
  if (rewriteSerialNumbers(copy.get()) != 0) return -1;
  return xmlSchemaValidateDoc(ctx->validation.get(), copy.get()) == 0 ? 0 : -1;
}

}  // namespace vel::xades
