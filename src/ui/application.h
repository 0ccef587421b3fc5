// The application object: the message queue of the main thread, the hook that
// sees every message first, the run loop, timers, the synchronous call from
// another thread, the screen cursor, the default beep and the default error
// report.
//
// Everything here belongs to the main thread except Post, Synchronize and
// Beep, which any thread may call.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace dk {

class TForm;
class TTimer;
class TTerminalView;

using THandle = std::uintptr_t;

constexpr uint32_t WM_CLOSE = 0x0010;
constexpr uint32_t WM_APP = 0x8000;

struct TMessage {
  THandle Handle = 0;  // the window the message is addressed to; 0: the application
  uint32_t Msg = 0;
  std::uintptr_t WParam = 0;
  std::intptr_t LParam = 0;
};

// Screen cursor ids of the system.
constexpr int crDefault = 0;
constexpr int crHourGlass = -11;
constexpr int crSQLWait = -17;

class TApplication {
 public:
  TApplication();
  ~TApplication();
  TApplication(const TApplication&) = delete;
  TApplication& operator=(const TApplication&) = delete;

  std::string Title;

  // Sees every message taken from the queue before it is dispatched; returns
  // true when it handled the message (then it is not dispatched).
  std::function<bool(TMessage&)> OnMessage;

  // Any thread. Appends a message to the queue.
  void PostMessage(const TMessage& msg);
  void PostMessage(THandle handle, uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) {
    PostMessage(TMessage{handle, msg, wParam, lParam});
  }

  // Handles every message that is pending now, runs due timers and queued
  // synchronous calls and lets the terminal view redraw. Cheap when nothing
  // is pending: callers invoke it once per copied row.
  void ProcessMessages();

  // Runs the message loop until Terminate. A failure escaping a handler goes
  // to the default error report (HandleException) and the loop goes on.
  void Run();
  void Terminate();
  bool Terminated() const { return FTerminated; }

  // The default error report: writes the message to stderr. Without a main
  // window there is nothing left to close, so an interactive user is asked to
  // press Enter (the window stays until the user closes it) and the loop ends.
  void HandleException(const std::exception_ptr& e);
  std::function<void(const std::string&)> OnException;

  // Runs `fn` on the main thread and waits until it has run there. On the main
  // thread it runs at once. A failure of `fn` is rethrown to the caller.
  void Synchronize(const std::function<void()>& fn);
  bool IsMainThread() const { return std::this_thread::get_id() == FMainThread; }

  // The screen cursor (Screen.Cursor of the system); recorded and shown by the
  // terminal view.
  int Cursor() const { return FCursor; }
  void SetCursor(int cursor);

  // The main form: the first form created. Closing it ends the loop.
  TForm* MainForm() const { return FMainForm; }

  // Forms register themselves here so that messages find them.
  void RegisterForm(TForm* form);
  void UnregisterForm(TForm* form);
  TForm* FindForm(THandle handle) const;
  THandle NextHandle() { return ++FLastHandle; }

  // Timers register while enabled.
  void RegisterTimer(TTimer* timer);
  void UnregisterTimer(TTimer* timer);

  // The terminal view that draws the visible forms; none in tests.
  void SetTerminalView(TTerminalView* view) { FView = view; }
  TTerminalView* TerminalView() const { return FView; }
  // Asks the terminal view to redraw soon (throttled).
  void Invalidate();

 private:
  bool TakeMessage(TMessage& msg);
  void Dispatch(TMessage& msg);
  void RunTimers();
  void RunSyncCalls();
  std::chrono::steady_clock::time_point NextTimerDue() const;

  struct TSyncCall {
    std::function<void()> Fn;
    std::exception_ptr Error;
    bool Done = false;
  };

  std::thread::id FMainThread;
  mutable std::mutex FLock;
  std::condition_variable FWake;
  std::condition_variable FSyncDone;
  std::deque<TMessage> FQueue;
  std::deque<TSyncCall*> FSyncCalls;
  std::atomic<bool> FPending{false};
  bool FTerminated = false;
  int FCursor = crDefault;
  TForm* FMainForm = nullptr;
  std::vector<TForm*> FForms;
  std::vector<TTimer*> FTimers;
  THandle FLastHandle = 0;
  TTerminalView* FView = nullptr;
};

// The process's application object; created by the program entry (or a test)
// before any form.
extern TApplication* Application;

// The system's default beep (BEL on the terminal when there is one).
void Beep();
// How often Beep sounded in this process (for tests).
int BeepCount();

// A timer that fires on the main thread while it runs its message loop or
// processes pending messages.
class TTimer {
 public:
  TTimer() = default;
  ~TTimer();
  TTimer(const TTimer&) = delete;
  TTimer& operator=(const TTimer&) = delete;

  // Milliseconds; 0 keeps the timer from firing.
  unsigned Interval() const { return FInterval; }
  void SetInterval(unsigned ms);
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool enabled);
  std::function<void(TTimer&)> OnTimer;

 private:
  friend class TApplication;
  void Restart();
  unsigned FInterval = 1000;
  bool FEnabled = false;
  std::chrono::steady_clock::time_point FDue{};
};

}  // namespace dk
