#include "app/content_opener.h"

#include <algorithm>
#include <cctype>

#include "platform/open_with.h"
#include "platform/process.h"

namespace vel::app {
namespace {

std::string_view ExtensionOf(std::string_view name) {
  const size_t dot = name.rfind('.');
  const size_t slash = name.find_last_of("/\\");
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return {};
  return name.substr(dot);
}

}  // namespace

std::string LowerExtension(std::string_view name) {
  std::string ext(ExtensionOf(name));
  std::ranges::transform(ext, ext.begin(), [](unsigned char c) { return std::tolower(c); });
  return ext;
}

bool IsOwnDocumentName(std::string_view name) {
  const std::string ext = LowerExtension(name);
  return ext == ".kdoc" || ext == ".kmap" || ext == ".vestpro" || ext == ".p7";
}

std::string ContentNameFromPath(std::string_view path) {
  const size_t slash = path.find_last_of("/\\");
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const std::string_view ext = ExtensionOf(name);
  if (LowerExtension(ext) != ".xml" || !ExtensionOf(name.substr(0, name.size() - ext.size())).empty())
    name.remove_suffix(ext.size());
  std::string out(name);
  const size_t dot = out.rfind('.');
  if (dot != std::string::npos) {
    const size_t underscore = out.find('_', dot);
    if (underscore != std::string::npos) out.resize(underscore);
  }
  return out;
}

uint32_t OpenContentCopy(std::string_view name, std::span<const uint8_t> bytes,
                         std::string* copy_path) {
  uint32_t error = 0;
  const std::string safe = platform::SafeFileName(name);
  const std::string path =
      platform::WritePrivateCopy(kContentPrefix, std::string(kContentPrefix) + safe, bytes, &error);
  if (path.empty()) return error;
  if (copy_path != nullptr) *copy_path = path;
  if (IsOwnDocumentName(safe)) {
    const std::string self = platform::OwnExecutablePath();
    if (self.empty() || platform::StartDetachedProgram(self, {"/nc", path}) == 0) return 2;
    return 0;
  }
  return platform::OpenWithDefaultApplication(path);
}

}  // namespace vel::app
