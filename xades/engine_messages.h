// The engine's own messages to standard error and its fatal exit.
//
// Every message of the engine goes out through xadesPrint as one write, so a
// message is never interleaved with another thread's output; tests redirect
// them with XadesMessageCapture. libxml2's own diagnostics never come here:
// the parse helper (xml_doc.h) collects them through a structured handler.
#pragma once

#include <string>
#include <string_view>

namespace vel::xades {

// Writes the text to standard error in one write (or hands it to the capture
// installed on this thread).
void xadesPrint(std::string_view text);

// Writes "An error occurred in running the program. \n", the message and a
// line break, "Error number %x.\n" with errno, "Program terminating. \n", and
// ends the process with exit code 1. Only for allocation failures.
[[noreturn]] void xadesFatalError(const char* message);

// While alive, the engine's messages of this thread are collected instead of
// written; captures nest.
class XadesMessageCapture {
 public:
  XadesMessageCapture();
  ~XadesMessageCapture();
  XadesMessageCapture(const XadesMessageCapture&) = delete;
  XadesMessageCapture& operator=(const XadesMessageCapture&) = delete;
  const std::string& text() const { return text_; }

 private:
  friend void xadesPrint(std::string_view text);
  std::string text_;
  XadesMessageCapture* previous_;
};

}  // namespace vel::xades
