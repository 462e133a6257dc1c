#include "platform/key_binding.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "platform/temp_files.h"
#include "platform/win32_error.h"

namespace vel::platform {
namespace {

// A binding is one short line; anything larger is not ours.
constexpr std::uintmax_t kMaxBindingFile = 64 * 1024;

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool PercentDecode(std::string_view in, std::string* out) {
  out->clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      out->push_back(in[i]);
      continue;
    }
    if (in.size() - i < 3) return false;
    const int hi = HexValue(in[i + 1]), lo = HexValue(in[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return true;
}

// RFC 3986 unreserved characters stand as they are, and `also` (the query
// keeps a path's slashes readable); every other byte is escaped.
std::string PercentEncode(std::string_view in, std::string_view also = {}) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : in) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || c == '-' || c == '.' || c == '_' || c == '~' ||
        also.find(c) != std::string_view::npos) {
      out.push_back(c);
    } else {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out;
}

}  // namespace

bool ParseKeyReference(std::string_view text, KeyReference* out) {
  text = Trim(text);
  if (StartsWithNoCase(text, "pkcs12:")) {
    std::string_view path = text.substr(7);
    if (path.empty()) return false;
    out->kind = KeyReference::Kind::kPkcs12File;
    out->target = std::string(path);
    return true;
  }
  if (StartsWithNoCase(text, "pkcs11:")) {
    Pkcs11Uri uri;
    if (!ParsePkcs11Uri(text, &uri)) return false;
    out->kind = KeyReference::Kind::kPkcs11Object;
    out->target = std::string(text);
    return true;
  }
  return false;
}

std::string FormatKeyReference(const KeyReference& ref) {
  if (ref.kind == KeyReference::Kind::kPkcs12File) return "pkcs12:" + ref.target;
  return ref.target;  // the URI carries its own scheme
}

bool ParsePkcs11Uri(std::string_view uri, Pkcs11Uri* out) {
  if (!StartsWithNoCase(uri, "pkcs11:")) return false;
  *out = Pkcs11Uri{};
  std::string_view rest = uri.substr(7);
  std::string_view path = rest, query;
  if (const size_t q = rest.find('?'); q != std::string_view::npos) {
    path = rest.substr(0, q);
    query = rest.substr(q + 1);
  }
  auto each = [](std::string_view list, char sep, auto&& fn) {
    while (!list.empty()) {
      const size_t end = list.find(sep);
      std::string_view item = list.substr(0, end);
      if (!item.empty() && !fn(item)) return false;
      if (end == std::string_view::npos) break;
      list.remove_prefix(end + 1);
    }
    return true;
  };
  auto split = [](std::string_view item, std::string_view* name, std::string* value) {
    const size_t eq = item.find('=');
    if (eq == std::string_view::npos) return false;
    *name = item.substr(0, eq);
    return PercentDecode(item.substr(eq + 1), value);
  };
  const bool path_ok = each(path, ';', [&](std::string_view item) {
    std::string_view name;
    std::string value;
    if (!split(item, &name, &value)) return false;
    if (name == "token") out->token = value;
    else if (name == "manufacturer") out->manufacturer = value;
    else if (name == "serial") out->serial = value;
    else if (name == "model") out->model = value;
    else if (name == "object") out->object = value;
    else if (name == "type") out->type = value;
    else if (name == "id") out->id = std::vector<uint8_t>(value.begin(), value.end());
    // Other attributes (library-*, slot-*, vendor ones) do not narrow the key further.
    return true;
  });
  if (!path_ok) return false;
  return each(query, '&', [&](std::string_view item) {
    std::string_view name;
    std::string value;
    if (!split(item, &name, &value)) return false;
    if (name == "module-path") out->module_path = value;
    return true;
  });
}

std::string FormatPkcs11Uri(const Pkcs11Uri& uri) {
  std::string path;
  auto add = [&](const char* name, const std::optional<std::string>& value) {
    if (!value) return;
    if (!path.empty()) path += ';';
    path += name;
    path += '=';
    path += PercentEncode(*value);
  };
  add("token", uri.token);
  add("manufacturer", uri.manufacturer);
  add("serial", uri.serial);
  add("model", uri.model);
  add("object", uri.object);
  if (uri.id) add("id", std::string(uri.id->begin(), uri.id->end()));
  add("type", uri.type);
  std::string text = "pkcs11:" + path;
  if (uri.module_path) text += "?module-path=" + PercentEncode(*uri.module_path, "/");
  return text;
}

std::string Pkcs11ModuleFor(const Pkcs11Uri& uri) {
  if (uri.module_path && !uri.module_path->empty()) return *uri.module_path;
  if (const char* env = std::getenv(kPkcs11ModuleVariable); env != nullptr && *env != '\0')
    return env;
  return kDefaultPkcs11Module;
}

std::filesystem::path KeyBindingPath(uint32_t location_flags, const CertContext& cert) {
  std::filesystem::path folder = CertStore::FolderFor(location_flags, "My");
  if (folder.empty()) return {};
  return folder / (cert.sha1_hex() + ".key");
}

uint32_t ReadKeyBinding(uint32_t location_flags, const CertContext& cert, KeyReference* out) {
  const std::filesystem::path file = KeyBindingPath(location_flags, cert);
  if (file.empty()) return kErrorInvalidParameter;
  std::error_code ec;
  const auto size = std::filesystem::file_size(file, ec);
  if (ec) return kCryptENoKeyProperty;
  if (size > kMaxBindingFile) return kErrorInvalidData;
  std::ifstream in(file, std::ios::binary);
  if (!in) return kCryptENoKeyProperty;
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string_view rest = text;
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    std::string_view line = Trim(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    if (line.empty() || line.front() == '#') continue;
    KeyReference ref;
    if (!ParseKeyReference(line, &ref)) return kErrorInvalidData;
    if (ref.kind == KeyReference::Kind::kPkcs12File) {
      std::filesystem::path p(ref.target);
      if (p.is_relative()) ref.target = (file.parent_path() / p).string();
    }
    *out = std::move(ref);
    return 0;
  }
  return kErrorInvalidData;
}

uint32_t FindKeyBinding(const CertContext& cert, KeyReference* out) {
  uint32_t err = ReadKeyBinding(kStoreCurrentUser, cert, out);
  if (err != kCryptENoKeyProperty) return err;
  return ReadKeyBinding(kStoreLocalMachine, cert, out);
}

uint32_t WriteKeyBinding(uint32_t location_flags, const CertContext& cert, const KeyReference& ref) {
  const std::filesystem::path file = KeyBindingPath(location_flags, cert);
  if (file.empty()) return kErrorInvalidParameter;
  KeyReference check;
  if (!ParseKeyReference(FormatKeyReference(ref), &check)) return kErrorInvalidParameter;
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  if (ec) return Win32FromErrno(ec.value());
  const std::string line = FormatKeyReference(ref) + "\n";
  return WriteFileReplacing(
      file, std::span(reinterpret_cast<const uint8_t*>(line.data()), line.size()), 0600);
}

}  // namespace vel::platform
