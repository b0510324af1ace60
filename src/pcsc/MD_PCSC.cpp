#include "pcsc/MD_PCSC.h"

#include <algorithm>
#include <cstring>

namespace pcsc {
namespace {

constexpr uint32_t kCtlGetVersions = 2049;
constexpr uint32_t kPreferredT0orT1 = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;

// Codes after which a PC/SC context is of no further use: the service stopped or restarted
// (pcsc-lite answers SCARD_E_NO_SERVICE or SCARD_F_COMM_ERROR on old contexts for ever), or
// the context was never established.
bool ContextLost(uint32_t code) {
  return code == SCARD_E_SERVICE_STOPPED || code == SCARD_E_NO_SERVICE ||
         code == SCARD_F_COMM_ERROR || code == SCARD_E_INVALID_HANDLE;
}

TPcscProtocol ProtocolFromActive(uint32_t active, TPcscProtocol otherwise) {
  if (active == SCARD_PROTOCOL_T0) return TPcscProtocol::prT0;
  if (active == SCARD_PROTOCOL_T1) return TPcscProtocol::prT1;
  if (active == SCARD_PROTOCOL_RAW) return TPcscProtocol::prRaw;
  return otherwise;
}

// Runs a function when the scope ends, however it ends.
template <typename TFn>
class TFinally {
 public:
  explicit TFinally(TFn fn) : FFn(std::move(fn)) {}
  ~TFinally() { FFn(); }
  TFinally(const TFinally&) = delete;
  TFinally& operator=(const TFinally&) = delete;

 private:
  TFn FFn;
};

// Establishes a context in the system scope, else in the user scope; 0 when both fail.
uint32_t EstablishEitherScope(TPCSCRaw& raw, THandle& context) {
  context = 0;
  uint32_t r = raw.SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, context);
  if (r != SCARD_S_SUCCESS) {
    context = 0;
    r = raw.SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, context);
  }
  if (r != SCARD_S_SUCCESS) context = 0;
  return r;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TPCSCReader

TPCSCReader::TPCSCReader(std::string readerName, TPCSCRaw& pcscRaw)
    : FPCSCRaw(pcscRaw),
      FReaderName(std::move(readerName)),
      FPcscReaderName(ToPcscString(FReaderName)),
      FDisplayName(FReaderName) {
  EstablishContext();
  ClearATR();
}

TPCSCReader::~TPCSCReader() {
  ReleaseContext();
}

void TPCSCReader::EstablishContext() {
  EstablishEitherScope(FPCSCRaw, FPCSCDeviceContext);
}

void TPCSCReader::ReleaseContext() {
  if (FPCSCDeviceContext != 0) FPCSCRaw.SCardReleaseContext(FPCSCDeviceContext);
  FPCSCDeviceContext = 0;
}

void TPCSCReader::ClearATR() {
  FATR.clear();
  FValidCard = false;
}

std::string TPCSCReader::ATRasString() const {
  std::string text = BytesToHex(FATR);
  text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
  return text;
}

uint32_t TPCSCReader::Connect(uint32_t shareMode) {
  if (FCardHandle != kNoCardHandle) return SCARD_S_SUCCESS;
  const uint32_t preferred = shareMode == SCARD_SHARE_DIRECT ? 0 : kPreferredT0orT1;
  uint32_t active = SCARD_PROTOCOL_T1;
  const uint32_t r = FPCSCRaw.SCardConnect(FPCSCDeviceContext, FPcscReaderName.c_str(), shareMode,
                                           preferred, FCardHandle, active);
  if (r != SCARD_S_SUCCESS) {
    FCardHandle = kNoCardHandle;
    return r;
  }
  FDirectMode = shareMode == SCARD_SHARE_DIRECT;
  FProtocolType = ProtocolFromActive(
      active, shareMode == SCARD_SHARE_DIRECT ? TPcscProtocol::prRaw : TPcscProtocol::prNC);
  return SCARD_S_SUCCESS;
}

uint32_t TPCSCReader::Disconnect(uint32_t disposition) {
  if (FCardHandle == kNoCardHandle) return SCARD_S_SUCCESS;
  const uint32_t r = FPCSCRaw.SCardDisconnect(FCardHandle, disposition);
  FProtocolType = TPcscProtocol::prNC;
  FCardHandle = kNoCardHandle;
  return r;
}

uint32_t TPCSCReader::ResetCard(bool warmReset) {
  uint32_t preferred;
  switch (FProtocolType) {
    case TPcscProtocol::prT0:
      preferred = SCARD_PROTOCOL_T0;
      break;
    case TPcscProtocol::prT1:
      preferred = SCARD_PROTOCOL_T1;
      break;
    case TPcscProtocol::prRaw:
      preferred = SCARD_PROTOCOL_RAW;
      break;
    default:
      return SCARD_E_INVALID_PARAMETER;
  }
  uint32_t active = 0;
  const uint32_t r =
      FPCSCRaw.SCardReconnect(FCardHandle, SCARD_SHARE_SHARED, preferred,
                              warmReset ? SCARD_RESET_CARD : SCARD_UNPOWER_CARD, active);
  if (r != SCARD_S_SUCCESS) return r;
  FProtocolType = ProtocolFromActive(active, FProtocolType);
  return SCARD_S_SUCCESS;
}

uint32_t TPCSCReader::BeginTransaction() {
  return FPCSCRaw.SCardBeginTransaction(FCardHandle);
}

uint32_t TPCSCReader::EndTransaction() {
  return FPCSCRaw.SCardEndTransaction(FCardHandle, SCARD_LEAVE_CARD);
}

uint32_t TPCSCReader::Exchange(const TBytes& dataIn, TBytes& received, uint16_t& sw12) {
  sw12 = 0;
  received.clear();
  TSCardIoRequest header{};
  header.Size = sizeof(TSCardIoRequest);
  if (FProtocolType == TPcscProtocol::prT0)
    header.Protocol = SCARD_PROTOCOL_T0;
  else if (FProtocolType == TPcscProtocol::prT1)
    header.Protocol = SCARD_PROTOCOL_T1;
  else
    return SCARD_E_INVALID_PARAMETER;
  TBytes buffer(kReceiveBufferSize);
  uint32_t length = static_cast<uint32_t>(buffer.size());
  const uint32_t r =
      FPCSCRaw.SCardTransmit(FCardHandle, &header, dataIn.data(),
                             static_cast<uint32_t>(dataIn.size()), nullptr, buffer.data(), length);
  if (r != SCARD_S_SUCCESS) return r;
  buffer.resize(std::min<size_t>(length, buffer.size()));
  const size_t n = buffer.size();
  if (n >= 2) sw12 = static_cast<uint16_t>(buffer[n - 2] << 8 | buffer[n - 1]);
  received = std::move(buffer);
  return SCARD_S_SUCCESS;
}

uint32_t TPCSCReader::Transmit(const TBytes& dataIn, TBytes& dataOut) {
  uint16_t sw12;
  return Exchange(dataIn, dataOut, sw12);
}

uint32_t TPCSCReader::TransmitSW(const TBytes& dataIn, TBytes& dataOut, uint16_t& sw12) {
  const uint32_t r = Exchange(dataIn, dataOut, sw12);
  if (r != SCARD_S_SUCCESS || dataOut.size() < 2) {
    dataOut.clear();
    sw12 = 0;
    return r;
  }
  dataOut.resize(dataOut.size() - 2);
  return r;
}

uint32_t TPCSCReader::TransmitAsString(const std::string& dataIn, TBytes& dataOut) {
  return Transmit(HexToBytes(dataIn), dataOut);
}

uint32_t TPCSCReader::TransmitAsStringSW(const std::string& dataIn, TBytes& dataOut,
                                         uint16_t& sw12) {
  return TransmitSW(HexToBytes(dataIn), dataOut, sw12);
}

uint32_t TPCSCReader::IOCTL(uint32_t ioCtlCode, const TBytes& dataIn, TBytes& dataOut) {
  dataOut.clear();
  TBytes buffer(kIoctlBufferSize);
  uint32_t returned = static_cast<uint32_t>(buffer.size());
  const uint32_t r =
      FPCSCRaw.SCardControl(FCardHandle, TPCSCRaw::SCardCTLCode(ioCtlCode), dataIn.data(),
                            static_cast<uint32_t>(dataIn.size()), buffer.data(),
                            static_cast<uint32_t>(buffer.size()), returned);
  if (r != SCARD_S_SUCCESS) return r;
  buffer.resize(std::min<size_t>(returned, buffer.size()));
  dataOut = std::move(buffer);
  return r;
}

uint32_t TPCSCReader::IOCTLString(uint32_t ioCtlCode, const std::string& dataIn, TBytes& dataOut) {
  return IOCTL(ioCtlCode, HexToBytes(dataIn), dataOut);
}

TCardState TPCSCReader::DeriveState(const TSCardReaderStateA& state, TBytes& atr) const {
  const TPcscDword e = state.dwEventState;
  if (e & SCARD_STATE_UNAVAILABLE) return FCardState;
  if (!(e & SCARD_STATE_PRESENT)) {
    if (e & SCARD_STATE_EMPTY) return TCardState::csNoCard;
    return state.cbAtr == 0 ? TCardState::csBadCard : TCardState::csUnknown;
  }
  if (e & SCARD_STATE_EXCLUSIVE) return TCardState::csExclusive;
  if (e & SCARD_STATE_INUSE) return TCardState::csShared;
  if (e & SCARD_STATE_MUTE) return TCardState::csBadCard;
  const size_t n = std::min<size_t>(state.cbAtr, kPcscMaxAtrSize);
  atr.assign(state.rgbAtr, state.rgbAtr + n);
  return TCardState::csAvailable;
}

void TPCSCReader::CheckCardState() {
  TSCardReaderStateA state{};
  state.szReader = FPcscReaderName.c_str();
  const uint32_t r = FPCSCRaw.SCardGetStatusChange(FPCSCDeviceContext, 1, &state, 1);
  if (r != SCARD_S_SUCCESS) {
    // A context that outlived its service is replaced, so that polling works again once the
    // service is back.
    if (ContextLost(r)) {
      ReleaseContext();
      EstablishContext();
    }
    return;
  }
  TBytes atr;
  const TCardState newState = DeriveState(state, atr);
  if (newState == FCardState) return;
  FCardState = newState;
  if (newState == TCardState::csExclusive || newState == TCardState::csShared) return;
  ClearATR();
  if (newState == TCardState::csNoCard || newState == TCardState::csBadCard) {
    Disconnect(SCARD_UNPOWER_CARD);
  } else if (newState == TCardState::csAvailable) {
    FATR = std::move(atr);
    FValidCard = true;
  }
  if (FOnCardStateChanged) FOnCardStateChanged(*this);
}

uint32_t TPCSCReader::ReadTextAttribute(uint32_t attrId, std::string& text) {
  text.clear();
  if (FCardHandle == kNoCardHandle) return SCARD_E_INVALID_HANDLE;
  uint8_t buffer[512] = {};
  uint32_t size = 256;
  const uint32_t r = FPCSCRaw.SCardGetAttrib(FCardHandle, attrId, buffer, size);
  if (r != SCARD_S_SUCCESS) return r;
  if (kPcscWideText) {
    std::u16string wide;
    for (size_t i = 0; i + 1 < sizeof(buffer) && wide.size() < 256; i += 2) {
      const char16_t c = static_cast<char16_t>(buffer[i] | buffer[i + 1] << 8);
      if (c == 0) break;
      wide += c;
    }
    text = base::Utf16ToUtf8(wide);
  } else {
    // pcsc-lite delivers these attributes as 8-bit text.
    const size_t n = strnlen(reinterpret_cast<const char*>(buffer), 256);
    text.assign(reinterpret_cast<const char*>(buffer), n);
  }
  return r;
}

uint32_t TPCSCReader::ReadDwordAttribute(uint32_t attrId, uint32_t& value) {
  value = 0;
  if (FCardHandle == kNoCardHandle) return SCARD_E_INVALID_HANDLE;
  uint8_t buffer[4] = {};
  uint32_t size = sizeof(buffer);
  const uint32_t r = FPCSCRaw.SCardGetAttrib(FCardHandle, attrId, buffer, size);
  if (r == SCARD_S_SUCCESS)
    value = static_cast<uint32_t>(buffer[0]) | static_cast<uint32_t>(buffer[1]) << 8 |
            static_cast<uint32_t>(buffer[2]) << 16 | static_cast<uint32_t>(buffer[3]) << 24;
  return r;
}

void TPCSCReader::ReadReaderDetails() {
  if (Connect(SCARD_SHARE_DIRECT) != SCARD_S_SUCCESS) return;
  TFinally disconnect([this] { Disconnect(SCARD_LEAVE_CARD); });

  ReadTextAttribute(SCARD_ATTR_VENDOR_NAME, FVendorName);
  ReadTextAttribute(SCARD_ATTR_DEVICE_FRIENDLY_NAME_A, FDisplayName);
  if (FDisplayName.empty()) FDisplayName = FReaderName;

  uint8_t versions[12] = {};
  uint32_t returned = sizeof(versions);
  if (FPCSCRaw.SCardControl(FCardHandle, TPCSCRaw::SCardCTLCode(kCtlGetVersions), nullptr, 0,
                            versions, sizeof(versions), returned) == SCARD_S_SUCCESS) {
    FDrvMajor = versions[4];
    FDrvMinor = versions[5];
    FIFDMajor = versions[6];
    FIFDMinor = versions[7];
  }

  if (ReadDwordAttribute(SCARD_ATTR_VENDOR_IFD_VERSION, FVendorIFDVersion) == SCARD_S_SUCCESS) {
    const uint32_t v = FVendorIFDVersion;
    FIFDMajor = static_cast<int>((v >> 28) * 10 + ((v >> 24) & 0xF));
    FIFDMinor = static_cast<int>(((v >> 20) & 0xF) * 10 + ((v >> 16) & 0xF));
  }

  ReadTextAttribute(SCARD_ATTR_VENDOR_IFD_SERIAL_NO, FSerial);
}

// ---------------------------------------------------------------------------------------------
// TReaderListThread

TReaderListThread::TReaderListThread(TPCSCRaw& pcscRaw, base::IMainThread& mainThread)
    : FPCSCRaw(pcscRaw), FMainThread(mainThread), FPnpName(ToPcscString(kPnpNotificationName)) {
  if (FPCSCRaw.SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, FPCSCDeviceContext) !=
      SCARD_S_SUCCESS)
    FPCSCDeviceContext = 0;
}

TReaderListThread::~TReaderListThread() {
  Terminate();
  if (FThread.joinable()) FThread.join();
  // A thread that never ran still holds the context its constructor established.
  if (FPCSCDeviceContext != 0) FPCSCRaw.SCardReleaseContext(FPCSCDeviceContext);
}

void TReaderListThread::Start() {
  if (!FThread.joinable()) FThread = std::thread([this] { Execute(); });
}

void TReaderListThread::Terminate() {
  {
    std::lock_guard<std::mutex> lock(FSleepMutex);
    FTerminated = true;
  }
  FSleepWake.notify_all();
}

void TReaderListThread::HandOff(const std::function<void()>& callback) {
  if (!callback) return;
  try {
    FMainThread.Synchronize(callback);
  } catch (...) {
    // The main thread's failure is not the monitor's to handle; the pass goes on.
  }
}

void TReaderListThread::Sleep() {
  std::unique_lock<std::mutex> lock(FSleepMutex);
  FSleepWake.wait_for(lock, kPassInterval, [this] { return FTerminated.load(); });
}

void TReaderListThread::ReestablishContext() {
  if (FPCSCDeviceContext != 0) FPCSCRaw.SCardReleaseContext(FPCSCDeviceContext);
  FPCSCDeviceContext = 0;
  if (FPCSCRaw.SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, FPCSCDeviceContext) !=
      SCARD_S_SUCCESS)
    FPCSCDeviceContext = 0;
  FReaderState.dwCurrentState = 0;
  FReaderState.dwEventState = 0;
}

void TReaderListThread::Execute() {
  FReaderState = TSCardReaderStateA{};
  FReaderState.szReader = FPnpName.c_str();
  while (!Terminated()) {
    bool changed = false;
    // Without a context (no service at start, or it went away) try once per pass to get one;
    // the first status-change call on a new context reports the readers at once.
    if (FPCSCDeviceContext == 0) ReestablishContext();
    if (FPCSCDeviceContext != 0) {
      const uint32_t r = FPCSCRaw.SCardGetStatusChange(FPCSCDeviceContext, 0, &FReaderState, 1);
      if (r == SCARD_E_CANCELLED) break;
      if (r == SCARD_S_SUCCESS) {
        FReaderState.dwCurrentState = FReaderState.dwEventState;
        changed = true;
      } else if (r == SCARD_E_SERVICE_STOPPED || r == SCARD_E_NO_SERVICE ||
                 r == SCARD_F_COMM_ERROR) {
        ReestablishContext();
        changed = true;
      }
    }
    if (changed) HandOff(FOnReaderListChanged);
    if (Terminated()) continue;
    HandOff(FOnTimer);
    Sleep();
  }
  if (FPCSCDeviceContext != 0) FPCSCRaw.SCardReleaseContext(FPCSCDeviceContext);
  FPCSCDeviceContext = 0;
  HandOff(FOnTerminated);
}

// ---------------------------------------------------------------------------------------------
// TPCSC

TPCSC::TPCSC(base::IMainThread& mainThread, const std::string& libraryName)
    : FMainThread(mainThread) {
  FPCSCRaw = std::make_unique<TPCSCRaw>(libraryName);
  const uint32_t startup = FPCSCRaw->Initialize() ? EstablishContext() : SCARD_F_INTERNAL_ERROR;
  FValid = startup == SCARD_S_SUCCESS;

  FReaderListThread = std::make_unique<TReaderListThread>(*FPCSCRaw, FMainThread);
  FReaderListThread->SetOnReaderListChanged([this] { HandleReaderListChanged(); });
  FReaderListThread->SetOnTimer([this] { HandleTimer(); });
  FReaderListThread->SetOnTerminated([this] { HandleThreadTerminated(); });
  FReaderListThreadRunning = false;

  FPCSCEventList = std::make_unique<TPCSCEventList>();
  FPCSCEventList->SetOnCardInsert([this](const std::string& name, const std::string& atr) {
    if (FOnCardInserted) FOnCardInserted(this, name, HexToBytes(atr));
  });
  FPCSCEventList->SetOnCardRemove([this](const std::string& name) {
    if (FOnCardRemoved) FOnCardRemoved(this, name);
  });
  FPCSCEventList->SetOnCardError([this](const std::string& name) {
    if (FOnCardError) FOnCardError(this, name);
  });
  FPCSCEventList->SetOnReaderFound([this](const std::string& name) {
    if (FOnReaderFound) FOnReaderFound(this, name);
  });
  FPCSCEventList->SetOnReaderRemoved([this](const std::string& name) {
    if (FOnReaderRemoved) FOnReaderRemoved(this, name);
  });

  TPCSCEventList& queue = *FPCSCEventList;
  FOnReaderFoundAsync = [&queue](void* s, const std::string& n) { queue.ReaderFoundAsync(s, n); };
  FOnReaderRemovedAsync = [&queue](void* s, const std::string& n) {
    queue.ReaderRemovedAsync(s, n);
  };
  FOnCardInsertedAsync = [&queue](void* s, const std::string& n, const TBytes& atr) {
    queue.CardInsertedAsync(s, n, atr);
  };
  FOnCardRemovedAsync = [&queue](void* s, const std::string& n) { queue.CardRemovedAsync(s, n); };
  FOnCardErrorAsync = [&queue](void* s, const std::string& n) { queue.CardErrorAsync(s, n); };
}

TPCSC::~TPCSC() {
  FReaderListThread->Terminate();
  // Keep the main thread's hand-offs moving until the monitor thread has handed over its
  // terminated notification; a short sleep between rounds instead of a busy spin.
  while (FReaderListThreadRunning) {
    FMainThread.CheckSynchronize();
    if (FReaderListThreadRunning) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  FReaderListThread.reset();
  FReaderList.clear();
  FPCSCEventList.reset();
  if (FPCSCDeviceContext != 0) {
    FPCSCRaw->SCardCancel(FPCSCDeviceContext);
    FPCSCRaw->SCardReleaseContext(FPCSCDeviceContext);
  }
  FPCSCRaw->Shutdown();
  FPCSCRaw.reset();
}

uint32_t TPCSC::EstablishContext() {
  return EstablishEitherScope(*FPCSCRaw, FPCSCDeviceContext);
}

void TPCSC::ReestablishContext() {
  // The old context is released first rather than leaked.
  if (FPCSCDeviceContext != 0 && FPCSCDeviceContext != kNoCardHandle)
    FPCSCRaw->SCardReleaseContext(FPCSCDeviceContext);
  FPCSCDeviceContext = 0;
  EstablishContext();
}

void TPCSC::Start() {
  FReaderListThread->Start();
  FReaderListThreadRunning = true;
}

void TPCSC::ProcessEvent() {
  if (FPCSCEventList) FPCSCEventList->ProcessEvent();
}

TPCSCReader* TPCSC::GetPCSCReader(const std::string& readerName) {
  for (auto& entry : FReaderList)
    if (entry.ReaderName == readerName) return entry.Reader.get();
  return nullptr;
}

void TPCSC::HandleReaderListChanged() {
  if (FOnReaderListChanged) FOnReaderListChanged(this);
  UpdateReaderList();
}

void TPCSC::UpdateReaderList() {
  TStringList names;
  ListReaders(names);
  const auto listed = [&names](const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
  };
  for (size_t i = FReaderList.size(); i-- > 0;) {
    if (listed(FReaderList[i].ReaderName)) continue;
    const std::string name = FReaderList[i].ReaderName;
    if (FOnReaderRemovedAsync) FOnReaderRemovedAsync(this, name);
    FReaderList.erase(FReaderList.begin() + static_cast<std::ptrdiff_t>(i));
  }
  for (const std::string& name : names) {
    if (GetPCSCReader(name)) continue;
    auto reader = std::make_unique<TPCSCReader>(name, *FPCSCRaw);
    reader->SetOnCardStateChanged([this](TPCSCReader& r) { HandleCardStateChanged(r); });
    TPCSCReader& added = *reader;
    FReaderList.push_back({name, std::move(reader)});
    if (FGetReaderDetails) added.ReadReaderDetails();
    if (FOnReaderFoundAsync) FOnReaderFoundAsync(this, name);
  }
}

void TPCSC::ListReaders(TStringList& names) {
  names.clear();
  bool retried = false;
  // A fill that keeps failing while the size query succeeds would otherwise repeat for ever.
  for (int fills = 0; fills < kListFillTries;) {
    uint32_t size = 0;
    uint32_t r = FPCSCRaw->SCardListReaders(FPCSCDeviceContext, nullptr, nullptr, size);
    if (r != SCARD_S_SUCCESS) {
      if (retried) return;
      retried = true;
      if (r == ERROR_INVALID_HANDLE || r == ERROR_BROKEN_PIPE || ContextLost(r))
        ReestablishContext();
      continue;
    }
    std::vector<TPcscChar> buffer(size + 1, 0);
    uint32_t filled = size;
    r = FPCSCRaw->SCardListReaders(FPCSCDeviceContext, nullptr, buffer.data(), filled);
    ++fills;
    if (r == SCARD_S_SUCCESS) {
      MultiStringToList(buffer.data(), std::min(filled, size), &names);
      return;
    }
  }
}

void TPCSC::HandleTimer() {
  // Only the readers listed now; a callback cannot change the list during the poll.
  const size_t count = FReaderList.size();
  for (size_t i = 0; i < count && i < FReaderList.size(); ++i)
    FReaderList[i].Reader->CheckCardState();
}

void TPCSC::HandleCardStateChanged(TPCSCReader& reader) {
  const TCardState state = reader.CardState();
  const std::string name = reader.ReaderName();
  if (FOnCardStateChanged) FOnCardStateChanged(this, name);
  switch (state) {
    case TCardState::csAvailable:
      if (FOnCardInsertedAsync) FOnCardInsertedAsync(this, name, reader.ATR());
      break;
    case TCardState::csNoCard:
      if (FOnCardRemovedAsync) FOnCardRemovedAsync(this, name);
      break;
    case TCardState::csBadCard:
      if (FOnCardErrorAsync) FOnCardErrorAsync(this, name);
      break;
    default:
      break;
  }
}

void TPCSC::HandleThreadTerminated() {
  FReaderListThreadRunning = false;
}

}  // namespace pcsc
