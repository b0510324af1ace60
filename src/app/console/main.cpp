// The Linux console shell of the card reader service. No command line, no configuration:
// it serves port 8085 and talks to the system's PC/SC service until SIGINT or SIGTERM, which
// act as the window's "Выйти".
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "app/MainUnit.h"
#include "app/console/ConsoleView.h"
#include "base/MainLoop.h"

namespace {

// Blocks the stop signals in every thread (threads made later inherit the mask) and waits for
// them on a thread of its own, which asks the main loop to quit.
class TStopSignals {
 public:
  explicit TStopSignals(base::IMainThread& mainThread) {
    sigemptyset(&FSet);
    sigaddset(&FSet, SIGINT);
    sigaddset(&FSet, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &FSet, nullptr);
    signal(SIGPIPE, SIG_IGN);
    FWaiter = std::thread([this, &mainThread] {
      int received = 0;
      sigwait(&FSet, &received);
      mainThread.Post([&mainThread] { mainThread.Quit(); });
    });
  }
  ~TStopSignals() {
    // The waiter has normally returned; if the loop ended another way, wake it.
    pthread_kill(FWaiter.native_handle(), SIGTERM);
    FWaiter.join();
  }

 private:
  sigset_t FSet;
  std::thread FWaiter;
};

}  // namespace

int main() {
  base::TMainLoop loop;
  TStopSignals stopSignals(loop);
  app::TConsoleView view(stdout, stderr, isatty(STDOUT_FILENO) != 0);
  {
    app::TMainForm form(loop, view);
    form.FormCreate();
    loop.Run();
    form.FormDestroy();
  }
  return 0;
}
