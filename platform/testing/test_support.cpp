#include "platform/testing/test_support.h"

#include <gio/gio.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace vel::test {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/veltest_XXXXXX";
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + p.string());
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string ReadFileText(const std::filesystem::path& p) {
  auto b = ReadFileBytes(p);
  return {b.begin(), b.end()};
}

void WriteFileBytes(const std::filesystem::path& p, const std::vector<uint8_t>& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + p.string());
}

void WriteFileText(const std::filesystem::path& p, const std::string& text) {
  WriteFileBytes(p, std::vector<uint8_t>(text.begin(), text.end()));
}

CommandResult RunCommand(const std::string& command_line) {
  CommandResult r;
  std::string full = "( " + command_line + " ) 2>&1";
  FILE* f = popen(full.c_str(), "r");
  if (!f) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) r.output.append(buf, n);
  int status = pclose(f);
  r.exit_code = (status != -1 && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
  return r;
}

std::string ShellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

bool IsValidUtf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t n = 0;
    uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      n = 1, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      n = 2, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      n = 3, cp = c & 0x07;
    } else {
      return false;
    }
    if (i + n >= s.size()) return false;  // truncated sequence
    for (size_t k = 1; k <= n; ++k) {
      const auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    static constexpr uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n + 1;
  }
  return true;
}

bool HaveTool(const std::string& name) {
  return RunCommand("command -v " + ShellQuote(name) + " >/dev/null").exit_code == 0;
}

void RegisterFakeViewer(const std::filesystem::path& data, const std::filesystem::path& config,
                        const std::string& mime_type, const std::filesystem::path& handler,
                        const std::string& script_body) {
  std::filesystem::create_directories(data / "applications");
  std::filesystem::create_directories(config);
  WriteFileText(handler, "#!/bin/sh\n" + script_body);
  std::filesystem::permissions(handler, std::filesystem::perms::owner_all);
  WriteFileText(data / "applications" / "vel-fake-viewer.desktop",
                "[Desktop Entry]\nType=Application\nName=Fake Viewer\nExec=" + handler.string() +
                    " %f\nMimeType=" + mime_type + ";\n");
  WriteFileText(config / "mimeapps.list", "[Default Applications]\n" + mime_type + "=vel-fake-viewer.desktop\n");
}

std::string UseFakePdfViewer(const std::filesystem::path& dir, const std::filesystem::path& handler,
                             const std::string& script_body) {
  setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
  setenv("TMPDIR", dir.c_str(), 1);
  const std::string pdf_type = PdfContentType();
  RegisterFakeViewer(dir / "data", dir / "config", pdf_type, handler, script_body);
  return pdf_type;
}

int SpawnLogged(const std::vector<std::string>& argv, const std::filesystem::path& log) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

void StopChild(int pid, int grace_ms) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  for (int waited = 0; waited < grace_ms; waited += 20) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return;
    usleep(20000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

std::vector<std::pair<int, char>> ChildProcesses(int parent) {
  std::vector<std::pair<int, char>> out;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    // "pid (name) state ppid ...": the name may hold blanks and parentheses.
    const size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    int ppid = 0;
    if (std::sscanf(line.c_str() + close + 1, " %c %d", &state, &ppid) != 2) continue;
    if (ppid == parent) out.emplace_back(std::atoi(line.c_str()), state);
  }
  return out;
}

std::string PdfContentType() {
  static const uint8_t kPdf[] = {'%', 'P', 'D', 'F', '-', '1', '.', '4', '\n'};
  gboolean uncertain = FALSE;
  char* type = g_content_type_guess("x.pdf", kPdf, sizeof kPdf, &uncertain);
  const std::string pdf_type = type;
  g_free(type);
  return pdf_type;
}

std::vector<uint8_t> DerTlv(uint8_t tag, const std::vector<uint8_t>& content) {
  std::vector<uint8_t> out{tag};
  const size_t n = content.size();
  if (n >= 0x80) {
    int bytes = 0;
    for (size_t left = n; left != 0; left >>= 8) ++bytes;
    out.push_back(static_cast<uint8_t>(0x80 | bytes));
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(n >> (8 * i)));
  } else {
    out.push_back(static_cast<uint8_t>(n));
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

}  // namespace vel::test
