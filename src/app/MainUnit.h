#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "WS/IdWebsocketServer.h"
#include "app/MainView.h"
#include "base/MainThread.h"
#include "pcsc/MD_PCSC.h"

namespace app {

// The service controller: starts the WebSocket server and the PC/SC manager, speaks the text
// protocol with web clients, turns reader events into broadcasts, reads cards, and keeps the
// log. Shell-independent: the console and the window shells drive the same object.
class TMainForm {
 public:
  static constexpr uint16_t kServicePort = 8085;
  static constexpr std::size_t kLogTrimAbove = 1000;
  static constexpr std::size_t kLogTrimTo = 900;

  TMainForm(base::IMainThread& mainThread, IMainView& view);
  ~TMainForm();
  TMainForm(const TMainForm&) = delete;
  TMainForm& operator=(const TMainForm&) = delete;

  // Test seams, set before FormCreate: the server's port and the PC/SC library to load.
  void SetServerPort(uint16_t port) { FServerPort = port; }
  void SetPCSCLibrary(std::string name) { FPCSCLibrary = std::move(name); }

  void FormCreate();
  void FormDestroy();

  // Main thread: appends one time-stamped line to the log.
  void LogMessage(const std::string& text);
  // Any thread: the line is stamped now and appended on the main thread.
  void PostLogMessage(const std::string& text);

  void EventsTimerTimer();
  void CardTimerTimer();
  void ServerMessageText(ws::TIdServerWSContext* context, const std::string& text);
  void PCSCReaderFound(void* sender, const std::string& readerName);
  void PCSCReaderRemoved(void* sender, const std::string& readerName);
  void PCSCCardInserted(void* sender, const std::string& readerName, const pcsc::TBytes& atr);

  // What the window shows, for the shells and the tests.
  const std::string& StatusText() const { return FStatusText; }
  const std::deque<std::string>& LogLines() const { return FLogLines; }
  ws::TIdWebsocketServer* Server() const { return FServer.get(); }
  pcsc::TPCSC* PCSC() const { return FPCSC.get(); }
  uint8_t ReaderAttached() const { return FReaderAttached.load(); }
  const std::string& CardUidHex() const { return FCardUidHex; }
  const std::string& CardDataHex() const { return FCardDataHex; }

 private:
  void SetStatus(const std::string& text);
  void AppendLogLine(const std::string& line);
  // Runs a main-thread handler; a failure that escapes it (a failed broadcast) is shown in
  // the error box and the service carries on.
  void RunHandler(const std::function<void()>& handler);
  void StartServer();
  void StartPCSC();
  // The card read itself; returns the one message to broadcast.
  std::string ReadCard(pcsc::TPCSCReader& reader);

  base::IMainThread& FMainThread;
  IMainView& FView;
  uint16_t FServerPort = kServicePort;
  std::string FPCSCLibrary;

  std::unique_ptr<base::ITimer> FEventsTimer;
  std::unique_ptr<base::ITimer> FCardTimer;
  std::unique_ptr<ws::TIdWebsocketServer> FServer;
  std::unique_ptr<pcsc::TPCSC> FPCSC;

  std::string FStatusText;
  std::deque<std::string> FLogLines;

  // Read by connection threads for "STATUS"; written on the main thread only.
  std::atomic<uint8_t> FReaderAttached{0};
  std::string FCurrentReaderName;
  std::string FCardUidHex;
  std::string FCardDataHex;
  bool FCardReadInProgress = false;
};

}  // namespace app
