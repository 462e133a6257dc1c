#include "app/prompt.h"

namespace vel::app {

int ScriptedPrompt::ShowMessage(int id, const std::string& text, const std::string& caption,
                                uint32_t style) {
  Shown s{"message", id, text, caption, style};
  shown_.push_back(s);
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
}

}  // namespace vel::app
