// The CMS signer window.
#include "cryptolib/ui/signer_info_window.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QTextDocument>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <memory>
#include <utility>

#include "cryptolib/cms_signer_tree.h"
#include "cryptolib/cms_signer_window.h"
#include "cryptolib/ui/cert_view_window.h"
#include "cryptolib/ui/signer_info_labels.h"
#include "platform/win32_error.h"

namespace vel::crypto::ui {
namespace {

QString Label(uint32_t id) { return QString::fromUtf8(GetCmsSignerLabel(id)); }

// Opens a window on the GUI thread. While a modal window runs, the new one
// is made its transient child so that the modal window does not block it.
void OpenOnGuiThread(std::vector<uint8_t> signer_info, SignerInfoModel model,
                     platform::CertPtr certificate) {
  auto* window =
      new SignerInfoWindow(std::move(signer_info), std::move(model), std::move(certificate));
  ShowModeless(window);
}

}  // namespace

QFont CmsSignerFixedFont() {
  QFont font;
  font.setFamilies({QStringLiteral("Courier New"), QStringLiteral("Liberation Mono"),
                    QStringLiteral("DejaVu Sans Mono")});
  font.setStyleHint(QFont::TypeWriter, QFont::PreferDefault);
  font.setFixedPitch(true);
  font.setPixelSize(12);
  font.setWeight(QFont::Normal);
  return font;
}

SignerInfoWindow::SignerInfoWindow(std::vector<uint8_t> signer_info, SignerInfoModel model,
                                   platform::CertPtr certificate)
    : QWidget(nullptr, kModelessWindowFlags),
      signer_info_(std::move(signer_info)),
      model_(std::move(model)),
      certificate_(std::move(certificate)),
      head_(MakeWindowHead()),
      fixed_font_(CmsSignerFixedFont()) {
  SetWndFont(head_, this);
  setWindowTitle(Label(2));

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  tabs_ = new QTabWidget(this);
  tabs_->setObjectName(QStringLiteral("SignerInfoTab"));
  SetWndFont(head_, tabs_);
  tabs_->addTab(MakePage(kGeneralPage, model_.general, 201, fixed_font_), Label(3));
  tabs_->addTab(MakePage(kSignedPage, model_.signed_attributes, 301, head_.font), Label(4));
  tabs_->addTab(MakePage(kUnsignedPage, model_.unsigned_attributes, 401, fixed_font_), Label(5));
  layout->addWidget(tabs_, 1);

  // The strip below the pages with the buttons at its right.
  std::vector<QPushButton*> buttons;
  layout->addWidget(MakeButtonStrip(head_, this, {Label(8), Label(7), Label(6)}, &buttons));
  show_signature_ = buttons[0];
  show_certificate_ = buttons[1];
  close_ = buttons[2];
  show_signature_->hide();

  connect(close_, &QPushButton::clicked, this, &QWidget::close);
  connect(show_certificate_, &QPushButton::clicked, this,
          [this] { ShowCertViewWindow(certificate_); });
  connect(show_signature_, &QPushButton::clicked, this, [this] { ShowSelectedTimeStamp(); });
  // Show signature belongs to the Unsigned attributes page only.
  connect(tabs_, &QTabWidget::currentChanged, this,
          [this](int index) { show_signature_->setVisible(index == kUnsignedPage); });

  tabs_->setCurrentIndex(kGeneralPage);
  const QSize hint = sizeHint();
  resize(std::max(420, hint.width()), std::max(480, hint.height()));
}

QWidget* SignerInfoWindow::MakePage(Page page, const std::vector<SignerRow>& rows,
                                    uint32_t first_label, const QFont& value_font) {
  auto* widget = new QWidget;
  auto* layout = new QVBoxLayout(widget);
  layout->setContentsMargins(5, 5, 5, 5);
  auto* group = new QGroupBox(Label(first_label), widget);
  SetWndFont(head_, group);
  auto* group_layout = new QVBoxLayout(group);

  QTreeWidget* list = MakeSignerRowList(head_, group, Label(first_label + 1), Label(first_label + 2));
  for (const SignerRow& row : rows)
    new QTreeWidgetItem(list, QStringList{Text(row.label), OneLine(row.shown)});
  // The name column keeps its width unless a label needs more room.
  list->resizeColumnToContents(0);
  list->setColumnWidth(0, std::max(130, list->columnWidth(0) + 8));
  list->setColumnWidth(1, 177);
  group_layout->addWidget(list, 1);

  auto* value_box = new QPlainTextEdit(group);
  value_box->setFont(value_font);
  value_box->setReadOnly(true);
  value_box->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  value_box->setFixedHeight(130);
  if (value_font.fixedPitch()) {
    // A hex dump line (16 bytes, 50 characters) fits without wrapping.
    const int line = QFontMetrics(value_font).horizontalAdvance(QString(50, QLatin1Char('0')));
    const int margins = 2 * value_box->frameWidth() +
                        2 * static_cast<int>(value_box->document()->documentMargin()) + 4;
    value_box->setMinimumWidth(line + margins + value_box->verticalScrollBar()->sizeHint().width());
  }
  group_layout->addWidget(value_box);
  layout->addWidget(group);

  pages_[page] = PageWidgets{list, value_box};
  connect(list, &QTreeWidget::currentItemChanged, this, [this, page] { ShowValue(page); });
  connect(list, &QTreeWidget::itemClicked, this, [this, page] { ShowValue(page); });
  return widget;
}

const std::vector<SignerRow>& SignerInfoWindow::Rows(Page page) const {
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

void SignerInfoWindow::ShowValue(Page page) {
  QTreeWidget* list = pages_[page].list;
  QTreeWidgetItem* item = list->currentItem();
  if (item == nullptr) return;
  const int row = list->indexOfTopLevelItem(item);
  const std::vector<SignerRow>& rows = Rows(page);
  if (row < 0 || static_cast<size_t>(row) >= rows.size()) return;
  pages_[page].value_box->setPlainText(Lines(rows[static_cast<size_t>(row)].value));
}

void SignerInfoWindow::ShowSelectedTimeStamp() {
  QTreeWidget* list = pages_[kUnsignedPage].list;
  QTreeWidgetItem* item = list->currentItem();
  if (item == nullptr) return;
  const int row = list->indexOfTopLevelItem(item);
  if (row < 0) return;
  const std::unique_ptr<CmsSignerNode> tree = TimeStampTreeForRow(model_, static_cast<size_t>(row));
  if (!tree) return;
  // The new window copies the authority's SignerInfo; the tree may go.
  ShowCmsSignerWindow(tree->signer_info(), tree->GetCertificateContext());
}

LibraryErrorCode ShowCmsSignerWindow(std::span<const uint8_t> signer_info,
                                     const platform::CertPtr& certificate) {
  if (!certificate) return platform::kErrorInvalidData;
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr)
    return platform::kErrorCallNotImplemented;
  // The rows are made here, on the caller's thread, so that a signer the
  // window cannot show is reported to the caller.
  struct Start {
    std::vector<uint8_t> signer_info;
    SignerInfoModel model;
    platform::CertPtr certificate;
  };
  auto start = std::make_shared<Start>();
  start->signer_info.assign(signer_info.begin(), signer_info.end());
  start->model = BuildSignerInfoModel(start->signer_info);
  if (start->model.status != 0) return start->model.status;
  start->certificate = certificate;
  if (!RunOnGuiThread(
          [start] {
            OpenOnGuiThread(std::move(start->signer_info), std::move(start->model),
                            std::move(start->certificate));
          },
          false))
    return platform::kErrorCallNotImplemented;
  return 0;
}

void InstallCmsSignerWindow() { SetCmsSignerWindowHandler(&ShowCmsSignerWindow); }

}  // namespace vel::crypto::ui
