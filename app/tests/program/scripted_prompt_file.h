// The answers of the program's test build. VELDOC_PROMPT_SCRIPT names a script,
// one answer a line: a number for a message box, "file:<path>",
// "file+ext:<path>" (a name whose extension differs from the default) or
// "cancel" for a file dialog; when the script runs out, message boxes get
// IDOK (IDYES when they ask yes or no) and file dialogs are cancelled.
// VELDOC_PROMPT_LOG, when set, names a file that gets what the program shows,
// one line each: kind, id, text, caption and style, separated by tabs.
//
// Only the test build reads these variables; the shipped program does not.
#pragma once

#include <memory>

#include "app/prompt.h"

namespace vel::test {

// The prompt the variables describe; nullptr when VELDOC_PROMPT_SCRIPT is not set.
std::unique_ptr<app::ScriptedPrompt> ScriptedPromptFromEnvironment();

}  // namespace vel::test
