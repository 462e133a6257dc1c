// Shared pieces of the library windows.
#include "cryptolib/ui/lib_window.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <QMetaObject>
#include <QThread>
#include <QWidget>
#include <QWindow>

#include "cryptolib/cert_windows.h"
#include "cryptolib/ui/cert_list_window.h"
#include "cryptolib/ui/cert_view_window.h"

namespace vel::crypto::ui {

QFont LibWindowFont() {
  QFont font;
  // A narrow sans face first, so the tables' fixed column widths hold the
  // texts; the style hint covers systems without these faces.
  font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"),
                    QStringLiteral("Arial"), QStringLiteral("DejaVu Sans")});
  font.setStyleHint(QFont::SansSerif, QFont::PreferDefault);
  font.setPixelSize(11);
  font.setWeight(QFont::Normal);
  return font;
}

WindowHead MakeWindowHead() {
  WindowHead head;
  head.font = LibWindowFont();
  return head;
}

void SetWndFont(const WindowHead& head, QWidget* control) {
  if (control != nullptr) control->setFont(head.font);
}

QTreeWidget* MakeRowList(const WindowHead& head, QWidget* parent, const QStringList& headers) {
  auto* list = new QTreeWidget(parent);
  SetWndFont(head, list);
  list->setColumnCount(static_cast<int>(headers.size()));
  list->setHeaderLabels(headers);
  list->setRootIsDecorated(false);
  list->setUniformRowHeights(true);
  list->setSortingEnabled(false);
  list->header()->setSectionsClickable(false);
  list->header()->setStretchLastSection(true);
  list->setSelectionMode(QAbstractItemView::SingleSelection);
  list->setSelectionBehavior(QAbstractItemView::SelectRows);
  list->setAllColumnsShowFocus(true);
  return list;
}

QTreeWidget* MakeSignerRowList(const WindowHead& head, QWidget* parent, const QString& name_header,
                               const QString& value_header) {
  QTreeWidget* list = MakeRowList(head, parent, {name_header, value_header});
  list->setMinimumHeight(210);
  return list;
}

QWidget* MakeButtonStrip(const WindowHead& head, QWidget* parent,
                         std::initializer_list<QString> labels, std::vector<QPushButton*>* buttons) {
  auto* strip = new QWidget(parent);
  strip->setFixedHeight(40);
  auto* layout = new QHBoxLayout(strip);
  layout->setContentsMargins(10, 7, 10, 8);
  layout->setSpacing(10);
  layout->addStretch(1);
  for (const QString& label : labels) {
    auto* button = new QPushButton(label, strip);
    SetWndFont(head, button);
    button->setMinimumSize(110, 25);
    layout->addWidget(button);
    buttons->push_back(button);
  }
  return strip;
}

bool RunOnGuiThread(std::function<void()> work, bool wait) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr || qobject_cast<QApplication*>(app) == nullptr) return false;
  if (QThread::currentThread() == app->thread()) {
    work();
    return true;
  }
  return QMetaObject::invokeMethod(app, std::move(work),
                                   wait ? Qt::BlockingQueuedConnection : Qt::QueuedConnection);
}

void InstallCertificateWindows() {
  CertificateWindowHandlers handlers;
  handlers.show_certificate = [](const CertPtr& certificate) {
    return ShowCertViewWindow(certificate);
  };
  handlers.select_certificate = &ShowCertListWindow;
  SetCertificateWindowHandlers(handlers);
}

void ShowModeless(QWidget* window) {
  window->setAttribute(Qt::WA_DeleteOnClose);
  if (QWidget* modal = QApplication::activeModalWidget()) {
    window->winId();
    if (QWindow* own = window->windowHandle(); own != nullptr)
      own->setTransientParent(modal->window()->windowHandle());
  }
  window->show();
  window->raise();
}

QString Text(const std::string& s) { return QString::fromStdString(s); }

QString OneLine(const std::string& s) {
  QString t = Text(s);
  t.replace(QStringLiteral("\r\n"), QStringLiteral("  "));
  t.replace(QLatin1Char('\n'), QLatin1Char(' '));
  return t.trimmed();
}

QString Lines(const std::string& s) {
  QString t = Text(s);
  t.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return t;
}

}  // namespace vel::crypto::ui
