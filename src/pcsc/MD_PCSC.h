#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/MainThread.h"
#include "pcsc/MD_Events.h"
#include "pcsc/MD_PCSCDef.h"
#include "pcsc/MD_PCSCRaw.h"
#include "pcsc/MD_Tools.h"

namespace pcsc {

enum class TCardState { csUnknown, csExclusive, csShared, csAvailable, csBadCard, csNoCard };

class TPCSCReader;

using TOnReaderEvent = std::function<void(void* sender, const std::string& readerName)>;
using TOnCardInsertEvent =
    std::function<void(void* sender, const std::string& readerName, const TBytes& atr)>;
using TOnPCSCReaderEvent = std::function<void(TPCSCReader& reader)>;
using TNotifyEvent = std::function<void(void* sender)>;

// One PC/SC reader and the card in it, with a PC/SC context of its own. Main thread only.
class TPCSCReader {
 public:
  TPCSCReader(std::string readerName, TPCSCRaw& pcscRaw);
  ~TPCSCReader();
  TPCSCReader(const TPCSCReader&) = delete;
  TPCSCReader& operator=(const TPCSCReader&) = delete;

  const std::string& ReaderName() const { return FReaderName; }
  TCardState CardState() const { return FCardState; }
  const TBytes& ATR() const { return FATR; }
  std::string ATRasString() const;
  TPcscProtocol Protocol() const { return FProtocolType; }
  void SetProtocol(TPcscProtocol protocol) { FProtocolType = protocol; }
  THandle CardHandle() const { return FCardHandle; }
  const TOnPCSCReaderEvent& OnCardStateChanged() const { return FOnCardStateChanged; }
  void SetOnCardStateChanged(TOnPCSCReaderEvent callback) {
    FOnCardStateChanged = std::move(callback);
  }
  const std::string& VendorName() const { return FVendorName; }
  const std::string& DisplayName() const { return FDisplayName; }
  int DrvMajor() const { return FDrvMajor; }
  int DrvMinor() const { return FDrvMinor; }
  int FirmwareMajor() const { return FIFDMajor; }
  int FirmwareMinor() const { return FIFDMinor; }

  uint32_t Connect(uint32_t shareMode);
  uint32_t Disconnect(uint32_t disposition);
  uint32_t ResetCard(bool warmReset);
  uint32_t BeginTransaction();
  uint32_t EndTransaction();
  uint32_t Transmit(const TBytes& dataIn, TBytes& dataOut);
  uint32_t TransmitSW(const TBytes& dataIn, TBytes& dataOut, uint16_t& sw12);
  uint32_t TransmitAsString(const std::string& dataIn, TBytes& dataOut);
  uint32_t TransmitAsStringSW(const std::string& dataIn, TBytes& dataOut, uint16_t& sw12);
  uint32_t IOCTL(uint32_t ioCtlCode, const TBytes& dataIn, TBytes& dataOut);
  uint32_t IOCTLString(uint32_t ioCtlCode, const std::string& dataIn, TBytes& dataOut);

  // One poll of the card state; reports changes into csUnknown, csAvailable, csBadCard and
  // csNoCard to OnCardStateChanged.
  void CheckCardState();
  // The details query: vendor, display name, driver and firmware versions, serial.
  void ReadReaderDetails();

 private:
  static constexpr size_t kReceiveBufferSize = 66000;
  static constexpr size_t kIoctlBufferSize = 264;

  void EstablishContext();
  void ReleaseContext();
  void ClearATR();
  uint32_t Exchange(const TBytes& dataIn, TBytes& received, uint16_t& sw12);
  TCardState DeriveState(const TSCardReaderStateA& state, TBytes& atr) const;
  uint32_t ReadTextAttribute(uint32_t attrId, std::string& text);
  uint32_t ReadDwordAttribute(uint32_t attrId, uint32_t& value);

  TOnPCSCReaderEvent FOnCardStateChanged;
  TPCSCRaw& FPCSCRaw;
  const std::string FReaderName;
  const TPcscString FPcscReaderName;
  TCardState FCardState = TCardState::csUnknown;
  THandle FCardHandle = kNoCardHandle;
  TPcscProtocol FProtocolType = TPcscProtocol::prNC;
  THandle FPCSCDeviceContext = 0;
  std::string FVendorName;
  std::string FDisplayName;
  uint32_t FVendorIFDVersion = 0;
  int FIFDMajor = 0;
  int FIFDMinor = 0;
  int FDrvMajor = 0;
  int FDrvMinor = 0;
  std::string FSerial;
  bool FValidCard = false;
  TBytes FATR;
  bool FDirectMode = false;
};

// The monitor thread: waits on the plug-and-play pseudo-reader and keeps the pace; all other
// work runs on the main thread through blocking hand-offs.
class TReaderListThread {
 public:
  using TOnTerminated = std::function<void()>;
  using TOnTimer = std::function<void()>;
  using TOnReaderListChanged = std::function<void()>;

  TReaderListThread(TPCSCRaw& pcscRaw, base::IMainThread& mainThread);
  // Joins the thread; it must have ended or been asked to end (see TPCSC's destructor).
  ~TReaderListThread();
  TReaderListThread(const TReaderListThread&) = delete;
  TReaderListThread& operator=(const TReaderListThread&) = delete;

  void Start();
  void Terminate();
  bool Started() const { return FThread.joinable(); }

  void SetOnReaderListChanged(TOnReaderListChanged callback) {
    FOnReaderListChanged = std::move(callback);
  }
  void SetOnTimer(TOnTimer callback) { FOnTimer = std::move(callback); }
  void SetOnTerminated(TOnTerminated callback) { FOnTerminated = std::move(callback); }

 private:
  static constexpr auto kPassInterval = std::chrono::milliseconds(100);

  void Execute();
  bool Terminated() const { return FTerminated.load(); }
  // Runs a callback on the main thread and waits; a throwing callback is dropped here so that
  // the loop and the final hand-off still happen.
  void HandOff(const std::function<void()>& callback);
  void Sleep();
  void ReestablishContext();

  TPCSCRaw& FPCSCRaw;
  base::IMainThread& FMainThread;
  THandle FPCSCDeviceContext = 0;
  TSCardReaderStateA FReaderState{};
  TPcscString FPnpName;
  TOnTerminated FOnTerminated;
  TOnTimer FOnTimer;
  TOnReaderListChanged FOnReaderListChanged;
  std::atomic<bool> FTerminated{false};
  std::mutex FSleepMutex;
  std::condition_variable FSleepWake;
  std::thread FThread;
};

struct TReaderEntry {
  std::string ReaderName;
  std::unique_ptr<TPCSCReader> Reader;
};
using TReaderList = std::vector<TReaderEntry>;

// The single entry point to smart cards: owns the binding, one reader object per reader, the
// event queue and the monitor thread. Events reach the callbacks from ProcessEvent only, one
// per call, on the main thread; the sender is this object.
class TPCSC {
 public:
  explicit TPCSC(base::IMainThread& mainThread,
                 const std::string& libraryName = DefaultPCSCLibraryName());
  // Stops the monitor thread (running its pending hand-offs meanwhile), then frees everything.
  ~TPCSC();
  TPCSC(const TPCSC&) = delete;
  TPCSC& operator=(const TPCSC&) = delete;

  bool Valid() const { return FValid; }
  void Start();
  void ProcessEvent();
  TPCSCReader* GetPCSCReader(const std::string& readerName);
  const TReaderList& ReaderList() const { return FReaderList; }

  bool MCardSupport() const { return FMCardSupport; }
  void SetMCardSupport(bool value) { FMCardSupport = value; }
  bool GetReaderDetails() const { return FGetReaderDetails; }
  void SetGetReaderDetails(bool value) { FGetReaderDetails = value; }

  void SetOnReaderFound(TOnReaderEvent callback) { FOnReaderFound = std::move(callback); }
  void SetOnReaderRemoved(TOnReaderEvent callback) { FOnReaderRemoved = std::move(callback); }
  void SetOnCardInserted(TOnCardInsertEvent callback) { FOnCardInserted = std::move(callback); }
  void SetOnCardRemoved(TOnReaderEvent callback) { FOnCardRemoved = std::move(callback); }
  void SetOnCardError(TOnReaderEvent callback) { FOnCardError = std::move(callback); }
  void SetOnCardStateChanged(TOnReaderEvent callback) { FOnCardStateChanged = std::move(callback); }
  const TOnReaderEvent& OnReaderFound() const { return FOnReaderFound; }
  const TOnReaderEvent& OnReaderRemoved() const { return FOnReaderRemoved; }
  const TOnCardInsertEvent& OnCardInserted() const { return FOnCardInserted; }
  const TOnReaderEvent& OnCardRemoved() const { return FOnCardRemoved; }
  const TOnReaderEvent& OnCardError() const { return FOnCardError; }
  const TOnReaderEvent& OnCardStateChanged() const { return FOnCardStateChanged; }

 private:
  static constexpr int kListFillTries = 3;

  void HandleReaderListChanged();
  void HandleTimer();
  void HandleThreadTerminated();
  void HandleCardStateChanged(TPCSCReader& reader);
  void UpdateReaderList();
  void ListReaders(TStringList& names);
  uint32_t EstablishContext();
  void ReestablishContext();

  base::IMainThread& FMainThread;
  TOnReaderEvent FOnReaderFoundAsync;
  TOnReaderEvent FOnReaderRemovedAsync;
  TOnCardInsertEvent FOnCardInsertedAsync;
  TOnReaderEvent FOnCardRemovedAsync;
  TOnReaderEvent FOnCardErrorAsync;
  TNotifyEvent FOnReaderListChanged;
  TOnReaderEvent FOnCardStateChanged;
  TOnReaderEvent FOnReaderFound;
  TOnReaderEvent FOnReaderRemoved;
  TOnCardInsertEvent FOnCardInserted;
  TOnReaderEvent FOnCardRemoved;
  TOnReaderEvent FOnCardError;
  bool FValid = false;
  TReaderList FReaderList;
  THandle FPCSCDeviceContext = kNoCardHandle;
  std::unique_ptr<TPCSCRaw> FPCSCRaw;
  std::unique_ptr<TReaderListThread> FReaderListThread;
  bool FMCardSupport = true;
  bool FGetReaderDetails = true;
  std::unique_ptr<TPCSCEventList> FPCSCEventList;
  bool FReaderListThreadRunning = false;
};

}  // namespace pcsc
