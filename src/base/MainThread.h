#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace base {

using TTask = std::function<void()>;

// A timer whose callback fires on the main thread. Enabling an enabled timer does not
// restart it; changing the interval of an enabled timer restarts it.
class ITimer {
 public:
  virtual ~ITimer() = default;
  virtual void SetInterval(unsigned milliseconds) = 0;
  virtual unsigned Interval() const = 0;
  virtual void SetEnabled(bool enabled) = 0;
  virtual bool Enabled() const = 0;
  virtual void SetOnTimer(TTask callback) = 0;
};

// The seam between the core and the shell that owns the main thread.
class IMainThread {
 public:
  virtual ~IMainThread() = default;

  // Any thread: the task runs later on the main thread.
  virtual void Post(TTask task) = 0;

  // Any thread: runs the task on the main thread and waits until it has run; on the main
  // thread it runs at once. An exception thrown by the task is rethrown to the caller.
  virtual void Synchronize(TTask task) = 0;

  // Main thread only: runs the hand-offs (Synchronize and Post) waiting now.
  virtual void CheckSynchronize() = 0;

  // Main thread only. Timers must be destroyed before the loop that made them.
  virtual std::unique_ptr<ITimer> CreateTimer() = 0;

  virtual bool IsMainThread() const = 0;
  virtual void Run() = 0;
  virtual void Quit() = 0;
};

}  // namespace base
