#include "platform/open_with.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <fstream>
#include <memory>
#include <vector>

#include "platform/temp_files.h"
#include "platform/win32_error.h"

namespace vel::platform {
namespace {

constexpr uint32_t kNoAssociation = 31;
constexpr uint32_t kRefusedType = 1260;
// Room for the name within a path component, its extension kept.
constexpr size_t kMaxName = 200;

struct GFree {
  void operator()(void* p) const { g_free(p); }
};
struct GUnref {
  void operator()(void* p) const { g_object_unref(p); }
};
using GText = std::unique_ptr<char, GFree>;

std::string LowerExtension(std::string_view name) {
  const size_t dot = name.rfind('.');
  std::string ext(dot == std::string_view::npos ? std::string_view() : name.substr(dot));
  std::ranges::transform(ext, ext.begin(), [](unsigned char c) { return std::tolower(c); });
  return ext;
}

// The content type GIO gives the file by its name and first bytes.
std::string ContentTypeOf(const std::string& path, std::span<const uint8_t> head) {
  gboolean uncertain = FALSE;
  GText type(g_content_type_guess(path.c_str(), head.data(), head.size(), &uncertain));
  return type ? std::string(type.get()) : std::string();
}

std::vector<uint8_t> ReadHead(const std::string& path) {
  std::vector<uint8_t> head(4096);
  std::ifstream in(path, std::ios::binary);
  in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0)));
  return head;
}

}  // namespace

std::string SafeFileName(std::string_view name) {
  const size_t slash = name.find_last_of("/\\");
  if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
  std::string out;
  for (char c : name)
    if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) out += c;
  if (out.empty() || out == "." || out == "..") return "content";
  if (out.size() > kMaxName) {
    std::string ext = out.substr(out.rfind('.') == std::string::npos ? out.size() : out.rfind('.'));
    if (ext.size() > 16) ext.clear();
    out = out.substr(0, kMaxName - ext.size()) + ext;
  }
  return out;
}

std::string WritePrivateCopy(std::string_view folder_prefix, std::string_view name,
                             std::span<const uint8_t> bytes, uint32_t* error) {
  uint32_t ignored = 0;
  if (error == nullptr) error = &ignored;
  const std::string folder = MakeWorkDir(std::string(folder_prefix), error);
  if (folder.empty()) return {};
  const std::string path = folder + "/" + SafeFileName(name);
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = Win32FromErrno(errno);
    rmdir(folder.c_str());
    return {};
  }
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = Win32FromErrno(n < 0 ? errno : ENOSPC);
      close(fd);
      unlink(path.c_str());
      rmdir(folder.c_str());
      return {};
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0) {
    *error = Win32FromErrno(errno);
    unlink(path.c_str());
    rmdir(folder.c_str());
    return {};
  }
  *error = 0;
  return path;
}

bool IsExecutableType(const std::string& path) {
  const std::vector<uint8_t> head = ReadHead(path);
  static constexpr uint8_t kElf[] = {0x7F, 'E', 'L', 'F'};
  if (head.size() >= 4 && std::equal(kElf, kElf + 4, head.begin())) return true;
  if (head.size() >= 2 && head[0] == '#' && head[1] == '!') return true;
  static constexpr std::string_view kRunExtensions[] = {
      ".desktop", ".sh",  ".bash", ".csh", ".zsh", ".ksh",      ".py",  ".pl",  ".rb",
      ".run",     ".bin", ".appimage", ".jar", ".exe", ".com", ".bat", ".cmd", ".so",
      ".elf",     ".out", ".php", ".js",  ".vbs", ".ps1", ".msi", ".pyc", ".lua", ".tcl"};
  const std::string ext = LowerExtension(path);
  if (std::ranges::find(kRunExtensions, ext) != std::end(kRunExtensions)) return true;
  const std::string type = ContentTypeOf(path, head);
  static constexpr const char* kRunTypes[] = {
      "application/x-executable",   "application/x-sharedlib",  "application/x-pie-executable",
      "application/x-desktop",      "application/x-shellscript", "application/x-ms-dos-executable",
      "application/x-msdownload",   "application/x-java-archive", "text/x-python",
      "text/x-python3",             "application/x-perl",        "text/x-perl",
      "application/x-ruby",         "application/javascript",    "application/x-csh"};
  for (const char* t : kRunTypes)
    if (!type.empty() && g_content_type_is_a(type.c_str(), t)) return true;
  return false;
}

uint32_t OpenWithDefaultApplication(const std::string& path) {
  if (IsExecutableType(path)) return kRefusedType;
  const std::string type = ContentTypeOf(path, ReadHead(path));
  if (type.empty()) return kNoAssociation;
  std::unique_ptr<GAppInfo, GUnref> app(g_app_info_get_default_for_type(type.c_str(), FALSE));
  if (!app) return kNoAssociation;
  std::unique_ptr<GFile, GUnref> file(g_file_new_for_path(path.c_str()));
  GList files{file.get(), nullptr, nullptr};
  GError* gerror = nullptr;
  if (!g_app_info_launch(app.get(), &files, nullptr, &gerror)) {
    const bool not_found = gerror != nullptr && gerror->domain == G_IO_ERROR &&
                           gerror->code == G_IO_ERROR_NOT_FOUND;
    if (gerror != nullptr) g_error_free(gerror);
    return not_found ? 2 : 1359;
  }
  return 0;
}

}  // namespace vel::platform
