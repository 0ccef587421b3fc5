#include "ui/terminal_view.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

#include "sys/text.h"
#include "ui/application.h"
#include "ui/controls.h"

namespace dk {

namespace {

std::string Fit(const std::string& s, int width) {
  if (width <= 0) return std::string();
  if (static_cast<int>(Utf8Length(s)) <= width) return s;
  return Utf8Left(s, static_cast<size_t>(width));
}

std::string ProgressText(const TProgressBar& bar, int columns) {
  const long long span = std::max(1, bar.Max() - bar.Min());
  const long long done = bar.Position() - bar.Min();
  const int pct = static_cast<int>(100 * done / span);
  const int width = std::clamp(columns - 12, 10, 60);
  const int filled = static_cast<int>(width * done / span);
  std::string s = "[";
  s.append(static_cast<size_t>(filled), '#');
  s.append(static_cast<size_t>(width - filled), '-');
  s += "] ";
  s += std::to_string(pct) + "%";
  return s;
}

}  // namespace

TTerminalView::TTerminalView(int fd, bool interactive) : FFd(fd), FInteractive(interactive) {}

TTerminalView::~TTerminalView() = default;

TTerminalView* TTerminalView::ForStderr() {
  static TTerminalView view(STDERR_FILENO, isatty(STDERR_FILENO) != 0);
  return &view;
}

void TTerminalView::Write(const std::string& s) {
  size_t off = 0;
  while (off < s.size()) {
    const ssize_t n = write(FFd, s.data() + off, s.size() - off);
    if (n <= 0) return;  // a closed terminal does not stop the work
    off += static_cast<size_t>(n);
  }
}

int TTerminalView::Columns() const {
  winsize ws{};
  if (ioctl(FFd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

std::string TTerminalView::StatusBlock(int& lines, bool evenHidden) const {
  std::string out;
  lines = 0;
  if (!Application) return out;
  const int cols = Columns();
  if (TForm* form = Application->MainForm(); form && (form->Visible() || evenHidden)) {
    out += "\x1b[1m" + Fit(form->Caption, cols - 1) + "\x1b[0m\x1b[K\n";
    ++lines;
    for (TControl* ctl : form->Controls()) {
      if (!ctl->Visible()) continue;
      std::string line;
      if (auto* label = dynamic_cast<TLabel*>(ctl)) {
        line = label->Caption();
      } else if (auto* bar = dynamic_cast<TProgressBar*>(ctl)) {
        line = ProgressText(*bar, cols);
        if (!bar->Detail().empty()) {
          out += "  " + Fit(line, cols - 3) + "\x1b[K\n";
          ++lines;
          line = bar->Detail();
        }
      } else if (auto* button = dynamic_cast<TButton*>(ctl)) {
        line = "[ " + ReplaceAll(button->Caption, "&", "") + " ]";
      } else {
        continue;
      }
      out += "  " + Fit(line, cols - 3) + "\x1b[K\n";
      ++lines;
    }
  }
  return out;
}

void TTerminalView::ClearStatus() {
  if (!FInteractive || FStatusLines == 0) return;
  Write("\x1b[" + std::to_string(FStatusLines) + "F\x1b[J");
  FStatusLines = 0;
  FDirty = true;
}

void TTerminalView::Refresh(bool force) {
  if (!FDirty && !force) return;
  const auto now = std::chrono::steady_clock::now();
  if (!force && now - FLastDraw < std::chrono::milliseconds(100)) return;
  FLastDraw = now;
  FDirty = false;
  if (!Application) return;

  std::string logLines;
  if (TForm* form = Application->MainForm()) {
    for (TControl* ctl : form->Controls()) {
      auto* memo = dynamic_cast<TMemo*>(ctl);
      if (!memo) continue;
      int& printed = FPrinted[memo];
      const int count = memo->Lines().Count();
      if (printed > count) printed = 0;  // cleared
      for (; printed < count; ++printed) logLines += memo->Lines()[printed] + "\n";
    }
  }
  if (!FInteractive) {
    Write(logLines);
    return;
  }
  std::string out;
  if (FStatusLines > 0) out += "\x1b[" + std::to_string(FStatusLines) + "F\x1b[J";
  out += logLines;
  int lines = 0;
  out += StatusBlock(lines, FFinishing);
  FStatusLines = lines;
  Write(out);
}

void TTerminalView::Finish() {
  FFinishing = true;
  Refresh(true);
  FFinishing = false;
  FStatusLines = 0;  // what is drawn now stays on the screen
}

void TTerminalView::FormGone(TForm* form) {
  for (TControl* ctl : form->Controls())
    if (auto* memo = dynamic_cast<TMemo*>(ctl)) FPrinted.erase(memo);
}

}  // namespace dk
