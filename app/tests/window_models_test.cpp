// The windows' logic without widgets: which reader a path gets, which
// controls the viewer enables, the drawn and printed size of a page, and the
// settings form written and read back.
#include "app/window_models.h"

#include <gtest/gtest.h>

#include <set>
#include <sys/wait.h>
#include <unistd.h>

#include "app/registry_names.h"
#include "app/registry_settings.h"
#include "platform/registry.h"
#include "platform/testing/test_support.h"

namespace vel::app {
namespace {

TEST(WindowModels, PathsOpenByTheirExtensionWithoutCase) {
  const struct {
    const char* path;
    DocumentKind kind;
  } cases[] = {
      {"/a/b.kdoc", kKindKdoc},      {"/a/B.KDOC", kKindKdoc},     {"/a/x.vestPro", kKindPackage},
      {"/a/x.pem", kKindPackage},    {"/a/x.kmap", kKindMap},      {"/a/x.p7", kKindPkcs7},
      {"/a/x.SIG", kKindPkcs7},      {"/a/x.xml", kKindXml},       {"/a/x.p7m", kKindNone},
      {"/a/x.kdoc.txt", kKindNone},  {"kdoc", kKindNone},          {"", kKindNone},
  };
  for (const auto& c : cases) EXPECT_EQ(KindForPath(c.path), c.kind) << c.path;
}

TEST(WindowModels, ViewerControlsFollowPageZoomAndBusy) {
  // Page 1 of 3 at the start zoom.
  ViewerControls c = ControlsFor(kKindKdoc, 1, 3, kInitialZoomStep, false, false);
  EXPECT_FALSE(c.prev);
  EXPECT_TRUE(c.next && c.zoom_in && c.zoom_out && c.fit && c.print && c.sign && c.picture);
  EXPECT_FALSE(c.content);
  // The last page; the zoom ends; fit to width switches the zoom buttons off.
  c = ControlsFor(kKindKdoc, 3, 3, kZoomSteps - 1, false, false);
  EXPECT_TRUE(c.prev);
  EXPECT_FALSE(c.next || c.zoom_in);
  EXPECT_TRUE(c.zoom_out);
  c = ControlsFor(kKindKdoc, 2, 3, 0, false, false);
  EXPECT_TRUE(c.zoom_in);
  EXPECT_FALSE(c.zoom_out);
  c = ControlsFor(kKindKdoc, 2, 3, 4, true, false);
  EXPECT_FALSE(c.zoom_in || c.zoom_out);
  EXPECT_TRUE(c.fit);
  // A container without pages, a signed file, nothing open, and busy.
  c = ControlsFor(kKindKdoc, 0, 0, 3, false, false);
  EXPECT_FALSE(c.next || c.prev || c.print || c.sign || c.fit || c.picture);
  c = ControlsFor(kKindPkcs7, 0, 0, 3, false, false);
  EXPECT_TRUE(c.content && c.open);
  EXPECT_FALSE(c.picture || c.print || c.sign);
  c = ControlsFor(kKindNone, 0, 0, 3, false, false);
  EXPECT_FALSE(c.content || c.print);
  EXPECT_TRUE(c.open);
  c = ControlsFor(kKindKdoc, 2, 3, 3, false, true);
  EXPECT_FALSE(c.open || c.next || c.prev || c.print || c.sign || c.zoom_in || c.fit);
}

TEST(WindowModels, TitleLabelAndVerdictInBothLanguages) {
  CMessageTable pl(1045), en(1033);
  EXPECT_EQ(PageLabel(pl, 2, 3), "strona 2/3");
  EXPECT_EQ(PageLabel(en, 2, 3), "Page 2/3");
  EXPECT_EQ(WindowTitle(en, "/d/a.kdoc"), "Vellorum Sign 3.0.0.25 [/d/a.kdoc]");
  EXPECT_EQ(WindowTitle(pl, ""), "Vellorum Sign 3.0.0.25 [brak dokumentu]");
  EXPECT_STREQ(StatusControl(kStatusNone), "1037");
  EXPECT_STREQ(StatusControl(kStatusCorrect), "1040");
  EXPECT_STREQ(StatusControl(kStatusIncomplete), "1038");
  EXPECT_STREQ(StatusControl(kStatusNegative), "1039");
  EXPECT_EQ(StatusText(en, kStatusCorrect), "Correct signature.");
  EXPECT_EQ(StatusText(pl, kStatusNone), "Brak podpisów");
}

TEST(WindowModels, DrawSizeNeverDividesByZero) {
  // An A4 frame (21 x 29.7 cm) at zoom 4: 4 pixels per millimetre.
  auto d = PageDrawSize(true, 21000, 29700, 800, false, 4);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->width, 840);
  EXPECT_EQ(d->height, 1188);
  d = PageDrawSize(true, 21000, 29700, 700, true, 4);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->width, 700);
  EXPECT_EQ(d->height, 990);
  EXPECT_FLOAT_EQ(d->zoom, 30.0f);
  // A bitmap keeps its pixels without fit.
  d = PageDrawSize(false, 1654, 2339, 700, false, 4);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->width, 1654);
  // No width anywhere, a negative frame, a page beyond the largest picture.
  for (const auto& [w, h, view, fit] : {std::tuple{0.0, 29700.0, 700, true}, {21000.0, 0.0, 700, false},
                                        {21000.0, 29700.0, 0, true}, {0.0, 0.0, 0, false},
                                        {1e9, 1e9, 700, false}})
    EXPECT_FALSE(PageDrawSize(true, w, h, view, fit, 4)) << w << " " << h << " " << view;
  EXPECT_FALSE(PageDrawSize(true, 21000, 29700, 700, false, 0));
  d = PageDrawSize(true, -21000, -29700, 700, true, 4);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->width, 700);
}

TEST(WindowModels, SmallPagesAreCentredLargeOnesScroll) {
  PagePlacement p = PlacePage(300, 200, 700, 500);
  EXPECT_EQ(p.x, 200);
  EXPECT_EQ(p.y, 150);
  EXPECT_FALSE(p.horizontal_bar || p.vertical_bar);
  p = PlacePage(840, 1188, 700, 500);
  EXPECT_TRUE(p.horizontal_bar && p.vertical_bar);
  EXPECT_EQ(p.horizontal_max, 140);
  EXPECT_EQ(p.vertical_max, 688);
  EXPECT_EQ(p.x, 0);
}

// What a failed print says names where it went: the file, the printer, or
// that there was none (and the way out), in the catalog's language.
TEST(WindowModels, FailedPrintSaysWhereInBothLanguages) {
  const struct {
    uint32_t lang;
    const char *printer, *file, *text;
  } cases[] = {
      {1045, "", "/tmp/a.pdf", "Nie udało się wydrukować dokumentu do pliku:\n/tmp/a.pdf"},
      {1033, "Biuro-2", "", "The document could not be printed on the printer \"Biuro-2\"."},
      {1045, "Biuro-2", "", "Nie udało się wydrukować dokumentu na drukarce „Biuro-2”."},
      {1033, "", "", "The document could not be printed: no printer is available. Choose printing to a file (PDF)."},
      {0, "", "", "Nie udało się wydrukować dokumentu: brak dostępnej drukarki. Wybierz drukowanie do pliku (PDF)."},
  };
  for (const auto& c : cases) {
    CMessageTable catalog(c.lang);
    EXPECT_EQ(PrintFailedText(catalog, c.printer, c.file), c.text) << c.lang << " " << c.printer;
  }
}

TEST(WindowModels, LandscapePagesTurnOnPortraitPaper) {
  // Portrait paper 1000 x 1400; a landscape page 297 x 210.
  auto p = FitForPrint(1000, 1400, 29700, 21000);
  ASSERT_TRUE(p);
  EXPECT_TRUE(p->rotate);
  // Turned, its width runs along the paper's height.
  EXPECT_NEAR(p->width, 1400, 1e-6);
  EXPECT_NEAR(p->height, 1400 * 21000.0 / 29700, 1e-6);
  EXPECT_LE(p->height, 1000);
  // A nearly square landscape page: turned, limited by the paper's width.
  p = FitForPrint(1000, 1400, 29700, 28000);
  ASSERT_TRUE(p);
  EXPECT_TRUE(p->rotate);
  EXPECT_NEAR(p->height, 1000, 1e-6);
  EXPECT_NEAR(p->width, 1000 * 29700.0 / 28000, 1e-6);
  // Portrait on portrait: no turn, fitted in both directions.
  p = FitForPrint(1000, 1400, 21000, 29700);
  ASSERT_TRUE(p);
  EXPECT_FALSE(p->rotate);
  EXPECT_LE(p->width, 1000 + 1e-6);
  EXPECT_LE(p->height, 1400 + 1e-6);
  EXPECT_FALSE(FitForPrint(0, 1400, 21000, 29700));
  EXPECT_FALSE(FitForPrint(1000, 1400, 0, 29700));
}

class SettingsFormTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("VELDOC_REGISTRY_DIR", dir_.path().c_str(), 1); }
  test::TempDir dir_;
};

TEST_F(SettingsFormTest, DefaultsAreTheOnesTheSigningFlowUses) {
  const SettingsForm f = LoadSettingsForm();
  EXPECT_EQ(f.tsa_oid, kRegDefaultTsaOidSigning);
  EXPECT_EQ(f.proxy_port, kRegDefaultProxyPort);
  EXPECT_STREQ(kSettingsDefaultTsaOid, "1.2.616.1.170238.10.2.1.0");
  EXPECT_STREQ(kSettingsDefaultProxyPort, "0");
  EXPECT_TRUE(f.tsa_sign_request);
  EXPECT_FALSE(f.proxy_enabled || f.proxy_auth || f.crl_get_always || f.kdoc_ask_save);
}

TEST_F(SettingsFormTest, EveryFieldRoundTripsWithCredentialsProtected) {
  SettingsForm f;
  f.tsa_host = "http://tsa.example-tsa.test:318";
  f.tsa_oid = "1.2.3.4";
  f.crl_urls = "http://crl.example-ca.test/a.crl\nhttp://crl.example-ca.test/b.crl";
  f.proxy_name = "proxy.example-net.test";
  f.proxy_port = "3128";
  f.proxy_user = "jan";
  f.proxy_password = "tajne-haslo-42";
  f.tsa_sign_request = false;
  f.crl_get_always = f.proxy_enabled = f.proxy_auth = f.kdoc_ask_save = true;
  ASSERT_EQ(SaveSettingsForm(f), 0u);

  const SettingsForm back = LoadSettingsForm();
  EXPECT_EQ(back.tsa_host, f.tsa_host);
  EXPECT_EQ(back.tsa_oid, f.tsa_oid);
  EXPECT_EQ(back.crl_urls, "http://crl.example-ca.test/a.crl\r\nhttp://crl.example-ca.test/b.crl");
  EXPECT_EQ(ToLf(back.crl_urls), f.crl_urls);
  EXPECT_EQ(back.proxy_name, f.proxy_name);
  EXPECT_EQ(back.proxy_port, f.proxy_port);
  EXPECT_EQ(back.proxy_user, f.proxy_user);
  EXPECT_EQ(back.proxy_password, f.proxy_password);
  EXPECT_EQ(back.tsa_sign_request, f.tsa_sign_request);
  EXPECT_TRUE(back.crl_get_always && back.proxy_enabled && back.proxy_auth && back.kdoc_ask_save);

  // Nothing of the credentials lies in clear anywhere under the settings.
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir_.path())) {
    if (!e.is_regular_file()) continue;
    const auto bytes = test::ReadFileBytes(e.path());
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_EQ(text.find("tajne-haslo-42"), std::string::npos) << e.path();
    EXPECT_EQ(text.find("\"jan\""), std::string::npos) << e.path();
  }

  // Another process reads the same.
  const pid_t child = fork();
  if (child == 0) {
    const SettingsForm other = LoadSettingsForm();
    _exit(other.proxy_password == f.proxy_password && other.proxy_user == f.proxy_user &&
                  other.crl_urls == back.crl_urls && other.proxy_port == "3128" && !other.tsa_sign_request
              ? 0
              : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  // With the proxy off the credentials are written empty and read as such.
  f.proxy_enabled = false;
  ASSERT_EQ(SaveSettingsForm(f), 0u);
  std::string user = "x";
  ASSERT_TRUE(RevealProtectedSetting(RegHive::kCurrentUser,
                                     std::string(kUserKey) + "\\" + kSubkeyNetwork + "\\" + kValueProxyUsr, user));
  EXPECT_EQ(user, "");
  EXPECT_EQ(LoadSettingsForm().proxy_user, "");
}

TEST(WindowModels, CopiesAreOfferedUnderTheFirstFreeNumber) {
  std::set<std::string> taken;
  const auto exists = [&taken](const std::string& p) { return taken.count(p) != 0; };
  EXPECT_EQ(ProposedCopyName("/d/name.kdoc", exists), "/d/name1.kdoc");
  taken.insert("/d/name1.kdoc");
  EXPECT_EQ(ProposedCopyName("/d/name.kdoc", exists), "/d/name2.kdoc");
  EXPECT_EQ(ProposedCopyName("/d.x/a.b.kdoc", exists), "/d.x/a1.b.kdoc");
  EXPECT_EQ(ProposedCopyName("/d/plain", exists), "/d/plain1");
}

TEST(WindowModels, ProxyRulesAndLineEnds) {
  ProxyControls c = ProxyControlsFor(false, true);
  EXPECT_FALSE(c.host || c.port || c.auth || c.user || c.password);
  c = ProxyControlsFor(true, false);
  EXPECT_TRUE(c.host && c.port && c.auth);
  EXPECT_FALSE(c.user || c.password);
  c = ProxyControlsFor(true, true);
  EXPECT_TRUE(c.user && c.password);
  EXPECT_EQ(ToCrLf("a\nb\r\nc\n"), "a\r\nb\r\nc\r\n");
  EXPECT_EQ(ToLf("a\r\nb"), "a\nb");
}

}  // namespace
}  // namespace vel::app
