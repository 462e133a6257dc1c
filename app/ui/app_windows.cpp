#include "app/ui/app_windows.h"

#include "app/ui/main_window_shell.h"
#include "cabinet/cabinet.h"
#include "app/ui/qt_prompt.h"

namespace vel::app {

namespace {

// Shown by the printer-job mode, whose work this version does not do yet.
void PrinterJobNotAvailable(Prompt& prompt, const CMessageTable& catalog) {
  const bool en = catalog.GetLanguageId() == 1033;
  const std::string text = en ? "Signing printed documents is not available in this version of the program."
                              : "Podpisywanie drukowanych dokumentów nie jest dostępne w tej wersji programu.";
  prompt.ShowMessage(0, text, kAppCaption, MB_ICONHAND | MB_SYSTEMMODAL);
}

}  // namespace

StartupWindows::StartupWindows() {
  prompt_ = ScriptedPrompt::FromEnvironment();
  if (!prompt_) prompt_ = std::make_unique<QtPrompt>();
  services_.prompt = prompt_.get();
  services_.printer_job = [this](const std::string&, const CMessageTable& catalog) -> std::optional<std::string> {
    PrinterJobNotAvailable(*prompt_, catalog);
    return std::nullopt;
  };
  services_.create_cabinet = [](const std::vector<std::string>& files, const std::string& target) {
    std::vector<const char*> paths;
    for (const auto& f : files) paths.push_back(f.c_str());
    return cabinet::CreateCabinet(static_cast<int>(paths.size()), paths.data(), target.c_str()) == 1;
  };
  services_.main_window = [this](const std::string& document, const CMessageTable& catalog) {
    MainWindowShell window(catalog, *prompt_, document);
    prompt_->RunWindow("main", [&] { window.exec(); });
  };
}

StartupWindows::~StartupWindows() = default;

}  // namespace vel::app
