// Draws the visible forms on the terminal (stderr).
//
// On a terminal: the log lines of every visible form's memo scroll by as they
// come, and below them a status block (caption, labels, progress bar with its
// detail line, buttons) is redrawn in place at most about ten times a second. Without a terminal:
// only the log lines, as plain lines, no redraws.
#pragma once

#include <chrono>
#include <map>
#include <string>

namespace dk {

class TForm;
class TMemo;

class TTerminalView {
 public:
  // `fd` is where to draw; `interactive` chooses redraws over plain lines.
  TTerminalView(int fd, bool interactive);
  ~TTerminalView();
  TTerminalView(const TTerminalView&) = delete;
  TTerminalView& operator=(const TTerminalView&) = delete;

  // A view for stderr, interactive when stderr is a terminal.
  static TTerminalView* ForStderr();

  void Invalidate() { FDirty = true; }
  // Draws what changed; unless `force`, not more often than every 100 ms.
  void Refresh(bool force);
  // Removes the status block so that other output (a message box) can be
  // printed; the next Refresh draws it again.
  void ClearStatus();
  void FormGone(TForm* form);
  // The last drawing when the loop ends: remaining log lines and, on a
  // terminal, the main form's final state even when it was closed.
  void Finish();

 private:
  void Write(const std::string& s);
  int Columns() const;
  std::string StatusBlock(int& lines, bool evenHidden) const;

  int FFd;
  bool FInteractive;
  bool FDirty = true;
  bool FFinishing = false;
  int FStatusLines = 0;
  std::chrono::steady_clock::time_point FLastDraw{};
  std::map<const TMemo*, int> FPrinted;
};

}  // namespace dk
