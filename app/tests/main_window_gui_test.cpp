// The main window driven offscreen in both languages: an empty window, a
// three-page EMF container with two signers (one time-stamped, one
// counter-signed), a BMP container, files that cannot be read, a signed .p7
// file, the settings page, the busy state and printing to PDF. Each case
// writes screenshots to the build folder.
#include "app/ui/main_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QBuffer>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPrintDialog>
#include <QPrinter>
#include <QPrinterInfo>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QWheelEvent>
#include <filesystem>

#include "app/registry_names.h"
#include "app/tests/kdoc_fixture.h"
#include "app/tests/xml_documents.h"
#include "cryptolib/cms_classes.h"
#include "cryptolib/tests/cms_tree_fixture.h"
#include "cryptolib/tests/tsa_fixture.h"
#include "platform/registry.h"

namespace vel::app {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

const char* LanguageName(uint32_t lang) { return lang == 1033 ? "en" : "pl"; }

// Every visible text of the window fits its control.
void ExpectTextsFit(QWidget* root) {
  const auto fits = [](QWidget* w, const QString& text, int room) {
    for (const QString& line : text.split('\n'))
      EXPECT_LE(w->fontMetrics().horizontalAdvance(line), room)
          << w->objectName().toStdString() << ": " << line.toStdString();
  };
  for (auto* l : root->findChildren<QLabel*>())
    if (l->isVisible() && !l->wordWrap() && !l->text().isEmpty()) fits(l, l->text(), l->contentsRect().width());
  for (auto* b : root->findChildren<QPushButton*>())
    if (b->isVisible()) fits(b, b->text(), b->width() - 8);
  for (auto* c : root->findChildren<QCheckBox*>())
    if (c->isVisible()) fits(c, c->text(), c->width() - 20);
  for (auto* g : root->findChildren<QGroupBox*>())
    if (g->isVisible()) fits(g, g->title(), g->width() - 16);
  for (auto* t : root->findChildren<QTabBar*>())
    for (int i = 0; i < t->count(); ++i) fits(t, t->tabText(i), t->tabRect(i).width());
}

void Screenshot(QWidget* w, const std::string& name) {
  QApplication::processEvents();
  const fs::path path = fs::path(VEL_BINARY_DIR) / ("main_window_" + name + ".png");
  EXPECT_TRUE(w->grab().save(QString::fromStdString(path.string()))) << path;
}

template <typename T>
T* Find(QWidget* root, const char* id) {
  T* w = root->findChild<T*>(id);
  EXPECT_NE(w, nullptr) << id;
  return w;
}

// A page with some ink: at least one pixel that is not white.
bool HasInk(const QImage& image) {
  for (int y = 0; y < image.height(); y += 3)
    for (int x = 0; x < image.width(); x += 3)
      if ((image.pixel(x, y) & 0xFFFFFF) != 0xFFFFFF) return true;
  return false;
}

Bytes BmpPage(int n) {
  QImage image(160, 220, QImage::Format_RGB32);
  image.fill(Qt::white);
  for (int y = 20; y < 120; ++y)
    for (int x = 10 + n * 10; x < 80 + n * 10; ++x) image.setPixel(x, y, qRgb(0, 0, 40 * n));
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "BMP");
  return Bytes(bytes.begin(), bytes.end());
}

class MainWindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pki_ = new test::TestPki;
    tsa_ = new test::TestTsa;
  }
  static void TearDownTestSuite() {
    delete tsa_;
    delete pki_;
  }
  void SetUp() override { pin_.Install(); }

  void SetMachine(const char* name, const std::string& value) {
    platform::RegKey key;
    ASSERT_EQ(platform::RegCreateKey(platform::RegHive::kLocalMachine, kMachineKey, key), 0u);
    ASSERT_EQ(platform::RegSetString(key, name, value), 0u);
  }

  // The three EMF pages (or these three), signed by two signers: the first
  // with a time stamp on its signature, the second counter-signed by the
  // first (whose certificate the message carries).
  fs::path SignedContainer(const std::vector<Bytes>& pages = test::ThreePages()) {
    const Bytes stream = test::PageStream(pages);
    const Bytes content(stream.begin() + 4, stream.end());
    auto message = crypto::CreateDetachedCmsMessage(content.data(), static_cast<uint32_t>(content.size()),
                                                    pki_->signer.cert.get());
    EXPECT_NE(message, nullptr);
    if (!message) return {};
    EXPECT_EQ(message->CoSign(pki_->cosigner.cert.get()), 0u);
    test::ByteVec sig[2];
    for (uint32_t i = 0; i < 2; ++i)
      EXPECT_EQ(test::TwoCalls([&](uint8_t* o, uint32_t* s) { return message->GetSignerSignatureValue(i, o, s); },
                               &sig[i]),
                0u);
    const auto token = test::TokenOfResponse(test::OpenSslReply(*tsa_, test::TimeStampRequest(sig[0])));
    EXPECT_EQ(message->AddSignerTimeStampToken(0, token.data(), static_cast<uint32_t>(token.size())), 0u);
    test::ByteVec bytes(message->Signature().begin(), message->Signature().end());
    bytes = test::AddUnsigned(bytes, 1,
                              test::CounterSignatureAttribute({test::CounterSignerInfo(pki_->signer, sig[1])}));
    const fs::path cab = env / "signed.kdoc";
    fs::create_directories(env / "signed");
    test::WriteCabinet(cab, env / "signed",
                       {{"00001.emf", pages[0]}, {"00002.emf", pages[1]}, {"00003.emf", pages[2]},
                        {"signatures.p7b", bytes}});
    return cab;
  }

  fs::path Container(const std::string& name, const std::vector<std::pair<std::string, Bytes>>& members) {
    const fs::path cab = env / (name + ".kdoc");
    fs::create_directories(env / name);
    test::WriteCabinet(cab, env / name, members);
    return cab;
  }

  static inline test::TestPki* pki_ = nullptr;
  static inline test::TestTsa* tsa_ = nullptr;
  test::KdocEnvironment env;
  test::ScriptedPin pin_;
  ScriptedPrompt prompt;
};

TEST_F(MainWindowTest, EmptyWindowInBothLanguages) {
  for (uint32_t lang : {1045u, 1033u}) {
    CMessageTable catalog(lang);
    CMainWindow w(catalog, prompt, "");
    ASSERT_EQ(w.Init(), 0);
    w.show();
    QApplication::processEvents();
    EXPECT_NE(w.windowTitle().toStdString().find("brak dokumentu"), std::string::npos);
    EXPECT_FALSE(Find<QPushButton>(&w, "1007")->isEnabled());
    EXPECT_FALSE(Find<QPushButton>(&w, "1012")->isEnabled());
    EXPECT_TRUE(Find<QPushButton>(&w, "1003")->isEnabled());
    EXPECT_TRUE(Find<QLabel>(&w, "1037")->isVisible());
    EXPECT_EQ(Find<QPushButton>(&w, "1067")->text().toStdString(), lang == 1033 ? "Close" : "Zamknij");
    // The hint names the Open button as it reads, which Enter presses.
    auto* open = Find<QPushButton>(&w, "1003");
    EXPECT_TRUE(open->isDefault());
    EXPECT_TRUE(Find<QLabel>(&w, "1058")->isVisible());
    EXPECT_TRUE(Find<QLabel>(&w, "1058")->text().endsWith(": " + open->text())) << lang;
    ExpectTextsFit(&w);
    Screenshot(&w, std::string("empty_") + LanguageName(lang));
    for (int tab : {1, 2}) {
      w.tabs()->setCurrentIndex(tab);
      QApplication::processEvents();
      ExpectTextsFit(&w);
      Screenshot(&w, std::string(tab == 1 ? "signatures_empty_" : "settings_") + LanguageName(lang));
    }
  }
  // Nothing was asked: loading the settings is no click.
  EXPECT_TRUE(prompt.shown().empty());
}

TEST_F(MainWindowTest, SignedContainerPagesThroughAndShowsItsSignatureTree) {
  const fs::path path = SignedContainer();
  ASSERT_FALSE(path.empty());
  for (uint32_t lang : {1045u, 1033u}) {
    CMessageTable catalog(lang);
    CMainWindow w(catalog, prompt, path.string());
    w.resize(960, 760);
    w.show();
    QApplication::processEvents();
    ASSERT_EQ(w.Init(), 0);
    ASSERT_EQ(w.kind(), kKindKdoc);
    EXPECT_NE(w.windowTitle().toStdString().find(path.string()), std::string::npos);
    // The empty window's hint has given way to the pages.
    EXPECT_FALSE(Find<QLabel>(&w, "1058")->isVisible());
    EXPECT_FALSE(Find<QPushButton>(&w, "1003")->isDefault());
    CDocViewPage* v = w.viewer();
    EXPECT_EQ(v->page_count(), 3);
    EXPECT_EQ(v->page(), 1);
    EXPECT_TRUE(HasInk(v->picture()->image()));
    auto* label = Find<QLabel>(&w, "1011");
    EXPECT_EQ(label->text().toStdString(), lang == 1033 ? "Page 1/3" : "strona 1/3");

    // The verdict: one of the three verdict statics, never "no signatures".
    EXPECT_NE(w.status(), kStatusNone);
    EXPECT_TRUE(Find<QLabel>(&w, StatusControl(w.status()))->isVisible());
    EXPECT_FALSE(Find<QLabel>(&w, "1037")->isVisible());

    // Two signers; the first carries its time stamp, the second its counter-signer.
    QTreeWidget* tree = w.signatures()->tree();
    ASSERT_EQ(tree->topLevelItemCount(), 2);
    int stamps = 0, counter = 0;
    for (int i = 0; i < 2; ++i)
      for (int k = 0; k < tree->topLevelItem(i)->childCount(); ++k) {
        const int image = tree->topLevelItem(i)->child(k)->data(0, Qt::UserRole + 2).toInt();
        (image >= 3 ? stamps : counter) += 1;
      }
    EXPECT_EQ(stamps, 1);
    EXPECT_EQ(counter, 1);
    EXPECT_FALSE(w.signatures()->detail()->toPlainText().isEmpty());

    // Next page, last page, back; zoom steps; fit to width.
    auto* next = Find<QPushButton>(&w, "1010");
    auto* prev = Find<QPushButton>(&w, "1009");
    EXPECT_FALSE(prev->isEnabled());
    next->click();
    next->click();
    EXPECT_EQ(v->page(), 3);
    EXPECT_FALSE(next->isEnabled());
    EXPECT_EQ(label->text().toStdString(), lang == 1033 ? "Page 3/3" : "strona 3/3");
    prev->click();
    EXPECT_EQ(v->page(), 2);
    auto* zoom_in = Find<QPushButton>(&w, "1055");
    const int width_at_4 = v->picture()->image().width();
    for (int i = 0; i < 12; ++i) zoom_in->click();
    EXPECT_FLOAT_EQ(w.zoom(), 10.0f);
    EXPECT_FALSE(zoom_in->isEnabled());
    EXPECT_NEAR(v->picture()->image().width(), width_at_4 * 10 / 4, 2);
    // Taller than the view: the vertical bar scrolls it.
    EXPECT_TRUE(v->vertical_bar()->isVisible());
    v->vertical_bar()->setValue(v->vertical_bar()->maximum());
    EXPECT_EQ(v->picture()->source().y(), v->vertical_bar()->maximum());
    auto* fit = Find<QCheckBox>(&w, "1006");
    fit->click();
    EXPECT_FALSE(zoom_in->isEnabled());
    EXPECT_FALSE(v->horizontal_bar()->isVisible());
    EXPECT_EQ(v->picture()->image().width(), v->picture()->width());
    ExpectTextsFit(&w);
    Screenshot(&w, std::string("signed_") + LanguageName(lang));
    w.tabs()->setCurrentIndex(1);
    Screenshot(&w, std::string("signed_tree_") + LanguageName(lang));
  }
}

TEST_F(MainWindowTest, BitmapContainerDrawsItsPages) {
  SetMachine(kValueGraphicsFormat, "BMP");
  const fs::path path = Container("bmp", {{"00001.bmp", BmpPage(1)}, {"00002.bmp", BmpPage(2)}});
  CMessageTable catalog(1033);
  CMainWindow w(catalog, prompt, path.string());
  w.show();
  QApplication::processEvents();
  ASSERT_EQ(w.Init(), 0);
  EXPECT_FALSE(w.emf());
  EXPECT_EQ(w.viewer()->page_count(), 2);
  EXPECT_TRUE(HasInk(w.viewer()->picture()->image()));
  EXPECT_FALSE(Find<QPushButton>(&w, "1007")->isEnabled());  // pages print as metafiles only
  EXPECT_EQ(w.status(), kStatusNone);
  Find<QCheckBox>(&w, "1006")->click();
  EXPECT_EQ(w.viewer()->picture()->image().width(), w.viewer()->picture()->width());
  Screenshot(&w, "bmp_en");
  // A bitmap page that is not one draws nothing and breaks nothing.
  const fs::path bad = Container("badbmp", {{"00001.bmp", Bytes{'B', 'M', 0, 0}}});
  CMainWindow w2(catalog, prompt, bad.string());
  w2.show();
  ASSERT_EQ(w2.Init(), 0);
  EXPECT_TRUE(w2.viewer()->picture()->image().isNull());
}

TEST_F(MainWindowTest, FilesThatCannotBeReadShowTheMessageNotAnEmptyWindow) {
  fs::create_directories(env / "folder.kdoc");
  test::WriteFileBytes(env / "random.kdoc", Bytes(777, 0x5A));
  test::WriteFileBytes(env / "random.p7", Bytes(300, 0x13));
  test::WriteFileBytes(env / "page.txt", Bytes(10, 'a'));
  const struct {
    fs::path path;
    int id;
  } cases[] = {
      {env / "missing.kdoc", 0}, {env / "folder.kdoc", 0}, {env / "random.kdoc", 0},
      {env / "page.txt", 350},   {env / "x.p7m", 350},
  };
  CMessageTable catalog(1033);
  for (const auto& c : cases) {
    ScriptedPrompt p;
    CMainWindow w(catalog, p, c.path.string());
    EXPECT_EQ(w.Init(), -1) << c.path;
    ASSERT_FALSE(p.shown().empty()) << c.path;
    EXPECT_EQ(p.shown().front().id, c.id) << c.path;
    // Start-up's closing message comes last, in the window's language.
    EXPECT_EQ(p.shown().back().text, "The attempt to open the file failed. The application will be closed.");
    EXPECT_EQ(w.kind(), kKindNone);
  }
  // Bytes that are no signed form open as a file without signatures.
  {
    ScriptedPrompt p;
    CMainWindow w(catalog, p, (env / "random.p7").string());
    EXPECT_EQ(w.Init(), 0);
    EXPECT_EQ(w.kind(), kKindPkcs7);
    EXPECT_EQ(w.status(), kStatusNone);
  }
  // From the Open button the window stays empty and usable.
  ScriptedPrompt p;
  CMainWindow w(catalog, p, "");
  ASSERT_EQ(w.Init(), 0);
  w.show();
  p.QueueFileAnswer(FileDialogAnswer{(env / "page.txt").string(), false});
  Find<QPushButton>(&w, "1003")->click();
  ASSERT_EQ(p.shown().size(), 3u);
  EXPECT_EQ(p.shown()[1].id, 350);
  EXPECT_EQ(p.shown()[1].text, "File opening attempt ended with error");
  EXPECT_EQ(p.shown()[2].text, "The attempt to open the file failed.");
  EXPECT_EQ(w.kind(), kKindNone);
  EXPECT_TRUE(Find<QPushButton>(&w, "1003")->isEnabled());
  Screenshot(&w, "unknown_extension_en");
}

TEST_F(MainWindowTest, SignedP7FileShowsItsSignerAndContentButtons) {
  VEL_REQUIRE_TOOL("openssl");
  test::WriteFileText(env / "letter.txt", "A letter signed with openssl.\n");
  const auto r = test::RunCommand("openssl cms -sign -nodetach -binary -outform DER -in " +
                                  test::ShellQuote((env / "letter.txt").string()) + " -signer " +
                                  test::ShellQuote(pki_->CertFile(pki_->signer).string()) + " -inkey " +
                                  test::ShellQuote(pki_->KeyFile(pki_->signer).string()) + " -out " +
                                  test::ShellQuote((env / "letter.txt.p7").string()));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  for (uint32_t lang : {1045u, 1033u}) {
    CMessageTable catalog(lang);
    CMainWindow w(catalog, prompt, (env / "letter.txt.p7").string());
    w.show();
    QApplication::processEvents();
    ASSERT_EQ(w.Init(), 0);
    EXPECT_EQ(w.kind(), kKindPkcs7);
    EXPECT_EQ(w.signatures()->tree()->topLevelItemCount(), 1);
    EXPECT_NE(w.status(), kStatusNone);
    EXPECT_TRUE(Find<QPushButton>(&w, "1057")->isVisible());
    EXPECT_TRUE(Find<QPushButton>(&w, "1066")->isVisible());
    EXPECT_TRUE(Find<QLabel>(&w, "1058")->isVisible());
    EXPECT_FALSE(Find<QPushButton>(&w, "1007")->isEnabled());
    ExpectTextsFit(&w);
    Screenshot(&w, std::string("p7_") + LanguageName(lang));

    // Saving the content says what happened: saved, or not.
    ScriptedPrompt& p = prompt;
    const size_t before = p.shown().size();
    p.QueueFileAnswer(FileDialogAnswer{(env / "out.txt").string(), false});
    Find<QPushButton>(&w, "1066")->click();
    ASSERT_EQ(p.shown().size(), before + 2);
    EXPECT_EQ(p.shown()[before + 1].id, 298);
    EXPECT_EQ(test::ReadFileBytes(env / "out.txt").size(), 30u);
    p.QueueFileAnswer(FileDialogAnswer{(env / "no-such-folder" / "out.txt").string(), false});
    Find<QPushButton>(&w, "1066")->click();
    ASSERT_EQ(p.shown().size(), before + 4);
    EXPECT_EQ(p.shown()[before + 3].id, 256);
    // An existing file: asked once; No chooses again, and cancelling keeps the file.
    test::WriteFileText(env / "out.txt", "keep");
    p.QueueFileAnswer(FileDialogAnswer{(env / "out.txt").string(), false});
    p.QueueMessageAnswer(IDNO);
    p.QueueFileAnswer(std::nullopt);
    Find<QPushButton>(&w, "1066")->click();
    ASSERT_EQ(p.shown().size(), before + 7);
    EXPECT_EQ(p.shown()[before + 5].id, 209);
    EXPECT_EQ(test::ReadFileBytes(env / "out.txt").size(), 4u);
    fs::remove(env / "out.txt");
  }
}

// Presenting and saving hand out only signed content: a detached signature
// carries none (nothing is presented, no file is written, nothing is said to
// be saved); an XML file without signatures says so; an XML signed document
// gives exactly the content its signature covers.
TEST_F(MainWindowTest, PresentingAndSavingGiveOnlySignedContent) {
  for (const char* tool : {"openssl", "xmlsec1", "python3"}) VEL_REQUIRE_TOOL(tool);
  const fs::path dir = env / "pki";
  fs::create_directories(dir);
  const xmltest::XmlSigner signer =
      xmltest::WriteSigner(pki_->signer.x509.get(), pki_->signer.key.get(), dir, "signer");
  test::WriteFileText(env / "letter.txt", "A letter signed with openssl.\n");
  const auto r = test::RunCommand("openssl cms -sign -binary -outform DER -in " +
                                  test::ShellQuote((env / "letter.txt").string()) + " -signer " +
                                  test::ShellQuote(signer.cert_pem.string()) + " -inkey " +
                                  test::ShellQuote(signer.key_pem.string()) + " -out " +
                                  test::ShellQuote((env / "detached.txt.p7").string()));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  test::WriteFileText(env / "plain.xml", "<?xml version=\"1.0\"?><umowa>tekst</umowa>");
  test::WriteFileText(env / "umowa.txt.xml", xmltest::OneSignature(signer, dir));

  struct Case {
    const char* file;
    int present_message;  // 0: none
    int save_message;
    std::string saved;  // the file written; empty: none
  };
  const Case cases[] = {
      {"detached.txt.p7", 0, 256, ""},
      {"plain.xml", 421, 421, ""},
      {"umowa.txt.xml", -1, 298, xmltest::kContent},
  };
  CMessageTable catalog(1045);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    CMainWindow w(catalog, prompt, (env / c.file).string());
    ASSERT_EQ(w.Init(), 0);
    ScriptedPrompt& p = prompt;
    size_t before = p.shown().size();
    if (c.present_message >= 0) {
      Find<QPushButton>(&w, "1057")->click();
      ASSERT_EQ(p.shown().size(), before + (c.present_message ? 1 : 0));
      if (c.present_message) {
        EXPECT_EQ(p.shown().back().id, c.present_message);
      }
      EXPECT_TRUE(env.TempIsEmpty());
    }
    const fs::path out = env / "out.bin";
    before = p.shown().size();
    p.QueueFileAnswer(FileDialogAnswer{out.string(), false});
    Find<QPushButton>(&w, "1066")->click();
    ASSERT_EQ(p.shown().size(), before + 2);
    EXPECT_EQ(p.shown().back().id, c.save_message);
    EXPECT_EQ(fs::exists(out), !c.saved.empty());
    if (!c.saved.empty()) {
      EXPECT_EQ(test::ReadFileText(out), c.saved);
    }
    fs::remove(out);
  }
}

TEST_F(MainWindowTest, SmimeAndEnvelopedFiles) {
  VEL_REQUIRE_TOOL("openssl");
  test::WriteFileText(env / "note.txt", "An S/MIME note.\n");
  const std::string cert = test::ShellQuote(pki_->CertFile(pki_->cosigner).string());
  const std::string key = test::ShellQuote(pki_->KeyFile(pki_->cosigner).string());
  const std::string in = test::ShellQuote((env / "note.txt").string());
  auto sign = [&](const std::string& options, const std::string& name) {
    const auto r = test::RunCommand("openssl smime -sign " + options + " -in " + in + " -signer " + cert +
                                    " -inkey " + key + " -out " + test::ShellQuote((env / name).string()));
    EXPECT_EQ(r.exit_code, 0) << r.output;
  };
  sign("-crlfeol", "note.smime.p7");
  sign("", "note_lf.smime.p7");  // bare LF, as openssl writes by default
  // Says it is signed, but its signature part is no CMS.
  std::string broken = test::ReadFileText(env / "note_lf.smime.p7");
  broken.replace(broken.find("MII"), 3, "xyz");
  test::WriteFileText(env / "broken.smime.p7", broken);
  sign("-nodetach -text", "note_text.vestPro");
  sign("-nodetach", "note_bare.vestPro");  // content without a MIME header
  auto r = test::RunCommand("openssl cms -encrypt -outform DER -in " + in + " -out " +
                       test::ShellQuote((env / "sealed.p7").string()) + " " + cert);
  ASSERT_EQ(r.exit_code, 0) << r.output;

  CMessageTable catalog(1033);
  for (const char* name : {"note.smime.p7", "note_lf.smime.p7"}) {
    CMainWindow w(catalog, prompt, (env / name).string());
    w.show();
    ASSERT_EQ(w.Init(), 0);
    ASSERT_NE(w.signed_file(), nullptr);
    EXPECT_EQ(w.signed_file()->GetState(), CSignedFile::kStateSmimeMultipart) << name;
    EXPECT_EQ(w.signatures()->tree()->topLevelItemCount(), 1);
    EXPECT_NE(w.status(), kStatusNone);
    EXPECT_NE(w.status(), kClassInvalid);
    Screenshot(&w, "smime_en");
  }
  {
    // Never "no signatures" for a message that says it is signed.
    CMainWindow w(catalog, prompt, (env / "broken.smime.p7").string());
    w.show();
    ASSERT_EQ(w.Init(), 0);
    EXPECT_EQ(w.signatures()->tree()->topLevelItemCount(), 1);
    EXPECT_EQ(w.status(), kClassInvalid);
  }
  // An opaque package shows its signature whether or not its content has a
  // MIME header to take the document from.
  for (const auto& [name, document] : {std::pair{"note_text.vestPro", "An S/MIME note.\r\n"},
                                       std::pair{"note_bare.vestPro", ""}}) {
    CMainWindow w(catalog, prompt, (env / name).string());
    w.show();
    ASSERT_EQ(w.Init(), 0);
    ASSERT_NE(w.package(), nullptr);
    EXPECT_EQ(w.package()->kind(), CSignedMimeDoc::kOpaqueSmime);
    EXPECT_EQ(std::string(w.package()->document().begin(), w.package()->document().end()), document) << name;
    EXPECT_EQ(w.signatures()->tree()->topLevelItemCount(), 1) << name;
    EXPECT_NE(w.status(), kStatusNone);
  }
  // Declining to decrypt says why nothing is shown; the file still counts as open.
  prompt.QueueMessageAnswer(IDNO);
  CMainWindow w(catalog, prompt, (env / "sealed.p7").string());
  w.show();
  ASSERT_EQ(w.Init(), 0);
  ASSERT_EQ(prompt.shown().size(), 2u);
  EXPECT_EQ(prompt.shown()[0].id, 208);
  EXPECT_EQ(prompt.shown()[1].id, 252);
  EXPECT_EQ(w.signatures()->tree()->topLevelItemCount(), 0);
  EXPECT_EQ(w.status(), kStatusNone);
  // A double click with nothing selected does nothing.
  w.signatures()->OnTreeDoubleClick();
  Screenshot(&w, "enveloped_en");
}

TEST_F(MainWindowTest, SettingsPageAsksOnlyOnClicksAndSavesWhatItShows) {
  CMessageTable catalog(1033);
  CMainWindow w(catalog, prompt, "");
  ASSERT_EQ(w.Init(), 0);
  w.show();
  w.tabs()->setCurrentIndex(2);
  QApplication::processEvents();
  EXPECT_TRUE(prompt.shown().empty());
  auto* sign_request = Find<QCheckBox>(&w, "1048");
  EXPECT_TRUE(sign_request->isChecked());
  EXPECT_EQ(Find<QLineEdit>(&w, "1044")->text().toStdString(), kSettingsDefaultTsaOid);
  // Clearing the box asks 422; No keeps it set.
  prompt.QueueMessageAnswer(IDNO);
  sign_request->click();
  ASSERT_EQ(prompt.shown().size(), 1u);
  EXPECT_EQ(prompt.shown()[0].id, 422);
  EXPECT_TRUE(sign_request->isChecked());
  // Proxy with credentials, typed CRL lines; saved and read back.
  auto* proxy = Find<QCheckBox>(&w, "1050");
  auto* auth = Find<QCheckBox>(&w, "1053");
  EXPECT_FALSE(Find<QLineEdit>(&w, "1051")->isEnabled());
  proxy->click();
  EXPECT_TRUE(Find<QLineEdit>(&w, "1051")->isEnabled());
  EXPECT_FALSE(Find<QLineEdit>(&w, "1054")->isEnabled());
  auth->click();
  Find<QLineEdit>(&w, "1051")->setText("proxy.example-net.test");
  Find<QLineEdit>(&w, "1052")->setText("8080");
  Find<QLineEdit>(&w, "1054")->setText("ala");
  Find<QLineEdit>(&w, "1055")->setText("kot");
  Find<QPlainTextEdit>(&w, "1045")->setPlainText("http://a.example-ca.test/1.crl\nhttp://a.example-ca.test/2.crl");
  Find<QPushButton>(&w, "1046")->click();
  ASSERT_EQ(prompt.shown().size(), 2u);
  EXPECT_EQ(prompt.shown()[1].id, 411);
  const SettingsForm f = LoadSettingsForm();
  EXPECT_EQ(f.crl_urls, "http://a.example-ca.test/1.crl\r\nhttp://a.example-ca.test/2.crl");
  EXPECT_EQ(f.proxy_user, "ala");
  EXPECT_EQ(f.proxy_password, "kot");
  EXPECT_EQ(w.proxy().address, "http://proxy.example-net.test:8080");
  // An unsaved edit is gone after switching tabs and back.
  Find<QLineEdit>(&w, "1042")->setText("http://unsaved.example-tsa.test");
  w.tabs()->setCurrentIndex(0);
  w.tabs()->setCurrentIndex(2);
  EXPECT_EQ(Find<QLineEdit>(&w, "1042")->text().toStdString(), "");
  // Switching the proxy off empties and disables everything under it.
  proxy->click();
  EXPECT_FALSE(auth->isChecked() || auth->isEnabled());
  EXPECT_TRUE(Find<QLineEdit>(&w, "1054")->text().isEmpty());
  EXPECT_TRUE(Find<QLineEdit>(&w, "1051")->text().isEmpty());
  ExpectTextsFit(&w);
  Screenshot(&w, "settings_filled_en");
}

TEST_F(MainWindowTest, BusyWindowRefusesEveryActionAndClosing) {
  const fs::path path = Container("plain", {{"00001.emf", test::EmfPage(1)}, {"00002.emf", test::EmfPage(2)}});
  CMessageTable catalog(1045);
  CMainWindow w(catalog, prompt, path.string());
  w.show();
  ASSERT_EQ(w.Init(), 0);
  {
    CMainWindow::BusyScope busy(w);
    w.viewer()->UpdateControls();
    w.viewer()->OnNextPage();
    EXPECT_EQ(w.viewer()->page(), 1);
    w.OnCloseButton();
    w.close();
    EXPECT_TRUE(w.isVisible());
    w.settings()->OnSave();
    w.viewer()->OnLoad();
    EXPECT_TRUE(prompt.shown().empty());
    EXPECT_EQ(w.OpenDocument(path.string()), -1);
  }
  w.viewer()->UpdateControls();
  w.viewer()->OnNextPage();
  EXPECT_EQ(w.viewer()->page(), 2);
  prompt.QueueMessageAnswer(IDYES);
  Find<QPushButton>(&w, "1067")->click();
  EXPECT_FALSE(w.isVisible());
  ASSERT_EQ(prompt.shown().size(), 1u);
  EXPECT_EQ(prompt.shown()[0].id, 354);
}

TEST_F(MainWindowTest, PrintsToPdfWithLandscapePagesTurned) {
  VEL_REQUIRE_TOOL("pdfinfo");
  VEL_REQUIRE_TOOL("pdftoppm");
  test::EmfWriter landscape(300, 200, 100);
  landscape.CreateBrush(1, 0, test::Rgb(0, 120, 0)).Select(1);
  landscape.Rectangle(10, 10, 290, 190);
  const fs::path path = Container("print", {{"00001.emf", test::EmfPage(1)},
                                            {"00002.emf", landscape.Finish()},
                                            {"00003.emf", test::EmfPage(3)}});
  CMessageTable catalog(1045);
  CMainWindow w(catalog, prompt, path.string());
  ASSERT_EQ(w.Init(), 0);
  const fs::path pdf = env / "out.pdf";
  QPrinter printer(QPrinter::HighResolution);
  printer.setOutputFormat(QPrinter::PdfFormat);
  printer.setOutputFileName(QString::fromStdString(pdf.string()));
  printer.setPageSize(QPageSize(QPageSize::A4));
  printer.setPageOrientation(QPageLayout::Portrait);
  EXPECT_EQ(w.viewer()->PrintPages(printer, 1, 99), 3);
  auto r = test::RunCommand("pdfinfo " + test::ShellQuote(pdf.string()));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const size_t pages_at = r.output.find("Pages:");
  ASSERT_NE(pages_at, std::string::npos) << r.output;
  EXPECT_EQ(std::stoi(r.output.substr(pages_at + 6)), 3) << r.output;
  // The landscape page is drawn turned: its green fills most of the portrait sheet's height.
  r = test::RunCommand("pdftoppm -f 2 -l 2 -r 20 -png " + test::ShellQuote(pdf.string()) + " " +
                       test::ShellQuote((env / "page").string()));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  QImage page;
  for (const auto& e : fs::directory_iterator(env.operator/("")))
    if (e.path().filename().string().rfind("page", 0) == 0 && e.path().extension() == ".png")
      page.load(QString::fromStdString(e.path().string()));
  ASSERT_FALSE(page.isNull());
  EXPECT_GT(page.height(), page.width());
  int green_rows = 0;
  for (int y = 0; y < page.height(); ++y)
    for (int x = 0; x < page.width(); ++x)
      if (qGreen(page.pixel(x, y)) > 80 && qRed(page.pixel(x, y)) < 60) {
        ++green_rows;
        break;
      }
  EXPECT_GT(green_rows, page.height() * 3 / 4);
  // Pages outside the document print nothing.
  EXPECT_EQ(w.viewer()->PrintPages(printer, 5, 9), 0);
}

// The bars belong to the drawn page: checking the signatures or a signing
// that does not finish (no certificate to choose here) leaves them shown. The
// arrows move one pixel, the wheel a tenth of the view per notch, down and
// across; the horizontal thumb starts at the left where the page's left edge is.
TEST_F(MainWindowTest, ScrollBarsStayWithThePageAndFollowArrowsAndWheel) {
  // Taller than the view at the first zoom, wider only when zoomed in.
  test::EmfWriter tall(400, 900, 100);
  tall.CreateBrush(1, 0, test::Rgb(0, 0, 160)).Select(1);
  tall.Rectangle(20, 20, 380, 880);
  const Bytes page = tall.Finish();
  const fs::path path = SignedContainer({page, page, page});
  ASSERT_FALSE(path.empty());
  CMessageTable catalog(1045);
  // Opened before the window shows, as the program does.
  CMainWindow w(catalog, prompt, path.string());
  ASSERT_EQ(w.Init(), 0);
  w.resize(960, 760);
  w.show();
  QApplication::processEvents();
  CDocViewPage* v = w.viewer();
  QScrollBar* vbar = v->vertical_bar();
  QScrollBar* hbar = v->horizontal_bar();
  // Each bar is there when the page is larger than the view across it, and
  // then spans exactly what lies beyond.
  const auto expect_bars_fit = [&](const char* when) {
    SCOPED_TRACE(when);
    const QSize page = v->picture()->image().size(), view = v->picture()->size();
    EXPECT_EQ(hbar->isVisible(), page.width() > view.width());
    EXPECT_EQ(vbar->isVisible(), page.height() > view.height());
    if (hbar->isVisible()) {
      EXPECT_EQ(hbar->maximum(), page.width() - view.width());
      EXPECT_EQ(hbar->pageStep(), view.width());
    }
    if (vbar->isVisible()) {
      EXPECT_EQ(vbar->maximum(), page.height() - view.height());
      EXPECT_EQ(vbar->pageStep(), view.height());
    }
  };
  ASSERT_NE(w.status(), kStatusNone);  // the signatures were checked
  ASSERT_GT(v->picture()->image().height(), v->picture()->height());
  expect_bars_fit("after opening");
  Find<QPushButton>(&w, "1012")->click();
  QApplication::processEvents();
  EXPECT_TRUE(Find<QPushButton>(&w, "1012")->isEnabled());
  expect_bars_fit("after a signing that did not finish");
  w.resize(700, 900);
  QApplication::processEvents();
  expect_bars_fit("resized");
  w.resize(960, 760);
  QApplication::processEvents();

  // Wide enough to scroll across as well.
  for (int i = 0; i < 6; ++i) Find<QPushButton>(&w, "1055")->click();
  QApplication::processEvents();
  ASSERT_TRUE(hbar->isVisible());
  ASSERT_TRUE(vbar->isVisible());
  expect_bars_fit("zoomed in");
  EXPECT_EQ(hbar->value(), 0);
  EXPECT_EQ(hbar->layoutDirection(), Qt::LeftToRight);
  {
    QStyleOptionSlider option;
    option.initFrom(hbar);
    option.orientation = Qt::Horizontal;
    option.minimum = hbar->minimum();
    option.maximum = hbar->maximum();
    option.sliderPosition = option.sliderValue = hbar->value();
    option.pageStep = hbar->pageStep();
    option.singleStep = hbar->singleStep();
    option.upsideDown = hbar->invertedAppearance();
    const QRect thumb = hbar->style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, hbar);
    EXPECT_LT(thumb.center().x(), hbar->width() / 2) << "thumb " << thumb.x() << " of " << hbar->width();
  }

  const struct {
    const char* name;
    QScrollBar* bar;
    QWidget* over;
    QPoint wheel;  // one notch
    Qt::KeyboardModifiers modifiers;
  } cases[] = {
      {"down", vbar, v->picture(), {0, -120}, Qt::NoModifier},
      {"down over the bar", vbar, vbar, {0, -120}, Qt::NoModifier},
      {"across", hbar, v->picture(), {-120, 0}, Qt::NoModifier},
      {"across with Shift", hbar, v->picture(), {0, -120}, Qt::ShiftModifier},
      {"over the horizontal bar", hbar, hbar, {0, -120}, Qt::NoModifier},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.bar->setValue(0);
    c.bar->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    EXPECT_EQ(c.bar->value(), 1);
    c.bar->triggerAction(QAbstractSlider::SliderSingleStepSub);
    EXPECT_EQ(c.bar->value(), 0);
    const QPoint at = c.over->rect().center();
    QWheelEvent notch(at, c.over->mapToGlobal(at), QPoint(), c.wheel, Qt::NoButton, c.modifiers,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(c.over, &notch);
    EXPECT_EQ(c.bar->value(), std::max(1, c.bar->pageStep() / 10));
    const QPoint source = v->picture()->source();
    EXPECT_EQ(c.bar == vbar ? source.y() : source.x(), c.bar->value());
    c.bar->setValue(0);
  }
}

// Without a printer the print dialog offers a PDF file beside the document; a
// print that cannot be made (no folder, a file that takes nothing) is told in
// the program's language, one that can writes every page.
TEST_F(MainWindowTest, PrintDialogOffersPdfAndTellsAFailedPrint) {
  const fs::path path = Container("printed", {{"00001.emf", test::EmfPage(1)},
                                              {"00002.emf", test::EmfPage(2)},
                                              {"00003.emf", test::EmfPage(3)}});
  const struct {
    uint32_t lang;
    fs::path file;
    const char* text;  // empty: printed, no message
  } cases[] = {
      {1045, env / "missing" / "out.pdf", "Nie udało się wydrukować dokumentu do pliku:\n"},
      {1033, env / "missing" / "out.pdf", "The document could not be printed to the file:\n"},
      {1033, "/dev/full", "The document could not be printed to the file:\n"},
      {1045, env / "out.pdf", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file.string() + " " + std::to_string(c.lang));
    ScriptedPrompt p;
    CMessageTable catalog(c.lang);
    CMainWindow w(catalog, p, path.string());
    w.show();
    ASSERT_EQ(w.Init(), 0);
    bool offered = false;
    std::string proposed;
    // The dialog, when it shows: the PDF entry chosen, the file named, Print.
    QTimer::singleShot(0, [&] {
      auto* dialog = qobject_cast<QPrintDialog*>(QApplication::activeModalWidget());
      if (!dialog) return;
      auto* printers = dialog->findChild<QComboBox*>("printers");
      auto* name = dialog->findChild<QLineEdit*>("filename");
      if (printers && name) {
        for (int i = 0; i < printers->count(); ++i)
          if (printers->itemText(i).contains("PDF")) {
            offered = true;
            printers->setCurrentIndex(i);
          }
        proposed = name->text().toStdString();
        name->setText(QString::fromStdString(c.file.string()));
      }
      dialog->accept();
    });
    w.viewer()->OnPrint();
    EXPECT_TRUE(offered);
    if (QPrinterInfo::availablePrinterNames().isEmpty()) {
      EXPECT_EQ(proposed, (env / "printed.pdf").string());
    }
    if (*c.text == 0) {
      EXPECT_TRUE(p.shown().empty());
      const auto r = test::RunCommand("pdfinfo " + test::ShellQuote(c.file.string()));
      const size_t pages_at = r.output.find("Pages:");
      ASSERT_NE(pages_at, std::string::npos) << r.output;
      EXPECT_EQ(std::stoi(r.output.substr(pages_at + 6)), 3) << r.output;
      continue;
    }
    ASSERT_EQ(p.shown().size(), 1u);
    EXPECT_EQ(p.shown()[0].text, c.text + c.file.string());
    EXPECT_EQ(p.shown()[0].caption, kProductTitle);
    EXPECT_EQ(p.shown()[0].style, static_cast<uint32_t>(MB_ICONHAND));
  }
}

}  // namespace
}  // namespace vel::app

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
