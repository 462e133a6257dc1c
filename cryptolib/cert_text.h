// Helpers shared by the certificate text functions (names, fields).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "cryptolib/status.h"
#include "cryptolib/x509_context.h"
#include "platform/cert_name_str.h"

namespace vel::crypto::detail {

// The size rule for a text: with no buffer, or a size below `needed` (at
// least the text's length + 1), the needed size is stored and 234 returned;
// otherwise the text and its NUL are copied and *size becomes length + 1.
LibraryErrorCode PutText(std::string_view text, uint32_t needed, char* out, uint32_t* size);

// Stores `code` as the context's last error (when there is a context).
inline LibraryErrorCode SetError(X509Context* context, LibraryErrorCode code) {
  if (context != nullptr) context->last_error = code;
  return code;
}

// The text of one attribute value: its characters, or for a "#" value the
// text of the UTF8Strings inside it (joined by `join` and a blank).
LibraryErrorCode AttributeValueText(const platform::NameAttribute& attribute, char separator,
                                    char join, std::string* text);

}  // namespace vel::crypto::detail
