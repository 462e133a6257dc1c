// The main window: from process start to the first drawn page of a 20-page
// EMF container, whole process, beside emf2svg-conv + rsvg-convert drawing
// the same first page to a picture, whole process too (medians of 5, ratio
// peer / ours); then turning a page in the open window (at zoom 4 and fitted
// to the width), which has no peer.
//
//   main_window_bench [pages]          (default 20)
//   main_window_bench first <file>     opens the file and draws its first page
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/kdoc_document.h"
#include "bench/measure.h"
#include "bench/text_pages.h"
#include "cabinet/cabinet.h"
#include "app/ui/main_window.h"

namespace {

namespace fs = std::filesystem;
using vel::bench::Bytes;
using vel::bench::Clock;
using vel::bench::Ms;
using vel::bench::WriteBytes;
constexpr int kRuns = 5;

// The main window shown over `file`, its first page drawn, as the program
// starts with a document.
struct OpenDocument {
  explicit OpenDocument(const std::string& file) : window(catalog, prompt, file) {
    window.resize(960, 760);
    window.show();
    QApplication::processEvents();
    opened = window.Init() == 0;
    if (opened) window.viewer()->picture()->repaint();
  }
  vel::app::CMessageTable catalog{1033};
  vel::app::ScriptedPrompt prompt;
  vel::app::CMainWindow window;
  bool opened = false;
};

// 0 when the first page shows text.
int First(const char* file) {
  const OpenDocument doc(file);
  if (!doc.opened) return 2;
  return vel::bench::LooksDrawn(doc.window.viewer()->picture()->grab().toImage()) ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication qt(argc, argv);
  if (argc == 3 && std::string(argv[1]) == "first") return First(argv[2]);
  const int pages = argc > 1 ? std::atoi(argv[1]) : 20;
  char tmpl[] = "/tmp/main_window_bench_XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  setenv("VELDOC_REGISTRY_DIR", (dir / "reg").c_str(), 1);
  fs::create_directories(dir / "reg");
  fs::create_directories(dir / "pages");
  std::vector<std::string> names;
  for (int i = 1; i <= pages; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "%05d.emf", i);
    WriteBytes(dir / "pages" / name, vel::bench::TextPage(i));
    names.push_back((dir / "pages" / name).string());
  }
  std::vector<const char*> paths;
  for (const auto& n : names) paths.push_back(n.c_str());
  const std::string container = (dir / "doc.kdoc").string();
  if (vel::cabinet::CreateCabinet(static_cast<int>(paths.size()), paths.data(), container.c_str()) != 1) return 1;

  // The first page, whole process on both sides; each side's picture checked once.
  const std::string self = fs::canonical("/proc/self/exe").string();
  const std::string ours_command = self + " first " + vel::bench::ShellQuote(container) + " >/dev/null 2>&1";
  const std::string page1 = vel::bench::ShellQuote((dir / "pages" / "00001.emf").string());
  const std::string svg = vel::bench::ShellQuote((dir / "p.svg").string());
  const std::string png = (dir / "p.png").string();
  const std::string peer_command = "emf2svg-conv -i " + page1 + " -o " + svg + " >/dev/null 2>&1 && rsvg-convert -w 840 " +
                                   svg + " -o " + vel::bench::ShellQuote(png) + " >/dev/null 2>&1";
  if (vel::bench::Run(ours_command) != 0) return std::printf("our window does not draw the first page\n"), 1;
  if (vel::bench::Run(peer_command) != 0 || !vel::bench::LooksDrawn(QImage(QString::fromStdString(png)), 840))
    return std::printf("the peer does not draw the first page\n"), 1;
  const vel::bench::Measure ours = vel::bench::MeasureCommand(ours_command, kRuns);
  const vel::bench::Measure peer = vel::bench::MeasureCommand(peer_command, kRuns);
  std::printf("%d-page EMF container, process start to first drawn page, whole process, medians of %d:\n"
              "  ours (the window opens the container)      %7.1f ms  peak %6.1f MB\n"
              "  emf2svg-conv + rsvg-convert, page 1 file   %7.1f ms  peak %6.1f MB\n"
              "  ratio peer/ours %s\n",
              pages, kRuns, ours.seconds * 1e3, ours.rss_mb(), peer.seconds * 1e3, peer.rss_mb(),
              vel::bench::Ratio(peer.seconds, ours.seconds).c_str());

  OpenDocument doc(container);
  if (!doc.opened) return std::printf("open failed\n"), 1;
  vel::app::CMainWindow& window = doc.window;

  for (const bool fit : {false, true}) {
    if (fit) window.findChild<QCheckBox*>("1006")->click();
    // Forward through every page and back, each turn drawn.
    std::vector<double> turns;
    for (int round = 0; round < 2; ++round)
      for (int i = 1; i < pages; ++i) {
        const auto a = Clock::now();
        round == 0 ? window.viewer()->OnNextPage() : window.viewer()->OnPrevPage();
        window.viewer()->picture()->repaint();
        turns.push_back(Ms(a, Clock::now()));
      }
    std::sort(turns.begin(), turns.end());
    double sum = 0;
    for (double t : turns) sum += t;
    std::printf("page turn in the open window (%s, no peer): mean %.1f ms, median %.1f ms, max %.1f ms over %zu turns\n",
                fit ? "fit width" : "zoom 4", sum / static_cast<double>(turns.size()), turns[turns.size() / 2],
                turns.back(), turns.size());
  }

  fs::remove_all(dir);
  return 0;
}
