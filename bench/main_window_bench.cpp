// The main window: from process start to the first drawn page of a 20-page
// EMF container, and turning a page (at zoom 4 and fitted to the width),
// beside emf2svg-conv + rsvg-convert drawing the same first page.
//
//   main_window_bench [pages]   (default 20)
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/kdoc_document.h"
#include "bench/text_pages.h"
#include "cabinet/cabinet.h"
#include "app/ui/main_window.h"

namespace {

namespace fs = std::filesystem;
using vel::bench::Bytes;
using vel::bench::Clock;
using vel::bench::Ms;
using vel::bench::WriteBytes;

// Milliseconds since this process started (the kernel's start time, in clock ticks).
double MsSinceProcessStart() {
  std::ifstream stat("/proc/self/stat");
  std::string line;
  std::getline(stat, line);
  const size_t close = line.rfind(')');
  std::vector<std::string> fields;
  std::string f;
  for (size_t i = close + 2; i <= line.size(); ++i) {
    if (i == line.size() || line[i] == ' ') {
      fields.push_back(f);
      f.clear();
    } else {
      f += line[i];
    }
  }
  // Field 22 of the file is the 20th after the name and state.
  const double start_ticks = fields.size() > 19 ? std::stod(fields[19]) : 0;
  double uptime = 0;
  std::ifstream("/proc/uptime") >> uptime;
  return uptime * 1000 - start_ticks * 1000 / static_cast<double>(sysconf(_SC_CLK_TCK));
}



}  // namespace

int main(int argc, char** argv) {
  const double at_main = MsSinceProcessStart();
  const auto t_main = Clock::now();
  QApplication qt(argc, argv);
  const int pages = argc > 1 ? std::atoi(argv[1]) : 20;
  char tmpl[] = "/tmp/main_window_bench_XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  setenv("VELDOC_REGISTRY_DIR", (dir / "reg").c_str(), 1);
  fs::create_directories(dir / "reg");
  fs::create_directories(dir / "pages");
  const auto t_make = Clock::now();
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
  const auto t_made = Clock::now();

  vel::app::CMessageTable catalog(1033);
  vel::app::ScriptedPrompt prompt;
  const auto t0 = Clock::now();
  vel::app::CMainWindow window(catalog, prompt, container);
  window.resize(960, 760);
  window.show();
  QApplication::processEvents();
  if (window.Init() != 0) return std::printf("open failed\n"), 1;
  window.viewer()->picture()->repaint();
  const auto t1 = Clock::now();
  // The container was made in between; it is not part of the program's start.
  const double start_to_page = at_main + Ms(t_main, t1) - Ms(t_make, t_made);
  std::printf("%d-page EMF container: process start to main %.0f ms (10 ms clock ticks), window and first drawn "
              "page %.1f ms, process start to first drawn page about %.0f ms\n",
              pages, at_main, Ms(t0, t1), start_to_page);

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
    std::printf("page turn (%s): mean %.1f ms, median %.1f ms, max %.1f ms over %zu turns\n",
                fit ? "fit width" : "zoom 4", sum / static_cast<double>(turns.size()), turns[turns.size() / 2],
                turns.back(), turns.size());
  }

  // The peer: the same first page to SVG and then to a picture.
  const std::string page1 = (dir / "pages" / "00001.emf").string();
  const auto p0 = Clock::now();
  const int rc = std::system(("emf2svg-conv -i " + page1 + " -o " + dir.string() + "/p.svg >/dev/null 2>&1 && " +
                              "rsvg-convert -w 840 " + dir.string() + "/p.svg -o " + dir.string() + "/p.png")
                                 .c_str());
  const auto p1 = Clock::now();
  if (rc == 0) std::printf("peer emf2svg-conv + rsvg-convert, first page at 840 px: %.1f ms\n", Ms(p0, p1));
  else std::printf("peer not available\n");
  fs::remove_all(dir);
  return 0;
}
