// The XML signer window: a modeless window with the General, Signed
// Attributes and Unsigned Attributes pages of one XAdES signature, each a
// list of rows with the selected row's full value below it, and buttons that
// open the signer's certificate and, for a time-stamp or counter-signature
// row, a window for that signature. It keeps its own copy of the signature
// and its rows, so the document that opened it may go at once.
#pragma once

#include <QWidget>
#include <cstdint>
#include <span>
#include <string_view>

#include "cryptolib/ui/lib_window.h"
#include "xades/ui/xml_signer_model.h"

class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QTreeWidget;

namespace vel::xades::ui {

class XmlSignerWindow : public QWidget {
 public:
  enum Page { kGeneralPage = 0, kSignedPage = 1, kUnsignedPage = 2 };

  // Built on the GUI thread from a model whose status is 0.
  explicit XmlSignerWindow(XmlSignerInfoModel model);

  const XmlSignerInfoModel& model() const { return model_; }
  QTabWidget* tabs() const { return tabs_; }
  QTreeWidget* list(Page page) const { return pages_[page].list; }
  QPlainTextEdit* value_box(Page page) const { return pages_[page].value_box; }
  QPushButton* show_signature_button() const { return show_signature_; }
  QPushButton* show_certificate_button() const { return show_certificate_; }
  QPushButton* close_button() const { return close_; }

  // Show Signature: a window for the selected time stamp's signer or
  // counter-signature; nothing for no selection or another row.
  void ShowSelectedSignature();

 private:
  struct PageWidgets {
    QTreeWidget* list = nullptr;
    QPlainTextEdit* value_box = nullptr;
  };
  QWidget* MakePage(Page page, uint32_t first_label, int name_width, int value_width);
  const std::vector<XmlSignerRow>& Rows(Page page) const;
  void ShowValue(Page page);

  XmlSignerInfoModel model_;
  crypto::ui::WindowHead head_;
  QTabWidget* tabs_ = nullptr;
  PageWidgets pages_[3];
  QPushButton* show_signature_ = nullptr;
  QPushButton* show_certificate_ = nullptr;
  QPushButton* close_ = nullptr;
};

// Opens a window from any thread; it opens on the GUI thread and the call
// does not wait for it to close. 0; 13 when the copy is not a signature
// document; 120 when the process has no Qt application.
uint32_t ShowXmlSignerWindow(std::string_view signature_xml, std::span<const uint8_t> certificate);

// Makes ShowXmlSignerInfo open this window (xades/signer_window.h). Call once
// the QApplication exists.
void InstallXmlSignerWindow();

}  // namespace vel::xades::ui
