#include "app/win32/WinMainThread.h"

#include <stdexcept>

namespace app {
namespace {

constexpr UINT kWakeMessage = WM_APP + 1;
constexpr UINT kQuitMessage = WM_APP + 2;
constexpr wchar_t kWindowClass[] = L"TWinMainThread";

}  // namespace

class TWinMainThread::TWinTimer : public base::ITimer {
 public:
  explicit TWinTimer(TWinMainThread& owner) : FOwner(owner), FId(owner.RegisterTimer(this)) {}
  ~TWinTimer() override {
    Stop();
    FOwner.UnregisterTimer(FId);
  }

  void SetInterval(unsigned milliseconds) override {
    FInterval = milliseconds;
    if (FEnabled) Start();
  }
  unsigned Interval() const override { return FInterval; }
  void SetEnabled(bool enabled) override {
    if (enabled == FEnabled) return;
    FEnabled = enabled;
    if (enabled) {
      Start();
    } else {
      Stop();
    }
  }
  bool Enabled() const override { return FEnabled; }
  void SetOnTimer(base::TTask callback) override { FOnTimer = std::move(callback); }

  void Fire() {
    if (!FEnabled || !FOnTimer) return;
    base::TTask callback = FOnTimer;  // the callback may replace or destroy this timer
    callback();
  }

 private:
  // SetTimer on an existing id replaces that timer, so the interval counts from now.
  void Start() { SetTimer(FOwner.FWnd, FId, FInterval, nullptr); }
  void Stop() { KillTimer(FOwner.FWnd, FId); }

  TWinMainThread& FOwner;
  const UINT_PTR FId;
  unsigned FInterval = 1000;
  bool FEnabled = false;
  base::TTask FOnTimer;
};

TWinMainThread::TWinMainThread(HINSTANCE instance)
    : FThreadId(GetCurrentThreadId()), FInstance(instance) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = &TWinMainThread::WindowProc;
  wc.hInstance = FInstance;
  wc.lpszClassName = kWindowClass;
  RegisterClassExW(&wc);  // fails harmlessly when a second loop registers it again
  FWnd = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, FInstance,
                         nullptr);
  if (!FWnd) throw std::runtime_error("cannot create the main thread's message window");
  SetWindowLongPtrW(FWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

TWinMainThread::~TWinMainThread() {
  {
    // Release any thread still waiting in Synchronize; its task is dropped.
    std::lock_guard<std::mutex> lock(FMutex);
    for (TSyncItem* item : FSyncs) {
      item->error = std::make_exception_ptr(std::runtime_error("main loop destroyed"));
      item->done = true;
    }
    FSyncs.clear();
    FSyncDone.notify_all();
  }
  SetWindowLongPtrW(FWnd, GWLP_USERDATA, 0);
  DestroyWindow(FWnd);
}

LRESULT CALLBACK TWinMainThread::WindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<TWinMainThread*>(GetWindowLongPtrW(wnd, GWLP_USERDATA));
  if (self) {
    switch (msg) {
      case kWakeMessage:
        self->FWakePending = false;
        self->CheckSynchronize();
        return 0;
      case kQuitMessage:
        PostQuitMessage(0);
        return 0;
      case WM_TIMER:
        self->Guarded([self, wParam] { self->FireTimer(wParam); });
        return 0;
      default:
        break;
    }
  }
  return DefWindowProcW(wnd, msg, wParam, lParam);
}

void TWinMainThread::Guarded(const base::TTask& task) {
  std::string failure;
  try {
    task();
    return;
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure = "unknown failure";
  }
  if (FOnError) FOnError(failure);
}

void TWinMainThread::Wake() {
  if (!FWakePending.exchange(true)) PostMessageW(FWnd, kWakeMessage, 0, 0);
}

void TWinMainThread::Post(base::TTask task) {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FPosted.push_back(std::move(task));
  }
  Wake();
}

void TWinMainThread::Synchronize(base::TTask task) {
  if (IsMainThread()) {
    task();
    return;
  }
  TSyncItem item;
  item.task = std::move(task);
  std::unique_lock<std::mutex> lock(FMutex);
  FSyncs.push_back(&item);
  lock.unlock();
  Wake();
  lock.lock();
  FSyncDone.wait(lock, [&] { return item.done; });
  if (item.error) std::rethrow_exception(item.error);
}

void TWinMainThread::CheckSynchronize() {
  std::deque<TSyncItem*> syncs;
  std::deque<base::TTask> posted;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    syncs.swap(FSyncs);
    posted.swap(FPosted);
  }
  for (TSyncItem* item : syncs) {
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
  // One failing task does not cost the others theirs.
  for (const base::TTask& task : posted) Guarded(task);
}

std::unique_ptr<base::ITimer> TWinMainThread::CreateTimer() {
  return std::make_unique<TWinTimer>(*this);
}

UINT_PTR TWinMainThread::RegisterTimer(TWinTimer* timer) {
  const UINT_PTR id = FNextTimerId++;
  FTimers[id] = timer;
  return id;
}

void TWinMainThread::UnregisterTimer(UINT_PTR id) {
  FTimers.erase(id);
}

void TWinMainThread::FireTimer(UINT_PTR id) {
  const auto it = FTimers.find(id);
  if (it != FTimers.end()) it->second->Fire();
}

bool TWinMainThread::IsMainThread() const {
  return GetCurrentThreadId() == FThreadId;
}

void TWinMainThread::Run() {
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

void TWinMainThread::Quit() {
  if (IsMainThread()) {
    PostQuitMessage(0);
  } else {
    PostMessageW(FWnd, kQuitMessage, 0, 0);
  }
}

}  // namespace app
