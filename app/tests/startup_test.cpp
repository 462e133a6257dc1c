// Command-line forms, the export's default name, and the CRL-address migration.
#include <gtest/gtest.h>

#include <cctype>
#include <map>

#include "app/command_line.h"
#include "app/crl_list.h"
#include "app/crl_migration.h"
#include "app/default_settings.h"

namespace vel::app {
namespace {

TEST(CommandLine, Forms) {
  struct Case {
    std::vector<std::string> args;
    bool skip;
    StartMode mode;
    std::string path;
  } cases[] = {
      {{}, false, StartMode::kOpenDocument, ""},
      {{"/home/ala/umowa.kdoc"}, false, StartMode::kOpenDocument, "/home/ala/umowa.kdoc"},
      // Paths that begin like a switch are paths.
      {{"/dlugi/plik.kdoc"}, false, StartMode::kOpenDocument, "/dlugi/plik.kdoc"},
      {{"/ncurses.kdoc"}, false, StartMode::kOpenDocument, "/ncurses.kdoc"},
      {{"/exports/a.p7"}, false, StartMode::kOpenDocument, "/exports/a.p7"},
      // Switches are lower case only.
      {{"/NC", "/x.kdoc"}, false, StartMode::kOpenDocument, "/NC /x.kdoc"},
      {{"/DL", "/job"}, false, StartMode::kOpenDocument, "/DL /job"},
      {{"/nc"}, true, StartMode::kOpenDocument, ""},
      {{"/nc", "/tmp/a b.kdoc"}, true, StartMode::kOpenDocument, "/tmp/a b.kdoc"},
      {{"/dl", "/tmp/job1"}, false, StartMode::kPrinterJob, "/tmp/job1"},
      {{"/nc", "/dl", "/tmp/job1"}, true, StartMode::kPrinterJob, "/tmp/job1"},
      {{"/ex", "/tmp/x.txt"}, false, StartMode::kExport, "/tmp/x.txt"},
      {{"/nc", "/ex", " \"/tmp/x y.txt\" "}, true, StartMode::kExport, "/tmp/x y.txt"},
      // A switch is recognised only first.
      {{"/nc", "/nc", "/x"}, true, StartMode::kOpenDocument, "/nc /x"},
      {{"/tmp/a", "/dl"}, false, StartMode::kOpenDocument, "/tmp/a /dl"},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const auto& a : c.args) joined += "[" + a + "]";
    const CommandLine cl = ParseCommandLine(c.args);
    EXPECT_EQ(cl.skip_single_instance, c.skip) << joined;
    EXPECT_EQ(cl.mode, c.mode) << joined;
    EXPECT_EQ(cl.path, c.path) << joined;
  }
}

TEST(CommandLine, DefaultCabinetNameCutsTheFileExtensionOnly) {
  EXPECT_EQ(DefaultCabinetName("/home/ala/umowa.txt"), "/home/ala/umowa");
  EXPECT_EQ(DefaultCabinetName("/home/ala/v1.2/umowa.tar.gz"), "/home/ala/v1.2/umowa");
  EXPECT_EQ(DefaultCabinetName("/home/ala/.plan.txt"), "/home/ala/.plan");
  EXPECT_EQ(DefaultCabinetName("/home/ala/v1.2/README"), "/home/ala/v1.2/README");
  EXPECT_EQ(DefaultCabinetName("plik.doc"), "plik");
}

struct MigrationRun {
  std::map<int, bool> declined;
  std::vector<bool> answers;  // OK (true) or Cancel, in order
  int asked = 0;
  std::vector<int> newly_declined;

  CrlMigrationResult Run(const std::string& list) {
    return MigrateCrlUrls(
        list, [&](int n) { return declined[n]; },
        [&] { return answers.at(asked++); }, [&](int n) { newly_declined.push_back(n); });
  }
};

const std::string kLdap(kRootCrlFormerLdap);
const std::string kHttp(kRootCrlFormerHttp);
const std::string kNow(kRootCrlCurrent);

TEST(CrlMigration, OrdinaryListIsLeftAlone) {
  MigrationRun m;
  auto r = m.Run("http://A.example/one.crl\r\nhttp://b.example/two.crl");
  EXPECT_FALSE(r.changed);
  EXPECT_EQ(m.asked, 0);
}

TEST(CrlMigration, ReplacedLineRewritesTheListKeepingTheOthersAsSpelt) {
  // A server that tells "One.crl" from "one.crl" still finds the kept lines.
  std::string upper_http = kHttp;
  for (char& c : upper_http) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const std::string& outdated : {kHttp, upper_http}) {
    MigrationRun m;
    m.answers = {true};
    auto r = m.Run("HTTP://A.example/One.crl\r\n  " + outdated + "  \r\n\r\nhttp://c.example/X.crl");
    EXPECT_TRUE(r.changed) << outdated;
    EXPECT_EQ(r.list, "HTTP://A.example/One.crl\r\n" + kNow + "\r\n\r\nhttp://c.example/X.crl\r\n");
  }
  // Declined, the outdated line stays as it was written too.
  MigrationRun m;
  m.answers = {false};
  EXPECT_EQ(m.Run(upper_http).list, upper_http + "\r\n");
}

TEST(CrlList, LinesEndAtCrLfOrALoneCrOrLfAndAreTrimmed) {
  struct Case {
    std::string list;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"", {}},
      {"http://a/x.crl", {"http://a/x.crl"}},
      {"http://a/x.crl\r\n", {"http://a/x.crl"}},
      {" http://a/x.crl \r\n\r\n\tldap://b/C\r\n", {"http://a/x.crl", "", "ldap://b/C"}},
      // edited on Linux
      {"http://a/x.crl\nhttp://b/y.crl\n\n", {"http://a/x.crl", "http://b/y.crl", ""}},
      {"http://a/x.crl\rhttp://b/y.crl", {"http://a/x.crl", "http://b/y.crl"}},
      {"a\n\rb", {"a", "", "b"}},
      {"  \r\n", {""}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SplitCrlList(c.list), c.lines) << c.list;
    std::vector<std::string> addresses;
    for (const auto& line : c.lines)
      if (!line.empty()) addresses.push_back(line);
    EXPECT_EQ(CrlAddresses(c.list), addresses) << c.list;
  }
}

TEST(CrlMigration, CancelRecordsTheRefusalAndKeepsTheLine) {
  MigrationRun m;
  m.answers = {false};
  auto r = m.Run(kLdap + "\r\n");
  EXPECT_FALSE(r.changed);
  EXPECT_EQ(m.newly_declined, std::vector<int>{1});
  EXPECT_EQ(r.list, kLdap + "\r\n");
}

TEST(CrlMigration, DeclinedLineDropsWhenTheOtherIsReplaced) {
  MigrationRun m;
  m.declined[1] = true;
  m.answers = {true};
  auto r = m.Run(kLdap + "\r\n" + kHttp + "\r\n");
  EXPECT_TRUE(r.changed);
  EXPECT_EQ(m.asked, 1);
  EXPECT_EQ(r.list, kNow + "\r\n");
}

TEST(CrlMigration, AcceptsLoneCrOrLfAndNeverStepsPastTheEnd) {
  for (const std::string& list : {kHttp + "\r", kHttp + "\n", "x\r" + kHttp, "x\n" + kHttp + "\r\n"}) {
    MigrationRun m;
    m.answers = {true};
    auto r = m.Run(list);
    EXPECT_TRUE(r.changed) << list;
    EXPECT_NE(r.list.find(kNow + "\r\n"), std::string::npos) << list;
    EXPECT_EQ(r.list.find(kHttp), std::string::npos) << list;
  }
}

}  // namespace
}  // namespace vel::app
