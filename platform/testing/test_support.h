// Helpers shared by the tests: temporary folders, files, and outside tools.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
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

}  // namespace vel::test

// Peer tests need their tool; scripts/deps.sh installs every one, so a missing
// tool is a failure, not a skip.
#define VEL_REQUIRE_TOOL(name) \
  ASSERT_TRUE(::vel::test::HaveTool(name)) << "missing tool " << (name) << ": run scripts/deps.sh"
