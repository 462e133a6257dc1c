#include "app/ui/app_windows.h"

#include "app/ui/main_window.h"
#include "app/ui/splash_dialog.h"
#include "cabinet/cabinet.h"
#include "app/ui/qt_prompt.h"

namespace vel::app {

StartupWindows::StartupWindows() {
  prompt_ = ScriptedPrompt::FromEnvironment();
  if (!prompt_) prompt_ = std::make_unique<QtPrompt>();
  services_.prompt = prompt_.get();
  services_.printer_job = [this](const std::string& job, const CMessageTable& catalog) {
    CSplashDialog dialog(catalog);
    if (!std::getenv("VELDOC_PROMPT_SCRIPT")) dialog.show();  // a test that starts the program has no display
    return RunPrinterJob(job, catalog, *prompt_, dialog);
  };
  services_.create_cabinet = [](const std::vector<std::string>& files, const std::string& target) {
    std::vector<const char*> paths;
    for (const auto& f : files) paths.push_back(f.c_str());
    return cabinet::CreateCabinet(static_cast<int>(paths.size()), paths.data(), target.c_str()) == 1;
  };
  services_.main_window = [this](const std::string& document, const CMessageTable& catalog) {
    CMainWindow window(catalog, *prompt_, document);
    if (window.Init() != 0) return;
    prompt_->RunWindow("main", [&] { window.exec(); });
  };
}

StartupWindows::~StartupWindows() = default;

}  // namespace vel::app
