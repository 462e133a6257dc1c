// The program's main window laid out in the test process over the same file,
// at the size the display tests give the real one (960 by 760): where its
// controls are, in the window's coordinates, for clicks on the display.
#pragma once

#include <QApplication>
#include <QPoint>
#include <QTabBar>
#include <QTabWidget>
#include <QWidget>
#include <cstdint>
#include <filesystem>

#include "app/message_catalog.h"
#include "app/prompt.h"
#include "app/ui/main_window.h"

namespace vel::app::xvfb {

class LaidOutWindow {
 public:
  LaidOutWindow(const std::filesystem::path& file, uint32_t language)
      : catalog_(language), window_(catalog_, prompt_, file.string()) {
    ok_ = window_.Init() == 0;
    window_.resize(960, 760);
    window_.show();
    QApplication::processEvents();
  }
  ~LaidOutWindow() { window_.ResetViewer(); }
  LaidOutWindow(const LaidOutWindow&) = delete;
  LaidOutWindow& operator=(const LaidOutWindow&) = delete;

  bool ok() const { return ok_; }
  CMainWindow& window() { return window_; }

  // The centre of the control named `id`; (-1, -1) when there is none.
  QPoint Centre(const char* id) {
    QWidget* w = window_.findChild<QWidget*>(id);
    return w ? w->mapTo(&window_, w->rect().center()) : QPoint(-1, -1);
  }
  // A point on a check box's box: it takes clicks on its box and text only,
  // not across the whole row it spans.
  QPoint Box(const char* id) {
    QWidget* w = window_.findChild<QWidget*>(id);
    return w ? w->mapTo(&window_, QPoint(8, w->height() / 2)) : QPoint(-1, -1);
  }
  QPoint Tab(int index) {
    QTabBar* bar = window_.tabs()->tabBar();
    return bar->mapTo(&window_, bar->tabRect(index).center());
  }
  // Shows a tab, so that its controls are laid out.
  void ShowTab(int index) {
    window_.tabs()->setCurrentIndex(index);
    QApplication::processEvents();
  }

 private:
  CMessageTable catalog_;
  ScriptedPrompt prompt_;
  CMainWindow window_;
  bool ok_ = false;
};

}  // namespace vel::app::xvfb
