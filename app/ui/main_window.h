// The program's main window: a tab host with the viewer, signatures and
// settings pages, the close button, the busy indicator and the open
// document objects. The decisions (which controls, what title, what size)
// come from app/window_models.h; these classes only show them. Controls carry
// their numeric ids as object names.
#pragma once

#include <QDialog>
#include <QImage>
#include <QWidget>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/kdoc_document.h"
#include "app/message_catalog.h"
#include "app/prompt.h"
#include "app/proxy_settings.h"
#include "app/signature_verifier.h"
#include "app/signed_file.h"
#include "app/signed_mime_doc.h"
#include "app/window_models.h"
#include "platform/gfx/emf_player.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPrinter;
class QProgressBar;
class QPushButton;
class QScrollBar;
class QTabWidget;
class QTreeWidget;
class QTreeWidgetItem;

namespace vel::app {

class CMainWindow;

// The small modeless dialog with a progress bar, shown when the waiting
// program cannot be started; it hides itself two seconds after it appears.
class CProcessingDialog : public QDialog {
 public:
  explicit CProcessingDialog(const CMessageTable& catalog, QWidget* parent = nullptr);
  void Step();
  void set_step(int percent) { step_ = percent; }
  QProgressBar* bar() const { return bar_; }

 protected:
  void showEvent(QShowEvent* e) override;

 private:
  QProgressBar* bar_;
  int step_ = 5;
};

// The drawn page, shown from a source offset (the scroll positions) at a
// destination inside the control.
class CPictureView : public QWidget {
 public:
  explicit CPictureView(QWidget* parent);
  void SetPage(QImage image, QPoint destination);
  void SetSource(QPoint source);
  const QImage& image() const { return image_; }
  QPoint source() const { return source_; }

 protected:
  void paintEvent(QPaintEvent* e) override;

 private:
  QImage image_;
  QPoint destination_, source_;
};

class CDocViewPage : public QWidget {
 public:
  explicit CDocViewPage(CMainWindow& window);

  void OnNextPage();
  void OnPrevPage();
  void OnZoomIn();
  void OnZoomOut();
  void OnFitWidth();
  void OnLoad();
  void OnSign();
  void OnPrint();
  void OnPresentContent();
  void OnSaveDocument();
  // Message 412 with the code; message 421 (an XML file without signatures).
  void ShowError(uint32_t code);
  void ShowNoXmlSignatures();
  // Prints pages from..to (1-based, inclusive) of the open KDOC document;
  // the number of pages printed, or -1 when the printer or file could not be
  // opened.
  int PrintPages(QPrinter& printer, int from, int to);

  // Shows the controls for the window's state.
  void UpdateControls();
  void SetNavigation(int page, int count);
  int page() const { return page_; }
  int page_count() const { return count_; }
  int zoom_step() const { return zoom_step_; }
  bool fit() const;
  CPictureView* picture() const { return picture_; }
  QScrollBar* horizontal_bar() const { return hbar_; }
  QScrollBar* vertical_bar() const { return vbar_; }
  QLabel* notice() const { return notice_; }
  void ShowStatus(int status);
  // The bars the drawn page needs; shown whenever the page is.
  void SetBars(bool horizontal, bool vertical);

 protected:
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  void Turn(int delta);
  void Zoom(int delta);

  CMainWindow& window_;
  int page_ = 1, count_ = 0, zoom_step_ = kInitialZoomStep;
  bool hbar_needed_ = false, vbar_needed_ = false;
  CPictureView* picture_;
  QScrollBar *hbar_, *vbar_;
  QLabel *page_label_, *notice_, *commercial_note_;
  QLabel* status_[4];
  QCheckBox* fit_;
  QPushButton *open_, *prev_, *next_, *zoom_in_, *zoom_out_, *print_, *sign_, *present_, *save_;
};

class CSignaturesPage : public QWidget {
 public:
  explicit CSignaturesPage(CMainWindow& window);
  ~CSignaturesPage() override;

  void ShowKdocSignatures();
  void ShowFileSignatures();
  void ShowPackageSignatures();
  uint32_t SignCurrentDocument();
  void Clear();
  void SelectFirst();
  void OnTreeDoubleClick();

  QTreeWidget* tree() const { return tree_; }
  QPlainTextEdit* detail() const { return detail_; }

 private:
  void Fill(SignedSource& source);
  SourceVerdict Verify(SignedSource& source);
  void ShowVerdict(SourceVerdict verdict);
  void AddItems(const std::vector<SignatureTreeItem>& items, QTreeWidgetItem* parent);

  CMainWindow& window_;
  QTreeWidget* tree_;
  QPlainTextEdit* detail_;
  std::unique_ptr<CSignatureVerifier> verifier_;
  std::vector<std::shared_ptr<const SignerRef>> signers_;
};

class CSettingsPage : public QWidget {
 public:
  explicit CSettingsPage(CMainWindow& window);

  void LoadSettings();
  void OnSave();
  void OnProxyCheck();
  void OnProxyAuthCheck();
  void OnSignRequestCheck();
  SettingsForm Form() const;

 protected:
  void showEvent(QShowEvent* e) override;

 private:
  CMainWindow& window_;
  QLineEdit *tsa_host_, *tsa_oid_, *proxy_name_, *proxy_port_, *proxy_user_, *proxy_password_;
  QPlainTextEdit* crl_urls_;
  QCheckBox *sign_request_, *crl_always_, *proxy_, *proxy_auth_, *ask_save_;
};

class CMainWindow : public QDialog {
 public:
  CMainWindow(const CMessageTable& catalog, Prompt& prompt, std::string document, QWidget* parent = nullptr);
  ~CMainWindow() override;

  // Opens the document given at start-up: 0, or -1 after the closing message
  // (the window must not run).
  int Init();
  int OpenDocument(const std::string& path);
  void ResetViewer();
  void ShowPage();
  void LoadProxy();
  void ShowBusy();
  void HideBusy();

  // While a verification or a signature runs every action of every page is
  // refused, closing the window too.
  bool busy() const { return busy_ > 0; }
  class BusyScope {
   public:
    explicit BusyScope(CMainWindow& w) : w_(w) { ++w_.busy_; }
    ~BusyScope() { --w_.busy_; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

   private:
    CMainWindow& w_;
  };

  // A save dialog that asks the program's question once before overwriting
  // (No chooses again); none when cancelled.
  std::optional<std::string> AskSaveTarget(const FileDialogRequest& request);

  // Loads the current page's picture after a turn; false when it is not one.
  bool LoadPage(int index);
  void OnCloseButton();

  const CMessageTable& catalog() const { return catalog_; }
  Prompt& prompt() { return prompt_; }
  int kind() const { return kind_; }
  int status() const { return status_; }
  void set_status(int s) { status_ = s; }
  float zoom() const { return zoom_; }
  void set_zoom(float z) { zoom_ = z; }
  const std::string& document_name() const { return document_name_; }
  bool emf() const { return emf_; }
  CSignedDocObj* kdoc() const { return kdoc_.get(); }
  CSignedFile* signed_file() const { return signed_file_.get(); }
  CSignedMimeDoc* package() const { return package_.get(); }
  const ProxySettings& proxy() const { return proxy_; }
  int* wait_pid() { return &wait_pid_; }
  CProcessingDialog* processing() const { return processing_.get(); }

  QTabWidget* tabs() const { return tabs_; }
  CDocViewPage* viewer() const { return viewer_; }
  CSignaturesPage* signatures() const { return signatures_; }
  CSettingsPage* settings() const { return settings_; }

 protected:
  void closeEvent(QCloseEvent* e) override;
  void reject() override;

 private:
  int OpenKdoc(const std::string& path);
  std::unique_ptr<CSignedDocObj> OpenContainer(const std::string& path);
  std::unique_ptr<CSignedDocObj> OfferCopy(const std::string& path, std::string& title);
  int OpenSignedFile(const std::string& path);
  int OpenPackage(const std::string& path);
  void ShowOpened(const std::string& path);
  int Fail(int id, const char* polish, const std::string& caption);

  const CMessageTable& catalog_;
  Prompt& prompt_;
  std::string start_document_;
  int kind_ = kKindNone;
  int status_ = kStatusNone;
  float zoom_ = 4.0f;
  bool emf_ = true;
  int busy_ = 0;
  int wait_pid_ = 0;
  std::string document_name_;
  std::optional<gfx::EnhMetaFile> metafile_;
  QImage bitmap_;
  // The one owner of each open document object.
  std::unique_ptr<CSignedDocObj> kdoc_;
  std::unique_ptr<CSignedFile> signed_file_;
  std::unique_ptr<CSignedMimeDoc> package_;
  ProxySettings proxy_;
  std::unique_ptr<CProcessingDialog> processing_;
  QTabWidget* tabs_;
  CDocViewPage* viewer_;
  CSignaturesPage* signatures_;
  CSettingsPage* settings_;
  QPushButton* close_;
};

}  // namespace vel::app
