#include "ui/terminal_view.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "ui/application.h"
#include "ui/controls.h"

namespace dk {
namespace {

// What a view writes into a pipe.
class TCapture {
 public:
  TCapture() { EXPECT_EQ(pipe(FFds), 0); }
  ~TCapture() {
    close(FFds[0]);
    close(FFds[1]);
  }
  int Fd() const { return FFds[1]; }
  std::string Take() {
    std::string out;
    char buf[4096];
    while (true) {
      fd_set set;
      FD_ZERO(&set);
      FD_SET(FFds[0], &set);
      timeval none{0, 0};
      if (select(FFds[0] + 1, &set, nullptr, nullptr, &none) <= 0) break;
      const ssize_t n = read(FFds[0], buf, sizeof buf);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }

 private:
  int FFds[2];
};

struct TWindow {
  explicit TWindow(TApplication& app) : Form(nullptr) {
    (void)app;
    Form.Caption = "Konverter";
    Bar = new TProgressBar(&Form);
    Bar->SetMax(200);
    Memo = new TMemo(&Form);
    Form.Show();
  }
  TForm Form;
  TProgressBar* Bar;
  TMemo* Memo;
};

TEST(TerminalView, StatusBlockShowsTheBarAndItsDetailLine) {
  TApplication app;
  TWindow w(app);
  TCapture capture;
  TTerminalView view(capture.Fd(), true);
  w.Memo->Append("Daten kopieren");
  w.Bar->SetPosition(100);
  w.Bar->SetDetail("FTIWID: 100 von 200 Zeilen, 50 Zeilen/s, noch etwa 0:02");
  view.Refresh(true);
  std::string out = capture.Take();
  EXPECT_NE(out.find("Daten kopieren\n"), std::string::npos);
  EXPECT_NE(out.find("] 50%\x1b[K\n  FTIWID: 100 von 200 Zeilen, 50 Zeilen/s, noch etwa 0:02"),
            std::string::npos)
      << out;

  w.Bar->SetPosition(200);
  w.Bar->SetDetail("");
  view.Refresh(true);
  out = capture.Take();
  EXPECT_NE(out.find("] 100%"), std::string::npos) << out;
  EXPECT_EQ(out.find("FTIWID"), std::string::npos);
}

TEST(TerminalView, WithoutATerminalOnlyLogLinesArePrinted) {
  TApplication app;
  TWindow w(app);
  TCapture capture;
  TTerminalView view(capture.Fd(), false);
  w.Memo->Append("erste Zeile");
  w.Bar->SetPosition(50);
  w.Bar->SetDetail("FTIWID: 50 von 200 Zeilen");
  view.Refresh(true);
  w.Memo->Append("zweite Zeile");
  w.Bar->SetPosition(60);
  view.Refresh(true);
  view.Finish();
  EXPECT_EQ(capture.Take(), "erste Zeile\nzweite Zeile\n");
}

}  // namespace
}  // namespace dk
