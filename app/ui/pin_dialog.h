// The PIN or password dialog: the texts of app/pin_texts.h over a masked
// entry with OK and Cancel.
#pragma once

#include <QDialog>
#include <cstdint>
#include <string>

#include "app/pin_texts.h"

class QLineEdit;

namespace vel::app {

class PinDialog : public QDialog {
 public:
  explicit PinDialog(const PinTexts& texts, QWidget* parent = nullptr);
  ~PinDialog() override;

  // Shows the dialog and waits. OK: true with the entry (UTF-8) in *pin, the
  // widget's copy wiped; Cancel or closed: false.
  bool Ask(std::string* pin);

 private:
  void WipeEntry(std::string* out);
  QLineEdit* entry_;
};

// Makes the dialog the process's PIN callback, in the language `lang_id`
// chooses. A request from another thread is shown on the GUI thread.
void InstallPinDialog(uint32_t lang_id);

}  // namespace vel::app
