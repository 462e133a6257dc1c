// The command line comes from whoever starts the program: any arguments
// (split here at NUL bytes) choose one mode and a path made of them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vel::app;
  const std::string text(reinterpret_cast<const char*>(data), data ? size : 0);
  std::vector<std::string> args;
  size_t start = 0;
  while (start <= text.size() && !text.empty()) {
    const size_t end = std::min(text.find('\0', start), text.size());
    args.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  size_t total = 0;
  for (const std::string& a : args) total += a.size() + 1;

  const CommandLine cl = ParseCommandLine(args);
  if (cl.skip_single_instance != (!args.empty() && args[0] == "/nc")) std::abort();
  if (cl.path.size() > total) std::abort();
  const std::string name = DefaultCabinetName(cl.path);
  if (name.size() > cl.path.size() + 1) std::abort();
  return 0;
}
