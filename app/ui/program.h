// The program's run, shared by the shipped binary and the test build that
// answers from a script: Qt in the program's language, the library windows,
// then start-up with the command line.
#pragma once

#include "app/prompt.h"

namespace vel::app {

// Runs the program on its command line with `prompt` answering every question
// it asks; the process's exit code.
int RunProgram(int argc, char** argv, Prompt& prompt);

}  // namespace vel::app
