#include "app/ui/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <filesystem>
#include <unistd.h>

#include "app/file_io.h"
#include "app/registry_names.h"
#include "app/registry_settings.h"
#include "app/viewer_app.h"
#include "platform/gfx/dib.h"
#include "platform/win32_error.h"

namespace vel::app {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

CProcessingDialog::CProcessingDialog(const CMessageTable& catalog, QWidget* parent) : QDialog(parent) {
  setWindowTitle(QString::fromUtf8(kProductTitle));
  setModal(false);
  auto* layout = new QVBoxLayout(this);
  std::string text;
  auto* label = new QLabel(Q(catalog.Get(text, 333, "Trwa przetwarzanie...")), this);
  label->setObjectName("1082");
  layout->addWidget(label);
  bar_ = new QProgressBar(this);
  bar_->setObjectName("1083");
  bar_->setRange(0, 100);
  bar_->setTextVisible(false);
  layout->addWidget(bar_);
}

void CProcessingDialog::Step() {
  // The bar wraps at the end of its range.
  bar_->setValue(bar_->value() + step_ > bar_->maximum() ? 0 : bar_->value() + step_);
  repaint();
}

void CProcessingDialog::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  Step();
  QTimer::singleShot(2000, this, [this] { hide(); });
}

CPictureView::CPictureView(QWidget* parent) : QWidget(parent) {
  setObjectName("1000");
  setFocusPolicy(Qt::StrongFocus);
  setMinimumSize(200, 200);
}

void CPictureView::SetPage(QImage image, QPoint destination) {
  image_ = std::move(image);
  destination_ = destination;
  source_ = {};
  update();
}

void CPictureView::SetSource(QPoint source) {
  source_ = source;
  update();
}

void CPictureView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), palette().color(QPalette::Dark));
  if (!image_.isNull()) p.drawImage(destination_ - source_, image_);
}

CMainWindow::CMainWindow(const CMessageTable& catalog, Prompt& prompt, std::string document, QWidget* parent)
    : QDialog(parent), catalog_(catalog), prompt_(prompt), start_document_(std::move(document)) {
  setObjectName("140");
  emf_ = PageGraphicsFormat() != kGraphicsFormatBmp;
  resize(960, 760);
  auto* layout = new QVBoxLayout(this);
  tabs_ = new QTabWidget(this);
  tabs_->setObjectName("1017");
  layout->addWidget(tabs_, 1);
  std::string text;
  viewer_ = new CDocViewPage(*this);
  signatures_ = new CSignaturesPage(*this);
  settings_ = new CSettingsPage(*this);
  tabs_->addTab(viewer_, Q(catalog_.Get(text, 355, "Dokument")));
  tabs_->addTab(signatures_, Q(catalog_.Get(text, 356, "Podpisy")));
  tabs_->addTab(settings_, Q(catalog_.Get(text, 357, "Ustawienia")));
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  close_ = new QPushButton(Q(catalog_.Get(text, 405, "Zamknij")), this);
  close_->setObjectName("1067");
  close_->setAutoDefault(false);
  connect(close_, &QPushButton::clicked, this, [this] { OnCloseButton(); });
  buttons->addWidget(close_);
  layout->addLayout(buttons);
  ResetViewer();
}

CMainWindow::~CMainWindow() { HideBusy(); }

int CMainWindow::Init() {
  if (CRegDword(std::string(kUserKey) + "\\" + kValueCrlGetAlways, 0, true, RegHive::kCurrentUser).Get() != 0)
    crypto::Certificate::DeleteCachedCrls(0x10000);
  std::string path = start_document_;
  path.erase(std::remove(path.begin(), path.end(), '"'), path.end());
  if (path.empty()) return 0;
  if (OpenDocument(path) != 0) {
    prompt_.ShowMessage(0, OpenFailedText(catalog_, true), kAppCaption, MB_ICONHAND);
    return -1;
  }
  signatures_->SelectFirst();
  return 0;
}

int CMainWindow::Fail(int id, const char* polish, const std::string& caption) {
  std::string text;
  prompt_.ShowMessage(id, catalog_.Get(text, id, polish), caption, MB_ICONHAND);
  return -1;
}

int CMainWindow::OpenDocument(const std::string& path) {
  if (busy()) return -1;
  const DocumentKind kind = KindForPath(path);
  switch (kind) {
    case kKindKdoc: return OpenKdoc(path);
    case kKindPackage:
    case kKindMap: kind_ = kind; return OpenPackage(path);
    case kKindPkcs7:
    case kKindXml: kind_ = kind; return OpenSignedFile(path);
    default: return Fail(350, "Próba otwarcie pliku zakończyła się błędem.", kAppCaption);
  }
}

void CMainWindow::ResetViewer() {
  signatures_->Clear();
  kdoc_.reset();
  package_.reset();
  signed_file_.reset();
  metafile_.reset();
  bitmap_ = QImage();
  kind_ = kKindNone;
  status_ = kStatusNone;
  document_name_.clear();
  viewer_->SetNavigation(0, 0);
  viewer_->notice()->setText(Q(EmptyWindowHint(catalog_)));
  viewer_->picture()->SetPage({}, {});
  viewer_->SetBars(false, false);
  viewer_->ShowStatus(kStatusNone);
  viewer_->UpdateControls();
  setWindowTitle(Q(WindowTitle(catalog_, {})));
}

bool CMainWindow::LoadPage(int index) {
  metafile_.reset();
  bitmap_ = QImage();
  if (!kdoc_ || !kdoc_->page_list() || index < 0 ||
      static_cast<size_t>(index) >= kdoc_->page_list()->GetCount())
    return false;
  const auto bytes = kdoc_->page_list()->GetAt(static_cast<size_t>(index)).bytes();
  if (emf_) {
    metafile_ = gfx::EnhMetaFile::FromBytes(bytes);
    return metafile_.has_value();
  }
  bitmap_ = gfx::DecodeBmpFile(bytes);
  return !bitmap_.isNull();
}

int CMainWindow::OpenKdoc(const std::string& path) {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  ResetViewer();
  kind_ = kKindKdoc;
  LoadProxy();
  std::string title = WindowTitle(catalog_, path);
  setWindowTitle(Q(title));
  auto doc = OpenContainer(path);
  std::string opened = path;
  std::error_code ec;
  // Only a file that can be read is worth copying elsewhere; a folder is refused.
  if (doc->last_error() == platform::kErrorAccessDenied && std::filesystem::is_regular_file(path, ec) &&
      ::access(path.c_str(), R_OK) == 0) {
    if (auto copy = OfferCopy(path, opened)) doc = std::move(copy);
  } else if (doc->last_error() != 0) {
    QApplication::restoreOverrideCursor();
    prompt_.ShowMessage(0, doc->error_text(), title, MB_ICONHAND | MB_SYSTEMMODAL);
    QApplication::setOverrideCursor(Qt::WaitCursor);
  }
  if (const uint32_t error = doc->last_error(); error != 0) {
    QApplication::restoreOverrideCursor();
    ResetViewer();
    return static_cast<int>(error);
  }
  title = WindowTitle(catalog_, opened);
  kdoc_ = std::move(doc);
  const int count = kdoc_->page_list() ? static_cast<int>(kdoc_->page_list()->GetCount()) : 0;
  viewer_->SetNavigation(count > 0 ? 1 : 0, count);
  if (count > 0) LoadPage(0);
  document_name_ = opened;
  viewer_->UpdateControls();
  ShowPage();
  signatures_->ShowKdocSignatures();
  viewer_->ShowStatus(status_);
  setWindowTitle(Q(title));
  QApplication::restoreOverrideCursor();
  return 0;
}

std::unique_ptr<CSignedDocObj> CMainWindow::OpenContainer(const std::string& path) {
  ShowBusy();
  auto doc = std::make_unique<CSignedDocObj>(catalog_, prompt_);
  // Every container, a copy too, goes through the configured proxy.
  if (proxy_.enabled) doc->SetProxy(proxy_);
  doc->Open(path, 1);
  HideBusy();
  return doc;
}

std::unique_ptr<CSignedDocObj> CMainWindow::OfferCopy(const std::string& path, std::string& opened) {
  std::string a, b;
  QApplication::restoreOverrideCursor();
  const int answer = prompt_.ShowMessage(
      358,
      catalog_.Get(a, 358, "Program nie może otworzyć dokumentu z bieżącej lokalizacji.") + "\n" +
          catalog_.Get(b, 359, "Czy chcesz skopiować dokument w inne miejsce, aby go otworzyć?"),
      kAppCaption, MB_YESNO | MB_ICONQUESTION);
  std::optional<std::string> target;
  if (answer == IDYES) {
    FileDialogRequest request;
    request.default_extension = "kdoc";
    request.default_name = ProposedCopyName(path, [](const std::string& p) {
      std::error_code ec;
      return std::filesystem::exists(p, ec);
    });
    request.filter = catalog_.Get(a, 361, "Dokument VellorumSign") + " (*.kdoc)|*.kdoc||";
    request.flags = OFN_EXTENSIONDIFFERENT;
    target = AskSaveTarget(request);
  }
  QApplication::setOverrideCursor(Qt::WaitCursor);
  if (!target) return nullptr;
  // A failed copy leaves a file the user chose to overwrite as it was.
  if (ReplaceFileWithCopy(*target, path) != 0) {
    std::string text;
    catalog_.Get(text, 256, "Wystąpił błąd. Nie udało się zapisać pliku:");
    QApplication::restoreOverrideCursor();
    prompt_.ShowMessage(256, text + "\n " + *target, kAppCaption, MB_ICONHAND | MB_SYSTEMMODAL);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    return nullptr;
  }
  std::error_code ec;
  std::filesystem::permissions(*target,
                               std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::add, ec);
  auto copy = OpenContainer(*target);
  if (copy->last_error() != 0) return nullptr;
  opened = *target;
  return copy;
}

std::optional<std::string> CMainWindow::AskSaveTarget(const FileDialogRequest& request) {
  return app::AskSaveTarget(prompt_, catalog_, request, kAppCaption);
}

void CMainWindow::ShowOpened(const std::string& path) {
  std::string opened, a, b, c;
  catalog_.Get(opened, 234, "Otwarto dokument");
  const bool named = kind_ == kKindPackage || kind_ == kKindXml;
  std::string text = opened + (named ? " VellorumVestPro\n" : "\n") + path + "\n";
  text += catalog_.Get(a, 351, "") + "\n" + catalog_.Get(b, 352, "") + "\n\n" + catalog_.Get(c, 353, "");
  std::string button;
  text += " " + catalog_.Get(button, 378, "Prezentacja treści");
  viewer_->notice()->setText(Q(text));
  document_name_ = path;
  viewer_->ShowStatus(status_);
  viewer_->UpdateControls();
  setWindowTitle(Q(WindowTitle(catalog_, path)));
}

int CMainWindow::OpenSignedFile(const std::string& path) {
  const int kind = kind_;
  ResetViewer();
  kind_ = kind;
  auto file = std::make_unique<CSignedFile>();
  for (;;) {
    if (file->Load(path, true) == 1) break;
    if (file->GetLastError() == 32) {
      std::string text;
      catalog_.Get(text, 296, "Nie można odczytać pliku ponieważ jest on otwarty w oknie przeglądarki\nlub przy "
                              "użyciu innego programu.\nAby kontynuować zakończ pracę z plikiem.");
      if (prompt_.ShowMessage(296, text, kProductTitle, MB_OKCANCEL | MB_ICONHAND | MB_SYSTEMMODAL) ==
          IDOK)
        continue;
    }
    ResetViewer();
    return Fail(350, "Próba otwarcie pliku zakończyła się błędem.", kAppCaption);
  }
  signed_file_ = std::move(file);
  const uint32_t state = signed_file_->GetState();
  if (state == CSignedFile::kStateSmimeEnveloped || state == CSignedFile::kStateCmsEnveloped) {
    std::string text;
    if (prompt_.ShowMessage(208, catalog_.Get(text, 208, "Dokument został zaszyfrowany.\nCzy chcesz go odszyfrować?"),
                            kProductTitle, MB_YESNO | MB_ICONQUESTION | MB_SYSTEMMODAL) != IDYES) {
      prompt_.ShowMessage(252,
                          catalog_.Get(text, 252,
                                       "Dokument jest zaszyfrowany i nie został odszyfrowany. Nie można pokazać "
                                       "informacji."),
                          kProductTitle, MB_ICONHAND | MB_SYSTEMMODAL);
      ShowOpened(path);
      return 0;
    }
    if (signed_file_->Decrypt() != 1) {
      const uint32_t error = signed_file_->GetLastError();
      prompt_.ShowMessage(0, catalog_.FormatError(text, error), kProductTitle,
                          MB_ICONHAND | MB_SYSTEMMODAL);
      ResetViewer();
      return error == 0 ? -1 : static_cast<int>(error);
    }
  }
  signatures_->ShowFileSignatures();
  ShowOpened(path);
  return 0;
}

int CMainWindow::OpenPackage(const std::string& path) {
  const int kind = kind_;
  ResetViewer();
  kind_ = kind;
  auto package = std::make_unique<CSignedMimeDoc>(path, catalog_, prompt_);
  if (!package->path()) {
    ResetViewer();
    if (kind == kKindMap) Fail(350, "Próba otwarcie pliku zakończyła się błędem.", "Lantrix");
    return -1;
  }
  package_ = std::move(package);
  signatures_->ShowPackageSignatures();
  ShowOpened(path);
  return 0;
}

void CMainWindow::ShowPage() {
  CPictureView* view = viewer_->picture();
  viewer_->UpdateControls();
  double w = 0, h = 0;
  if (metafile_) {
    const auto& f = metafile_->header().frame;
    w = static_cast<double>(f.right) - f.left;
    h = static_cast<double>(f.bottom) - f.top;
  } else if (!bitmap_.isNull()) {
    w = bitmap_.width();
    h = bitmap_.height();
  }
  const auto size = PageDrawSize(emf_, w, h, view->width(), viewer_->fit(), zoom_);
  if (!size) {
    view->SetPage({}, {});
    viewer_->SetBars(false, false);
    return;
  }
  if (viewer_->fit() || !emf_) zoom_ = size->zoom;
  QImage image(size->width, size->height, QImage::Format_RGB32);
  image.fill(Qt::white);
  {
    QPainter painter(&image);
    if (metafile_) gfx::PlayEnhMetaFile(painter, *metafile_, QRectF(0, 0, size->width, size->height));
    else painter.drawImage(QRect(0, 0, size->width, size->height), bitmap_);
  }
  const PagePlacement place = PlacePage(size->width, size->height, view->width(), view->height());
  view->SetPage(std::move(image), QPoint(place.x, place.y));
  QScrollBar* hbar = viewer_->horizontal_bar();
  QScrollBar* vbar = viewer_->vertical_bar();
  hbar->setRange(0, place.horizontal_max);
  hbar->setPageStep(view->width());
  hbar->setValue(0);
  vbar->setRange(0, place.vertical_max);
  vbar->setPageStep(view->height());
  vbar->setValue(0);
  viewer_->SetBars(place.horizontal_bar, place.vertical_bar);
}

void CMainWindow::LoadProxy() { proxy_ = LoadProxySettings(kUserKey); }

void CMainWindow::ShowBusy() {
  CSignedDocObj::StartWaitProgram(&wait_pid_);
  if (!processing_) processing_ = std::make_unique<CProcessingDialog>(catalog_);
  if (wait_pid_ <= 0) {
    wait_pid_ = 0;
    processing_->show();
  } else {
    processing_->hide();
  }
  processing_->Step();
}

void CMainWindow::HideBusy() {
  CSignedDocObj::StopWaitProgram(&wait_pid_);
  if (processing_) processing_->hide();
}

void CMainWindow::OnCloseButton() {
  if (busy()) return;
  std::string text;
  catalog_.Get(text, 354, "Czy chcesz zakończyć działanie programu?");
  if (prompt_.ShowMessage(354, text, windowTitle().toStdString(), MB_YESNO | MB_ICONQUESTION) == IDYES) done(0);
}

void CMainWindow::closeEvent(QCloseEvent* e) {
  if (busy()) {
    e->ignore();
    return;
  }
  QDialog::closeEvent(e);
}

void CMainWindow::reject() {
  if (!busy()) QDialog::reject();
}

}  // namespace vel::app
