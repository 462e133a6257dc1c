#include "app/ui/app_windows.h"

#include "app/ui/main_window.h"
#include "app/ui/splash_dialog.h"
#include "cabinet/cabinet.h"

namespace vel::app {

StartupWindows::StartupWindows(Prompt& prompt) {
  services_.prompt = &prompt;
  services_.printer_job = [&prompt](const std::string& job, const CMessageTable& catalog) {
    CSplashDialog dialog(catalog);
    dialog.show();
    return RunPrinterJob(job, catalog, prompt, dialog);
  };
  services_.create_cabinet = [](const std::vector<std::string>& files, const std::string& target) {
    std::vector<const char*> paths;
    for (const auto& f : files) paths.push_back(f.c_str());
    return cabinet::CreateCabinet(static_cast<int>(paths.size()), paths.data(), target.c_str()) == 1;
  };
  services_.main_window = [&prompt](const std::string& document, const CMessageTable& catalog) {
    CMainWindow window(catalog, prompt, document);
    if (window.Init() != 0) return false;
    prompt.RunWindow("main", [&] { window.exec(); });
    return true;
  };
}

}  // namespace vel::app
