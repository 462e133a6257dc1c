// The certificate viewer window.
#include "cryptolib/ui/cert_view_window.h"

#include <QApplication>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <memory>
#include <utility>

#include "cryptolib/lib_strings.h"
#include "platform/win32_error.h"

namespace vel::crypto::ui {
namespace {

QString Label(uint32_t id) { return QString::fromUtf8(GetLibString(id)); }

QTreeWidget* MakeReportList(const WindowHead& head, uint32_t label0, uint32_t label1,
                            QWidget* parent) {
  QTreeWidget* list = MakeRowList(head, parent, {Label(label0), Label(label1)});
  list->setColumnWidth(0, 130);
  list->setColumnWidth(1, 177);
  return list;
}

void FillNameList(QTreeWidget* list, const std::vector<NameRow>& rows) {
  for (const NameRow& row : rows)
    new QTreeWidgetItem(list, QStringList{Text(row.name), Text(row.value)});
  list->resizeColumnToContents(0);
  list->resizeColumnToContents(1);
}

QGroupBox* MakeGroup(const WindowHead& head, uint32_t label, QWidget* parent) {
  auto* group = new QGroupBox(Label(label), parent);
  SetWndFont(head, group);
  return group;
}

QLabel* MakeStatic(const WindowHead& head, const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  SetWndFont(head, label);
  label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  return label;
}

// Opens a viewer on the GUI thread. While a modal window (the certificate
// selection) runs, the viewer is made its transient child so that the modal
// window does not block it; it still outlives that window.
void OpenOnGuiThread(CertViewModel model) {
  auto* window = new CertViewWindow(std::move(model));
  ShowModeless(window);
}

}  // namespace

CertViewWindow::CertViewWindow(CertViewModel model)
    : QWidget(nullptr, kModelessWindowFlags),
      model_(std::move(model)),
      head_(MakeWindowHead()) {
  SetWndFont(head_, this);
  setWindowTitle(Label(2));

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  tabs_ = new QTabWidget(this);
  tabs_->setObjectName(QStringLiteral("CertViewTab"));
  SetWndFont(head_, tabs_);
  tabs_->addTab(MakeGeneralPage(), Label(3));
  tabs_->addTab(MakeDetailsPage(), Label(4));
  tabs_->addTab(MakePathPage(), Label(5));
  layout->addWidget(tabs_, 1);

  // The strip below the pages with the Close button at its right.
  auto* strip = new QWidget(this);
  strip->setFixedHeight(40);
  auto* strip_layout = new QHBoxLayout(strip);
  strip_layout->setContentsMargins(10, 7, 10, 8);
  strip_layout->addStretch(1);
  close_button_ = new QPushButton(Label(17), strip);
  SetWndFont(head_, close_button_);
  close_button_->setMinimumSize(110, 25);
  strip_layout->addWidget(close_button_);
  layout->addWidget(strip);
  connect(close_button_, &QPushButton::clicked, this, &QWidget::close);

  tabs_->setCurrentIndex(0);
  const QSize hint = sizeHint();
  resize(std::max(420, hint.width()), std::max(480, hint.height()));
}

QWidget* CertViewWindow::MakeGeneralPage() {
  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(5, 5, 5, 5);
  layout->setSpacing(5);

  const auto add_name_group = [&](uint32_t group_label, uint32_t label0, uint32_t label1,
                                  const std::vector<NameRow>& rows, QTreeWidget** list) {
    QGroupBox* group = MakeGroup(head_, group_label, page);
    auto* group_layout = new QVBoxLayout(group);
    *list = MakeReportList(head_, label0, label1, group);
    (*list)->setFixedHeight(110);
    FillNameList(*list, rows);
    group_layout->addWidget(*list);
    layout->addWidget(group);
  };
  add_name_group(6, 7, 8, model_.subject, &subject_list_);
  add_name_group(9, 10, 11, model_.issuer, &issuer_list_);

  QGroupBox* validity = MakeGroup(head_, 12, page);
  auto* validity_layout = new QHBoxLayout(validity);
  validity_layout->setContentsMargins(7, 4, 7, 4);
  not_before_ = MakeStatic(head_, Text(model_.not_before), validity);
  not_after_ = MakeStatic(head_, Text(model_.not_after), validity);
  validity_layout->addWidget(MakeStatic(head_, Label(13), validity));
  validity_layout->addWidget(not_before_, 1);
  validity_layout->addWidget(MakeStatic(head_, Label(14), validity));
  validity_layout->addWidget(not_after_, 1);
  layout->addWidget(validity);

  QGroupBox* serial = MakeGroup(head_, 18, page);
  auto* serial_layout = new QHBoxLayout(serial);
  serial_layout->setContentsMargins(7, 4, 7, 4);
  serial_ = MakeStatic(head_, Text(model_.serial), serial);
  serial_layout->addWidget(serial_, 1);
  layout->addWidget(serial);
  layout->addStretch(1);
  return page;
}

QWidget* CertViewWindow::MakeDetailsPage() {
  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(5, 5, 5, 5);
  QGroupBox* group = MakeGroup(head_, 32, page);
  auto* group_layout = new QVBoxLayout(group);
  details_list_ = MakeReportList(head_, 33, 34, group);
  details_list_->setMinimumHeight(210);
  for (const DetailRow& row : model_.details)
    new QTreeWidgetItem(details_list_, QStringList{Text(row.label), OneLine(row.text)});
  details_list_->resizeColumnToContents(0);
  details_list_->resizeColumnToContents(1);
  group_layout->addWidget(details_list_, 1);

  value_box_ = new QPlainTextEdit(group);
  SetWndFont(head_, value_box_);
  value_box_->setReadOnly(true);
  value_box_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  value_box_->setFixedHeight(130);
  group_layout->addWidget(value_box_);
  layout->addWidget(group);

  connect(details_list_, &QTreeWidget::currentItemChanged, this, [this] { ShowDetailValue(); });
  connect(details_list_, &QTreeWidget::itemClicked, this, [this] { ShowDetailValue(); });
  return page;
}

QWidget* CertViewWindow::MakePathPage() {
  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(5, 5, 5, 5);
  QGroupBox* group = MakeGroup(head_, 35, page);
  auto* group_layout = new QVBoxLayout(group);
  path_tree_ = new QTreeWidget(group);
  SetWndFont(head_, path_tree_);
  path_tree_->setHeaderHidden(true);
  path_tree_->setColumnCount(1);
  path_tree_->setMinimumHeight(210);
  path_tree_->setSelectionMode(QAbstractItemView::SingleSelection);
  path_tree_->setMouseTracking(true);
  path_tree_->setExpandsOnDoubleClick(false);
  QTreeWidgetItem* parent = nullptr;
  QTreeWidgetItem* last = nullptr;
  for (size_t i = 0; i < model_.path.size(); ++i) {
    const QStringList text{Text(model_.path[i].text)};
    last = parent == nullptr ? new QTreeWidgetItem(path_tree_, text)
                             : new QTreeWidgetItem(parent, text);
    last->setData(0, Qt::UserRole, static_cast<qulonglong>(i));
    parent = last;
  }
  path_tree_->expandAll();
  if (last != nullptr) {
    path_tree_->setCurrentItem(last);
    path_tree_->scrollToItem(last);
  }
  group_layout->addWidget(path_tree_, 1);
  layout->addWidget(group);
  connect(path_tree_, &QTreeWidget::itemDoubleClicked, this, [this] { OpenPathItem(); });
  return page;
}

void CertViewWindow::ShowDetailValue() {
  if (details_list_->topLevelItemCount() == 0) return;
  int row = details_list_->currentItem() != nullptr
                ? details_list_->indexOfTopLevelItem(details_list_->currentItem())
                : -1;
  if (row < 0) {
    row = 0;
    details_list_->setCurrentItem(details_list_->topLevelItem(0));
  }
  value_box_->setPlainText(Lines(DetailValueText(model_, static_cast<size_t>(row))));
}

void CertViewWindow::OpenPathItem() {
  const QTreeWidgetItem* item = path_tree_->currentItem();
  if (item == nullptr) return;
  const size_t index = item->data(0, Qt::UserRole).toULongLong();
  if (CertPtr other = PathItemToOpen(model_, index)) ShowCertViewWindow(other);
}

LibraryErrorCode ShowCertViewWindow(const CertPtr& certificate) {
  if (!certificate) return LIB_E_NO_CERTIFICATE;
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr)
    return platform::kErrorCallNotImplemented;
  // The rows are made here, on the caller's thread, so that a certificate
  // the viewer cannot show is reported to the caller.
  auto model = std::make_shared<CertViewModel>(BuildCertViewModel(certificate));
  if (model->status != 0) return model->status;
  if (!RunOnGuiThread([model] { OpenOnGuiThread(std::move(*model)); }, false))
    return platform::kErrorCallNotImplemented;
  return 0;
}

LibraryErrorCode ShowCertViewWindow(X509Context* context, void* /*unused*/) {
  if (context == nullptr) return platform::kErrorInvalidParameter;
  return ShowCertViewWindow(context->certificate);
}

}  // namespace vel::crypto::ui
