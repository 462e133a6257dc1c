// The CMS signer window: a modeless window with the General, Signed
// attributes and Unsigned attributes pages, each a list of rows with the
// selected row's full value below it, and buttons that open the signer's
// certificate and, for a time-stamp row, a window for the time-stamp
// authority's signer. It keeps its own copy of the SignerInfo and its rows
// and shares the (immutable) certificate, so the signer tree that opened it
// may go at once.
#pragma once

#include <QFont>
#include <QWidget>
#include <cstdint>
#include <span>
#include <vector>

#include "cryptolib/status.h"
#include "cryptolib/ui/lib_window.h"
#include "cryptolib/ui/signer_info_model.h"
#include "platform/cert_store.h"

class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QTreeWidget;

namespace vel::crypto::ui {

class SignerInfoWindow : public QWidget {
 public:
  enum Page { kGeneralPage = 0, kSignedPage = 1, kUnsignedPage = 2 };

  // Built on the GUI thread from a model whose status is 0.
  SignerInfoWindow(std::vector<uint8_t> signer_info, SignerInfoModel model,
                   platform::CertPtr certificate);

  const std::vector<uint8_t>& signer_info() const { return signer_info_; }
  const SignerInfoModel& model() const { return model_; }
  const platform::CertPtr& certificate() const { return certificate_; }
  QTabWidget* tabs() const { return tabs_; }
  QTreeWidget* list(Page page) const { return pages_[page].list; }
  QPlainTextEdit* value_box(Page page) const { return pages_[page].value_box; }
  QPushButton* show_signature_button() const { return show_signature_; }
  QPushButton* show_certificate_button() const { return show_certificate_; }
  QPushButton* close_button() const { return close_; }

  // Show signature: a window for the signer of the selected Timestamp row's
  // token; nothing for no selection or another row.
  void ShowSelectedTimeStamp();

 private:
  struct PageWidgets {
    QTreeWidget* list = nullptr;
    QPlainTextEdit* value_box = nullptr;
  };
  QWidget* MakePage(Page page, const std::vector<SignerRow>& rows, uint32_t first_label,
                    const QFont& value_font);
  const std::vector<SignerRow>& Rows(Page page) const;
  void ShowValue(Page page);

  std::vector<uint8_t> signer_info_;
  SignerInfoModel model_;
  platform::CertPtr certificate_;
  WindowHead head_;
  QFont fixed_font_;
  QTabWidget* tabs_ = nullptr;
  PageWidgets pages_[3];
  QPushButton* show_signature_ = nullptr;
  QPushButton* show_certificate_ = nullptr;
  QPushButton* close_ = nullptr;
};

// The fixed-pitch font of the General and Unsigned attributes value boxes:
// a Courier-like face, 12 pixels, normal weight.
QFont CmsSignerFixedFont();

// Opens a signer window from any thread; the window opens on the GUI thread
// and the call does not wait for it to close. 0; 0x8009310B when the
// SignerInfo (or its issuer name) cannot be read; 13 without a certificate;
// 120 when the process has no Qt application.
LibraryErrorCode ShowCmsSignerWindow(std::span<const uint8_t> signer_info,
                                     const platform::CertPtr& certificate);

// Makes CmsSignerNode::ShowInfoWindow open this window
// (cryptolib/cms_signer_window.h). Call once the QApplication exists.
void InstallCmsSignerWindow();

}  // namespace vel::crypto::ui
