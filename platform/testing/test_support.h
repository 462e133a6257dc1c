// Helpers shared by the tests: temporary folders, files, and outside tools.
#pragma once

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vel::test {

// A fresh folder under $TMPDIR, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& p);
std::string ReadFileText(const std::filesystem::path& p);
void WriteFileBytes(const std::filesystem::path& p, const std::vector<uint8_t>& bytes);
void WriteFileText(const std::filesystem::path& p, const std::string& text);

struct CommandResult {
  int exit_code = -1;   // the process's exit status, or -1 when it did not exit normally
  std::string output;   // standard output and standard error together
};

// Runs a shell command line; standard error is merged into the output.
CommandResult RunCommand(const std::string& command_line);

// Quotes a path or word for the shell.
std::string ShellQuote(const std::string& s);

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(std::string_view s);

// True when the program is on PATH.
bool HaveTool(const std::string& name);

// Starts a program (found on PATH) as a child of this process, standard
// input from /dev/null, standard output and error into `log`; its process
// id, or -1. A child stays this process's to collect, so its id is never
// another process's while a test still holds it.
int SpawnLogged(const std::vector<std::string>& argv, const std::filesystem::path& log);

// Asks a child started here to end, kills it when it has not within
// `grace_ms`, and collects it.
void StopChild(int pid, int grace_ms = 4000);

// The children of process `parent`, each with its state ('Z': ended, not
// collected).
std::vector<std::pair<int, char>> ChildProcesses(int parent);

// Makes a shell script with `script_body` the desktop's default application
// for `mime_type`, in the private XDG folders `data` and `config` (created
// here; the caller points XDG_DATA_HOME and XDG_CONFIG_HOME at them). The
// script is `handler`; it is started with the file to show as $1.
void RegisterFakeViewer(const std::filesystem::path& data, const std::filesystem::path& config,
                        const std::string& mime_type, const std::filesystem::path& handler,
                        const std::string& script_body);

// The same for PDF files and this process: its XDG folders and TMPDIR point
// into `dir` first (GIO reads them once, at its first use in the process);
// returns the PDF content type.
std::string UseFakePdfViewer(const std::filesystem::path& dir, const std::filesystem::path& handler,
                             const std::string& script_body);

// The content type GIO gives a PDF on this machine, whatever its MIME
// database holds.
std::string PdfContentType();

// DER pieces for hand-made structures: a tag with its minimal length, and
// parts joined.
std::vector<uint8_t> DerTlv(uint8_t tag, const std::vector<uint8_t>& content);
std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts);

}  // namespace vel::test

// Peer tests need their tool; scripts/deps.sh installs every one, so a missing
// tool is a failure, not a skip.
#define VEL_REQUIRE_TOOL(name) \
  ASSERT_TRUE(::vel::test::HaveTool(name)) << "missing tool " << (name) << ": run scripts/deps.sh"
