// The real program on a virtual display opening XML documents with XAdES
// signatures: one signed by `xmlsec1 --sign`, one by xadesjs, each under a
// root in the test's store with its CRL published on 127.0.0.1; a copy with
// one changed content byte; one under a root the store does not hold. The
// signatures page shows each verdict (its tree icon, and the detail text
// read back through the clipboard), and "Present content" hands the desktop's
// application for the type (a fake one, in a private XDG folder) exactly the
// signed bytes. Screens are kept as PNGs.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTreeWidget>

#include "app/registry_names.h"
#include "app/registry_settings.h"
#include "app/tests/xml_documents.h"
#include "app/tests/xvfb_fixture.h"
#include "app/ui/main_window.h"
#include "cryptolib/tests/crl_test_ca.h"
#include "cryptolib/tests/path_fixture.h"
#include "platform/registry.h"

namespace vel::app {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::path::Party;

// What the tree of the signatures page shows in a screen region: the icons'
// yellow triangle (incomplete) and red cross (invalid), also as the selected
// row tints them.
struct TreeColours {
  bool yellow = false, red = false;
};
TreeColours ColoursIn(const QImage& screen, const QRect& area) {
  TreeColours out;
  for (int y = area.top(); y <= area.bottom() && y < screen.height(); ++y)
    for (int x = area.left(); x <= area.right() && x < screen.width(); ++x) {
      const QRgb p = screen.pixel(x, y);
      if (qRed(p) >= 180 && qGreen(p) >= 170 && qBlue(p) <= 70) out.yellow = true;
      if (qRed(p) >= 150 && qGreen(p) <= 60 && qBlue(p) <= 70) out.red = true;
    }
  return out;
}

class ProgramXmlOnXvfb : public xvfb::ProgramOnXvfb {
 protected:
  void SetUp() override {
    xvfb::ProgramOnXvfb::SetUp();
    for (const char* tool : {"xmlsec1", "openssl", "node", "python3", "xclip"}) VEL_REQUIRE_TOOL(tool);
  }

  // The clipboard's text on the program's display.
  std::string Clipboard() {
    return test::RunCommand("DISPLAY=" + display_ + " timeout 5 xclip -o -selection clipboard").output;
  }

  // An English program whose store trusts `root`, with the root's CRL
  // published on 127.0.0.1 as the CRL address.
  void TrustRoot(const Party& root, const platform::CertPtr& root_cert) {
    setenv("VELDOC_STORE_DIR", (env / "stores").c_str(), 1);
    xmltest::AddToStore("ROOT", root_cert);
    fs::create_directories(env / "www");
    files_ = std::make_unique<test::StaticFileServer>(env / "www");
    const auto crl = test::path::MakeCrl(root);
    files_->Publish("root.crl", {crl->der().begin(), crl->der().end()});
    platform::RegKey key;
    ASSERT_EQ(platform::RegCreateKey(platform::RegHive::kLocalMachine, kMachineKey, key), 0u);
    ASSERT_EQ(platform::RegSetDword(key, kValueLangId, kLangIdEnglish), 0u);
    ASSERT_EQ(WriteRegString(RegHive::kCurrentUser, kUserKey, kValueCrlUrls, files_->Url("root.crl")), 0u);
  }

  // Where the controls are: the same window laid out here, at the same size,
  // on a document with one signature.
  struct Places {
    QPoint document_tab, signatures_tab, present, first_item, detail;
    QRect tree_area;
  };
  Places LayOut(const fs::path& document) {
    Places p;
    xvfb::LaidOutWindow layout(document, kLangIdEnglish);
    EXPECT_TRUE(layout.ok());
    if (!layout.ok()) return p;
    p.document_tab = layout.Tab(0);
    p.signatures_tab = layout.Tab(1);
    p.present = layout.Centre("1057");
    layout.ShowTab(1);
    auto* tree = layout.window().findChild<QTreeWidget*>("1069");
    EXPECT_TRUE(tree != nullptr && tree->topLevelItemCount() == 1);
    if (tree == nullptr || tree->topLevelItemCount() != 1) return p;
    p.tree_area = QRect(tree->mapTo(&layout.window(), QPoint(0, 0)), tree->size());
    p.first_item = tree->viewport()->mapTo(&layout.window(), tree->visualItemRect(tree->topLevelItem(0)).center());
    p.detail = layout.Centre("1071");
    return p;
  }

  std::unique_ptr<test::StaticFileServer> files_;
};

TEST_F(ProgramXmlOnXvfb, SignaturesAndContentOfXmlDocuments) {
  const fs::path dir = env / "pki";
  fs::create_directories(dir);
  // The PKI: a root the store trusts, whose CRL is published, and one it
  // does not know.
  Party root{"Korzen Testowy XML"}, signer{"Jan Testowy"}, stranger_root{"Korzen Obcy"}, stranger{"Ewa Obca"};
  signer.key.reset(EVP_RSA_gen(2048));
  stranger.key.reset(EVP_RSA_gen(2048));
  const auto root_cert = test::path::Issue(root, root, test::path::Ca(1));
  const auto signer_cert = test::path::Issue(signer, root, test::path::Leaf(3));
  const auto stranger_root_cert = test::path::Issue(stranger_root, stranger_root, test::path::Ca(1));
  const auto stranger_cert = test::path::Issue(stranger, stranger_root, test::path::Leaf(4));
  TrustRoot(root, root_cert);

  const xmltest::XmlSigner a = xmltest::WriteSigner(signer_cert->x509(), signer.key.get(), dir, "a");
  const xmltest::XmlSigner s = xmltest::WriteSigner(stranger_cert->x509(), stranger.key.get(), dir, "s");
  const std::string by_xmlsec = xmltest::OneSignature(a, dir);
  test::WriteFileText(dir / "root.pem", test::CertPem(root_cert->x509()));
  const auto peer = xmltest::XmlSecVerify(by_xmlsec, "Sig-A", dir / "root.pem", dir);
  ASSERT_EQ(peer.exit_code, 0) << peer.output;
  struct Case {
    const char* what;
    std::string file;
    std::string xml;
    int verdict;  // class
  };
  const Case cases[] = {
      {"xmlsec1", "umowa.txt.xml", by_xmlsec, 0},
      {"xadesjs", "umowa.txt_1.xml", xmltest::XadesJsSignature(a, dir), 0},
      {"one changed byte of the content", "zmieniona.txt.xml", xmltest::Replaced(by_xmlsec, "1200.00", "1200.01"), 2},
      {"unknown root", "obca.txt.xml", xmltest::OneSignature(s, dir), 1},
  };

  // The desktop's application for text: a script that keeps what it is given.
  const fs::path data = env / "xdg-data", config = env / "xdg-config", presented = env / "presented.bin";
  test::RegisterFakeViewer(data, config, "text/plain", env / "viewer.sh",
                           "cp \"$1\" " + test::ShellQuote(presented.string()) + "\n");

  const fs::path first = env / cases[0].file;
  test::WriteFileText(first, cases[0].xml);
  const Places places = LayOut(first);
  ASSERT_FALSE(HasFailure());
  const auto& [document_tab, signatures_tab, present, first_item, detail, tree_area] = places;

  StartDisplay();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path file = env / c.file;
    test::WriteFileText(file, c.xml);
    const std::string window = StartProgram(
        file, {"XDG_DATA_HOME=" + data.string(), "XDG_CONFIG_HOME=" + config.string(), "TMPDIR=" + env.temp().string()});
    ASSERT_FALSE(window.empty());
    Click(window, signatures_tab);
    std::this_thread::sleep_for(300ms);
    const std::string shot = std::string("xml_signatures_") + fs::path(c.file).stem().string() + ".png";
    const QImage screen = Screen(shot);
    const TreeColours colours = ColoursIn(screen, tree_area);
    EXPECT_EQ(colours.yellow, c.verdict == 1) << shot;
    EXPECT_EQ(colours.red, c.verdict == 2) << shot;

    // The first signature is selected: its detail text, copied.
    Click(window, detail);
    Xdotool("key --clearmodifiers ctrl+a ctrl+c");
    std::this_thread::sleep_for(200ms);
    const std::string text = Clipboard();
    EXPECT_TRUE(text.starts_with("Signature - XAdES")) << text;
    EXPECT_EQ(text.find("Correct signature.") != std::string::npos, c.verdict == 0) << text;

    if (c.verdict == 0) {
      // A double click opens the XML signer window of the signature.
      Xdotool("mousemove --window " + window + " " + std::to_string(first_item.x()) + " " +
              std::to_string(first_item.y()) + " click --repeat 2 --delay 80 1");
      std::string signer_window;
      for (int i = 0; i < 50 && signer_window.empty(); ++i) {
        std::this_thread::sleep_for(100ms);
        signer_window = Xdotool("search --name '^Signature$'");
      }
      EXPECT_FALSE(signer_window.empty());
      Screen(std::string("xml_signer_window_") + fs::path(c.file).stem().string() + ".png");
      if (!signer_window.empty())
        Xdotool("windowclose " + signer_window.substr(0, signer_window.find('\n')));

      // The signed bytes, exactly, to the desktop's application.
      fs::remove(presented);
      Click(window, document_tab);
      Click(window, present);
      for (int i = 0; i < 250 && !fs::exists(presented); ++i) std::this_thread::sleep_for(20ms);
      std::this_thread::sleep_for(100ms);
      EXPECT_EQ(test::ReadFileText(presented), xmltest::kContent);
      Screen(std::string("xml_document_") + fs::path(c.file).stem().string() + ".png");
    }
    xvfb::Stop(program_);
    program_ = -1;
  }
}

// What the shipped program presents is what the signature its signatures page
// checked covers: an .xml file that is also an S/MIME message of the trusted
// signer (its XML Object signed only by an unknown key), a package whose first
// part ends its header with CR CR LF, and a multipart message with an empty
// first part whose signature carries content of its own.
TEST_F(ProgramXmlOnXvfb, PresentsWhatTheCheckedSignatureCovers) {
  const fs::path dir = env / "pki";
  fs::create_directories(dir);
  Party root{"Korzen Testowy SMIME"}, signer{"Jan Testowy"}, stranger{"Ewa Obca"};
  signer.key.reset(EVP_RSA_gen(2048));
  stranger.key.reset(EVP_RSA_gen(2048));
  const auto root_cert = test::path::Issue(root, root, test::path::Ca(1));
  const auto signer_cert = test::path::Issue(signer, root, test::path::Leaf(3));
  const auto stranger_cert = test::path::Issue(stranger, stranger, test::path::Ca(1));
  TrustRoot(root, root_cert);
  const xmltest::XmlSigner a = xmltest::WriteSigner(signer_cert->x509(), signer.key.get(), dir, "a");
  const xmltest::XmlSigner s = xmltest::WriteSigner(stranger_cert->x509(), stranger.key.get(), dir, "s");
  const auto smime = [&](const std::string& name, const std::string& text, const std::string& options) {
    test::WriteFileText(dir / (name + ".txt"), text);
    const auto r = test::RunCommand("openssl smime -sign -crlfeol -md sha256" + options + " -signer " +
                                    test::ShellQuote(a.cert_pem.string()) + " -inkey " +
                                    test::ShellQuote(a.key_pem.string()) + " -in " +
                                    test::ShellQuote((dir / (name + ".txt")).string()));
    EXPECT_EQ(r.exit_code, 0) << r.output;
    return r.output;
  };

  // The S/MIME message inside a processing instruction of the stranger's
  // XAdES document.
  std::string both = xmltest::OneSignature(s, dir);
  both.insert(both.find("?>") + 2, "\n<?smime\n" + smime("honest", "Umowa nr 7/2026: kwota 100.00 PLN.\n", "") + "\n?>");
  // CR CR LF where the first part's header ends.
  std::string declaration = smime("decl", "OSWIADCZENIE: odstepuje od umowy.\n\nUmowa nr 7/2026: kwota 100.00 PLN.\n",
                                  " -text");
  const std::string header_end = "Content-Type: text/plain\r\n\r\n";
  ASSERT_NE(declaration.find(header_end), std::string::npos);
  declaration.replace(declaration.find(header_end), header_end.size(), "Content-Type: text/plain\r\n\r\r\n");
  // An empty first part; the signature part carries other content.
  test::WriteFileText(dir / "other.txt", "Pelnomocnictwo do wszystkich czynnosci.\n");
  const auto attached = test::RunCommand("openssl cms -sign -binary -nodetach -md sha256 -outform DER -signer " +
                                         test::ShellQuote(a.cert_pem.string()) + " -inkey " +
                                         test::ShellQuote(a.key_pem.string()) + " -in " +
                                         test::ShellQuote((dir / "other.txt").string()) + " | openssl base64");
  ASSERT_EQ(attached.exit_code, 0) << attached.output;
  const std::string empty_part =
      "MIME-Version: 1.0\r\nContent-Type: multipart/signed; protocol=\"application/pkcs7-signature\"; "
      "micalg=sha-256; boundary=\"BND\"\r\n\r\n--BND\r\n\r\n--BND\r\nContent-Type: application/pkcs7-signature\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\n" +
      attached.output + "\r\n--BND--\r\n";

  struct Case {
    const char* file;
    std::string bytes;
    bool correct;
    const char* presented;  // nothing is handed over when null
  };
  const Case cases[] = {
      {"umowa.txt.xml", both, true, "Umowa nr 7/2026: kwota 100.00 PLN.\r\n"},
      {"deklaracja.txt.vestPro", declaration, true,
       "OSWIADCZENIE: odstepuje od umowy.\r\n\r\nUmowa nr 7/2026: kwota 100.00 PLN.\r\n"},
      {"pismo.txt.p7", empty_part, false, nullptr},
  };

  const fs::path data = env / "xdg-data", config = env / "xdg-config", presented = env / "presented.bin";
  test::RegisterFakeViewer(data, config, "text/plain", env / "viewer.sh",
                           "cp \"$1\" " + test::ShellQuote(presented.string()) + "\n");
  test::WriteFileText(env / cases[0].file, cases[0].bytes);
  const Places places = LayOut(env / cases[0].file);
  ASSERT_FALSE(HasFailure());

  StartDisplay();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const fs::path file = env / c.file;
    test::WriteFileText(file, c.bytes);
    const std::string window = StartProgram(
        file, {"XDG_DATA_HOME=" + data.string(), "XDG_CONFIG_HOME=" + config.string(), "TMPDIR=" + env.temp().string()});
    ASSERT_FALSE(window.empty());
    Click(window, places.signatures_tab);
    std::this_thread::sleep_for(300ms);
    const std::string shot = std::string("smime_signatures_") + fs::path(c.file).stem().string() + ".png";
    const TreeColours colours = ColoursIn(Screen(shot), places.tree_area);
    EXPECT_FALSE(colours.yellow) << shot;
    EXPECT_EQ(colours.red, !c.correct) << shot;

    fs::remove(presented);
    Click(window, places.document_tab);
    Click(window, places.present);
    for (int i = 0; i < 150 && !fs::exists(presented); ++i) std::this_thread::sleep_for(20ms);
    std::this_thread::sleep_for(100ms);
    if (c.presented) EXPECT_EQ(test::ReadFileText(presented), c.presented);
    else EXPECT_FALSE(fs::exists(presented));
    xvfb::Stop(program_);
    program_ = -1;
  }
}

}  // namespace
}  // namespace vel::app

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
