// The waiting animation shown while the signing program computes, signs or
// talks to a time-stamp server: a small frameless window with a busy bar. The
// signing program starts it and ends it with SIGTERM, which ends it at once
// with exit code 0.
#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>
#include <QWidget>
#include <csignal>
#include <unistd.h>

int main(int argc, char** argv) {
  std::signal(SIGTERM, [](int) { ::_exit(0); });
  QApplication app(argc, argv);
  QWidget window(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool);
  auto* layout = new QVBoxLayout(&window);
  auto* label = new QLabel(QStringLiteral("Vellorum Sign"), &window);
  label->setAlignment(Qt::AlignCenter);
  auto* bar = new QProgressBar(&window);
  bar->setRange(0, 0);  // no end: only shows that work goes on
  bar->setTextVisible(false);
  layout->addWidget(label);
  layout->addWidget(bar);
  // It never takes the keyboard: a PIN is typed into the dialog beneath it.
  window.setAttribute(Qt::WA_ShowWithoutActivating);
  window.setWindowFlag(Qt::WindowDoesNotAcceptFocus);
  window.resize(240, 70);
  window.show();
  return app.exec();
}
