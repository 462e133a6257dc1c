// The program's entry: hands control to the application object, whose start-up
// runs the chosen mode; the program ends when that mode's window closes.
#include <QApplication>

#include "app/ui/app_windows.h"
#include "app/viewer_app.h"
#include "cryptolib/ui/library_windows.h"
#include "platform/signer.h"
#include "velAsn1/asn1.h"

int main(int argc, char** argv) {
  // The decoder tables are filled once, before any thread can decode.
  vel::asn1::RegisterAnyTypes();
  QApplication qt(argc, argv);
  vel::crypto::ui::InstallLibraryWindows();
  std::vector<std::string> args(argv + 1, argv + argc);
  vel::app::CViewerApp app;
  vel::app::StartupWindows windows;
  app.InitInstance(args, windows.services());
  // Token libraries are finalised while everything they rely on still stands.
  vel::platform::ShutdownPkcs11Modules();
  return 0;
}
