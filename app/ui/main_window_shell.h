// The program's top-level window, in the state it has before any document
// page is built: its title, an empty tab host and the close button.
#pragma once

#include <QDialog>

#include "app/message_catalog.h"
#include "app/prompt.h"

class QTabWidget;

namespace vel::app {

class MainWindowShell : public QDialog {
 public:
  MainWindowShell(const CMessageTable& catalog, Prompt& prompt, const std::string& document,
                  QWidget* parent = nullptr);

  QTabWidget* tabs() const { return tabs_; }

 private:
  void OnCloseButton();

  const CMessageTable& catalog_;
  Prompt& prompt_;
  QTabWidget* tabs_;
};

}  // namespace vel::app
