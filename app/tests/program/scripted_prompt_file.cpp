#include "app/tests/program/scripted_prompt_file.h"

#include <cstdlib>
#include <fstream>

namespace vel::test {

namespace {

using app::FileDialogAnswer;
using app::FileDialogRequest;
using app::ScriptedPrompt;

// A scripted prompt that also appends each request to a file, as it comes.
class LoggedPrompt : public ScriptedPrompt {
 public:
  explicit LoggedPrompt(std::string log) : log_(std::move(log)) {}

  int ShowMessage(int id, const std::string& text, const std::string& caption, uint32_t style) override {
    const int answer = ScriptedPrompt::ShowMessage(id, text, caption, style);
    LogLast();
    return answer;
  }
  std::optional<FileDialogAnswer> AskSavePath(const FileDialogRequest& request) override {
    auto answer = ScriptedPrompt::AskSavePath(request);
    LogLast();
    return answer;
  }
  std::optional<FileDialogAnswer> AskOpenPath(const FileDialogRequest& request) override {
    auto answer = ScriptedPrompt::AskOpenPath(request);
    LogLast();
    return answer;
  }
  void RunWindow(const std::string& name, const std::function<void()>& run) override {
    ScriptedPrompt::RunWindow(name, run);
    LogLast();
  }

 private:
  void LogLast() const {
    if (log_.empty()) return;
    const Shown& s = shown().back();
    auto flat = [](std::string t) {
      for (char& c : t)
        if (c == '\n' || c == '\t' || c == '\r') c = ' ';
      return t;
    };
    std::ofstream(log_, std::ios::app) << s.kind << '\t' << s.id << '\t' << flat(s.text) << '\t'
                                       << flat(s.caption) << '\t' << s.style << '\n';
  }

  std::string log_;
};

}  // namespace

std::unique_ptr<ScriptedPrompt> ScriptedPromptFromEnvironment() {
  const char* script = std::getenv("VELDOC_PROMPT_SCRIPT");
  if (!script) return nullptr;
  const char* log = std::getenv("VELDOC_PROMPT_LOG");
  auto p = std::make_unique<LoggedPrompt>(log ? log : "");
  std::ifstream in(script);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    if (line == "cancel") {
      p->QueueFileAnswer(std::nullopt);
    } else if (line.rfind("file:", 0) == 0) {
      p->QueueFileAnswer(FileDialogAnswer{line.substr(5), false});
    } else if (line.rfind("file+ext:", 0) == 0) {
      p->QueueFileAnswer(FileDialogAnswer{line.substr(9), true});
    } else {
      p->QueueMessageAnswer(std::atoi(line.c_str()));
    }
  }
  return p;
}

}  // namespace vel::test
