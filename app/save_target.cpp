// The save dialog with the program's own question before a file is overwritten.
#include "app/prompt.h"

#include <cctype>
#include <filesystem>

#include "app/message_catalog.h"

namespace vel::app {

namespace {

bool EndsWithNoCase(const std::string& s, const std::string& end) {
  if (s.size() < end.size()) return false;
  for (size_t i = 0; i < end.size(); ++i) {
    const auto a = static_cast<unsigned char>(s[s.size() - end.size() + i]);
    const auto b = static_cast<unsigned char>(end[i]);
    if (std::tolower(a) != std::tolower(b)) return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> AskSaveTarget(Prompt& prompt, const CMessageTable& catalog,
                                         const FileDialogRequest& request, const std::string& caption) {
  for (;;) {
    const auto answer = prompt.AskSavePath(request);
    if (!answer) return std::nullopt;
    std::string path = answer->path;
    const std::string extension = "." + request.default_extension;
    if (answer->extension_differs && !request.default_extension.empty() && !EndsWithNoCase(path, extension))
      path += extension;
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return path;
    std::string format;
    catalog.Get(format, 209, "Plik o nazwie:\n%s\njuż istnieje. Czy chcesz go nadpisać?");
    const size_t at = format.find("%s");
    const std::string text = at == std::string::npos ? format : format.substr(0, at) + path + format.substr(at + 2);
    if (prompt.ShowMessage(209, text, caption, MB_YESNO | MB_ICONQUESTION) == IDYES) return path;
  }
}

}  // namespace vel::app
