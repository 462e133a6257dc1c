#include <QApplication>
#include <QHeaderView>
#include <QIcon>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/mime_message.h"
#include "app/registry_names.h"
#include "app/registry_settings.h"
#include "app/ui/main_window.h"

namespace vel::app {

namespace {

// The six tree icons: a signed page (a clock on it for a time stamp) with
// nothing, a yellow triangle or a red cross for the verdict.
QIcon TreeIcon(int image) {
  QPixmap pm(16, 16);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QColor(60, 60, 60));
  p.setBrush(Qt::white);
  p.drawRect(2, 1, 10, 13);
  p.drawLine(4, 4, 10, 4);
  p.drawLine(4, 7, 10, 7);
  if (image >= 3) {
    p.setBrush(QColor(200, 220, 255));
    p.drawEllipse(QPointF(7, 10), 3.5, 3.5);
    p.drawLine(QPointF(7, 10), QPointF(7, 7.5));
    p.drawLine(QPointF(7, 10), QPointF(9, 10));
  } else {
    p.setPen(QPen(QColor(20, 60, 160), 1.2));
    p.drawLine(QPointF(4, 11), QPointF(6, 9));
    p.drawLine(QPointF(6, 9), QPointF(8, 12));
    p.drawLine(QPointF(8, 12), QPointF(11, 9));
  }
  const int verdict = image % 3;
  if (verdict == kClassIncomplete) {
    QPainterPath tri;
    tri.moveTo(12, 7);
    tri.lineTo(16, 15);
    tri.lineTo(8, 15);
    tri.closeSubpath();
    p.setPen(QColor(120, 90, 0));
    p.setBrush(QColor(250, 200, 0));
    p.drawPath(tri);
  } else if (verdict == kClassInvalid) {
    p.setPen(QPen(QColor(210, 0, 0), 2.5));
    p.drawLine(9, 8, 15, 14);
    p.drawLine(15, 8, 9, 14);
  }
  return QIcon(pm);
}

// Signatures that are there but cannot be read: one invalid item saying why.
SourceVerdict UnreadableVerdict(const CMessageTable& catalog, uint32_t error) {
  SourceVerdict broken;
  broken.worst = kClassInvalid;
  catalog.FormatError(broken.message, error);
  return broken;
}

}  // namespace

CSignaturesPage::CSignaturesPage(CMainWindow& window) : QWidget(&window), window_(window) {
  setObjectName("145");
  auto* layout = new QVBoxLayout(this);
  tree_ = new QTreeWidget(this);
  tree_->setObjectName("1069");
  tree_->setHeaderHidden(true);
  tree_->setRootIsDecorated(true);
  tree_->setExpandsOnDoubleClick(false);
  tree_->setSelectionBehavior(QAbstractItemView::SelectRows);
  layout->addWidget(tree_, 2);
  detail_ = new QPlainTextEdit(this);
  detail_->setObjectName("1071");
  detail_->setReadOnly(true);
  layout->addWidget(detail_, 1);
  connect(tree_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
    detail_->setPlainText(item ? item->data(0, Qt::UserRole + 1).toString() : QString());
  });
  connect(tree_, &QTreeWidget::itemDoubleClicked, this, [this] { OnTreeDoubleClick(); });
}

CSignaturesPage::~CSignaturesPage() = default;

void CSignaturesPage::Clear() {
  tree_->clear();
  detail_->clear();
  signers_.clear();
}

void CSignaturesPage::SelectFirst() {
  if (tree_->topLevelItemCount() > 0) tree_->setCurrentItem(tree_->topLevelItem(0));
}

void CSignaturesPage::AddItems(const std::vector<SignatureTreeItem>& items, QTreeWidgetItem* parent) {
  for (const SignatureTreeItem& item : items) {
    auto* row = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(tree_);
    row->setText(0, QString::fromStdString(item.text));
    row->setIcon(0, TreeIcon(item.image));
    row->setData(0, Qt::UserRole, static_cast<int>(signers_.size()));
    row->setData(0, Qt::UserRole + 1, QString::fromStdString(item.detail));
    row->setData(0, Qt::UserRole + 2, item.image);
    signers_.push_back(item.signer);
    AddItems(item.children, row);
  }
}

void CSignaturesPage::Fill(SignedSource& source) {
  std::optional<SourceVerdict> verdict;
  {
    CMainWindow::BusyScope busy(window_);
    window_.viewer()->UpdateControls();
    verdict = Verify(source);
  }
  window_.viewer()->UpdateControls();
  ShowVerdict(std::move(*verdict));
}

SourceVerdict CSignaturesPage::Verify(SignedSource& source) {
  window_.ShowBusy();
  if (!verifier_) {
    CSignatureVerifier::Hooks hooks;
    // The window keeps painting while a check runs; its actions are refused
    // while it is busy.
    hooks.pump = [] { QApplication::processEvents(QEventLoop::AllEvents, 50); };
    hooks.set_step = [this](int step) {
      if (window_.processing()) window_.processing()->set_step(step);
    };
    hooks.step = [this] {
      if (window_.processing()) window_.processing()->Step();
    };
    verifier_ = std::make_unique<CSignatureVerifier>(window_.catalog(), true, std::move(hooks), &window_.prompt());
  }
  SourceVerdict verdict = VerifySource(*verifier_, source);
  window_.HideBusy();
  return verdict;
}

void CSignaturesPage::ShowVerdict(SourceVerdict verdict) {
  // Signatures that could not be read show why, and never as none.
  if (verdict.items.empty() && !verdict.message.empty())
    verdict.items.push_back({verdict.message, verdict.worst, verdict.message, nullptr, {}});
  Clear();
  AddItems(verdict.items, nullptr);
  tree_->expandAll();
  window_.set_status(verdict.items.empty() ? kStatusNone : verdict.worst);
}

void CSignaturesPage::ShowKdocSignatures() {
  window_.set_status(kStatusNone);
  detail_->clear();
  CSignedDocObj* doc = window_.kdoc();
  if (!doc) return;
  if (!doc->signatures()) {
    if (doc->signatures_error() != 0 && doc->signatures_error() != 2)
      ShowVerdict(UnreadableVerdict(window_.catalog(), doc->signatures_error()));
    return;
  }
  if (doc->signature_list().GetCount() == 0) return;
  SignedSource source(doc->signatures(), false);
  Fill(source);
}

void CSignaturesPage::ShowFileSignatures() {
  window_.set_status(kStatusNone);
  if (CSignedFile* file = window_.signed_file()) {
    if (file->signature_error() != 0) {
      ShowVerdict(UnreadableVerdict(window_.catalog(), file->signature_error()));
    } else if (auto source = SourceForFile(*file)) {
      uint32_t count = 0;
      // No signers: nothing to show; a count that cannot be had is shown as a failure.
      if (source->GetSignerCount(&count) != 0 || count > 0) Fill(*source);
    }
  }
  if (CRegDword(std::string(kUserKey) + "\\" + kValueCrlGetAlways, 0, true, RegHive::kCurrentUser).Get() != 0)
    crypto::Certificate::DeleteCachedCrls(0x10000);
}

void CSignaturesPage::ShowPackageSignatures() {
  window_.set_status(kStatusNone);
  CSignedMimeDoc* package = window_.package();
  if (!package || package->signature().empty()) return;
  const std::unique_ptr<SignedSource> source = SourceForPackage(*package);
  // A document that cannot be presented still has its signatures shown.
  uint32_t size = 0;
  if ((package->kind() == CSignedMimeDoc::kOpaqueSmime || package->kind() == CSignedMimeDoc::kPkcs7File) &&
      package->document().empty() && source->GetContent(nullptr, &size) == 234) {
    std::vector<uint8_t> data(size);
    if (source->GetContent(data.data(), &size) == 0) {
      data.resize(std::min<size_t>(size, data.size()));
      // An opaque message's content is a MIME entity: its body is shown.
      const int64_t body = package->kind() == CSignedMimeDoc::kOpaqueSmime ? FindBodyStart(data) : 0;
      if (body >= 0) {
        data.erase(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(body));
        package->set_document(std::move(data));
      }
    }
  }
  detail_->clear();
  Fill(*source);
}

uint32_t CSignaturesPage::SignCurrentDocument() {
  CSignedDocObj* doc = window_.kdoc();
  if (!doc) return 1;
  window_.LoadProxy();
  doc->SetProxy(window_.proxy());
  window_.ShowBusy();
  const uint32_t result = doc->Sign(window_.wait_pid());
  window_.HideBusy();
  if (result == 0) {
    tree_->clear();
    ShowKdocSignatures();
    SelectFirst();
  }
  return result;
}

void CSignaturesPage::OnTreeDoubleClick() {
  if (window_.busy()) return;
  QTreeWidgetItem* item = tree_->currentItem();
  if (!item) return;
  const int index = item->data(0, Qt::UserRole).toInt();
  if (index < 0 || static_cast<size_t>(index) >= signers_.size() || !signers_[static_cast<size_t>(index)]) return;
  try {
    signers_[static_cast<size_t>(index)]->ShowDetails(nullptr);
  } catch (...) {
    // A window that cannot open leaves the page as it is.
  }
}

}  // namespace vel::app
