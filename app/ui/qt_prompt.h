// The prompt interface shown as Qt message boxes and file dialogs.
#pragma once

#include "app/prompt.h"

class QWidget;

namespace vel::app {

class QtPrompt : public Prompt {
 public:
  explicit QtPrompt(QWidget* owner = nullptr) : owner_(owner) {}
  void set_owner(QWidget* owner) { owner_ = owner; }

  int ShowMessage(int id, const std::string& text, const std::string& caption, uint32_t style) override;
  std::optional<FileDialogAnswer> AskSavePath(const FileDialogRequest& request) override;
  std::optional<FileDialogAnswer> AskOpenPath(const FileDialogRequest& request) override;
  void RunWindow(const std::string&, const std::function<void()>& run) override { run(); }

  // "Name|*.a;*.b|Other|*.c||" as Qt's "Name (*.a *.b);;Other (*.c)".
  static std::string QtFilter(const std::string& filter);

 private:
  QWidget* owner_;
};

}  // namespace vel::app
