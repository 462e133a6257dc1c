#include "app/ui/program.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include "app/registry_names.h"
#include "app/registry_settings.h"
#include "app/ui/app_windows.h"
#include "app/ui/pin_dialog.h"
#include "app/viewer_app.h"
#include "cryptolib/ui/library_windows.h"
#include "platform/signer.h"
#include "velAsn1/asn1.h"
#include "xades/ui/xml_signer_window.h"

namespace vel::app {

int RunProgram(int argc, char** argv, Prompt& prompt) {
  // The decoder tables are filled once, before any thread can decode.
  asn1::RegisterAnyTypes();
  QApplication qt(argc, argv);
  // Qt's own dialogs and buttons speak the program's language.
  const bool english = CRegDword(std::string(kMachineKey) + "\\" + kValueLangId, kRegDefaultLangId, true,
                                 platform::RegHive::kLocalMachine)
                           .Get() == kLangIdEnglish;
  const QLocale locale(english ? QLocale::English : QLocale::Polish);
  QLocale::setDefault(locale);
  QTranslator qt_texts;
  if (!english && qt_texts.load(locale, "qtbase", "_", QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    qt.installTranslator(&qt_texts);
  crypto::ui::InstallLibraryWindows();
  InstallPinDialog(english ? kLangIdEnglish : kLangIdPolish);
  xades::ui::InstallXmlSignerWindow();
  std::vector<std::string> args(argv + 1, argv + argc);
  CViewerApp app;
  StartupWindows windows(prompt);
  app.InitInstance(args, windows.services());
  // Token libraries are finalised while everything they rely on still stands.
  platform::ShutdownPkcs11Modules();
  return app.exit_status();
}

}  // namespace vel::app
