// The CMS signer window driven offscreen: opened through a signer node (from
// the GUI thread and from a worker), living on after the tree is gone, its
// pages, value boxes and buttons, the nested window of a time stamp, and a
// screenshot of every page in both languages (written to the build folder).
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTextDocument>
#include <QThread>
#include <QTreeWidget>
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cryptolib/cms_signer_tree.h"
#include "cryptolib/cms_signer_window.h"
#include "cryptolib/tests/cert_ui_fixture.h"
#include "cryptolib/tests/signer_ui_fixture.h"
#include "cryptolib/ui/cert_view_window.h"
#include "cryptolib/ui/library_windows.h"
#include "cryptolib/ui/signer_info_labels.h"
#include "cryptolib/ui/signer_info_window.h"

namespace vel::crypto::ui {
namespace {

using test::ByteVec;
using test::certui::Language;

QApplication& App() {
  static int argc = 1;
  static char name[] = "signer_info_window_gui_test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    // The offscreen platform says at every window what it cannot do.
    static const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext& context, const QString& message) {
          if (!message.startsWith(QStringLiteral("This plugin does not support")))
            previous(type, context, message);
        });
    auto* a = new QApplication(argc, argv);
    InstallLibraryWindows();
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

template <typename T>
std::vector<T*> Visible() {
  std::vector<T*> out;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* v = dynamic_cast<T*>(w); v != nullptr && v->isVisible()) out.push_back(v);
  return out;
}

void CloseAll() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->isVisible()) w->close();
  WaitFor([] { return Visible<QWidget>().empty(); });
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

std::vector<uint32_t> LabelIdsOf(const std::vector<SignerRow>& rows) {
  std::vector<uint32_t> out;
  for (const SignerRow& r : rows) out.push_back(r.label_id);
  return out;
}

QString Label(uint32_t id) { return QString::fromUtf8(GetCmsSignerLabel(id)); }

void ClickRow(QTreeWidget* list, int row) {
  QTreeWidgetItem* item = list->topLevelItem(row);
  ASSERT_NE(item, nullptr);
  list->scrollToItem(item);
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(item).center());
}

QString Shown(const std::string& value) {
  QString t = QString::fromStdString(value);
  t.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return t;
}

// Every text of the window is drawn whole: buttons, group titles, tab
// titles, column headings and the row names of the lists.
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
    if (!tree->isVisible()) continue;
    QHeaderView* h = tree->header();
    for (int c = 0; c < tree->columnCount(); ++c)
      fits(h, tree->headerItem()->text(c), h->sectionSize(c) - 8);
    for (int r = 0; r < tree->topLevelItemCount(); ++r)
      fits(tree, tree->topLevelItem(r)->text(0), tree->columnWidth(0) - 4);
  }
}

std::string LanguageName(uint32_t language) { return language == kLanguageEnglish ? "en" : "pl"; }

void Screenshot(QWidget* w, const std::string& name) {
  QCoreApplication::processEvents();
  const std::filesystem::path path = std::filesystem::path(VEL_BINARY_DIR) / (name + ".png");
  EXPECT_TRUE(w->grab().save(QString::fromStdString(path.string()))) << path;
}

class SignerWindow : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pki_ = std::make_unique<test::TestPki>();
    tsa_ = std::make_unique<test::TestTsa>();
    test::ScriptedPin pin;
    pin.Install();
    sample_ = std::make_unique<test::signerui::SignedSample>(
        test::signerui::MakeSignedSample(*pki_, *tsa_));
  }
  static void TearDownTestSuite() {
    sample_.reset();
    tsa_.reset();
    pki_.reset();
  }
  void SetUp() override { App(); }
  void TearDown() override { CloseAll(); }

  static std::unique_ptr<CmsSignerNode> Tree() {
    const ByteVec& m = sample_->stamped;
    return CmsSignerNode::BuildTree(m.data(), static_cast<uint32_t>(m.size()),
                                    sample_->content.data(),
                                    static_cast<uint32_t>(sample_->content.size()));
  }

  static std::unique_ptr<test::TestPki> pki_;
  static std::unique_ptr<test::TestTsa> tsa_;
  static std::unique_ptr<test::signerui::SignedSample> sample_;
};
std::unique_ptr<test::TestPki> SignerWindow::pki_;
std::unique_ptr<test::TestTsa> SignerWindow::tsa_;
std::unique_ptr<test::signerui::SignedSample> SignerWindow::sample_;

TEST_F(SignerWindow, PagesAndButtonsOutliveTheTreeInBothLanguages) {
  for (uint32_t language : {kLanguagePolish, kLanguageEnglish}) {
    Language l(language);
    std::unique_ptr<CmsSignerNode> tree = Tree();
    ASSERT_NE(tree, nullptr);
    const ByteVec signer_info(tree->signer_info().begin(), tree->signer_info().end());
    ASSERT_EQ(tree->ShowInfoWindow(nullptr), 0u);
    tree.reset();  // the window keeps its own copy
    ASSERT_TRUE(WaitFor([] { return Visible<SignerInfoWindow>().size() == 1; }));
    SignerInfoWindow* w = Visible<SignerInfoWindow>()[0];
    EXPECT_EQ(w->signer_info(), signer_info);
    EXPECT_EQ(w->windowTitle(), Label(2));
    EXPECT_GE(w->width(), 420);
    EXPECT_GE(w->height(), 480);
    EXPECT_EQ(w->tabs()->objectName(), QStringLiteral("SignerInfoTab"));
    ASSERT_EQ(w->tabs()->count(), 3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(w->tabs()->tabText(i), Label(3 + static_cast<uint32_t>(i)));
    EXPECT_EQ(w->close_button()->text(), Label(6));
    EXPECT_EQ(w->show_certificate_button()->text(), Label(7));
    EXPECT_EQ(w->show_signature_button()->text(), Label(8));
    EXPECT_EQ(w->tabs()->currentIndex(), 0);
    EXPECT_FALSE(w->show_signature_button()->isVisible());

    const SignerInfoWindow::Page pages[] = {SignerInfoWindow::kGeneralPage,
                                            SignerInfoWindow::kSignedPage,
                                            SignerInfoWindow::kUnsignedPage};
    const std::vector<SignerRow>* rows[] = {&w->model().general, &w->model().signed_attributes,
                                            &w->model().unsigned_attributes};
    const char* names[] = {"general", "signed", "unsigned"};
    const int counts[] = {5, 3, 2};
    for (int p = 0; p < 3; ++p) {
      w->tabs()->setCurrentIndex(p);
      QCoreApplication::processEvents();
      EXPECT_EQ(w->show_signature_button()->isVisible(), p == 2) << p;
      QTreeWidget* list = w->list(pages[p]);
      const uint32_t base = 201 + 100 * static_cast<uint32_t>(p);
      EXPECT_EQ(list->headerItem()->text(0), Label(base + 1));
      EXPECT_EQ(list->headerItem()->text(1), Label(base + 2));
      ASSERT_EQ(list->topLevelItemCount(), counts[p]);
      for (int r = 0; r < counts[p]; ++r) {
        EXPECT_EQ(list->topLevelItem(r)->text(0).toStdString(), (*rows[p])[static_cast<size_t>(r)].label);
      }
      // The value boxes of the first and third pages use the fixed font.
      EXPECT_EQ(QFontInfo(w->value_box(pages[p])->font()).fixedPitch(), p != 1) << p;
      // Selecting a row shows its whole value.
      const int pick = p == 0 ? 4 : 0;
      ClickRow(list, pick);
      EXPECT_EQ(w->value_box(pages[p])->toPlainText(),
                Shown((*rows[p])[static_cast<size_t>(pick)].value))
          << p;
      if (p != 1) {
        // Hex dump lines have room: they are not wrapped.
        QPlainTextEdit* box = w->value_box(pages[p]);
        const int room = box->viewport()->width() -
                         2 * static_cast<int>(box->document()->documentMargin());
        for (const QString& line : box->toPlainText().split(QLatin1Char('\n')))
          EXPECT_LE(QFontMetrics(box->font()).horizontalAdvance(line), room) << line.toStdString();
      }
      ExpectTextsFit(w);
      Screenshot(w, std::string("signer_info_") + names[p] + "_" + LanguageName(language));
    }
    // General: the Signature row holds the hex dump of the value.
    EXPECT_EQ(w->model().general[4].value, HexDump(test::SignatureValue(sample_->stamped, 0)));
    // Unsigned: the time stamp, then the counter-signature.
    EXPECT_EQ(w->model().unsigned_attributes[0].label_id, kLabelTimestamp);
    EXPECT_EQ(w->model().unsigned_attributes[1].label_id, kLabelCountersignature);

    // Show signature on the Countersignature row opens nothing ...
    ClickRow(w->list(SignerInfoWindow::kUnsignedPage), 1);
    QTest::mouseClick(w->show_signature_button(), Qt::LeftButton);
    for (int i = 0; i < 20; ++i) QCoreApplication::processEvents();
    EXPECT_EQ(Visible<SignerInfoWindow>().size(), 1u);
    // ... on the Timestamp row a window for the authority's signer.
    ClickRow(w->list(SignerInfoWindow::kUnsignedPage), 0);
    QTest::mouseClick(w->show_signature_button(), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([] { return Visible<SignerInfoWindow>().size() == 2; }));
    SignerInfoWindow* nested = nullptr;
    for (SignerInfoWindow* v : Visible<SignerInfoWindow>())
      if (v != w) nested = v;
    ASSERT_NE(nested, nullptr);
    ASSERT_NE(nested->certificate(), nullptr);
    EXPECT_TRUE(std::ranges::equal(nested->certificate()->der(), tsa_->tsa.cert->der()));
    EXPECT_EQ(nested->model().general[1].shown, "CN=Test TSA Root, O=Vellorum Test, C=PL");
    EXPECT_EQ(nested->model().signed_attributes[0].shown, GetCmsSignerLabel(312));
    nested->close();
    ASSERT_TRUE(WaitFor([] { return Visible<SignerInfoWindow>().size() == 1; }));

    // Show certificate opens the viewer for the signer's certificate.
    QTest::mouseClick(w->show_certificate_button(), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([] { return Visible<CertViewWindow>().size() == 1; }));
    ASSERT_NE(Visible<CertViewWindow>()[0]->model().certificate, nullptr);
    EXPECT_TRUE(std::ranges::equal(Visible<CertViewWindow>()[0]->model().certificate->der(),
                                   pki_->signer.cert->der()));
    Visible<CertViewWindow>()[0]->close();

    // Close closes the window.
    QTest::mouseClick(w->close_button(), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([] { return Visible<SignerInfoWindow>().empty(); }));
    CloseAll();
  }
}

TEST_F(SignerWindow, AWorkerThreadOpensItOnTheGuiThread) {
  std::atomic<LibraryErrorCode> status{0xFFFFFFFF};
  std::thread worker([&] {
    std::unique_ptr<CmsSignerNode> tree = Tree();
    // The counter-signer's window: the tree goes with the thread.
    CmsSignerNode* counter = nullptr;
    for (CmsSignerNode* n = tree ? tree->first_child() : nullptr; n != nullptr; n = n->next())
      if (n->kind() == CmsSignerNode::kCounterSigner) counter = n;
    status = counter != nullptr ? counter->ShowInfoWindow(nullptr) : 1u;
  });
  worker.join();
  EXPECT_EQ(status.load(), 0u);
  ASSERT_TRUE(WaitFor([] { return Visible<SignerInfoWindow>().size() == 1; }));
  SignerInfoWindow* w = Visible<SignerInfoWindow>()[0];
  EXPECT_EQ(w->thread(), QCoreApplication::instance()->thread());
  EXPECT_EQ(w->model().general[0].shown, "V1");
  EXPECT_EQ(LabelIdsOf(w->model().signed_attributes), (std::vector<uint32_t>{306, 307}));
  ASSERT_NE(w->certificate(), nullptr);
  EXPECT_TRUE(std::ranges::equal(w->certificate()->der(), pki_->signer.cert->der()));
  ClickRow(w->list(SignerInfoWindow::kGeneralPage), 1);
  EXPECT_EQ(w->value_box(SignerInfoWindow::kGeneralPage)->toPlainText(),
            QStringLiteral("CN=Test CA, O=Vellorum Test, C=PL"));
}

TEST_F(SignerWindow, EveryRowKindHasRoomInBothLanguages) {
  using test::signerui::Attr;
  const auto sequence_of = [](const std::string& oid) {
    return test::signerui::Element([&](der::Writer& w) {
      w.Begin(der::kSequence);
      w.AddOid(oid);
      w.End();
    });
  };
  test::signerui::CraftedSigner s;
  s.signed_attributes = {
      Attr("1.2.840.113549.1.9.3", {test::signerui::OidValue("1.2.840.113549.1.7.1")}),
      Attr("1.2.840.113549.1.9.5", {test::signerui::Primitive(der::kUtcTime, "090409101520Z")}),
      Attr("1.2.840.113549.1.9.4", {test::signerui::OctetsValue(ByteVec(20, 0x11))}),
      Attr("1.2.840.113549.1.9.16.2.15", {sequence_of("1.2.3.4")}),
      Attr("1.2.840.113549.1.9.16.2.16", {sequence_of("1.2.840.113549.1.9.16.6.1")}),
  };
  s.unsigned_attributes = {
      Attr("1.2.840.113549.1.9.6", {test::signerui::Craft({})}),
      Attr(kOidSignatureTimeStampToken, {sample_->token}),
      Attr("1.2.840.113549.1.9.16.2.21", {}), Attr("1.2.840.113549.1.9.16.2.22", {}),
      Attr("1.2.840.113549.1.9.16.2.23", {}), Attr("1.2.840.113549.1.9.16.2.24", {}),
  };
  const ByteVec signer_info = test::signerui::Craft(s);
  for (uint32_t language : {kLanguagePolish, kLanguageEnglish}) {
    Language l(language);
    ASSERT_EQ(ShowCmsSignerWindow(signer_info, pki_->signer.cert), 0u);
    ASSERT_TRUE(WaitFor([] { return Visible<SignerInfoWindow>().size() == 1; }));
    SignerInfoWindow* w = Visible<SignerInfoWindow>()[0];
    EXPECT_EQ(w->list(SignerInfoWindow::kSignedPage)->topLevelItemCount(), 5);
    EXPECT_EQ(w->list(SignerInfoWindow::kUnsignedPage)->topLevelItemCount(), 6);
    for (int p : {1, 2}) {
      w->tabs()->setCurrentIndex(p);
      QCoreApplication::processEvents();
      ExpectTextsFit(w);
      Screenshot(w, std::string("signer_info_all_") + (p == 1 ? "signed_" : "unsigned_") +
                        LanguageName(language));
    }
    CloseAll();
  }
}

TEST_F(SignerWindow, WhatCannotBeShownOpensNothing) {
  const std::unique_ptr<CmsSignerNode> tree = Tree();
  ASSERT_NE(tree, nullptr);
  EXPECT_EQ(ShowCmsSignerWindow(ByteVec{0x30, 0x00}, pki_->signer.cert), 0x8009310Bu);
  EXPECT_EQ(ShowCmsSignerWindow(tree->signer_info(), nullptr), 13u);
  SetCmsSignerWindowHandler(nullptr);
  EXPECT_EQ(tree->ShowInfoWindow(nullptr), 120u);
  InstallCmsSignerWindow();
  for (int i = 0; i < 20; ++i) QCoreApplication::processEvents();
  EXPECT_TRUE(Visible<SignerInfoWindow>().empty());
}

}  // namespace
}  // namespace vel::crypto::ui
