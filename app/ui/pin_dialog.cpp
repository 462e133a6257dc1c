#include "app/ui/pin_dialog.h"

#include <openssl/crypto.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QThread>
#include <QVBoxLayout>
#include <algorithm>

namespace vel::app {

// Above the waiting animation, which runs while a key is used.
PinDialog::PinDialog(const PinTexts& texts, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowStaysOnTopHint) {
  setObjectName("pin_dialog");
  setWindowTitle(QString::fromStdString(texts.title));
  setModal(true);
  auto* layout = new QVBoxLayout(this);
  auto* question = new QLabel(QString::fromStdString(texts.question), this);
  question->setObjectName("question");
  layout->addWidget(question);
  if (!texts.certificate.empty()) {
    auto* certificate = new QLabel(QString::fromStdString(texts.certificate), this);
    certificate->setObjectName("certificate");
    layout->addWidget(certificate);
  }
  if (!texts.warning.empty()) {
    auto* warning = new QLabel(QString::fromStdString(texts.warning), this);
    warning->setObjectName("warning");
    warning->setStyleSheet("color: #b00000; font-weight: bold;");
    layout->addWidget(warning);
  }
  auto* field = new QLabel(QString::fromStdString(texts.field), this);
  layout->addWidget(field);
  entry_ = new QLineEdit(this);
  entry_->setObjectName("pin");
  entry_->setEchoMode(QLineEdit::Password);
  // No input method may see or keep the text.
  entry_->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhSensitiveData | Qt::ImhNoPredictiveText);
  field->setBuddy(entry_);
  layout->addWidget(entry_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->button(QDialogButtonBox::Ok)->setText(QString::fromStdString(texts.ok));
  buttons->button(QDialogButtonBox::Ok)->setObjectName("ok");
  buttons->button(QDialogButtonBox::Cancel)->setText(QString::fromStdString(texts.cancel));
  buttons->button(QDialogButtonBox::Cancel)->setObjectName("cancel");
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
  setMinimumWidth(360);
  entry_->setFocus();
}

PinDialog::~PinDialog() { WipeEntry(nullptr); }

void PinDialog::WipeEntry(std::string* out) {
  QString text = entry_->text();
  // The entry lets go of its copy and its undo steps; ours is then the only
  // one, so overwriting it overwrites the characters typed.
  entry_->setText(QString());
  if (out != nullptr) {
    QByteArray utf8 = text.toUtf8();
    out->assign(utf8.constData(), static_cast<size_t>(utf8.size()));
    OPENSSL_cleanse(utf8.data(), static_cast<size_t>(utf8.size()));
  }
  if (!text.isEmpty()) std::fill_n(text.data(), text.size(), QChar(u'\0'));
}

bool PinDialog::Ask(std::string* pin) {
  // The signing flow shows a wait cursor; typing a PIN is not waiting.
  QApplication::setOverrideCursor(Qt::ArrowCursor);
  raise();
  activateWindow();
  const bool ok = exec() == QDialog::Accepted;
  QApplication::restoreOverrideCursor();
  WipeEntry(ok ? pin : nullptr);
  return ok;
}

void InstallPinDialog(uint32_t lang_id) {
  platform::SetPinCallback([lang_id](const platform::PinRequest& request, std::string* pin) {
    bool ok = false;
    const auto ask = [&] {
      PinDialog dialog(PinTextsFor(request, lang_id), QApplication::activeWindow());
      ok = dialog.Ask(pin);
    };
    if (QThread::currentThread() == qApp->thread())
      ask();
    else
      QMetaObject::invokeMethod(qApp, ask, Qt::BlockingQueuedConnection);
    return ok;
  });
}

}  // namespace vel::app
