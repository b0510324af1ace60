#pragma once

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "base/MainThread.h"

namespace app {

// The main-thread seam on the window message loop of the thread that constructs it: timers
// are window timers (SetTimer), and Post / Synchronize wake the loop with a private message
// to a message-only window. Modal loops (message boxes, menus) keep both moving, as they
// dispatch that window's messages too.
class TWinMainThread : public base::IMainThread {
 public:
  explicit TWinMainThread(HINSTANCE instance);
  ~TWinMainThread() override;
  TWinMainThread(const TWinMainThread&) = delete;
  TWinMainThread& operator=(const TWinMainThread&) = delete;

  void Post(base::TTask task) override;
  void Synchronize(base::TTask task) override;
  void CheckSynchronize() override;
  std::unique_ptr<base::ITimer> CreateTimer() override;
  bool IsMainThread() const override;
  // Runs the message loop until Quit (or any WM_QUIT).
  void Run() override;

  // Where a failure escaping a posted task or a timer goes (it must not unwind through the
  // system's message dispatch). Unassigned: it is dropped.
  void SetOnError(std::function<void(const std::string&)> handler) {
    FOnError = std::move(handler);
  }
  void Quit() override;

 private:
  class TWinTimer;
  struct TSyncItem {
    base::TTask task;
    bool done = false;
    std::exception_ptr error;
  };

  static LRESULT CALLBACK WindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);
  void Wake();
  // Runs a main-thread task from the window procedure, catching what escapes it.
  void Guarded(const base::TTask& task);
  void FireTimer(UINT_PTR id);
  UINT_PTR RegisterTimer(TWinTimer* timer);
  void UnregisterTimer(UINT_PTR id);

  const DWORD FThreadId;
  HINSTANCE FInstance;
  HWND FWnd = nullptr;
  std::mutex FMutex;
  std::condition_variable FSyncDone;
  std::deque<base::TTask> FPosted;
  std::deque<TSyncItem*> FSyncs;
  // One wake message in the queue at a time, however many tasks wait: a flood of posts from
  // connection threads must not fill the thread's message queue.
  std::atomic<bool> FWakePending{false};
  std::map<UINT_PTR, TWinTimer*> FTimers;  // main thread only
  UINT_PTR FNextTimerId = 1;
  std::function<void(const std::string&)> FOnError;
};

}  // namespace app
