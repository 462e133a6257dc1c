#include "platform/testing/test_support.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <sys/wait.h>

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

bool HaveTool(const std::string& name) {
  return RunCommand("command -v " + ShellQuote(name) + " >/dev/null").exit_code == 0;
}

}  // namespace vel::test
