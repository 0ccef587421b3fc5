#include "ui/application.h"

#include <gtest/gtest.h>

#include <thread>

#include "ui/controls.h"

namespace dk {
namespace {

TEST(Application, HookSeesMessagesFirstAndMayHandleThem) {
  TApplication app;
  TForm form(nullptr);
  std::vector<uintptr_t> seen;
  app.OnMessage = [&](TMessage& m) {
    seen.push_back(m.WParam);
    return m.WParam == 1;  // handled: not dispatched
  };
  bool closed = false;
  form.OnClose = [&] { closed = true; };
  app.PostMessage(form.Handle(), WM_CLOSE, 1, 0);
  app.ProcessMessages();
  EXPECT_FALSE(closed);
  app.PostMessage(form.Handle(), WM_CLOSE, 2, 0);
  app.ProcessMessages();
  EXPECT_TRUE(closed);
  EXPECT_EQ(seen, (std::vector<uintptr_t>{1, 2}));
  // Closing the main form ends the loop.
  EXPECT_TRUE(app.Terminated());
}

TEST(Application, ProcessMessagesHandlesOnlyWhatIsPendingNow) {
  TApplication app;
  int handled = 0;
  app.OnMessage = [&](TMessage&) {
    ++handled;
    app.PostMessage(0, WM_APP, 0, 0);  // re-posting must not loop forever
    return true;
  };
  app.PostMessage(0, WM_APP, 0, 0);
  app.ProcessMessages();
  EXPECT_EQ(handled, 1);
  app.ProcessMessages();
  EXPECT_EQ(handled, 2);
}

TEST(Application, SynchronizeRunsOnTheMainThreadAndWaits) {
  TApplication app;
  std::thread::id ranOn;
  bool returned = false;
  std::thread worker([&] {
    app.Synchronize([&] { ranOn = std::this_thread::get_id(); });
    returned = true;
    EXPECT_THROW(app.Synchronize([] { throw std::runtime_error("x"); }), std::runtime_error);
    app.PostMessage(0, WM_APP, 7, 0);
  });
  app.OnMessage = [&](TMessage& m) {
    if (m.WParam == 7) app.Terminate();
    return true;
  };
  app.Run();
  worker.join();
  EXPECT_TRUE(returned);
  EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(Application, TimerFiresOnTheMainThreadUntilDisabled) {
  TApplication app;
  TTimer timer;
  int fired = 0;
  timer.OnTimer = [&](TTimer& t) {
    EXPECT_TRUE(app.IsMainThread());
    if (++fired == 3) {
      t.SetEnabled(false);
      app.Terminate();
    }
  };
  timer.SetInterval(5);
  timer.SetEnabled(true);
  app.Run();
  EXPECT_EQ(fired, 3);
}

TEST(Application, FailureInAHandlerGoesToTheDefaultReport) {
  TApplication app;
  std::string reported;
  app.OnException = [&](const std::string& text) { reported = text; };
  app.OnMessage = [&](TMessage&) -> bool { throw std::runtime_error("Datei fehlt"); };
  app.PostMessage(0, WM_APP, 0, 0);
  app.Run();  // must end, not hang
  EXPECT_EQ(reported, "Datei fehlt");
}

TEST(Application, ScreenCursor) {
  TApplication app;
  EXPECT_EQ(app.Cursor(), crDefault);
  app.SetCursor(crSQLWait);
  EXPECT_EQ(app.Cursor(), -17);
  EXPECT_EQ(crHourGlass, -11);
}

}  // namespace
}  // namespace dk
