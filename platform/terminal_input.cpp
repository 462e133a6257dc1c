#include "platform/terminal_input.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>


namespace vel::platform {
namespace {

void Forget(std::string* s) {
  OPENSSL_cleanse(s->data(), s->size());
  s->clear();
}

// Signals that would end the process with the echo off interrupt the read
// instead, so that the terminal is restored.
void Interrupted(int) {}

}  // namespace

bool ReadSecretLine(int fd, std::string* out, bool need_bytes) {
  Forget(out);
  bool any = false;
  for (;;) {
    char c;
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0) {  // an interrupted read too: the person gave up
      Forget(out);
      return false;
    }
    if (n == 0) {
      if (need_bytes && !any) return false;
      break;
    }
    any = true;
    if (c == '\n') break;
    if (out->size() >= kMaxSecretLine) {
      Forget(out);
      return false;
    }
    out->push_back(c);
  }
  if (!out->empty() && out->back() == '\r') out->pop_back();
  return true;
}

bool AskTerminalSecret(std::string_view prompt, std::string* out) {
  const int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty < 0) return false;
  termios saved{};
  const bool is_term = ::tcgetattr(tty, &saved) == 0;
  struct sigaction quiet {}, old_int {}, old_term {}, old_quit {};
  quiet.sa_handler = Interrupted;  // no SA_RESTART: the read returns EINTR
  sigemptyset(&quiet.sa_mask);
  ::sigaction(SIGINT, &quiet, &old_int);
  ::sigaction(SIGTERM, &quiet, &old_term);
  ::sigaction(SIGQUIT, &quiet, &old_quit);
  if (is_term) {
    termios silent = saved;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    silent.c_lflag |= ECHONL;
    ::tcsetattr(tty, TCSAFLUSH, &silent);
  }
  bool ok = ::write(tty, prompt.data(), prompt.size()) == static_cast<ssize_t>(prompt.size()) &&
            ReadSecretLine(tty, out, true);
  if (is_term) ::tcsetattr(tty, TCSAFLUSH, &saved);
  ::sigaction(SIGINT, &old_int, nullptr);
  ::sigaction(SIGTERM, &old_term, nullptr);
  ::sigaction(SIGQUIT, &old_quit, nullptr);
  if (!ok) (void)!::write(tty, "\n", 1);
  ::close(tty);
  return ok;
}

}  // namespace vel::platform
