#include "app/ui/qt_prompt.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

namespace vel::app {

namespace {

std::optional<FileDialogAnswer> Answer(const QString& chosen, const std::string& default_ext) {
  if (chosen.isEmpty()) return std::nullopt;
  FileDialogAnswer a;
  a.path = chosen.toStdString();
  const QString suffix = QFileInfo(chosen).suffix();
  a.extension_differs =
      !default_ext.empty() && suffix.compare(QString::fromStdString(default_ext), Qt::CaseInsensitive) != 0;
  return a;
}

}  // namespace

int QtPrompt::ShowMessage(int, const std::string& text, const std::string& caption, uint32_t style) {
  QMessageBox box(owner_);
  box.setWindowTitle(QString::fromStdString(caption));
  // Texts carry names from documents and paths: never read as markup.
  box.setTextFormat(Qt::PlainText);
  box.setText(QString::fromStdString(text));
  switch (style & 0xF0) {
    case MB_ICONHAND: box.setIcon(QMessageBox::Critical); break;
    case MB_ICONQUESTION: box.setIcon(QMessageBox::Question); break;
    case MB_ICONEXCLAMATION: box.setIcon(QMessageBox::Warning); break;
    case MB_ICONASTERISK: box.setIcon(QMessageBox::Information); break;
    default: break;
  }
  switch (style & 0xF) {
    case MB_OKCANCEL: box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel); break;
    case MB_YESNOCANCEL:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
      break;
    case MB_YESNO: box.setStandardButtons(QMessageBox::Yes | QMessageBox::No); break;
    default: box.setStandardButtons(QMessageBox::Ok); break;
  }
  if (style & MB_SYSTEMMODAL) box.setWindowModality(Qt::ApplicationModal);
  switch (box.exec()) {
    case QMessageBox::Yes: return IDYES;
    case QMessageBox::No: return IDNO;
    case QMessageBox::Cancel: return IDCANCEL;
    default: return IDOK;
  }
}

std::string QtPrompt::QtFilter(const std::string& filter) {
  std::vector<std::string> parts;
  std::string cur;
  for (char c : filter) {
    if (c == '|') {
      parts.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) parts.push_back(cur);
  std::string out;
  for (size_t i = 0; i + 1 < parts.size(); i += 2) {
    if (parts[i].empty()) break;
    std::string patterns = parts[i + 1];
    for (char& c : patterns)
      if (c == ';') c = ' ';
    if (!out.empty()) out += ";;";
    out += parts[i] + " (" + patterns + ")";
  }
  return out;
}

std::optional<FileDialogAnswer> QtPrompt::AskSavePath(const FileDialogRequest& r) {
  QFileDialog dlg(owner_, QString(), QString::fromStdString(r.default_name),
                  QString::fromStdString(QtFilter(r.filter)));
  dlg.setAcceptMode(QFileDialog::AcceptSave);
  // The program asks its own question before overwriting; Qt's would be a second.
  dlg.setOption(QFileDialog::DontConfirmOverwrite, true);
  dlg.setDefaultSuffix(QString::fromStdString(r.default_extension));
  if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return std::nullopt;
  return Answer(dlg.selectedFiles().front(), r.default_extension);
}

std::optional<FileDialogAnswer> QtPrompt::AskOpenPath(const FileDialogRequest& r) {
  QFileDialog dlg(owner_, QString(), QString::fromStdString(r.default_name),
                  QString::fromStdString(QtFilter(r.filter)));
  dlg.setAcceptMode(QFileDialog::AcceptOpen);
  dlg.setFileMode(QFileDialog::ExistingFile);
  if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return std::nullopt;
  return Answer(dlg.selectedFiles().front(), r.default_extension);
}

}  // namespace vel::app
