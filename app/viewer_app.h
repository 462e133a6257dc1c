// The application object and its start-up: which mode runs, the single-instance
// rule, the user's default settings and the CRL-address migration.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/message_catalog.h"
#include "app/prompt.h"
#include "platform/process.h"

namespace vel::app {

// What start-up hands to the windows and to the outside world. Tests replace
// each piece; the program fills them with the real windows.
struct StartupServices {
  Prompt* prompt = nullptr;
  std::function<std::optional<std::vector<platform::ProcessEntry>>()> snapshot = platform::SnapshotProcesses;
  // Printer-job mode: turns the job into a container and returns its path;
  // nullopt when it failed (it has shown its own message).
  std::function<std::optional<std::string>(const std::string& job, const CMessageTable&)> printer_job;
  // Runs the main window modally on a document path (empty: no document);
  // false when the document could not be opened and the window did not run.
  std::function<bool(const std::string& document, const CMessageTable&)> main_window;
  // Packs the files into a cabinet at `target`; false on failure.
  std::function<bool(const std::vector<std::string>& files, const std::string& target)> create_cabinet;
  std::string own_executable = platform::OwnExecutablePath();
};

class CViewerApp {
 public:
  // Resets the user's settings when the installation is newer than the user's marker.
  CViewerApp();

  // Runs the mode the arguments choose and returns when it has ended. Always
  // false, as the program ends after start-up.
  bool InitInstance(const std::vector<std::string>& args, StartupServices& services);

  const std::string& settings_key() const { return settings_key_; }
  // The process's exit status after start-up: 1 when the document given could
  // not be opened, else 0.
  int exit_status() const { return exit_status_; }

  // How many running processes are this program (by executable name) for this
  // user, in this login session.
  static int CountRunningCopies(const std::vector<platform::ProcessEntry>& processes);

 private:
  void WriteDefaultSettings(const CMessageTable& catalog, Prompt& prompt);
  void ExportCabinet(const std::string& source, const CMessageTable& catalog, StartupServices& services);

  std::string settings_key_;
  int exit_status_ = 0;
};


}  // namespace vel::app
