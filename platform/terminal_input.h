// Secrets typed by a person at a terminal, or handed over by a script on a
// file descriptor, for the command-line tools.
#pragma once

#include <string>
#include <string_view>

namespace vel::platform {

// Longest secret line read; a longer one is refused.
inline constexpr size_t kMaxSecretLine = 4096;

// Reads one line (its end, "\n" or "\r\n", removed) from the descriptor, a
// byte at a time so that the next call reads the next line; the end of input
// ends the line. False on a read error, at the end of input before any
// byte when `need_bytes`, or for a line longer than kMaxSecretLine.
bool ReadSecretLine(int fd, std::string* out, bool need_bytes = false);

// Shows the prompt on the controlling terminal and reads a line with echo
// off; the terminal is restored afterwards. False without a terminal, or
// when the reading is interrupted (Ctrl-C).
bool AskTerminalSecret(std::string_view prompt, std::string* out);

}  // namespace vel::platform
