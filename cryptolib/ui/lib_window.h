// What the crypto library's windows share: the window font, giving a control
// that font (SetWndFont), handing work to the GUI thread, and installing the
// windows behind the certificate functions.
#pragma once

#include <QFont>
#include <QString>
#include <QStringList>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "cryptolib/status.h"

class QPushButton;
class QTreeWidget;
class QWidget;

namespace vel::crypto::ui {

// The head every library window's state begins with.
struct WindowHead {
  LibraryErrorCode last_status = 0;
  QFont font;
};

// The library windows' font: a plain sans-serif face, 11 pixels, normal weight.
QFont LibWindowFont();

// A head with the window font.
WindowHead MakeWindowHead();

// Gives `control` the font of the window whose head is `head`.
void SetWndFont(const WindowHead& head, QWidget* control);

// A modeless library window: its own title bar with a close button, kept
// above the document.
inline constexpr Qt::WindowFlags kModelessWindowFlags =
    Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
    Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint;

// Shows a modeless window that deletes itself when closed. While a modal
// window (the certificate selection) runs, it becomes the modal window's
// transient child so that the modal window does not block it; it still
// outlives that window. GUI thread only.
void ShowModeless(QWidget* window);

// A flat list of rows under these column headers: whole rows selected one
// at a time, no sorting, headers that do not click, the last column stretched.
QTreeWidget* MakeRowList(const WindowHead& head, QWidget* parent, const QStringList& headers);

// The two-column row list of a signer window's page, at least 210 high.
QTreeWidget* MakeSignerRowList(const WindowHead& head, QWidget* parent, const QString& name_header,
                               const QString& value_header);

// The 40-high strip below a signer window's pages: one 110 x 25 button per
// label at its right, in the order given (returned in *buttons).
QWidget* MakeButtonStrip(const WindowHead& head, QWidget* parent,
                         std::initializer_list<QString> labels, std::vector<QPushButton*>* buttons);

// Texts of the models as the widgets show them: as they are; in a list cell,
// on one line (line breaks become blanks); in a value box, with CR LF as LF.
QString Text(const std::string& s);
QString OneLine(const std::string& s);
QString Lines(const std::string& s);

// Runs `work` on the GUI thread: at once when called there, otherwise queued
// to it, and with `wait` the caller blocks until it has run. False when the
// process has no Qt application (nothing runs).
bool RunOnGuiThread(std::function<void()> work, bool wait);

// Makes ShowCertificate open the viewer and the store selection use the
// selection window (cryptolib/cert_windows.h). Call once the QApplication
// exists.
void InstallCertificateWindows();

}  // namespace vel::crypto::ui
