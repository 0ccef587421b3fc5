#include "ui/application.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "ui/controls.h"
#include "ui/message_box.h"
#include "ui/terminal_view.h"

namespace dk {

TApplication* Application = nullptr;

TApplication::TApplication() : FMainThread(std::this_thread::get_id()) {
  if (!Application) Application = this;
}

TApplication::~TApplication() {
  if (Application == this) Application = nullptr;
}

void TApplication::PostMessage(const TMessage& msg) {
  {
    std::lock_guard<std::mutex> guard(FLock);
    FQueue.push_back(msg);
    FPending = true;
  }
  FWake.notify_all();
}

bool TApplication::TakeMessage(TMessage& msg) {
  std::lock_guard<std::mutex> guard(FLock);
  if (FQueue.empty()) return false;
  msg = FQueue.front();
  FQueue.pop_front();
  FPending = !FQueue.empty() || !FSyncCalls.empty();
  return true;
}

void TApplication::Dispatch(TMessage& msg) {
  if (OnMessage && OnMessage(msg)) return;
  if (TForm* form = FindForm(msg.Handle)) form->WndProc(msg);
}

void TApplication::ProcessMessages() {
  if (FPending.load(std::memory_order_relaxed)) {
    RunSyncCalls();
    // Only what is pending now: a handler that posts again waits for the next call.
    size_t count;
    {
      std::lock_guard<std::mutex> guard(FLock);
      count = FQueue.size();
    }
    TMessage msg;
    while (count-- > 0 && TakeMessage(msg)) Dispatch(msg);
  }
  if (!FTimers.empty()) RunTimers();
  if (FView) FView->Refresh(false);
}

void TApplication::Run() {
  while (!FTerminated) {
    try {
      ProcessMessages();
    } catch (...) {
      HandleException(std::current_exception());
    }
    if (FTerminated) break;
    std::unique_lock<std::mutex> lock(FLock);
    if (!FQueue.empty() || !FSyncCalls.empty()) continue;
    if (FTimers.empty())
      FWake.wait(lock, [&] { return !FQueue.empty() || !FSyncCalls.empty() || FTerminated; });
    else
      FWake.wait_until(lock, NextTimerDue());
  }
  if (FView) FView->Finish();
}

void TApplication::Terminate() {
  {
    std::lock_guard<std::mutex> guard(FLock);
    FTerminated = true;
  }
  FWake.notify_all();
}

void TApplication::HandleException(const std::exception_ptr& e) {
  std::string text;
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& ex) {
    text = ex.what();
  } catch (...) {
    text = "Unbekannter Fehler";
  }
  if (FView) FView->Refresh(true);
  if (OnException) {
    OnException(text);
  } else {
    std::cerr << (Title.empty() ? std::string("Fehler") : Title) << ": " << text << std::endl;
    BoxAnswerer().WaitForClose();
  }
  // There is no window for the user to close afterwards: the run ends here.
  Terminate();
}

void TApplication::Synchronize(const std::function<void()>& fn) {
  if (IsMainThread()) {
    fn();
    return;
  }
  TSyncCall call;
  call.Fn = fn;
  {
    std::unique_lock<std::mutex> lock(FLock);
    FSyncCalls.push_back(&call);
    FPending = true;
    FWake.notify_all();
    FSyncDone.wait(lock, [&] { return call.Done; });
  }
  if (call.Error) std::rethrow_exception(call.Error);
}

void TApplication::RunSyncCalls() {
  while (true) {
    TSyncCall* call;
    {
      std::lock_guard<std::mutex> guard(FLock);
      if (FSyncCalls.empty()) break;
      call = FSyncCalls.front();
      FSyncCalls.pop_front();
      FPending = !FQueue.empty() || !FSyncCalls.empty();
    }
    try {
      call->Fn();
    } catch (...) {
      call->Error = std::current_exception();
    }
    {
      std::lock_guard<std::mutex> guard(FLock);
      call->Done = true;
    }
    FSyncDone.notify_all();
  }
}

void TApplication::SetCursor(int cursor) {
  FCursor = cursor;
  Invalidate();
}

void TApplication::RegisterForm(TForm* form) {
  if (!FMainForm) FMainForm = form;
  FForms.push_back(form);
}

void TApplication::UnregisterForm(TForm* form) {
  FForms.erase(std::remove(FForms.begin(), FForms.end(), form), FForms.end());
  if (FMainForm == form) FMainForm = nullptr;
  if (FView) FView->FormGone(form);
}

TForm* TApplication::FindForm(THandle handle) const {
  for (TForm* f : FForms)
    if (f->Handle() == handle) return f;
  return nullptr;
}

void TApplication::RegisterTimer(TTimer* timer) {
  if (std::find(FTimers.begin(), FTimers.end(), timer) == FTimers.end()) FTimers.push_back(timer);
  FWake.notify_all();
}

void TApplication::UnregisterTimer(TTimer* timer) {
  FTimers.erase(std::remove(FTimers.begin(), FTimers.end(), timer), FTimers.end());
}

std::chrono::steady_clock::time_point TApplication::NextTimerDue() const {
  auto due = std::chrono::steady_clock::now() + std::chrono::hours(1);
  for (const TTimer* t : FTimers) due = std::min(due, t->FDue);
  return due;
}

void TApplication::RunTimers() {
  const auto now = std::chrono::steady_clock::now();
  // A handler may disable or free timers: work on a copy and re-check.
  const std::vector<TTimer*> timers = FTimers;
  for (TTimer* t : timers) {
    if (std::find(FTimers.begin(), FTimers.end(), t) == FTimers.end()) continue;
    if (t->FDue > now) continue;
    t->Restart();
    if (t->OnTimer) t->OnTimer(*t);
  }
}

void TApplication::Invalidate() {
  if (FView) FView->Invalidate();
}

namespace {
std::atomic<int> gBeeps{0};
}

int BeepCount() {
  return gBeeps.load();
}

void Beep() {
  ++gBeeps;
  if (isatty(STDERR_FILENO)) {
    const char bel = '\a';
    [[maybe_unused]] ssize_t n = write(STDERR_FILENO, &bel, 1);
  }
}

TTimer::~TTimer() {
  if (Application) Application->UnregisterTimer(this);
}

void TTimer::SetInterval(unsigned ms) {
  FInterval = ms;
  SetEnabled(FEnabled);
}

void TTimer::SetEnabled(bool enabled) {
  FEnabled = enabled;
  if (!Application) return;
  if (FEnabled && FInterval > 0) {
    Restart();
    Application->RegisterTimer(this);
  } else {
    Application->UnregisterTimer(this);
  }
}

void TTimer::Restart() {
  FDue = std::chrono::steady_clock::now() + std::chrono::milliseconds(FInterval);
}

}  // namespace dk
