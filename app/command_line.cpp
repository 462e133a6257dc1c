#include "app/command_line.h"

#include <filesystem>

#include "app/text_trim.h"

namespace vel::app {

namespace {

std::string Join(const std::vector<std::string>& args, size_t from) {
  std::string out;
  for (size_t i = from; i < args.size(); ++i) {
    if (i > from) out += ' ';
    out += args[i];
  }
  return out;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine cl;
  size_t first = 0;
  if (!args.empty() && args[0] == "/nc") {
    cl.skip_single_instance = true;
    first = 1;
  }
  if (first < args.size() && args[first] == "/dl") {
    cl.mode = StartMode::kPrinterJob;
    cl.path = Join(args, first + 1);
  } else if (first < args.size() && args[first] == "/ex") {
    cl.mode = StartMode::kExport;
    // Blanks and quotes around the source are not part of its name.
    cl.path = Trim(Trim(Trim(Join(args, first + 1)), "\""));
  } else {
    cl.path = Join(args, first);
  }
  return cl;
}

std::string DefaultCabinetName(const std::string& source_path) {
  std::filesystem::path p(Trim(source_path));
  if (!p.has_filename()) return p.string();
  // Every extension goes ("umowa.tar.gz" gives "umowa"); dots in folder
  // names stay, and so does the leading dot of a hidden file's name.
  const std::string name = p.filename().string();
  const size_t dot = name.find('.', 1);
  return (p.parent_path() / name.substr(0, dot)).string();
}

}  // namespace vel::app
