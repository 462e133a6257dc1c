// The program's entry: hands control to the application object, whose start-up
// runs the chosen mode; the program ends when that mode's window closes.
#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include "app/ui/app_windows.h"
#include "app/ui/pin_dialog.h"
#include "app/registry_names.h"
#include "app/registry_settings.h"
#include "app/viewer_app.h"
#include "cryptolib/ui/library_windows.h"
#include "platform/signer.h"
#include "xades/ui/xml_signer_window.h"
#include "velAsn1/asn1.h"

int main(int argc, char** argv) {
  // The decoder tables are filled once, before any thread can decode.
  vel::asn1::RegisterAnyTypes();
  QApplication qt(argc, argv);
  // Qt's own dialogs and buttons speak the program's language.
  const bool english = vel::app::CRegDword(std::string(vel::app::kMachineKey) + "\\" + vel::app::kValueLangId,
                                           vel::app::kRegDefaultLangId, true, vel::platform::RegHive::kLocalMachine)
                           .Get() == vel::app::kLangIdEnglish;
  const QLocale locale(english ? QLocale::English : QLocale::Polish);
  QLocale::setDefault(locale);
  QTranslator qt_texts;
  if (!english && qt_texts.load(locale, "qtbase", "_", QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    qt.installTranslator(&qt_texts);
  vel::crypto::ui::InstallLibraryWindows();
  vel::app::InstallPinDialog(english ? vel::app::kLangIdEnglish : vel::app::kLangIdPolish);
  vel::xades::ui::InstallXmlSignerWindow();
  std::vector<std::string> args(argv + 1, argv + argc);
  vel::app::CViewerApp app;
  vel::app::StartupWindows windows;
  app.InitInstance(args, windows.services());
  // Token libraries are finalised while everything they rely on still stands.
  vel::platform::ShutdownPkcs11Modules();
  return 0;
}
