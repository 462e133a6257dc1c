// What the application asks of the person in front of it: message boxes and
// file dialogs. The windows answer through Qt; tests answer through a script
// and read back what was shown.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vel::app {

// Message-box styles and answers, with the values the rest of the program uses.
inline constexpr uint32_t MB_OK = 0x0;
inline constexpr uint32_t MB_OKCANCEL = 0x1;
inline constexpr uint32_t MB_YESNOCANCEL = 0x3;
inline constexpr uint32_t MB_YESNO = 0x4;
inline constexpr uint32_t MB_ICONHAND = 0x10;
inline constexpr uint32_t MB_ICONQUESTION = 0x20;
inline constexpr uint32_t MB_ICONEXCLAMATION = 0x30;
inline constexpr uint32_t MB_ICONASTERISK = 0x40;
inline constexpr uint32_t MB_SYSTEMMODAL = 0x1000;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

// Save- and open-dialog flags that change what the dialog reports.
inline constexpr uint32_t OFN_HIDEREADONLY = 0x4;
inline constexpr uint32_t OFN_EXTENSIONDIFFERENT = 0x400;

struct FileDialogRequest {
  std::string default_extension;  // without the dot, e.g. "cab"
  std::string default_name;
  std::string filter;             // "Name|*.ext||" pairs
  uint32_t flags = 0;
};

struct FileDialogAnswer {
  std::string path;
  bool extension_differs = false;  // the chosen name's extension is not the default one
};

class Prompt {
 public:
  virtual ~Prompt() = default;
  // Shows a message box; `id` is the catalog id of the text (0 when it has none).
  // Returns the button pressed (IDOK, IDCANCEL, IDYES, IDNO).
  virtual int ShowMessage(int id, const std::string& text, const std::string& caption,
                          uint32_t style) = 0;
  // A save dialog; nullopt when the person cancels.
  virtual std::optional<FileDialogAnswer> AskSavePath(const FileDialogRequest& request) = 0;
  // An open dialog; nullopt when the person cancels.
  virtual std::optional<FileDialogAnswer> AskOpenPath(const FileDialogRequest& request) = 0;
  // Runs a window until the person closes it: `run` shows it and waits.
  // `name` says which window it is.
  virtual void RunWindow(const std::string& name, const std::function<void()>& run) = 0;
};

class CMessageTable;

// A save dialog that asks message 209 once before a file that exists is
// overwritten (No shows the dialog again). A name whose extension differs from
// the default one gets the default appended. nullopt when cancelled.
std::optional<std::string> AskSaveTarget(Prompt& prompt, const CMessageTable& catalog,
                                         const FileDialogRequest& request, const std::string& caption);

// Answers from a script and records every request. An empty script answers
// message boxes with IDOK (IDYES for yes/no boxes) and cancels file dialogs.
class ScriptedPrompt : public Prompt {
 public:
  struct Shown {
    std::string kind;  // "message", "save", "open", "window"
    int id = 0;
    std::string text;  // message text, or the dialog's default name
    std::string caption;
    uint32_t style = 0;  // message style, or the dialog's flags
  };

  void QueueMessageAnswer(int answer) { message_answers_.push_back(answer); }
  void QueueFileAnswer(std::optional<FileDialogAnswer> answer) { file_answers_.push_back(std::move(answer)); }
  const std::vector<Shown>& shown() const { return shown_; }

  int ShowMessage(int id, const std::string& text, const std::string& caption, uint32_t style) override;
  std::optional<FileDialogAnswer> AskSavePath(const FileDialogRequest& request) override;
  std::optional<FileDialogAnswer> AskOpenPath(const FileDialogRequest& request) override;
  // Records the window and closes it at once: nobody is there to close it.
  void RunWindow(const std::string& name, const std::function<void()>& run) override;

 private:
  std::optional<FileDialogAnswer> NextFileAnswer(const std::string& kind, const FileDialogRequest& r);

  std::deque<int> message_answers_;
  std::deque<std::optional<FileDialogAnswer>> file_answers_;
  std::vector<Shown> shown_;
};

}  // namespace vel::app
