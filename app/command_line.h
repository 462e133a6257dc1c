// The program's command line: which mode runs, and with what path.
#pragma once

#include <string>
#include <vector>

namespace vel::app {

enum class StartMode {
  kOpenDocument,  // the main window, on `path` (empty: no document)
  kPrinterJob,    // turn the job file `path` into a container, then open it
  kExport,        // pack the file `path` with the program into a cabinet
};

struct CommandLine {
  bool skip_single_instance = false;  // "/nc" came first
  StartMode mode = StartMode::kOpenDocument;
  std::string path;
};

// Switches are whole arguments in lower case ("/nc", "/dl", "/ex"), recognised
// only first: every path on this system begins with '/', so a prefix test
// would take "/dlugi/plik.kdoc" for a switch. "/nc" may be followed by any
// other form. A document path may arrive split over several arguments; they
// are joined with blanks.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

// The name the export's save dialog offers: the source's path without the
// extension of its file name (a '.' in a folder name does not cut it).
std::string DefaultCabinetName(const std::string& source_path);

}  // namespace vel::app
