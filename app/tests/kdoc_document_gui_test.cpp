// The KDOC document: printer jobs become containers, containers open with
// their pages and signatures, and a job printed again is reconciled with the
// container of its name without losing anything.
#include "app/kdoc_document.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QGuiApplication>

#include <cstdlib>

#include "app/tests/kdoc_fixture.h"

namespace vel::app {
namespace {

using test::Bytes;
using test::ReadFileBytes;
using test::WriteFileBytes;

class KdocDocumentTest : public ::testing::Test {
 protected:
  std::string Print(const std::vector<Bytes>& pages, const std::string& name = "doc") {
    const auto job = env / (name + ".kdsc");
    WriteFileBytes(job, test::PageStream(pages));
    CSignedDocObj doc(catalog, prompt);
    last = doc.Open(job.string(), 0);
    last_text = doc.error_text();
    std::filesystem::remove(job);
    return (env / (name + ".kdoc")).string();
  }
  std::vector<Bytes> PagesOf(const CPageList& list) {
    std::vector<Bytes> out;
    for (const auto& e : list.entries()) out.emplace_back(e.bytes().begin(), e.bytes().end());
    return out;
  }
  // The members of a container, extracted to a fresh folder.
  std::vector<std::string> Members(const std::string& cab, const std::string& sub) {
    const auto dir = env / sub;
    std::filesystem::create_directories(dir);
    EXPECT_EQ(cabinet::ExtractCabinet(cab.c_str(), dir.c_str()), 1);
    return test::Names(dir);
  }

  test::KdocEnvironment env;
  CMessageTable catalog{1033};
  ScriptedPrompt prompt;
  uint32_t last = 0;
  std::string last_text;
};

TEST_F(KdocDocumentTest, JobBecomesContainerThatOpensWithItsPages) {
  const auto pages = test::ThreePages();
  const std::string container = Print(pages);
  ASSERT_EQ(last, 0u) << last_text;
  EXPECT_EQ(Members(container, "x"), (std::vector<std::string>{"00001.emf", "00002.emf", "00003.emf"}));
  // Nothing but the container is left beside it, and no working folder.
  EXPECT_EQ(test::Names(env / ""), (std::vector<std::string>{"doc.kdoc", "reg", "tmp", "x"}));
  EXPECT_TRUE(env.TempIsEmpty());

  CSignedDocObj doc(catalog, prompt);
  ASSERT_EQ(doc.Open(container, 1), 0u) << doc.error_text();
  EXPECT_EQ(PagesOf(*doc.page_list()), pages);
  EXPECT_EQ(doc.signatures(), nullptr);
  EXPECT_EQ(doc.signatures_error(), 2u);
  EXPECT_TRUE(env.TempIsEmpty());

  // Open and locked: a second opener is refused with the sharing error.
  CSignedDocObj other(catalog, prompt);
  EXPECT_EQ(other.Open(container, 1), 32u);
  EXPECT_NE(other.error_text().find("0x00000020"), std::string::npos) << other.error_text();
  EXPECT_TRUE(prompt.shown().empty());
}

TEST_F(KdocDocumentTest, BadJobsFailWithAReasonAndLeaveNothing) {
  Bytes truncated = test::PageStream(test::ThreePages());
  truncated.resize(truncated.size() - 10);
  Bytes past_end = test::PageStream({test::EmfPage(1)});
  past_end[4] = 0xFF;  // the page's size runs past the stream
  for (const Bytes& job : {truncated, past_end, test::PageStream({}), Bytes{1, 2}}) {
    const auto path = env / "bad.kdsc";
    WriteFileBytes(path, job);
    CSignedDocObj doc(catalog, prompt);
    EXPECT_EQ(doc.Open(path.string(), 0), 13u);
    EXPECT_NE(doc.error_text().find("0x0000000D"), std::string::npos) << doc.error_text();
    std::filesystem::remove(path);
    EXPECT_EQ(test::Names(env / ""), (std::vector<std::string>{"reg", "tmp"}));
    EXPECT_TRUE(env.TempIsEmpty());
  }
}

TEST_F(KdocDocumentTest, UnreadableContainersAreRefusedAndKept) {
  // Not a cabinet; and a cabinet whose member would leave its folder.
  const auto junk = env / "junk.kdoc";
  WriteFileBytes(junk, Bytes(300, 0x41));
  const auto evil = env / "evil.kdoc";
  test::WriteCabinet(evil, env / "", {{"00001.emf", test::EmfPage(1)}, {"zz_x", {1, 2, 3}}});
  std::filesystem::remove(env / "00001.emf");
  std::filesystem::remove(env / "zz_x");
  Bytes evil_bytes = ReadFileBytes(evil);
  const std::string from = "zz_x";
  auto at = std::search(evil_bytes.begin(), evil_bytes.end(), from.begin(), from.end());
  ASSERT_NE(at, evil_bytes.end());
  std::copy_n("../x", 4, at);
  WriteFileBytes(evil, evil_bytes);

  // Junk is a damaged container; the evil one is refused for its name, which
  // the message gives.
  const struct {
    std::filesystem::path path;
    uint32_t error;
    const char* code;
    const char* why;
  } cases[] = {
      {junk, 0xFFFFFFFFu, "0xFFFFFFFF", "does not contain signature"},
      {evil, 123u, "0x0000007B", "a part named \"../x\", which would be written outside its folder"},
  };
  for (const auto& c : cases) {
    const Bytes before = ReadFileBytes(c.path);
    CSignedDocObj doc(catalog, prompt);
    EXPECT_EQ(doc.Open(c.path.string(), 1), c.error);
    EXPECT_NE(doc.error_text().find(c.code), std::string::npos) << doc.error_text();
    EXPECT_NE(doc.error_text().find(c.why), std::string::npos) << doc.error_text();
    EXPECT_EQ(ReadFileBytes(c.path), before);
    EXPECT_TRUE(env.TempIsEmpty());
  }
  EXPECT_FALSE(std::filesystem::exists(env / "x"));
  EXPECT_FALSE(std::filesystem::exists(env.temp().parent_path() / "x"));

  // A signatures member that is not CMS: the pages open, the signatures are refused.
  const auto bad_sig = env / "badsig.kdoc";
  test::WriteCabinet(bad_sig, env / "", {{"00001.emf", test::EmfPage(1)}, {"signatures.p7b", {0x30, 0x03, 1}}});
  CSignedDocObj doc(catalog, prompt);
  ASSERT_EQ(doc.Open(bad_sig.string(), 1), 0u);
  EXPECT_EQ(doc.page_list()->GetCount(), 1u);
  EXPECT_EQ(doc.signatures(), nullptr);
  EXPECT_NE(doc.signatures_error(), 0u);
}

TEST_F(KdocDocumentTest, PrintingAgainReconcilesWithTheContainer) {
  const auto pages = test::ThreePages();
  const std::string container = (env / "doc.kdoc").string();
  const Bytes fake_signatures = {0x30, 0x80, 0x42};  // only its presence and bytes matter here
  auto make_signed = [&] {
    const auto dir = env / "src";
    std::filesystem::create_directories(dir);
    test::WriteCabinet(container, dir,
                       {{"00001.emf", pages[0]}, {"00002.emf", pages[1]}, {"00003.emf", pages[2]},
                        {"signatures.p7b", fake_signatures}});
    std::filesystem::remove_all(dir);
  };

  // The same job: the signed container stays as it was, without a question.
  make_signed();
  const Bytes original = ReadFileBytes(container);
  Print(pages);
  EXPECT_EQ(last, 0u);
  EXPECT_EQ(ReadFileBytes(container), original);
  EXPECT_TRUE(prompt.shown().empty());

  // A changed job, Yes: the signatures are dropped.
  const std::vector<Bytes> changed = {pages[0], test::EmfPage(7), pages[2]};
  prompt.QueueMessageAnswer(IDYES);
  Print(changed);
  EXPECT_EQ(last, 0u);
  ASSERT_EQ(prompt.shown().size(), 1u);
  EXPECT_EQ(prompt.shown()[0].id, 211);
  EXPECT_EQ(prompt.shown()[0].style, MB_YESNO | MB_ICONEXCLAMATION | MB_SYSTEMMODAL);
  EXPECT_EQ(Members(container, "yes"), (std::vector<std::string>{"00001.emf", "00002.emf", "00003.emf"}));
  EXPECT_EQ(ReadFileBytes(env / "yes" / "00002.emf"), changed[1]);

  // The container is unsigned now: a changed job replaces it without a question.
  Print(pages);
  EXPECT_EQ(prompt.shown().size(), 1u);
  EXPECT_EQ(Members(container, "plain"), (std::vector<std::string>{"00001.emf", "00002.emf", "00003.emf"}));
  EXPECT_EQ(ReadFileBytes(env / "plain" / "00002.emf"), pages[1]);

  // A changed job, No: the old signatures next to the new pages.
  make_signed();
  prompt.QueueMessageAnswer(IDNO);
  Print(changed);
  EXPECT_EQ(last, 0u);
  EXPECT_EQ(prompt.shown().size(), 2u);
  EXPECT_EQ(Members(container, "no"),
            (std::vector<std::string>{"00001.emf", "00002.emf", "00003.emf", "signatures.p7b"}));
  EXPECT_EQ(ReadFileBytes(env / "no" / "00002.emf"), changed[1]);
  EXPECT_EQ(ReadFileBytes(env / "no" / "signatures.p7b"), fake_signatures);

  // Only the container is left, and no working folder.
  for (const auto& n : test::Names(env / "")) EXPECT_TRUE(n == "doc.kdoc" || std::filesystem::is_directory(env / n)) << n;
  EXPECT_TRUE(env.TempIsEmpty());
}

TEST_F(KdocDocumentTest, AJobPrintedOverSomethingElseKeepsIt) {
  const auto other = env / "doc.kdoc";
  test::WriteFileText(other, "not a cabinet");
  Print(test::ThreePages());
  EXPECT_EQ(last, 0xFFFFFFFFu);
  EXPECT_NE(last_text.find("doc.kdoc"), std::string::npos);
  EXPECT_EQ(test::ReadFileText(other), "not a cabinet");
  EXPECT_EQ(test::Names(env / ""), (std::vector<std::string>{"doc.kdoc", "reg", "tmp"}));
}

TEST_F(KdocDocumentTest, LongPathsAreNoError) {
  std::filesystem::path deep = env / "";
  for (int i = 0; i < 6; ++i) deep /= std::string(60, static_cast<char>('a' + i));
  std::filesystem::create_directories(deep);
  const auto job = deep / "Raport.kdsc";
  ASSERT_GT(job.string().size(), 300u);
  test::WriteFileBytes(job, test::PageStream(test::ThreePages()));
  {
    CSignedDocObj printed(catalog, prompt);
    ASSERT_EQ(printed.Open(job.string(), 0), 0u) << printed.error_text();
  }
  CSignedDocObj doc(catalog, prompt);
  ASSERT_EQ(doc.Open((deep / "Raport.kdoc").string(), 1), 0u) << doc.error_text();
  EXPECT_EQ(doc.page_list()->GetCount(), 3u);
}

TEST(KdocPaths, JobNamesBecomeContainerNames) {
  EXPECT_EQ(ContainerPathForJob("/Out/Doc.kdsc"), "/Out/Doc.kdoc");
  EXPECT_EQ(ContainerPathForJob("/Out/DOC.KDSC"), "/Out/DOC.KDoC");
  EXPECT_EQ(ContainerPathForJob("/Out/Doc"), "/Out/Doc.kdoc");
  const std::string deep = "/" + std::string(300, 'a') + "/Raport.kdsc";
  EXPECT_EQ(ContainerPathForJob(deep), "/" + std::string(300, 'a') + "/Raport.kdoc");
}

// The waiting program is found beside the program, started once per slot and
// ended by its process id.
TEST(WaitProgram, StartsOnceAndEndsByProcessId) {
  int slot = 0;
  CSignedDocObj::StartWaitProgram(&slot);
  ASSERT_GT(slot, 0);
  const int pid = slot;
  EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe").filename(), "VelSWait");
  CSignedDocObj::StartWaitProgram(&slot);
  EXPECT_EQ(slot, pid);
  CSignedDocObj::StopWaitProgram(&slot);
  EXPECT_EQ(slot, 0);
  EXPECT_NE(::kill(pid, 0), 0);  // ended and collected
  CSignedDocObj::StopWaitProgram(&slot);
  EXPECT_EQ(slot, 0);
}

}  // namespace
}  // namespace vel::app

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QGuiApplication app(argc, argv);  // fonts for the page renderer
  return RUN_ALL_TESTS();
}
