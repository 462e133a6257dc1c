// The certificate selection window: a modal dialog that lists the candidates
// of an X509Context and returns the one the user selects.
#pragma once

#include <QDialog>
#include <vector>

#include "cryptolib/ui/cert_list_model.h"
#include "cryptolib/ui/lib_window.h"
#include "cryptolib/x509_context.h"

class QPushButton;
class QTreeWidget;

namespace vel::crypto::ui {

class CertListDialog : public QDialog {
 public:
  // Shows `rows`; `candidates` (the same order) are what the view button opens.
  CertListDialog(const std::vector<CertListRow>& rows, std::vector<CertPtr> candidates);

  // The highlighted row, -1 when none.
  int HighlightedRow() const;
  // The row accepted by Select; -1 before that.
  int chosen_row() const { return chosen_row_; }

  QTreeWidget* list() const { return list_; }
  QPushButton* view_button() const { return view_button_; }
  QPushButton* select_button() const { return select_button_; }
  QPushButton* cancel_button() const { return cancel_button_; }

 private:
  void OnView();
  void OnSelect();

  WindowHead head_;
  std::vector<CertPtr> candidates_;
  int chosen_row_ = -1;
  QTreeWidget* list_ = nullptr;
  QPushButton* view_button_ = nullptr;
  QPushButton* select_button_ = nullptr;
  QPushButton* cancel_button_ = nullptr;
};

// Lets the user choose among context->candidates; callable from any thread
// (a worker waits while the GUI thread runs the dialog). The context's
// current certificate is released first. Select: the chosen candidate becomes
// the current certificate, the other candidates are released, the last error
// is 0 and the certificate is returned. Cancel or closing the window: none,
// last error 1223, the candidates left as they are. No Qt application: none
// with 120.
CertPtr ShowCertListWindow(X509Context* context);

}  // namespace vel::crypto::ui
