// The XML signer window.
#include "xades/ui/xml_signer_window.h"

#include <QApplication>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTextOption>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <memory>
#include <utility>

#include "cryptolib/ui/cert_view_window.h"
#include "platform/cert_store.h"
#include "platform/win32_error.h"
#include "xades/signer_window.h"
#include "xades/ui/xml_signer_labels.h"

namespace vel::xades::ui {
namespace {

using crypto::ui::SetWndFont;

QString Label(uint32_t id) { return QString::fromUtf8(GetXmlWndLabel(id)); }

}  // namespace

XmlSignerWindow::XmlSignerWindow(XmlSignerInfoModel model)
    : QWidget(nullptr, crypto::ui::kModelessWindowFlags),
      model_(std::move(model)),
      head_(crypto::ui::MakeWindowHead()) {
  SetWndFont(head_, this);
  setWindowTitle(Label(2));

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  tabs_ = new QTabWidget(this);
  tabs_->setObjectName(QStringLiteral("SignerInfoTab"));
  SetWndFont(head_, tabs_);
  tabs_->addTab(MakePage(kGeneralPage, 201, 180, 180), Label(3));
  tabs_->addTab(MakePage(kSignedPage, 301, 130, 200), Label(4));
  tabs_->addTab(MakePage(kUnsignedPage, 401, 130, 200), Label(5));
  layout->addWidget(tabs_, 1);

  // The strip below the pages with the buttons at its right.
  std::vector<QPushButton*> buttons;
  layout->addWidget(crypto::ui::MakeButtonStrip(head_, this, {Label(7), Label(8), Label(6)}, &buttons));
  show_signature_ = buttons[0];
  show_certificate_ = buttons[1];
  close_ = buttons[2];
  show_signature_->hide();

  connect(close_, &QPushButton::clicked, this, &QWidget::close);
  connect(show_certificate_, &QPushButton::clicked, this, [this] {
    // A certificate that does not decode opens nothing.
    if (platform::CertPtr cert = platform::CertContext::FromDer(model_.certificate))
      crypto::ui::ShowCertViewWindow(cert);
  });
  connect(show_signature_, &QPushButton::clicked, this, [this] { ShowSelectedSignature(); });
  // Show Signature belongs to the Unsigned Attributes page only.
  connect(tabs_, &QTabWidget::currentChanged, this,
          [this](int index) { show_signature_->setVisible(index == kUnsignedPage); });

  tabs_->setCurrentIndex(kGeneralPage);
  const QSize hint = sizeHint();
  resize(std::max(420, hint.width()), std::max(480, hint.height()));
}

QWidget* XmlSignerWindow::MakePage(Page page, uint32_t first_label, int name_width,
                                   int value_width) {
  auto* widget = new QWidget;
  auto* layout = new QVBoxLayout(widget);
  layout->setContentsMargins(5, 5, 5, 5);
  auto* group = new QGroupBox(Label(first_label), widget);
  SetWndFont(head_, group);
  auto* group_layout = new QVBoxLayout(group);

  QTreeWidget* list = crypto::ui::MakeSignerRowList(head_, group, Label(first_label + 1),
                                                    Label(first_label + 2));
  for (const XmlSignerRow& row : Rows(page))
    new QTreeWidgetItem(list, QStringList{crypto::ui::OneLine(row.label), crypto::ui::OneLine(row.shown)});
  // The name column keeps its width unless a name needs more room.
  list->resizeColumnToContents(0);
  list->setColumnWidth(0, std::max(name_width, list->columnWidth(0) + 8));
  list->setColumnWidth(1, value_width);
  group_layout->addWidget(list, 1);

  auto* value_box = new QPlainTextEdit(group);
  SetWndFont(head_, value_box);
  value_box->setReadOnly(true);
  value_box->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  // Base64 values have no blanks: they wrap anywhere.
  value_box->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  value_box->setFixedHeight(130);
  group_layout->addWidget(value_box);
  layout->addWidget(group);

  pages_[page] = PageWidgets{list, value_box};
  connect(list, &QTreeWidget::currentItemChanged, this, [this, page] { ShowValue(page); });
  connect(list, &QTreeWidget::itemClicked, this, [this, page] { ShowValue(page); });
  return widget;
}

const std::vector<XmlSignerRow>& XmlSignerWindow::Rows(Page page) const {
  switch (page) {
    case kGeneralPage:
      return model_.general;
    case kSignedPage:
      return model_.signed_attributes;
    case kUnsignedPage:
      break;
  }
  return model_.unsigned_attributes;
}

// The row is found by its index in the list, which is its index in the model.
void XmlSignerWindow::ShowValue(Page page) {
  QTreeWidget* list = pages_[page].list;
  QTreeWidgetItem* item = list->currentItem();
  const int row = item != nullptr ? list->indexOfTopLevelItem(item) : -1;
  const std::vector<XmlSignerRow>& rows = Rows(page);
  if (row < 0 || static_cast<size_t>(row) >= rows.size()) {
    pages_[page].value_box->clear();
    return;
  }
  pages_[page].value_box->setPlainText(crypto::ui::Lines(rows[static_cast<size_t>(row)].value));
}

void XmlSignerWindow::ShowSelectedSignature() {
  QTreeWidget* list = pages_[kUnsignedPage].list;
  QTreeWidgetItem* item = list->currentItem();
  if (item == nullptr) return;
  const int row = list->indexOfTopLevelItem(item);
  if (row < 0) return;
  OpenSignatureForRow(model_, static_cast<size_t>(row));
}

uint32_t ShowXmlSignerWindow(std::string_view signature_xml, std::span<const uint8_t> certificate) {
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr)
    return platform::kErrorCallNotImplemented;
  // The rows are made here, on the caller's thread (where its XML library
  // state lives), so that a copy the window cannot show is reported to the
  // caller; the window gets only texts.
  auto model = std::make_shared<XmlSignerInfoModel>(BuildXmlSignerInfoModel(signature_xml, certificate));
  if (model->status != 0) return model->status;
  if (!crypto::ui::RunOnGuiThread(
          [model] { crypto::ui::ShowModeless(new XmlSignerWindow(std::move(*model))); }, false))
    return platform::kErrorCallNotImplemented;
  return 0;
}

void InstallXmlSignerWindow() { SetXmlSignerWindowHandler(&ShowXmlSignerWindow); }

}  // namespace vel::xades::ui
