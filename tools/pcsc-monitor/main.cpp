// Prints PC/SC reader and card events with a time stamp until SIGINT or SIGTERM.
// Usage: pcsc-monitor [--read] [library]   (default: the platform's PC/SC library)
//   --read   read every card laid on a reader as the service does: connect shared, Get Data,
//            Load Keys, General Authenticate and Read Binary of block 60, disconnect unpowered

#include <algorithm>
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

std::string PlainHex(const pcsc::TBytes& bytes) {
  std::string text = pcsc::BytesToHex(bytes);
  text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
  return text;
}

// One command of the card read; false (and a printed reason) when it fails.
bool Exchange(pcsc::TPCSCReader& reader, const char* command, pcsc::TBytes& data) {
  uint16_t sw = 0;
  const uint32_t r = reader.TransmitAsStringSW(command, data, sw);
  if (r != pcsc::SCARD_S_SUCCESS) {
    Print(std::string("card read failed at ") + command + ": " + pcsc::SCardResultText(r));
    return false;
  }
  if (sw != 0x9000) {
    Print(std::string("card read failed at ") + command + ": " + pcsc::StatusWordText(sw));
    return false;
  }
  return true;
}

void ReadCard(pcsc::TPCSC& manager, const std::string& readerName) {
  pcsc::TPCSCReader* reader = manager.GetPCSCReader(readerName);
  if (!reader) return;
  const uint32_t r = reader->Connect(pcsc::SCARD_SHARE_SHARED);
  if (r != pcsc::SCARD_S_SUCCESS) {
    Print("card read failed at connect: " + pcsc::SCardResultText(r));
    return;
  }
  if (reader->Protocol() == pcsc::TPcscProtocol::prRaw)
    reader->SetProtocol(pcsc::TPcscProtocol::prT1);
  pcsc::TBytes uid, ignored, block;
  const bool ok = Exchange(*reader, "FF CA 00 00 00", uid) &&
                  Exchange(*reader, "FF 82 20 00 06 3C 5A 7E 91 B4 D2", ignored) &&
                  Exchange(*reader, "FF 86 00 00 05 01 00 3C 60 00", ignored) &&
                  Exchange(*reader, "FF B0 00 3C 10", block);
  reader->Disconnect(pcsc::SCARD_UNPOWER_CARD);
  if (ok) Print("card read: " + readerName + " UID " + PlainHex(uid) + " block " + PlainHex(block));
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);

  bool read = false;
  std::string library = pcsc::DefaultPCSCLibraryName();
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--read")
      read = true;
    else
      library = argv[i];
  }

  base::TMainLoop loop;
  pcsc::TPCSC manager(loop, library);
  Print(manager.Valid() ? "PC/SC ready" : "PC/SC not available (yet)");
  manager.SetOnReaderFound([](void*, const std::string& r) { Print("reader found: " + r); });
  manager.SetOnReaderRemoved([](void*, const std::string& r) { Print("reader removed: " + r); });
  manager.SetOnCardInserted([&](void*, const std::string& r, const pcsc::TBytes& atr) {
    Print("card inserted: " + r + " ATR " + pcsc::BytesToHex(atr));
    if (read) ReadCard(manager, r);
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
