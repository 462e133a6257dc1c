// The certificate viewer: a modeless window with the General, Details and
// Certification path pages. It keeps its own copy of what it shows (the
// certificate is shared, immutable), so the caller's objects may go at once.
#pragma once

#include <QWidget>

#include "cryptolib/status.h"
#include "cryptolib/ui/cert_view_model.h"
#include "cryptolib/ui/lib_window.h"
#include "cryptolib/x509_context.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QTreeWidget;

namespace vel::crypto::ui {

class CertViewWindow : public QWidget {
 public:
  // Built on the GUI thread from a model whose status is 0.
  explicit CertViewWindow(CertViewModel model);

  const CertViewModel& model() const { return model_; }
  QTabWidget* tabs() const { return tabs_; }
  QTreeWidget* subject_list() const { return subject_list_; }
  QTreeWidget* issuer_list() const { return issuer_list_; }
  QTreeWidget* details_list() const { return details_list_; }
  QPlainTextEdit* value_box() const { return value_box_; }
  QTreeWidget* path_tree() const { return path_tree_; }
  QPushButton* close_button() const { return close_button_; }

 private:
  QWidget* MakeGeneralPage();
  QWidget* MakeDetailsPage();
  QWidget* MakePathPage();
  void ShowDetailValue();
  void OpenPathItem();

  CertViewModel model_;
  WindowHead head_;
  QTabWidget* tabs_ = nullptr;
  QTreeWidget* subject_list_ = nullptr;
  QTreeWidget* issuer_list_ = nullptr;
  QLabel* not_before_ = nullptr;
  QLabel* not_after_ = nullptr;
  QLabel* serial_ = nullptr;
  QTreeWidget* details_list_ = nullptr;
  QPlainTextEdit* value_box_ = nullptr;
  QTreeWidget* path_tree_ = nullptr;
  QPushButton* close_button_ = nullptr;
};

// Opens a viewer for `certificate` from any thread; the window opens on the
// GUI thread and the call does not wait for it to close. 0; the status that
// keeps the certificate from being shown (13 for a certificate policy the
// viewer cannot read); LIB_E_NO_CERTIFICATE without a certificate; 120 when
// the process has no Qt application.
LibraryErrorCode ShowCertViewWindow(const CertPtr& certificate);
// The same for the context's current certificate (the second argument is not used).
LibraryErrorCode ShowCertViewWindow(X509Context* context, void* unused);

}  // namespace vel::crypto::ui
