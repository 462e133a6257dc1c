// Fills start-up's services with the program's real windows and dialogs; the
// questions go to the prompt the program was started with.
#pragma once

#include "app/viewer_app.h"

namespace vel::app {

class StartupWindows {
 public:
  explicit StartupWindows(Prompt& prompt);
  StartupServices& services() { return services_; }

 private:
  StartupServices services_;
};

}  // namespace vel::app
