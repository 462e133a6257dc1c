// Fills start-up's services with the program's real windows and dialogs (or,
// for tests that start the program, with scripted answers).
#pragma once

#include <memory>

#include "app/viewer_app.h"

namespace vel::app {

class StartupWindows {
 public:
  StartupWindows();
  ~StartupWindows();
  StartupServices& services() { return services_; }

 private:
  std::unique_ptr<Prompt> prompt_;
  StartupServices services_;
};

}  // namespace vel::app
