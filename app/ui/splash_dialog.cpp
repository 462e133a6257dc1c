#include "app/ui/splash_dialog.h"

#include <QDialogButtonBox>
#include <QEventLoop>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "app/viewer_app.h"

namespace vel::app {

CSplashDialog::CSplashDialog(const CMessageTable& catalog, QWidget* parent) : QDialog(parent) {
  setWindowTitle(QString::fromUtf8(kAppCaption));
  std::string text;
  catalog.Get(text, 423, "Trwa generowanie pliku KDOC ...");
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(QString::fromStdString(text), this));
  progress_ = new QProgressBar(this);
  progress_->setRange(0, 100);
  progress_->setTextVisible(false);
  layout->addWidget(progress_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  // Cancel, Esc and closing the window all end the wait.
  connect(this, &QDialog::rejected, this, [this] { cancelled_ = true; });
  layout->addWidget(buttons);
}

bool CSplashDialog::Wait(int ms, const std::string& what) {
  // While another job holds the printer, the bar runs busy: the wait has no end.
  if (what == "lock")
    progress_->setRange(0, 0);
  else if (progress_->maximum() == 0)
    progress_->setRange(0, 100);
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  connect(this, &QDialog::rejected, &loop, &QEventLoop::quit);
  if (!cancelled_) loop.exec();
  return !cancelled_;
}

void CSplashDialog::StepProgress() {
  if (progress_->maximum() == 0) progress_->setRange(0, 100);
  progress_->setValue(std::min(progress_->value() + 5, 100));
}

}  // namespace vel::app
