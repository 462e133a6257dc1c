// The printer-job mode's window: the text "Generating KDOC file...", a progress
// bar that steps while the job is awaited and runs busy while another job holds
// the printer's lock, and a Cancel button.
#pragma once

#include <QDialog>

#include "app/message_catalog.h"
#include "app/printer_job.h"

class QProgressBar;

namespace vel::app {

class CSplashDialog : public QDialog, public PrinterJobView {
 public:
  explicit CSplashDialog(const CMessageTable& catalog, QWidget* parent = nullptr);

  bool Wait(int ms, const std::string& what) override;
  void StepProgress() override;

 private:
  QProgressBar* progress_;
  bool cancelled_ = false;
};

}  // namespace vel::app
