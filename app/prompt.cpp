#include "app/prompt.h"

#include <cstdlib>
#include <fstream>

namespace vel::app {

int ScriptedPrompt::ShowMessage(int id, const std::string& text, const std::string& caption,
                                uint32_t style) {
  Shown s{"message", id, text, caption, style};
  shown_.push_back(s);
  Log(s);
  if (!message_answers_.empty()) {
    int a = message_answers_.front();
    message_answers_.pop_front();
    return a;
  }
  const uint32_t buttons = style & 0xF;
  return (buttons == MB_YESNO || buttons == MB_YESNOCANCEL) ? IDYES : IDOK;
}

std::optional<FileDialogAnswer> ScriptedPrompt::NextFileAnswer(const std::string& kind,
                                                               const FileDialogRequest& r) {
  Shown s{kind, 0, r.default_name, r.filter, r.flags};
  shown_.push_back(s);
  Log(s);
  if (file_answers_.empty()) return std::nullopt;
  auto a = std::move(file_answers_.front());
  file_answers_.pop_front();
  return a;
}

std::optional<FileDialogAnswer> ScriptedPrompt::AskSavePath(const FileDialogRequest& request) {
  return NextFileAnswer("save", request);
}

std::optional<FileDialogAnswer> ScriptedPrompt::AskOpenPath(const FileDialogRequest& request) {
  return NextFileAnswer("open", request);
}

void ScriptedPrompt::RunWindow(const std::string& name, const std::function<void()>&) {
  Shown s{"window", 0, name, {}, 0};
  shown_.push_back(s);
  Log(s);
}

void ScriptedPrompt::Log(const Shown& s) const {
  if (log_path_.empty()) return;
  std::ofstream out(log_path_, std::ios::app);
  auto flat = [](std::string t) {
    for (char& c : t)
      if (c == '\n' || c == '\t' || c == '\r') c = ' ';
    return t;
  };
  out << s.kind << '\t' << s.id << '\t' << flat(s.text) << '\t' << flat(s.caption) << '\t' << s.style
      << '\n';
}

std::unique_ptr<ScriptedPrompt> ScriptedPrompt::FromEnvironment() {
  const char* script = std::getenv("VELDOC_PROMPT_SCRIPT");
  if (!script) return nullptr;
  auto p = std::make_unique<ScriptedPrompt>();
  if (const char* log = std::getenv("VELDOC_PROMPT_LOG")) p->log_path_ = log;
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

}  // namespace vel::app
