#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "base/MainThread.h"

namespace base {

// The main-thread loop on a condition variable: used by the console shell and the tests.
// The thread that constructs it is its main thread.
class TMainLoop : public IMainThread {
 public:
  TMainLoop();
  ~TMainLoop() override;

  void Post(TTask task) override;
  void Synchronize(TTask task) override;
  void CheckSynchronize() override;
  std::unique_ptr<ITimer> CreateTimer() override;
  bool IsMainThread() const override;
  void Run() override;
  void Quit() override;

  // Runs the loop until pred() is true or the time-out passes; returns pred(). For tests and
  // for shut-down paths that must keep hand-offs moving while they wait.
  bool RunUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout);
  // Runs the loop for the given time.
  void RunFor(std::chrono::milliseconds duration);

 private:
  class TLoopTimer;
  struct TSyncItem {
    TTask task;
    bool done = false;
    std::exception_ptr error;
  };
  using TClock = std::chrono::steady_clock;

  void RegisterTimer(TLoopTimer* timer);
  void UnregisterTimer(TLoopTimer* timer);
  void Wake();
  // One round: hand-offs, then due timers; waits up to `limit` for work when none is there.
  void RunOnce(TClock::time_point limit);
  bool FireDueTimers();
  TClock::time_point NextTimerDue() const;

  const std::thread::id FMainThreadId;
  mutable std::mutex FMutex;
  std::condition_variable FWake;
  std::deque<TTask> FPosted;
  std::deque<TSyncItem*> FSyncs;
  std::condition_variable FSyncDone;
  std::vector<TLoopTimer*> FTimers;  // main thread only
  bool FQuit = false;
};

}  // namespace base
