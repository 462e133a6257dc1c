#include "xades/engine_messages.h"

#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <cstdlib>

namespace vel::xades {
namespace {
thread_local XadesMessageCapture* t_capture = nullptr;

void WriteAll(std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
}
}  // namespace

void xadesPrint(std::string_view text) {
  if (t_capture != nullptr) {
    t_capture->text_.append(text);
    return;
  }
  WriteAll(text);
}

void xadesFatalError(const char* message) {
  const int error = errno;
  xadesPrint("An error occurred in running the program. \n");
  xadesPrint(std::string(message ? message : "") + "\n");
  std::ostringstream number;
  number << "Error number " << std::hex << error << ".\n";
  xadesPrint(number.str());
  xadesPrint("Program terminating. \n");
  std::exit(1);
}

XadesMessageCapture::XadesMessageCapture() : previous_(t_capture) { t_capture = this; }
XadesMessageCapture::~XadesMessageCapture() { t_capture = previous_; }

}  // namespace vel::xades
