#include "base/MainLoop.h"

#include <algorithm>
#include <stdexcept>

namespace base {

class TMainLoop::TLoopTimer : public ITimer {
 public:
  explicit TLoopTimer(TMainLoop& loop) : FLoop(loop) { FLoop.RegisterTimer(this); }
  ~TLoopTimer() override { FLoop.UnregisterTimer(this); }

  void SetInterval(unsigned milliseconds) override {
    FInterval = milliseconds;
    if (FEnabled) Arm();
  }
  unsigned Interval() const override { return FInterval; }
  void SetEnabled(bool enabled) override {
    if (enabled == FEnabled) return;
    FEnabled = enabled;
    if (enabled) Arm();
  }
  bool Enabled() const override { return FEnabled; }
  void SetOnTimer(TTask callback) override { FOnTimer = std::move(callback); }

  bool Due(TClock::time_point now) const { return FEnabled && FOnTimer && now >= FDue; }
  TClock::time_point DueTime() const { return FDue; }
  bool Active() const { return FEnabled && FOnTimer != nullptr; }
  void Fire() {
    Arm();  // the next tick counts from now, as a window timer does
    TTask callback = FOnTimer;
    callback();
  }

 private:
  void Arm() { FDue = TClock::now() + std::chrono::milliseconds(FInterval); }

  TMainLoop& FLoop;
  unsigned FInterval = 1000;
  bool FEnabled = false;
  TTask FOnTimer;
  TClock::time_point FDue{};
};

TMainLoop::TMainLoop() : FMainThreadId(std::this_thread::get_id()) {}

TMainLoop::~TMainLoop() {
  // Release any thread still waiting in Synchronize; its task is dropped.
  std::lock_guard<std::mutex> lock(FMutex);
  for (TSyncItem* item : FSyncs) {
    item->error = std::make_exception_ptr(std::runtime_error("main loop destroyed"));
    item->done = true;
  }
  FSyncs.clear();
  FSyncDone.notify_all();
}

void TMainLoop::Post(TTask task) {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FPosted.push_back(std::move(task));
  }
  Wake();
}

void TMainLoop::Synchronize(TTask task) {
  if (IsMainThread()) {
    task();
    return;
  }
  TSyncItem item;
  item.task = std::move(task);
  std::unique_lock<std::mutex> lock(FMutex);
  FSyncs.push_back(&item);
  FWake.notify_all();
  FSyncDone.wait(lock, [&] { return item.done; });
  if (item.error) std::rethrow_exception(item.error);
}

void TMainLoop::CheckSynchronize() {
  // Only what is waiting now: work queued by the tasks themselves waits for the next round.
  size_t syncs, posted;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    syncs = FSyncs.size();
    posted = FPosted.size();
  }
  for (; syncs > 0; --syncs) {
    TSyncItem* item;
    {
      std::lock_guard<std::mutex> lock(FMutex);
      if (FSyncs.empty()) break;
      item = FSyncs.front();
      FSyncs.pop_front();
    }
    std::exception_ptr error;
    try {
      item->task();
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(FMutex);
    item->error = error;
    item->done = true;
    FSyncDone.notify_all();
  }
  for (; posted > 0; --posted) {
    TTask task;
    {
      std::lock_guard<std::mutex> lock(FMutex);
      if (FPosted.empty()) break;
      task = std::move(FPosted.front());
      FPosted.pop_front();
    }
    task();
  }
}

std::unique_ptr<ITimer> TMainLoop::CreateTimer() { return std::make_unique<TLoopTimer>(*this); }

bool TMainLoop::IsMainThread() const { return std::this_thread::get_id() == FMainThreadId; }

void TMainLoop::Run() {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FQuit = false;
  }
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(FMutex);
      if (FQuit) return;
    }
    RunOnce(TClock::now() + std::chrono::hours(1));
  }
}

void TMainLoop::Quit() {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FQuit = true;
  }
  Wake();
}

bool TMainLoop::RunUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  const auto end = TClock::now() + timeout;
  while (!pred()) {
    if (TClock::now() >= end) return pred();
    RunOnce(std::min(end, TClock::now() + std::chrono::milliseconds(5)));
  }
  return true;
}

void TMainLoop::RunFor(std::chrono::milliseconds duration) {
  const auto end = TClock::now() + duration;
  while (TClock::now() < end) RunOnce(end);
}

void TMainLoop::RegisterTimer(TLoopTimer* timer) { FTimers.push_back(timer); }

void TMainLoop::UnregisterTimer(TLoopTimer* timer) {
  FTimers.erase(std::remove(FTimers.begin(), FTimers.end(), timer), FTimers.end());
}

void TMainLoop::Wake() {
  std::lock_guard<std::mutex> lock(FMutex);
  FWake.notify_all();
}

void TMainLoop::RunOnce(TClock::time_point limit) {
  CheckSynchronize();
  if (FireDueTimers()) return;
  const auto until = std::min(limit, NextTimerDue());
  std::unique_lock<std::mutex> lock(FMutex);
  FWake.wait_until(lock, until, [&] { return FQuit || !FSyncs.empty() || !FPosted.empty(); });
}

bool TMainLoop::FireDueTimers() {
  const auto now = TClock::now();
  // A callback may destroy or disable other timers: work on a snapshot and re-check each.
  std::vector<TLoopTimer*> due;
  for (TLoopTimer* timer : FTimers)
    if (timer->Due(now)) due.push_back(timer);
  for (TLoopTimer* timer : due) {
    if (std::find(FTimers.begin(), FTimers.end(), timer) == FTimers.end()) continue;
    if (timer->Due(now)) timer->Fire();
  }
  return !due.empty();
}

TMainLoop::TClock::time_point TMainLoop::NextTimerDue() const {
  auto next = TClock::time_point::max();
  for (const TLoopTimer* timer : FTimers)
    if (timer->Active()) next = std::min(next, timer->DueTime());
  return next;
}

}  // namespace base
