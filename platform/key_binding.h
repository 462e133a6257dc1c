// How a certificate of the "My" store names its private key.
//
// Beside "<SHA-1>.cer" in the store folder (platform/cert_store.h) lies a
// small text file "<SHA-1>.key" (the same 40 upper-case hex digits). Blank
// lines and lines that begin with '#' are skipped; the first other line is
// the key reference, one of:
//
//   pkcs12:<path>   a PKCS#12 file holding the certificate's key; its password
//                   is the PIN. A relative path is taken from the store folder.
//   pkcs11:<uri>    a private-key object on a PKCS#11 token, as an RFC 7512
//                   URI, e.g.
//                   pkcs11:token=Kowalski;id=%01?module-path=/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so
//
// The PKCS#11 module is the URI's "module-path" query attribute; without one,
// the environment variable VELDOC_PKCS11_MODULE; without that, OpenSC's module
// (kDefaultPkcs11Module). Path attributes read: token, manufacturer, serial,
// model (which token), object, id (which key), type (must be "private" when
// given). A PIN in the URI (pin-value, pin-source) is never used: the PIN is
// always asked for. Whatever the reference says, the key used must belong to
// the certificate's public key.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/cert_store.h"

namespace vel::platform {

inline constexpr char kDefaultPkcs11Module[] = "/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so";
inline constexpr char kPkcs11ModuleVariable[] = "VELDOC_PKCS11_MODULE";

// No key is bound to the certificate (CRYPT_E_NO_KEY_PROPERTY).
inline constexpr uint32_t kCryptENoKeyProperty = 0x8009200B;

struct KeyReference {
  enum class Kind { kPkcs12File, kPkcs11Object };
  Kind kind = Kind::kPkcs12File;
  // The file's path (absolute once read from a binding) or the whole "pkcs11:" URI.
  std::string target;
};

// "pkcs12:<path>" or "pkcs11:<uri>" (the scheme compared without case). Other
// text, or an empty path: false.
bool ParseKeyReference(std::string_view text, KeyReference* out);
// The line a binding file holds.
std::string FormatKeyReference(const KeyReference& ref);

// An RFC 7512 URI, percent-decoded.
struct Pkcs11Uri {
  std::optional<std::string> token, manufacturer, serial, model;  // the token's fields
  std::optional<std::string> object;                              // the key's label
  std::optional<std::vector<uint8_t>> id;                         // the key's CKA_ID
  std::optional<std::string> type;                                // "private", "cert", ...
  std::optional<std::string> module_path;
};
// False for text that is not a "pkcs11:" URI or has a bad percent escape.
bool ParsePkcs11Uri(std::string_view uri, Pkcs11Uri* out);
// The URI text of the fields that are set, percent-encoded (the inverse of
// ParsePkcs11Uri).
std::string FormatPkcs11Uri(const Pkcs11Uri& uri);
// The module a URI names (see the top of this file).
std::string Pkcs11ModuleFor(const Pkcs11Uri& uri);

// The binding file of a certificate in the "My" store of a location; empty for
// a bad location.
std::filesystem::path KeyBindingPath(uint32_t location_flags, const CertContext& cert);

// Reads the binding of a certificate at one location. None: kCryptENoKeyProperty;
// a file that holds no valid reference: 13.
uint32_t ReadKeyBinding(uint32_t location_flags, const CertContext& cert, KeyReference* out);
// The binding at the current user's location, else at the local machine's.
uint32_t FindKeyBinding(const CertContext& cert, KeyReference* out);
// Writes (or replaces) the binding; the folder is made when missing. The file
// is written beside its place and renamed into it.
uint32_t WriteKeyBinding(uint32_t location_flags, const CertContext& cert, const KeyReference& ref);

}  // namespace vel::platform
