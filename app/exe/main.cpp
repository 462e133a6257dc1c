// The program's entry: the person in front of it answers through Qt's message
// boxes and dialogs. Start-up runs the chosen mode; the program ends when that
// mode's window closes.
#include "app/ui/program.h"
#include "app/ui/qt_prompt.h"

int main(int argc, char** argv) {
  vel::app::QtPrompt prompt;
  return vel::app::RunProgram(argc, argv, prompt);
}
