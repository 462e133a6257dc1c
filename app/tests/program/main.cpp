// The program as tests start it: the shipped program's run, with every
// question answered from a script instead of a window (scripted_prompt_file.h).
#include <cstdio>

#include "app/tests/program/scripted_prompt_file.h"
#include "app/ui/program.h"

int main(int argc, char** argv) {
  auto prompt = vel::test::ScriptedPromptFromEnvironment();
  if (!prompt) {
    std::fputs("VELDOC_PROMPT_SCRIPT names no script\n", stderr);
    return 2;
  }
  return vel::app::RunProgram(argc, argv, *prompt);
}
