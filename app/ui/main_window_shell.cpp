#include "app/ui/main_window_shell.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

namespace vel::app {

MainWindowShell::MainWindowShell(const CMessageTable& catalog, Prompt& prompt, const std::string& document,
                                 QWidget* parent)
    : QDialog(parent), catalog_(catalog), prompt_(prompt) {
  setWindowTitle(document.empty() ? QStringLiteral("Vellorum Sign")
                                  : QStringLiteral("Vellorum Sign - ") + QString::fromStdString(document));
  resize(900, 700);
  auto* layout = new QVBoxLayout(this);
  tabs_ = new QTabWidget(this);
  layout->addWidget(tabs_, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  std::string text;
  auto* close = new QPushButton(QString::fromStdString(catalog_.Get(text, 405, "Zamknij")), this);
  close->setObjectName("closeButton");
  connect(close, &QPushButton::clicked, this, [this] { OnCloseButton(); });
  buttons->addWidget(close);
  layout->addLayout(buttons);
}

void MainWindowShell::OnCloseButton() {
  std::string text;
  catalog_.Get(text, 354, "Czy chcesz zakończyć działanie programu?");
  if (prompt_.ShowMessage(354, text, windowTitle().toStdString(), MB_YESNO | MB_ICONQUESTION) == IDYES)
    done(0);
}

}  // namespace vel::app
