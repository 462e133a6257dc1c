#include <QApplication>
#include <QCheckBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPageLayout>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <QPrinterInfo>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <filesystem>

#include "app/content_opener.h"
#include "app/signed_content.h"
#include "app/ui/main_window.h"
#include "app/viewer_app.h"

namespace vel::app {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

QPushButton* Button(QWidget* parent, const char* id, const QString& text) {
  auto* b = new QPushButton(text, parent);
  b->setObjectName(id);
  b->setAutoDefault(false);
  return b;
}

}  // namespace

CDocViewPage::CDocViewPage(CMainWindow& window) : QWidget(&window), window_(window) {
  setObjectName("144");
  const CMessageTable& cat = window_.catalog();
  std::string t;
  auto* layout = new QVBoxLayout(this);
  auto* tools = new QGroupBox(this);
  tools->setObjectName("1024");
  auto* row = new QHBoxLayout(tools);
  open_ = Button(this, "1003", Q(cat.Get(t, 410, "Otwórz")));
  prev_ = Button(this, "1009", QStringLiteral("<"));
  page_label_ = new QLabel(this);
  page_label_->setObjectName("1011");
  page_label_->setMinimumWidth(90);
  page_label_->setAlignment(Qt::AlignCenter);
  next_ = Button(this, "1010", QStringLiteral(">"));
  zoom_out_ = Button(this, "1056", QStringLiteral("-"));
  zoom_in_ = Button(this, "1055", QStringLiteral("+"));
  fit_ = new QCheckBox(Q(cat.Get(t, 383, "Dopasuj szerokość strony")), this);
  fit_->setObjectName("1006");
  print_ = Button(this, "1007", Q(cat.Get(t, 384, "Drukuj")));
  sign_ = Button(this, "1012", Q(cat.Get(t, 385, "Podpisz")));
  for (QWidget* w : std::initializer_list<QWidget*>{open_, prev_, page_label_, next_, zoom_out_, zoom_in_, fit_})
    row->addWidget(w);
  row->addStretch(1);
  row->addWidget(print_);
  row->addWidget(sign_);
  layout->addWidget(tools);

  auto* statuses = new QHBoxLayout;
  const int ids[4] = {kStatusNone, kStatusCorrect, kStatusIncomplete, kStatusNegative};
  for (int i = 0; i < 4; ++i) {
    status_[i] = new QLabel(Q(StatusText(cat, ids[i])), this);
    status_[i]->setObjectName(StatusControl(ids[i]));
    statuses->addWidget(status_[i]);
  }
  commercial_note_ = new QLabel(Q(cat.Get(t, 381, "(wykorzystano certyfikat komercyjny)")), this);
  commercial_note_->setObjectName("1060");
  commercial_note_->hide();
  statuses->addWidget(commercial_note_);
  statuses->addStretch(1);
  layout->addLayout(statuses);

  auto* frame = new QGroupBox(this);
  frame->setObjectName("1023");
  auto* grid = new QGridLayout(frame);
  picture_ = new CPictureView(this);
  vbar_ = new QScrollBar(Qt::Vertical, this);
  vbar_->setObjectName("1001");
  hbar_ = new QScrollBar(Qt::Horizontal, this);
  hbar_->setObjectName("1002");
  // The bars keep their room when hidden, so the view's width does not change
  // under a page drawn for it.
  for (QScrollBar* bar : {hbar_, vbar_}) {
    QSizePolicy policy = bar->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    bar->setSizePolicy(policy);
  }
  notice_ = new QLabel(this);
  notice_->setObjectName("1058");
  notice_->setWordWrap(true);
  notice_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
  // Over the empty picture, the hint is read on the page's own background.
  notice_->setAutoFillBackground(true);
  grid->addWidget(picture_, 0, 0);
  grid->addWidget(notice_, 0, 0);
  notice_->raise();
  grid->addWidget(vbar_, 0, 1);
  grid->addWidget(hbar_, 1, 0);
  layout->addWidget(frame, 1);
  auto* content = new QHBoxLayout;
  present_ = Button(this, "1057", Q(cat.Get(t, 378, "Prezentacja treści")));
  save_ = Button(this, "1066", Q(cat.Get(t, 379, "Zapisz dokument")));
  content->addWidget(present_);
  content->addWidget(save_);
  content->addStretch(1);
  layout->addLayout(content);

  connect(open_, &QPushButton::clicked, this, [this] { OnLoad(); });
  connect(next_, &QPushButton::clicked, this, [this] { OnNextPage(); });
  connect(prev_, &QPushButton::clicked, this, [this] { OnPrevPage(); });
  connect(zoom_in_, &QPushButton::clicked, this, [this] { OnZoomIn(); });
  connect(zoom_out_, &QPushButton::clicked, this, [this] { OnZoomOut(); });
  connect(fit_, &QCheckBox::clicked, this, [this] { OnFitWidth(); });
  connect(print_, &QPushButton::clicked, this, [this] { OnPrint(); });
  connect(sign_, &QPushButton::clicked, this, [this] { OnSign(); });
  connect(present_, &QPushButton::clicked, this, [this] { OnPresentContent(); });
  connect(save_, &QPushButton::clicked, this, [this] { OnSaveDocument(); });
  for (QWidget* w : std::initializer_list<QWidget*>{picture_, hbar_, vbar_}) w->installEventFilter(this);
  connect(hbar_, &QScrollBar::valueChanged, this, [this](int x) { picture_->SetSource({x, vbar_->value()}); });
  connect(vbar_, &QScrollBar::valueChanged, this, [this](int y) { picture_->SetSource({hbar_->value(), y}); });
}

bool CDocViewPage::fit() const { return fit_->isChecked(); }

void CDocViewPage::SetNavigation(int page, int count) {
  page_ = page;
  count_ = count;
  page_label_->setText(count > 0 ? Q(PageLabel(window_.catalog(), page, count)) : QString());
}

void CDocViewPage::UpdateControls() {
  const ViewerControls c = ControlsFor(window_.kind(), page_, count_, zoom_step_, fit(), window_.busy());
  open_->setEnabled(c.open);
  prev_->setEnabled(c.prev);
  next_->setEnabled(c.next);
  zoom_in_->setEnabled(c.zoom_in);
  zoom_out_->setEnabled(c.zoom_out);
  fit_->setEnabled(c.fit);
  print_->setEnabled(c.print && window_.emf());
  sign_->setEnabled(c.sign);
  picture_->setVisible(c.picture || window_.kind() == kKindNone);
  notice_->setVisible(c.content || c.hint);
  // The empty window's one action: Enter opens a document.
  open_->setDefault(c.hint);
  present_->setVisible(c.content);
  save_->setVisible(c.content);
  // A busy spell hides the bars with the page; they come back with it.
  hbar_->setVisible(c.picture && hbar_needed_);
  vbar_->setVisible(c.picture && vbar_needed_);
}

void CDocViewPage::SetBars(bool horizontal, bool vertical) {
  hbar_needed_ = horizontal;
  vbar_needed_ = vertical;
  UpdateControls();
}

bool CDocViewPage::eventFilter(QObject* watched, QEvent* e) {
  if (watched == picture_ && e->type() == QEvent::Resize) {
    // The page is placed and its bars sized for the view as it is shown: the
    // first drawing comes before the window is laid out, and the person may
    // resize it. The place on the page is kept where it still exists.
    if (window_.kind() == kKindKdoc && !window_.busy()) {
      const QPoint at(hbar_->value(), vbar_->value());
      window_.ShowPage();
      hbar_->setValue(at.x());
      vbar_->setValue(at.y());
    }
    return false;
  }
  if (e->type() != QEvent::Wheel) return QWidget::eventFilter(watched, e);
  // The wheel scrolls the page by a tenth of what is shown per notch (the
  // arrows' step of one pixel would barely move it); sideways, with Shift or
  // over the horizontal bar, it scrolls across.
  auto* wheel = static_cast<QWheelEvent*>(e);
  QPoint delta = wheel->angleDelta();
  if ((wheel->modifiers() & Qt::ShiftModifier) || (watched == hbar_ && delta.x() == 0))
    delta = {delta.y(), delta.x()};
  for (QScrollBar* bar : {vbar_, hbar_}) {
    const int d = bar == vbar_ ? delta.y() : delta.x();
    if (d == 0 || !bar->isVisible()) continue;
    const int step = std::max(1, bar->pageStep() / 10);
    bar->setValue(bar->value() - static_cast<int>(static_cast<long long>(d) * step / 120));
  }
  return true;
}

void CDocViewPage::ShowStatus(int status) {
  for (QLabel* l : status_) l->setVisible(l->objectName() == StatusControl(status));
}

void CDocViewPage::Turn(int delta) {
  if (window_.busy()) return;
  const int target = page_ + delta;
  if (target < 1 || target > count_) return;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  SetNavigation(target, count_);
  window_.LoadPage(target - 1);
  window_.ShowPage();
  QApplication::restoreOverrideCursor();
}

void CDocViewPage::OnNextPage() { Turn(1); }
void CDocViewPage::OnPrevPage() { Turn(-1); }

void CDocViewPage::Zoom(int delta) {
  if (window_.busy() || fit()) return;
  zoom_step_ = std::clamp(zoom_step_ + delta, 0, kZoomSteps - 1);
  window_.set_zoom(static_cast<float>(zoom_step_ + 1));
  window_.ShowPage();
  picture_->setFocus();
}

void CDocViewPage::OnZoomIn() { Zoom(1); }
void CDocViewPage::OnZoomOut() { Zoom(-1); }

void CDocViewPage::OnFitWidth() {
  if (window_.busy()) {
    fit_->setChecked(!fit_->isChecked());
    return;
  }
  if (!fit()) window_.set_zoom(static_cast<float>(zoom_step_ + 1));
  window_.ShowPage();
}

void CDocViewPage::OnLoad() {
  if (window_.busy()) return;
  window_.signatures()->Clear();
  std::string name;
  window_.catalog().Get(name, 301, "Pliki %s (%s)");
  const std::string patterns = "*.kdoc; *.vestPro; *.pem; *.p7; *.sig; *.xml;";
  // The filter name with the empty text and the patterns filled in.
  std::string filled;
  for (size_t i = 0, n = 0; i < name.size(); ++i) {
    if (name.compare(i, 2, "%s") == 0) {
      filled += n++ == 0 ? "" : patterns;
      ++i;
    } else {
      filled += name[i];
    }
  }
  FileDialogRequest request;
  request.filter = filled + "|" + patterns + "||";
  request.flags = OFN_HIDEREADONLY;
  const auto answer = window_.prompt().AskOpenPath(request);
  if (!answer) return;
  QString path = Q(answer->path).trimmed();
  if (path.isEmpty()) return;
  if (window_.OpenDocument(path.toStdString()) != 0) {
    window_.prompt().ShowMessage(0, OpenFailedText(window_.catalog(), false), kAppCaption, MB_ICONHAND);
    window_.ResetViewer();
    return;
  }
  window_.signatures()->SelectFirst();
}

void CDocViewPage::OnSign() {
  if (window_.busy() || !window_.kdoc()) return;
  uint32_t result = 0;
  {
    CMainWindow::BusyScope busy(window_);
    UpdateControls();
    QApplication::setOverrideCursor(Qt::WaitCursor);
    result = window_.signatures()->SignCurrentDocument();
    QApplication::restoreOverrideCursor();
  }
  UpdateControls();
  if (result == 0) {
    ShowStatus(window_.status());
    window_.tabs()->setCurrentIndex(1);
  }
}

int CDocViewPage::PrintPages(QPrinter& printer, int from, int to) {
  const CPageList* pages = window_.kdoc() ? window_.kdoc()->page_list() : nullptr;
  if (!pages || !window_.emf()) return 0;
  QPainter painter;
  if (!painter.begin(&printer)) return -1;
  const QRect area = printer.pageLayout().paintRectPixels(printer.resolution());
  int printed = 0;
  for (int n = std::max(from, 1); n <= std::min(to, static_cast<int>(pages->GetCount())); ++n) {
    const auto emf = gfx::EnhMetaFile::FromBytes(pages->GetAt(static_cast<size_t>(n - 1)).bytes());
    if (!emf) continue;
    const auto& f = emf->header().frame;
    const auto place = FitForPrint(area.width(), area.height(), static_cast<double>(f.right) - f.left,
                                   static_cast<double>(f.bottom) - f.top);
    if (!place) continue;
    if (printed > 0) printer.newPage();
    painter.save();
    if (place->rotate) {
      painter.translate(area.width(), 0);
      painter.rotate(90);
    }
    painter.fillRect(QRectF(0, 0, place->width, place->height), Qt::white);
    gfx::PlayEnhMetaFile(painter, *emf, QRectF(0, 0, place->width, place->height));
    painter.restore();
    ++printed;
  }
  painter.end();
  return printed;
}

void CDocViewPage::OnPrint() {
  if (window_.busy() || !window_.emf()) return;
  if (!window_.kdoc() || !window_.kdoc()->page_list()) {
    window_.prompt().ShowMessage(0, "Uwaga! Brak dokumentu do wydrukowania.", kAppCaption, MB_ICONEXCLAMATION);
    return;
  }
  QPrinter printer(QPrinter::HighResolution);
  // The dialog proposes "<working folder>/<document name>.pdf" for a file, so
  // the name is the file's own, without its folders. Without a printer the
  // file is all there is: it is proposed beside the document.
  const std::filesystem::path document(window_.document_name());
  printer.setDocName(Q(document.filename().string()));
  if (QPrinterInfo::availablePrinterNames().isEmpty())
    printer.setOutputFileName(Q(std::filesystem::path(document).replace_extension(".pdf").string()));
  printer.setFromTo(1, count_);
  QPrintDialog dialog(&printer, this);
  dialog.setMinMax(1, count_);
  // A PDF file is offered too: without a print server it is the only way out.
  dialog.setOption(QAbstractPrintDialog::PrintToFile, true);
  dialog.setOption(QAbstractPrintDialog::PrintPageRange, true);
  dialog.setOption(QAbstractPrintDialog::PrintCurrentPage, true);
  if (dialog.exec() != QDialog::Accepted) return;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  int printed = 0;
  switch (dialog.printRange()) {
    case QAbstractPrintDialog::CurrentPage: printed = PrintPages(printer, page_, page_); break;
    case QAbstractPrintDialog::PageRange: printed = PrintPages(printer, printer.fromPage(), printer.toPage()); break;
    default: printed = PrintPages(printer, 1, count_); break;
  }
  QApplication::restoreOverrideCursor();
  const bool to_file = printer.outputFormat() == QPrinter::PdfFormat;
  bool failed = printed < 0 || printer.printerState() == QPrinter::Error;
  // The PDF writer does not report failed writes: what it leaves must at
  // least be a file with something in it.
  if (!failed && to_file) {
    const QFileInfo written(printer.outputFileName());
    failed = !written.isFile() || written.size() == 0;
  }
  if (!failed) return;
  window_.prompt().ShowMessage(0,
                               PrintFailedText(window_.catalog(), to_file ? "" : printer.printerName().toStdString(),
                                               to_file ? printer.outputFileName().toStdString() : ""),
                               kProductTitle, MB_ICONHAND);
}

void CDocViewPage::OnPresentContent() {
  if (window_.busy()) return;
  std::string text;
  if (CSignedMimeDoc* package = window_.package()) {
    package->OpenContent(window_.catalog(), window_.prompt());
    return;
  }
  CSignedFile* file = window_.signed_file();
  if (!file) return;
  // A PKCS#7 file that is no CMS message is shown as it is; otherwise only
  // the signed content, and nothing when there is none.
  if (window_.kind() == kKindXml || file->GetState() != CSignedFile::kStateOther) {
    SignedContent content = SignedContentOf(*file, window_.kind());
    if (content.verdict == SignedContent::kNoSignatures) {
      ShowNoXmlSignatures();
      return;
    }
    if (content.verdict == SignedContent::kEmpty) return;
    if (content.verdict == SignedContent::kFailed) {
      ShowError(content.status);
      return;
    }
    file->SetContent(std::move(content.bytes));
  }
  if (file->OpenContent() == 1) return;
  const uint32_t error = file->GetLastError();
  if (error == 31) {
    window_.prompt().ShowMessage(413, window_.catalog().Get(text, 413, "\nBrak aplikacji umożliwiającej otwarcie pliku."),
                                 kProductTitle, MB_ICONHAND);
    return;
  }
  ShowError(error);
}

void CDocViewPage::ShowError(uint32_t code) {
  std::string text;
  window_.catalog().Get(text, 412, "Wystąpił błąd!\nKod błędu : %d");
  const auto at = text.find("%d");
  if (at != std::string::npos) text.replace(at, 2, std::to_string(static_cast<int32_t>(code)));
  window_.prompt().ShowMessage(412, text, kProductTitle, MB_ICONHAND);
}

void CDocViewPage::ShowNoXmlSignatures() {
  std::string text;
  window_.catalog().Get(text, 421, "Nieprawidłowa zawartość pliku – brak podpisu lub podpis uszkodzony.");
  window_.prompt().ShowMessage(421, text, kProductTitle, MB_ICONHAND);
}

void CDocViewPage::OnSaveDocument() {
  if (window_.busy()) return;
  CSignedMimeDoc* package = window_.package();
  CSignedFile* file = window_.signed_file();
  if (!package && !file) return;
  const CMessageTable& cat = window_.catalog();
  std::string name;
  FileDialogRequest request;
  request.filter = cat.Get(name, 327, "Wszystkie pliki") + " (*.*)|*.*||";
  if (package && !package->file_name().empty()) request.default_name = package->file_name();
  else request.default_name = ContentNameFromPath(window_.document_name());
  const auto target = window_.AskSaveTarget(request);
  if (!target) return;
  if (package) {
    package->SaveContent(*target, cat, window_.prompt());
    return;
  }
  bool saved = false;
  if (file->GetState() == CSignedFile::kStateOther && window_.kind() == kKindPkcs7) {
    saved = file->SaveData(*target) > 0;
  } else {
    // No file is written without signed content to put in it.
    SignedContent content = SignedContentOf(*file, window_.kind());
    if (content.verdict == SignedContent::kNoSignatures) {
      ShowNoXmlSignatures();
      return;
    }
    if (content.verdict == SignedContent::kContent) {
      file->SetContent(std::move(content.bytes));
      saved = file->SaveContent(*target) > 0;
    }
  }
  std::string text;
  if (saved) {
    cat.Get(text, 298, "Plik został zapisany. Nazwa pliku:");
    window_.prompt().ShowMessage(298, text + "\n " + *target, kProductTitle, MB_ICONASTERISK);
  } else {
    cat.Get(text, 256, "Wystąpił błąd. Nie udało się zapisać pliku:");
    window_.prompt().ShowMessage(256, text + "\n " + *target, kProductTitle, MB_ICONHAND);
  }
}

}  // namespace vel::app
