// A fake PC/SC library with the platform's ABI (the exports, calling convention and records of
// winscard.dll or libpcsclite.so.1), scripted by tests through the FakePcsc_* exports.
//
// Variants are built from this file: FAKE_PCSC_NO_STATUS_CHANGE leaves out the status-change
// export, FAKE_PCSC_NO_TRANSMIT leaves out a required export.

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "FakePcscScript.h"
#include "pcsc/MD_PCSCDef.h"

using namespace pcsc;

namespace {

using TAbi = TPcscAbiHandle;
constexpr uint32_t kReaderUnavailable = 0x80100017;

struct TReader {
  std::string Name;
  bool CardPresent = false;
  TBytes Atr;
  bool Override = false;
  TPcscDword OverrideBits = 0;
  TPcscDword Protocol = SCARD_PROTOCOL_T1;
  std::map<std::string, TBytes> Apdus;
  TBytes DefaultAnswer{0x6D, 0x00};
  std::map<unsigned long, TBytes> Controls;
  std::map<unsigned long, TBytes> Attribs;
  unsigned CardSerial = 0;  // changes with every card laid on
};

struct TConnection {
  std::string Reader;
  TAbi Context;
  TPcscDword ShareMode;
  TPcscDword Protocol;
  unsigned CardSerial;
};

struct TInjection {
  unsigned long Code;
  int Times;
};

struct TState {
  std::mutex Mutex;
  std::vector<TReader> Readers;
  std::map<TAbi, unsigned> Contexts;  // context -> service generation it was made in
  std::map<TAbi, TConnection> Connections;
  std::map<std::string, TInjection> Injections;
  std::vector<std::string> Log;
  unsigned Generation = 1;
  bool ServiceRunning = true;
  unsigned long StaleCode = SCARD_E_NO_SERVICE;
  TAbi NextHandle = 0x1000;
};

TState& State() {
  static TState state;
  return state;
}

std::string Upper(std::string text) {
  std::string out;
  for (char c : text) {
    if (c == ' ') continue;
    out += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  return out;
}

TBytes FromHex(const char* hex) {
  TBytes bytes;
  std::string digits = Upper(hex ? hex : "");
  for (size_t i = 0; i + 1 < digits.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return bytes;
}

[[maybe_unused]] std::string ToHex(const uint8_t* data, size_t n) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = 0; i < n; ++i) {
    text += digits[data[i] >> 4];
    text += digits[data[i] & 0xF];
  }
  return text;
}

std::string Text(const TPcscChar* text) {
  if (!text) return "(nil)";
  return FromPcscString(text, std::char_traits<TPcscChar>::length(text));
}

void AddLog(TState& s, const std::string& line) {
  if (s.Log.size() >= 50000) s.Log.erase(s.Log.begin(), s.Log.begin() + 10000);
  s.Log.push_back(line);
}

// An injected result for the function, if one is armed.
bool Injected(TState& s, const std::string& function, TPcscLong& result) {
  auto it = s.Injections.find(function);
  if (it == s.Injections.end() || it->second.Times == 0) return false;
  if (it->second.Times > 0) --it->second.Times;
  result = static_cast<TPcscLong>(it->second.Code);
  return true;
}

// The answer every call on a context gets when the context is of no use; 0 when it is fine.
TPcscLong ContextError(TState& s, TAbi context) {
  auto it = s.Contexts.find(context);
  if (it == s.Contexts.end()) return static_cast<TPcscLong>(SCARD_E_INVALID_HANDLE);
  if (!s.ServiceRunning || it->second != s.Generation) return static_cast<TPcscLong>(s.StaleCode);
  return 0;
}

TReader* FindReader(TState& s, const std::string& name) {
  for (auto& r : s.Readers)
    if (r.Name == name) return &r;
  return nullptr;
}

[[maybe_unused]] TPcscDword ReaderBits(TState& s, const TReader& reader) {
  if (reader.Override) return reader.OverrideBits;
  if (!reader.CardPresent) return SCARD_STATE_EMPTY;
  TPcscDword bits = SCARD_STATE_PRESENT;
  for (const auto& [handle, c] : s.Connections) {
    if (c.Reader != reader.Name || c.ShareMode == SCARD_SHARE_DIRECT) continue;
    bits |= c.ShareMode == SCARD_SHARE_EXCLUSIVE ? SCARD_STATE_EXCLUSIVE : SCARD_STATE_INUSE;
  }
  return bits;
}

// The connection of a card handle, or an error code.
TPcscLong FindConnection(TState& s, TAbi card, TConnection*& connection, bool needCard) {
  auto it = s.Connections.find(card);
  if (it == s.Connections.end()) return static_cast<TPcscLong>(SCARD_E_INVALID_HANDLE);
  if (TPcscLong e = ContextError(s, it->second.Context)) return e;
  connection = &it->second;
  if (!needCard) return 0;
  TReader* reader = FindReader(s, connection->Reader);
  if (!reader) return static_cast<TPcscLong>(kReaderUnavailable);
  if (!reader->CardPresent || reader->CardSerial != connection->CardSerial)
    return static_cast<TPcscLong>(SCARD_W_REMOVED_CARD);
  return 0;
}

std::vector<TPcscChar> MultiString(const TState& s) {
  std::vector<TPcscChar> out;
  for (const auto& r : s.Readers) {
    const TPcscString name = ToPcscString(r.Name);
    out.insert(out.end(), name.begin(), name.end());
    out.push_back(0);
  }
  out.push_back(0);
  return out;
}

[[maybe_unused]] void FillPnp(TState& s, TSCardReaderStateA& state, TPcscLong& result) {
  if (kPcscNativePnpNotification) {
    // winscard: the reader count in the high word of the state.
    const TPcscDword count = static_cast<TPcscDword>(s.Readers.size());
    if (((state.dwCurrentState >> 16) & 0xFFFF) != count) {
      state.dwEventState = (count << 16) | SCARD_STATE_CHANGED;
      result = 0;
    } else {
      state.dwEventState = state.dwCurrentState & ~SCARD_STATE_CHANGED;
      result = static_cast<TPcscLong>(SCARD_E_TIMEOUT);
    }
  } else {
    // pcsc-lite answers a time-out on the pseudo-reader when the wait is 0 ms.
    result = static_cast<TPcscLong>(SCARD_E_TIMEOUT);
  }
}

}  // namespace

#define FAKE_LOCK()    \
  TState& s = State(); \
  std::lock_guard<std::mutex> lock(s.Mutex)

#define FAKE_INJECT(name)                             \
  do {                                                \
    TPcscLong injected;                               \
    if (Injected(s, name, injected)) return injected; \
  } while (0)

extern "C" {

// ---- PC/SC entry points -----------------------------------------------------------------

TPcscLong MD_PCSC_API SCardEstablishContext(TPcscDword scope, const void*, const void*,
                                            TAbi* context) {
  FAKE_LOCK();
  AddLog(s, "SCardEstablishContext " + std::to_string(scope));
  FAKE_INJECT("SCardEstablishContext");
  if (!s.ServiceRunning) return static_cast<TPcscLong>(SCARD_E_NO_SERVICE);
  if (!context) return static_cast<TPcscLong>(SCARD_E_INVALID_PARAMETER);
  *context = s.NextHandle++;
  s.Contexts[*context] = s.Generation;
  return 0;
}

TPcscLong MD_PCSC_API SCardReleaseContext(TAbi context) {
  FAKE_LOCK();
  AddLog(s, "SCardReleaseContext");
  FAKE_INJECT("SCardReleaseContext");
  if (s.Contexts.erase(context) == 0) return static_cast<TPcscLong>(SCARD_E_INVALID_HANDLE);
  return 0;
}

TPcscLong MD_PCSC_API SCardIsValidContext(TAbi context) {
  FAKE_LOCK();
  AddLog(s, "SCardIsValidContext");
  return ContextError(s, context);
}

TPcscLong MD_PCSC_API SCardCancel(TAbi context) {
  FAKE_LOCK();
  AddLog(s, "SCardCancel");
  FAKE_INJECT("SCardCancel");
  return ContextError(s, context);
}

TPcscLong MD_PCSC_API SCardFreeMemory(TAbi, const void*) {
  return 0;
}

TPcscLong MD_PCSC_API MD_PCSC_TEXT_FN(SCardListReaders)(TAbi context, const TPcscChar*,
                                                        TPcscChar* readers, TPcscDword* size) {
  FAKE_LOCK();
  AddLog(s, readers ? "SCardListReaders fill" : "SCardListReaders size");
  FAKE_INJECT("SCardListReaders");
  if (readers) FAKE_INJECT("SCardListReadersFill");
  if (TPcscLong e = ContextError(s, context)) return e;
  if (!size) return static_cast<TPcscLong>(SCARD_E_INVALID_PARAMETER);
  if (s.Readers.empty()) return static_cast<TPcscLong>(SCARD_E_NO_READERS_AVAILABLE);
  const std::vector<TPcscChar> list = MultiString(s);
  if (readers) {
    if (*size < list.size()) {
      *size = static_cast<TPcscDword>(list.size());
      return static_cast<TPcscLong>(SCARD_E_INSUFFICIENT_BUFFER);
    }
    std::copy(list.begin(), list.end(), readers);
  }
  *size = static_cast<TPcscDword>(list.size());
  return 0;
}

#ifndef FAKE_PCSC_NO_STATUS_CHANGE
TPcscLong MD_PCSC_API MD_PCSC_TEXT_FN(SCardGetStatusChange)(TAbi context, TPcscDword timeout,
                                                            TSCardReaderStateA* states,
                                                            TPcscDword count) {
  FAKE_LOCK();
  const std::string first = count > 0 && states ? Text(states[0].szReader) : "";
  AddLog(s, "SCardGetStatusChange " + first + " " + std::to_string(timeout));
  FAKE_INJECT("SCardGetStatusChange");
  if (TPcscLong e = ContextError(s, context)) return e;
  TPcscLong result = 0;
  for (TPcscDword i = 0; i < count; ++i) {
    TSCardReaderStateA& state = states[i];
    const std::string name = Text(state.szReader);
    if (name == kPnpNotificationName) {
      FillPnp(s, state, result);
      continue;
    }
    TReader* reader = FindReader(s, name);
    if (!reader) return static_cast<TPcscLong>(SCARD_E_UNKNOWN_READER);
    TPcscDword bits = ReaderBits(s, *reader);
    if (bits != (state.dwCurrentState & ~SCARD_STATE_CHANGED)) bits |= SCARD_STATE_CHANGED;
    state.dwEventState = bits;
    state.cbAtr = 0;
    if (reader->CardPresent) {
      const size_t n = std::min(reader->Atr.size(), kPcscMaxAtrSize);
      std::memcpy(state.rgbAtr, reader->Atr.data(), n);
      state.cbAtr = static_cast<TPcscDword>(n);
    }
  }
  return result;
}
#endif

TPcscLong MD_PCSC_API MD_PCSC_TEXT_FN(SCardConnect)(TAbi context, const TPcscChar* readerName,
                                                    TPcscDword shareMode, TPcscDword preferred,
                                                    TAbi* card, TPcscDword* active) {
  FAKE_LOCK();
  AddLog(s, "SCardConnect " + Text(readerName) + " " + std::to_string(shareMode) + " " +
                std::to_string(preferred));
  FAKE_INJECT("SCardConnect");
  if (TPcscLong e = ContextError(s, context)) return e;
  TReader* reader = FindReader(s, Text(readerName));
  if (!reader) return static_cast<TPcscLong>(SCARD_E_UNKNOWN_READER);
  TPcscDword protocol = SCARD_PROTOCOL_UNDEFINED;
  if (shareMode != SCARD_SHARE_DIRECT) {
    if (!reader->CardPresent) return static_cast<TPcscLong>(SCARD_E_NO_SMARTCARD);
    if (reader->Override && (reader->OverrideBits & SCARD_STATE_MUTE))
      return static_cast<TPcscLong>(SCARD_W_UNRESPONSIVE_CARD);
    protocol = reader->Protocol;
  }
  const TAbi handle = s.NextHandle++;
  s.Connections[handle] = {reader->Name, context, shareMode, protocol, reader->CardSerial};
  *card = handle;
  *active = protocol;
  return 0;
}

TPcscLong MD_PCSC_API SCardReconnect(TAbi card, TPcscDword shareMode, TPcscDword preferred,
                                     TPcscDword initialization, TPcscDword* active) {
  FAKE_LOCK();
  AddLog(s, "SCardReconnect " + std::to_string(shareMode) + " " + std::to_string(preferred) + " " +
                std::to_string(initialization));
  FAKE_INJECT("SCardReconnect");
  TConnection* c = nullptr;
  if (TPcscLong e = FindConnection(s, card, c, true)) return e;
  c->ShareMode = shareMode;
  *active = c->Protocol;
  return 0;
}

TPcscLong MD_PCSC_API SCardDisconnect(TAbi card, TPcscDword disposition) {
  FAKE_LOCK();
  AddLog(s, "SCardDisconnect " + std::to_string(disposition));
  FAKE_INJECT("SCardDisconnect");
  if (s.Connections.erase(card) == 0) return static_cast<TPcscLong>(SCARD_E_INVALID_HANDLE);
  return 0;
}

TPcscLong MD_PCSC_API SCardBeginTransaction(TAbi card) {
  FAKE_LOCK();
  AddLog(s, "SCardBeginTransaction");
  TConnection* c = nullptr;
  return FindConnection(s, card, c, true);
}

TPcscLong MD_PCSC_API SCardEndTransaction(TAbi card, TPcscDword disposition) {
  FAKE_LOCK();
  AddLog(s, "SCardEndTransaction " + std::to_string(disposition));
  TConnection* c = nullptr;
  return FindConnection(s, card, c, true);
}

TPcscLong MD_PCSC_API MD_PCSC_TEXT_FN(SCardStatus)(TAbi card, TPcscChar*, TPcscDword* namesLen,
                                                   TPcscDword* state, TPcscDword* protocol,
                                                   uint8_t*, TPcscDword* atrLen) {
  FAKE_LOCK();
  AddLog(s, "SCardStatus");
  TConnection* c = nullptr;
  if (TPcscLong e = FindConnection(s, card, c, true)) return e;
  if (namesLen) *namesLen = 0;
  if (state) *state = SCARD_STATE_PRESENT;
  if (protocol) *protocol = c->Protocol;
  if (atrLen) *atrLen = 0;
  return 0;
}

#ifndef FAKE_PCSC_NO_TRANSMIT
TPcscLong MD_PCSC_API SCardTransmit(TAbi card, const TSCardIoRequest* sendPci,
                                    const uint8_t* sendBuffer, TPcscDword sendLength,
                                    TSCardIoRequest* recvPci, uint8_t* recvBuffer,
                                    TPcscDword* recvLength) {
  FAKE_LOCK();
  const std::string command = ToHex(sendBuffer, sendLength);
  AddLog(s, "SCardTransmit " + std::to_string(sendPci ? sendPci->Protocol : 0) + " " +
                std::to_string(sendPci ? sendPci->Size : 0) + " " + command +
                (recvPci ? " recvpci" : "") + " " + std::to_string(recvLength ? *recvLength : 0));
  FAKE_INJECT("SCardTransmit");
  TConnection* c = nullptr;
  if (TPcscLong e = FindConnection(s, card, c, true)) return e;
  TReader* reader = FindReader(s, c->Reader);
  const auto it = reader->Apdus.find(command);
  const TBytes& answer = it != reader->Apdus.end() ? it->second : reader->DefaultAnswer;
  if (*recvLength < answer.size()) return static_cast<TPcscLong>(SCARD_E_INSUFFICIENT_BUFFER);
  std::copy(answer.begin(), answer.end(), recvBuffer);
  *recvLength = static_cast<TPcscDword>(answer.size());
  return 0;
}
#endif

TPcscLong MD_PCSC_API SCardControl(TAbi card, TPcscDword code, const void*, TPcscDword inLength,
                                   void* outBuffer, TPcscDword outLength, TPcscDword* returned) {
  FAKE_LOCK();
  AddLog(s, "SCardControl " + std::to_string(code) + " " + std::to_string(inLength) + " " +
                std::to_string(outLength));
  FAKE_INJECT("SCardControl");
  TConnection* c = nullptr;
  if (TPcscLong e = FindConnection(s, card, c, false)) return e;
  TReader* reader = FindReader(s, c->Reader);
  const auto it = reader->Controls.find(code);
  if (it == reader->Controls.end()) return static_cast<TPcscLong>(SCARD_E_UNSUPPORTED_FEATURE);
  if (outLength < it->second.size()) return static_cast<TPcscLong>(SCARD_E_INSUFFICIENT_BUFFER);
  std::copy(it->second.begin(), it->second.end(), static_cast<uint8_t*>(outBuffer));
  *returned = static_cast<TPcscDword>(it->second.size());
  return 0;
}

TPcscLong MD_PCSC_API SCardGetAttrib(TAbi card, TPcscDword id, uint8_t* attr, TPcscDword* length) {
  FAKE_LOCK();
  AddLog(s, "SCardGetAttrib " + std::to_string(id) + " " + std::to_string(*length));
  FAKE_INJECT("SCardGetAttrib");
  TConnection* c = nullptr;
  if (TPcscLong e = FindConnection(s, card, c, false)) return e;
  TReader* reader = FindReader(s, c->Reader);
  const auto it = reader->Attribs.find(id);
  if (it == reader->Attribs.end()) return static_cast<TPcscLong>(SCARD_E_UNSUPPORTED_FEATURE);
  if (*length < it->second.size()) return static_cast<TPcscLong>(SCARD_E_INSUFFICIENT_BUFFER);
  std::copy(it->second.begin(), it->second.end(), attr);
  *length = static_cast<TPcscDword>(it->second.size());
  return 0;
}

TPcscLong MD_PCSC_API SCardSetAttrib(TAbi, TPcscDword, const uint8_t*, TPcscDword) {
  return static_cast<TPcscLong>(SCARD_E_UNSUPPORTED_FEATURE);
}

// ---- scripting ----------------------------------------------------------------------------

void FakePcsc_Reset() {
  FAKE_LOCK();
  s.Readers.clear();
  s.Contexts.clear();
  s.Connections.clear();
  s.Injections.clear();
  s.Log.clear();
  s.Generation = 1;
  s.ServiceRunning = true;
  s.StaleCode = SCARD_E_NO_SERVICE;
}

void FakePcsc_AddReader(const char* name) {
  FAKE_LOCK();
  if (FindReader(s, name)) return;
  TReader reader;
  reader.Name = name;
  s.Readers.push_back(reader);
}

void FakePcsc_RemoveReader(const char* name) {
  FAKE_LOCK();
  s.Readers.erase(std::remove_if(s.Readers.begin(), s.Readers.end(),
                                 [&](const TReader& r) { return r.Name == name; }),
                  s.Readers.end());
}

void FakePcsc_InsertCard(const char* readerName, const char* atrHex) {
  FAKE_LOCK();
  if (TReader* reader = FindReader(s, readerName)) {
    reader->CardPresent = true;
    reader->Atr = FromHex(atrHex);
    ++reader->CardSerial;
  }
}

void FakePcsc_RemoveCard(const char* readerName) {
  FAKE_LOCK();
  if (TReader* reader = FindReader(s, readerName)) {
    reader->CardPresent = false;
    reader->Atr.clear();
  }
}

void FakePcsc_SetStateOverride(const char* readerName, int enable, unsigned long bits) {
  FAKE_LOCK();
  if (TReader* reader = FindReader(s, readerName)) {
    reader->Override = enable != 0;
    reader->OverrideBits = bits;
  }
}

void FakePcsc_SetProtocol(const char* readerName, unsigned long protocol) {
  FAKE_LOCK();
  if (TReader* reader = FindReader(s, readerName)) reader->Protocol = protocol;
}

void FakePcsc_SetApdu(const char* readerName, const char* commandHex, const char* responseHex) {
  FAKE_LOCK();
  TReader* reader = FindReader(s, readerName);
  if (!reader) return;
  const std::string command = Upper(commandHex ? commandHex : "");
  if (command.empty())
    reader->DefaultAnswer = FromHex(responseHex);
  else
    reader->Apdus[command] = FromHex(responseHex);
}

void FakePcsc_SetControl(const char* readerName, unsigned long code, const char* responseHex) {
  FAKE_LOCK();
  if (TReader* reader = FindReader(s, readerName)) reader->Controls[code] = FromHex(responseHex);
}

void FakePcsc_SetAttrib(const char* readerName, unsigned long id, const char* valueHex) {
  FAKE_LOCK();
  if (TReader* reader = FindReader(s, readerName)) reader->Attribs[id] = FromHex(valueHex);
}

void FakePcsc_InjectResult(const char* function, unsigned long code, int times) {
  FAKE_LOCK();
  s.Injections[function] = {code, times};
}

void FakePcsc_StopService(unsigned long staleCode) {
  FAKE_LOCK();
  s.ServiceRunning = false;
  s.StaleCode = staleCode;
  s.Connections.clear();
  ++s.Generation;
}

void FakePcsc_StartService() {
  FAKE_LOCK();
  s.ServiceRunning = true;
}

void FakePcsc_RestartService(unsigned long staleCode) {
  FAKE_LOCK();
  s.ServiceRunning = true;
  s.StaleCode = staleCode;
  s.Connections.clear();
  ++s.Generation;
}

int FakePcsc_GetLog(char* buffer, int size) {
  FAKE_LOCK();
  std::string text;
  for (const auto& line : s.Log) text += line + "\n";
  if (buffer && size > 0) {
    const size_t n = std::min(text.size(), static_cast<size_t>(size - 1));
    std::memcpy(buffer, text.data(), n);
    buffer[n] = 0;
  }
  return static_cast<int>(text.size());
}

void FakePcsc_ClearLog() {
  FAKE_LOCK();
  s.Log.clear();
}

int FakePcsc_OpenContexts() {
  FAKE_LOCK();
  return static_cast<int>(s.Contexts.size());
}

}  // extern "C"
