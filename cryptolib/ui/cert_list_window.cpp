// The certificate selection window.
#include "cryptolib/ui/cert_list_window.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <utility>

#include "cryptolib/ui/cert_view_window.h"
#include "cryptolib/lib_strings.h"
#include "platform/win32_error.h"

namespace vel::crypto::ui {
namespace {

QString Label(uint32_t id) { return QString::fromUtf8(GetLibString(id)); }

}  // namespace

CertListDialog::CertListDialog(const std::vector<CertListRow>& rows,
                               std::vector<CertPtr> candidates)
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                           Qt::WindowStaysOnTopHint),
      head_(MakeWindowHead()),
      candidates_(std::move(candidates)) {
  SetWndFont(head_, this);
  setWindowTitle(Label(61));

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(5, 10, 5, 0);
  layout->setSpacing(5);

  list_ = MakeRowList(head_, this, {Label(62), Label(63), Label(64), Label(65)});
  list_->setMinimumHeight(170);
  const int widths[] = {130, 177, 87, 111};
  for (int c = 0; c < 4; ++c) list_->setColumnWidth(c, widths[c]);
  const QIcon icon = style()->standardIcon(QStyle::SP_FileIcon);
  for (const CertListRow& row : rows) {
    auto* item = new QTreeWidgetItem(
        list_, QStringList{Text(row.subject), Text(row.issuer), Text(row.serial),
                           Text(row.valid_to)});
    item->setIcon(0, icon);
  }
  // No row is highlighted until the user picks one.
  list_->setCurrentItem(nullptr);
  list_->clearSelection();
  layout->addWidget(list_, 1);

  // The strip across the bottom with the three buttons.
  auto* strip = new QWidget(this);
  strip->setFixedHeight(40);
  auto* strip_layout = new QHBoxLayout(strip);
  strip_layout->setContentsMargins(5, 7, 5, 10);
  const auto make_button = [&](uint32_t label, int width) {
    auto* button = new QPushButton(Label(label), strip);
    SetWndFont(head_, button);
    button->setAutoDefault(false);
    button->setMinimumSize(width, 23);
    return button;
  };
  view_button_ = make_button(66, 110);
  select_button_ = make_button(67, 70);
  cancel_button_ = make_button(68, 70);
  strip_layout->addWidget(view_button_);
  strip_layout->addStretch(1);
  strip_layout->addWidget(select_button_);
  strip_layout->addWidget(cancel_button_);
  layout->addWidget(strip);

  connect(view_button_, &QPushButton::clicked, this, [this] { OnView(); });
  connect(select_button_, &QPushButton::clicked, this, [this] { OnSelect(); });
  connect(cancel_button_, &QPushButton::clicked, this, &QDialog::reject);

  const QSize hint = sizeHint();
  resize(std::max(545, hint.width()), std::max(245, hint.height()));
}

int CertListDialog::HighlightedRow() const {
  const QList<QTreeWidgetItem*> selected = list_->selectedItems();
  if (selected.isEmpty()) return -1;
  return list_->indexOfTopLevelItem(selected.front());
}

void CertListDialog::OnView() {
  const int row = HighlightedRow();
  if (row < 0 || static_cast<size_t>(row) >= candidates_.size()) return;
  ShowCertViewWindow(candidates_[static_cast<size_t>(row)]);
}

void CertListDialog::OnSelect() {
  const int row = HighlightedRow();
  if (row < 0) {
    QMessageBox box(QMessageBox::Warning, Label(69), Label(70), QMessageBox::Ok, this);
    SetWndFont(head_, &box);
    box.exec();
    return;
  }
  chosen_row_ = row;
  accept();
}

CertPtr ShowCertListWindow(X509Context* context) {
  if (context == nullptr) return nullptr;
  context->certificate.reset();
  // Everything the dialog shows is copied: it never touches the context.
  const std::vector<CertListRow> rows = BuildCertListRows(context->candidates);
  std::vector<CertPtr> candidates = context->candidates;
  int chosen = -1;
  const bool ran = RunOnGuiThread(
      [&] {
        CertListDialog dialog(rows, std::move(candidates));
        if (dialog.exec() == QDialog::Accepted) chosen = dialog.chosen_row();
      },
      true);
  if (!ran) {
    context->last_error = platform::kErrorCallNotImplemented;
    return nullptr;
  }
  if (chosen >= 0 && TakeChosenCandidate(context, static_cast<size_t>(chosen)))
    return context->certificate;
  context->last_error = platform::kErrorCancelled;
  return nullptr;
}

}  // namespace vel::crypto::ui
