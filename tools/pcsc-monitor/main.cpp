// Prints PC/SC reader and card events with a time stamp until SIGINT or SIGTERM.
// Usage: pcsc-monitor [library]   (default: the platform's PC/SC library)

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <string>

#include "base/MainLoop.h"
#include "pcsc/MD_PCSC.h"

namespace {

volatile std::sig_atomic_t gStop = 0;

void OnSignal(int) {
  gStop = 1;
}

std::string TimeStamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  // Only the main thread prints, so the shared result of localtime is safe here.
  const std::tm local = *std::localtime(&seconds);
  char text[40];
  std::snprintf(text, sizeof(text), "[%02d.%02d %02d:%02d:%02d.%03d] ", local.tm_mday,
                local.tm_mon + 1, local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(ms));
  return text;
}

void Print(const std::string& line) {
  std::cout << TimeStamp() << line << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);

  base::TMainLoop loop;
  pcsc::TPCSC manager(loop, argc > 1 ? argv[1] : pcsc::DefaultPCSCLibraryName());
  Print(manager.Valid() ? "PC/SC ready" : "PC/SC not available (yet)");
  manager.SetOnReaderFound([](void*, const std::string& r) { Print("reader found: " + r); });
  manager.SetOnReaderRemoved([](void*, const std::string& r) { Print("reader removed: " + r); });
  manager.SetOnCardInserted([](void*, const std::string& r, const pcsc::TBytes& atr) {
    Print("card inserted: " + r + " ATR " + pcsc::BytesToHex(atr));
  });
  manager.SetOnCardRemoved([](void*, const std::string& r) { Print("card removed: " + r); });
  manager.SetOnCardError([](void*, const std::string& r) { Print("card error: " + r); });
  manager.Start();

  auto events = loop.CreateTimer();
  events->SetInterval(10);
  events->SetOnTimer([&] {
    manager.ProcessEvent();
    if (gStop) loop.Quit();
  });
  events->SetEnabled(true);
  loop.Run();
  events.reset();
  Print("stopped");
  return 0;
}
