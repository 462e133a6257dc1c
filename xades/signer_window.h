// How a signature reaches the XML signer window. The window is a Qt widget in
// xades/ui, which this engine does not link (tests and tools run without a
// display); the program installs it once at start-up. Until then opening it
// answers ERROR_CALL_NOT_IMPLEMENTED (120).
//
// The window never reads the caller's tree: ShowXmlSignerInfo hands it a copy
// of the Signature element (a document of its own, namespaces in scope
// declared on its root) and of the signer's certificate, so the tree may be
// deleted while the window is open.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "xades/sign_context.h"

namespace vel::xades {

// Opens a window for the serialised Signature document `signatureXml` (UTF-8,
// copied by the window) with `certificate` (DER, may be empty) behind its
// Show Certificate button; 0 or the error.
using XmlSignerWindowHandler = uint32_t (*)(std::string_view signatureXml,
                                            std::span<const uint8_t> certificate);

// Installs the handler; null uninstalls.
void SetXmlSignerWindowHandler(XmlSignerWindowHandler handler);

// Serialises the signature of `sig` and opens the installed window: 0, 120
// without a window, 87 when the record holds no signature, 8 when the copy
// cannot be made. `unused` is passed by callers and ignored.
uint32_t ShowXmlSignerInfo(const XadesSignContext& sig, void* unused = nullptr);

// The copy ShowXmlSignerInfo hands over: the element with its subtree as the
// root of a new document, serialised; empty when it cannot be made.
std::string serializeSignatureCopy(const xmlNode* signature);

}  // namespace vel::xades
