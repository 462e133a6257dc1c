// The certificate selection window and the certificate viewer driven
// offscreen: choosing, cancelling, closing, the no-selection message, the
// viewer's pages and path, calls from worker threads, and a screenshot of
// every window and page in both languages (written to the build folder).
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <QWindow>
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cryptolib/cert_windows.h"
#include "cryptolib/tests/cert_ui_fixture.h"
#include "cryptolib/tests/path_fixture.h"
#include "cryptolib/ui/cert_list_window.h"
#include "cryptolib/ui/cert_view_window.h"
#include "cryptolib/lib_strings.h"
#include "cryptolib/ui/lib_window.h"
#include "cryptolib/x509_context.h"

namespace vel::crypto::ui {
namespace {

using test::certui::Language;
using test::path::Party;

QApplication& App() {
  static int argc = 1;
  static char name[] = "cert_windows_gui_test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    // The offscreen platform says at every window what it cannot do.
    static const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext& context, const QString& message) {
          if (!message.startsWith(QStringLiteral("This plugin does not support"))) previous(type, context, message);
        });
    auto* a = new QApplication(argc, argv);
    InstallCertificateWindows();
    return a;
  }();
  return *app;
}

// Runs the event loop until `done` holds (at most 10 s).
bool WaitFor(const std::function<bool()>& done) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > 10000) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(2);
  }
  return true;
}

// Calls `act` with the modal window as soon as one of type T is up (polled by a timer,
// so it also fires inside a nested modal loop).
template <typename T>
void WhenModal(std::function<void(T*)> act) {
  auto* timer = new QTimer(&App());
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, timer, [timer, act] {
    if (auto* w = dynamic_cast<T*>(QApplication::activeModalWidget())) {
      timer->stop();
      timer->deleteLater();
      act(w);
      // A failed check must not leave a modal window waiting for a click.
      if (::testing::Test::HasFailure() && w->isVisible()) w->close();
    }
  });
  timer->start();
}

std::vector<CertViewWindow*> Viewers() {
  std::vector<CertViewWindow*> out;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* v = dynamic_cast<CertViewWindow*>(w); v != nullptr && v->isVisible()) out.push_back(v);
  return out;
}

void CloseViewers() {
  for (CertViewWindow* v : Viewers()) v->close();
  WaitFor([] { return Viewers().empty(); });
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void ClickRow(QTreeWidget* list, QTreeWidgetItem* item, bool twice = false) {
  list->scrollToItem(item);
  const QPoint at = list->visualItemRect(item).center();
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
  if (twice) QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
}

// Every text of the window is drawn whole: labels, buttons, group titles,
// tab titles and column headings have room for their text in its font.
void ExpectTextsFit(QWidget* root) {
  const auto fits = [](QWidget* w, const QString& text, int room) {
    const int need = w->fontMetrics().horizontalAdvance(text);
    EXPECT_LE(need, room) << text.toStdString() << " in " << w->metaObject()->className();
  };
  for (QLabel* l : root->findChildren<QLabel*>())
    if (l->isVisible() && !l->text().contains('\n')) fits(l, l->text(), l->contentsRect().width());
  for (QAbstractButton* b : root->findChildren<QAbstractButton*>())
    if (b->isVisible()) fits(b, b->text(), b->width() - 8);
  for (QGroupBox* g : root->findChildren<QGroupBox*>())
    if (g->isVisible()) fits(g, g->title(), g->width() - 16);
  for (QTabBar* t : root->findChildren<QTabBar*>())
    for (int i = 0; i < t->count(); ++i) fits(t, t->tabText(i), t->tabRect(i).width());
  for (QTreeWidget* tree : root->findChildren<QTreeWidget*>()) {
    if (!tree->isVisible() || tree->isHeaderHidden()) continue;
    QHeaderView* h = tree->header();
    for (int c = 0; c < tree->columnCount(); ++c)
      fits(h, tree->headerItem()->text(c), h->sectionSize(c) - 8);
  }
}

std::string LanguageName(uint32_t language) { return language == kLanguageEnglish ? "en" : "pl"; }

void Screenshot(QWidget* w, const std::string& name) {
  QCoreApplication::processEvents();
  const std::filesystem::path path = std::filesystem::path(VEL_BINARY_DIR) / (name + ".png");
  EXPECT_TRUE(w->grab().save(QString::fromStdString(path.string()))) << path;
}

class CertWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    for (int i = 1; i <= 5; ++i) {
      parties_.push_back(std::make_unique<Party>(Party{"Osoba Zażółć " + std::to_string(i)}));
      candidates_.push_back(test::path::Issue(*parties_.back(), ca_,
                                              test::path::Leaf(static_cast<uint8_t>(0x10 + i))));
    }
  }
  void TearDown() override { CloseViewers(); }

  X509ContextPtr ContextWithCandidates() {
    X509ContextPtr context = MakeX509Context();
    context->candidates = candidates_;
    context->certificate = candidates_[4];  // released when the window starts
    return context;
  }

  Party ca_{"Centrum Kwalifikowane"};
  std::vector<std::unique_ptr<Party>> parties_;
  std::vector<CertPtr> candidates_;
};

// ------------------------------------------------------------- selection

TEST_F(CertWindows, SelectTheThirdOfFive) {
  for (uint32_t language : {kLanguagePolish, kLanguageEnglish}) {
    Language l(language);
    X509ContextPtr context = ContextWithCandidates();
    std::vector<std::weak_ptr<const platform::CertContext>> watch(candidates_.begin(),
                                                                  candidates_.end());
    WhenModal<CertListDialog>([&](CertListDialog* d) {
      EXPECT_EQ(d->windowTitle().toStdString(), GetLibString(61));
      ASSERT_EQ(d->list()->topLevelItemCount(), 5);
      for (int c = 0; c < 4; ++c)
        EXPECT_EQ(d->list()->headerItem()->text(c).toStdString(), GetLibString(62 + c));
      EXPECT_EQ(d->view_button()->text().toStdString(), GetLibString(66));
      EXPECT_EQ(d->select_button()->text().toStdString(), GetLibString(67));
      EXPECT_EQ(d->cancel_button()->text().toStdString(), GetLibString(68));
      EXPECT_EQ(d->list()->topLevelItem(2)->text(0).toStdString(), "Osoba Zażółć 3");
      EXPECT_EQ(d->list()->topLevelItem(2)->text(1).toStdString(), "Centrum Kwalifikowane");
      EXPECT_EQ(d->list()->topLevelItem(2)->text(2).toStdString(), "13");
      EXPECT_EQ(d->HighlightedRow(), -1);  // nothing highlighted at first
      ExpectTextsFit(d);
      Screenshot(d, "cert_list_" + LanguageName(language));
      ClickRow(d->list(), d->list()->topLevelItem(2));
      EXPECT_EQ(d->HighlightedRow(), 2);
      QTest::mouseClick(d->select_button(), Qt::LeftButton);
    });
    const CertPtr chosen = ShowCertListWindow(context.get());
    ASSERT_TRUE(chosen);
    EXPECT_EQ(chosen, candidates_[2]);
    EXPECT_EQ(context->certificate, candidates_[2]);
    EXPECT_EQ(context->last_error, 0u);
    EXPECT_TRUE(context->candidates.empty());
    context.reset();
    // The window kept nothing: only the test's own references remain.
    for (size_t i = 0; i < watch.size(); ++i) EXPECT_EQ(watch[i].use_count(), i == 2 ? 2 : 1) << i;
  }
}

TEST_F(CertWindows, CancelAndCloseGive1223) {
  for (bool close_box : {false, true}) {
    X509ContextPtr context = ContextWithCandidates();
    WhenModal<CertListDialog>([&](CertListDialog* d) {
      ClickRow(d->list(), d->list()->topLevelItem(1));
      if (close_box)
        d->close();
      else
        QTest::mouseClick(d->cancel_button(), Qt::LeftButton);
    });
    EXPECT_FALSE(ShowCertListWindow(context.get()));
    EXPECT_EQ(context->last_error, 1223u);
    EXPECT_FALSE(context->certificate);
    EXPECT_EQ(context->candidates.size(), 5u);  // the caller releases them
  }
  // An empty list: Cancel as well.
  X509ContextPtr empty = MakeX509Context();
  WhenModal<CertListDialog>([&](CertListDialog* d) {
    EXPECT_EQ(d->list()->topLevelItemCount(), 0);
    QTest::mouseClick(d->cancel_button(), Qt::LeftButton);
  });
  EXPECT_FALSE(ShowCertListWindow(empty.get()));
  EXPECT_EQ(empty->last_error, 1223u);
}

TEST_F(CertWindows, SelectWithoutARowAsksTheUserToChoose) {
  for (uint32_t language : {kLanguagePolish, kLanguageEnglish}) {
    Language l(language);
    X509ContextPtr context = ContextWithCandidates();
    int boxes = 0;
    WhenModal<CertListDialog>([&](CertListDialog* d) {
      WhenModal<QMessageBox>([&, d](QMessageBox* box) {
        ++boxes;
        EXPECT_EQ(box->text().toStdString(), GetLibString(70));
        EXPECT_EQ(box->windowTitle().toStdString(), GetLibString(69));
        EXPECT_EQ(box->icon(), QMessageBox::Warning);
        EXPECT_EQ(box->parentWidget(), d);
        Screenshot(box, "cert_list_no_selection_" + LanguageName(language));
        box->button(QMessageBox::Ok)->click();
      });
      QTest::mouseClick(d->select_button(), Qt::LeftButton);  // returns once the box is closed
      EXPECT_TRUE(d->isVisible());
      EXPECT_EQ(d->chosen_row(), -1);
      QTest::mouseClick(d->cancel_button(), Qt::LeftButton);
    });
    EXPECT_FALSE(ShowCertListWindow(context.get()));
    EXPECT_EQ(boxes, 1);
    EXPECT_EQ(context->last_error, 1223u);
  }
}

TEST_F(CertWindows, SelectionFromAWorkerThread) {
  X509ContextPtr context = ContextWithCandidates();
  std::atomic<bool> done{false};
  CertPtr chosen;
  // The dialog runs inside this thread's event loop; it is driven from there.
  WhenModal<CertListDialog>([&](CertListDialog* d) {
    EXPECT_FALSE(done);  // the worker waits for the answer
    ClickRow(d->list(), d->list()->topLevelItem(4));
    QTest::mouseClick(d->select_button(), Qt::LeftButton);
  });
  std::thread worker([&] {
    chosen = RunCertificateSelection(context.get());  // through the installed handler
    done = true;
  });
  const bool answered = WaitFor([&] { return done.load(); });
  if (!answered)
    if (QWidget* w = QApplication::activeModalWidget()) w->close();
  worker.join();
  ASSERT_TRUE(answered);
  EXPECT_EQ(chosen, candidates_[4]);
  EXPECT_EQ(context->last_error, 0u);
}

TEST_F(CertWindows, ViewButtonOpensAViewerThatOutlivesTheSelection) {
  X509ContextPtr context = ContextWithCandidates();
  CertViewWindow* viewer = nullptr;
  WhenModal<CertListDialog>([&](CertListDialog* d) {
    QTest::mouseClick(d->view_button(), Qt::LeftButton);  // no row: nothing
    QCoreApplication::processEvents();
    EXPECT_TRUE(Viewers().empty());
    ClickRow(d->list(), d->list()->topLevelItem(1));
    QTest::mouseClick(d->view_button(), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([] { return Viewers().size() == 1; }));
    viewer = Viewers().front();
    EXPECT_EQ(viewer->model().certificate, candidates_[1]);
    // The modal selection does not block it.
    ASSERT_NE(viewer->windowHandle(), nullptr);
    EXPECT_EQ(viewer->windowHandle()->transientParent(), d->windowHandle());
    EXPECT_TRUE(d->isVisible());
    QTest::mouseClick(d->cancel_button(), Qt::LeftButton);
  });
  EXPECT_FALSE(ShowCertListWindow(context.get()));
  ASSERT_TRUE(WaitFor([] { return QApplication::activeModalWidget() == nullptr; }));
  ASSERT_EQ(Viewers().size(), 1u);
  EXPECT_EQ(Viewers().front(), viewer);
}

// ---------------------------------------------------------------- viewer

class CertViewer : public CertWindows {
 protected:
  CertPtr RichLeaf(const Party& leaf, const Party& issuer) {
    test::path::CertOptions o = test::path::Leaf(0x2A);
    der::Writer san;
    san.Begin(der::kSequence);
    san.AddString(der::ContextPrimitive(1), "jan.kowalski@example.pl");
    san.End();
    o.extra = {{"2.5.29.32",
                test::certui::Policies("1.2.616.1.113527.2.4.1.1",
                                       {test::certui::Cps("http://www.example.pl/polityka"),
                                        test::certui::Notice({test::certui::Encode(
                                            der::kUtf8String, "Polityka zażółć gęślą jaźń")})})},
               {"2.5.29.17", *san.Finish()},
               {"2.5.29.19", {0x30, 0x00}},
               {"2.5.29.37", test::path::kEkuEmail}};
    return test::path::Issue(leaf, issuer, o);
  }
};

TEST_F(CertViewer, PagesPathAndScreenshots) {
  Party root{"Centrum Testowe Główne"}, inter{"Centrum Kwalifikowane Zażółć"};
  Party person{"Jan Kowalski"};
  const CertPtr root_cert = test::path::Issue(root, root, test::path::Ca(1));
  const CertPtr inter_cert = test::path::Issue(inter, root, test::path::Ca(2));
  const CertPtr leaf = RichLeaf(person, inter);
  test::certui::Stores stores;
  stores.Add("CA", inter_cert);
  stores.Add("Root", root_cert);

  for (uint32_t language : {kLanguagePolish, kLanguageEnglish}) {
    Language l(language);
    const std::string lang = LanguageName(language);
    {
      X509ContextPtr context = MakeX509Context();
      SetCertificateContext(context.get(), leaf);
      ASSERT_EQ(ShowCertificate(context.get(), nullptr), 0u);
    }  // the caller's context goes at once; the viewer keeps its own copy
    ASSERT_TRUE(WaitFor([] { return Viewers().size() == 1; }));
    CertViewWindow* v = Viewers().front();
    EXPECT_EQ(v->windowTitle().toStdString(), GetLibString(2));
    ASSERT_EQ(v->tabs()->count(), 3);
    for (int i = 0; i < 3; ++i)
      EXPECT_EQ(v->tabs()->tabText(i).toStdString(), GetLibString(3 + static_cast<uint32_t>(i)));
    EXPECT_EQ(v->close_button()->text().toStdString(), GetLibString(17));
    EXPECT_EQ(v->tabs()->currentIndex(), 0);
    ASSERT_EQ(v->subject_list()->topLevelItemCount(), 1);
    EXPECT_EQ(v->subject_list()->topLevelItem(0)->text(0).toStdString(), GetLibString(201));
    EXPECT_EQ(v->subject_list()->topLevelItem(0)->text(1).toStdString(), "Jan Kowalski");
    EXPECT_EQ(v->issuer_list()->topLevelItem(0)->text(1).toStdString(), "Centrum Kwalifikowane Zażółć");
    ExpectTextsFit(v);
    Screenshot(v, "cert_view_general_" + lang);

    // Details: the rows of the model; a click shows the row's whole value.
    v->tabs()->setCurrentIndex(1);
    QCoreApplication::processEvents();
    QTreeWidget* details = v->details_list();
    ASSERT_EQ(details->topLevelItemCount(), static_cast<int>(v->model().details.size()));
    int policy_row = -1, usage_row = -1;
    for (int i = 0; i < details->topLevelItemCount(); ++i) {
      if (v->model().details[static_cast<size_t>(i)].label_id == 24) policy_row = i;
      if (v->model().details[static_cast<size_t>(i)].label_id == 22) usage_row = i;
    }
    ASSERT_GE(policy_row, 0);
    ASSERT_GE(usage_row, 0);
    ClickRow(details, details->topLevelItem(usage_row));
    EXPECT_EQ(v->value_box()->toPlainText().toStdString(),
              language == kLanguageEnglish ? "Digital signature\nNon-Repudiation"
                                           : "Podpis cyfrowy\nUsługa niezaprzeczalności");
    ClickRow(details, details->topLevelItem(policy_row));
    EXPECT_NE(v->value_box()->toPlainText().toStdString().find("\n[1,2] CPS = http://www.example.pl/polityka"),
              std::string::npos);
    ExpectTextsFit(v);
    Screenshot(v, "cert_view_details_" + lang);

    // Path: root, issuer, the certificate itself (selected).
    v->tabs()->setCurrentIndex(2);
    QCoreApplication::processEvents();
    QTreeWidget* tree = v->path_tree();
    ASSERT_EQ(tree->topLevelItemCount(), 1);
    QTreeWidgetItem* top = tree->topLevelItem(0);
    ASSERT_EQ(top->childCount(), 1);
    QTreeWidgetItem* middle = top->child(0);
    ASSERT_EQ(middle->childCount(), 1);
    QTreeWidgetItem* self = middle->child(0);
    EXPECT_EQ(top->text(0).toStdString(), "Centrum Testowe Główne");
    EXPECT_EQ(middle->text(0).toStdString(), "Centrum Kwalifikowane Zażółć");
    EXPECT_EQ(self->text(0).toStdString(), "Jan Kowalski");
    EXPECT_EQ(tree->currentItem(), self);
    ExpectTextsFit(v);
    Screenshot(v, "cert_view_path_" + lang);

    ClickRow(tree, self, true);  // the certificate shown: nothing opens
    QCoreApplication::processEvents();
    EXPECT_EQ(Viewers().size(), 1u);
    ClickRow(tree, middle, true);  // its issuer: a second viewer
    ASSERT_TRUE(WaitFor([] { return Viewers().size() == 2; }));
    for (CertViewWindow* w : Viewers())
      if (w != v) {
        EXPECT_EQ(w->model().certificate->sha1(), inter_cert->sha1());
      }
    QTest::mouseClick(v->close_button(), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([] { return Viewers().size() == 1; }));  // each viewer on its own
    CloseViewers();
  }
}

TEST_F(CertViewer, MissingIssuerItemOpensNothing) {
  Party inter{"Pośredni"}, person{"Anna Nowak"}, absent_root{"Brak"};
  const CertPtr inter_cert = test::path::Issue(inter, absent_root, test::path::Ca(2));
  test::certui::Stores stores;
  stores.Add("CA", inter_cert);
  for (uint32_t language : {kLanguagePolish, kLanguageEnglish}) {
    Language l(language);
    ASSERT_EQ(ShowCertViewWindow(RichLeaf(person, inter)), 0u);
    ASSERT_TRUE(WaitFor([] { return Viewers().size() == 1; }));
    CertViewWindow* v = Viewers().front();
    v->tabs()->setCurrentIndex(2);
    QCoreApplication::processEvents();
    QTreeWidgetItem* top = v->path_tree()->topLevelItem(0);
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(top->text(0).toStdString(), GetLibString(36));
    ExpectTextsFit(v);
    Screenshot(v, "cert_view_path_partial_" + LanguageName(language));
    ClickRow(v->path_tree(), top, true);
    QCoreApplication::processEvents();
    EXPECT_EQ(Viewers().size(), 1u);
    CloseViewers();
  }
}

TEST_F(CertViewer, FromAWorkerThreadAndRefusals) {
  const CertPtr leaf = RichLeaf(*parties_[0], ca_);
  std::atomic<LibraryErrorCode> result{99};
  std::thread worker([&] {
    X509ContextPtr context = MakeX509Context();
    SetCertificateContext(context.get(), leaf);
    result = ShowCertificate(context.get(), nullptr);
  });
  worker.join();  // the call does not wait for the window
  EXPECT_EQ(result.load(), 0u);
  ASSERT_TRUE(WaitFor([] { return Viewers().size() == 1; }));
  CloseViewers();

  // A certificate policy the viewer cannot read: no window, and the caller hears why.
  test::path::CertOptions o = test::path::Leaf(0x33);
  o.extra = {{"2.5.29.32", test::certui::Policies("1.2.3.4", {test::certui::Notice({})})}};
  X509ContextPtr context = MakeX509Context();
  SetCertificateContext(context.get(), test::path::Issue(*parties_[1], ca_, o));
  EXPECT_EQ(ShowCertificate(context.get(), nullptr), 13u);
  EXPECT_EQ(context->last_error, 13u);
  QCoreApplication::processEvents();
  EXPECT_TRUE(Viewers().empty());
  X509ContextPtr none = MakeX509Context();
  EXPECT_EQ(ShowCertificate(none.get(), nullptr), LIB_E_NO_CERTIFICATE);
}

}  // namespace
}  // namespace vel::crypto::ui
