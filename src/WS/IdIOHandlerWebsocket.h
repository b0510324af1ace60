#pragma once

#include <atomic>
#include <bitset>
#include <chrono>
#include <cstdint>
#include <istream>
#include <mutex>
#include <random>
#include <string>
#include <string_view>

#include "net/IdException.h"
#include "net/IdIOHandlerStack.h"

namespace ws {

// The data codes of frames; the ordinal values are the codes of message records.
enum class TWSDataCode : uint32_t {
  wdcNone,
  wdcContinuation,
  wdcText,
  wdcBinary,
  wdcClose,
  wdcPing,
  wdcPong
};

enum class TWSDataType { wdtText, wdtBinary };

enum class TWSExtensionBit { webBit1, webBit2, webBit3 };  // RSV1..RSV3
using TWSExtensionBits = std::bitset<3>;                   // indexed by TWSExtensionBit

// The codec's failure for protocol errors on the wire.
class EIdWebSocketHandleError : public net::EIdSocketHandleError {
 public:
  using EIdSocketHandleError::EIdSocketHandleError;
  const char* ClassName() const override { return "EIdWebSocketHandleError"; }
};

// A frame or message longer than the codec accepts; the connection ends with close code 1009.
class EIdWebSocketMessageTooBig : public EIdWebSocketHandleError {
 public:
  using EIdWebSocketHandleError::EIdWebSocketHandleError;
  const char* ClassName() const override { return "EIdWebSocketMessageTooBig"; }
};

// State of the message being written.
struct TIOWSPayloadInfo {
  uint32_t aPayloadLength = 0;
  TWSDataCode aDataCode = TWSDataCode::wdcNone;

  void Initialize(bool iTextMode, uint32_t iPayloadLength);
  // True when this block ends the message.
  bool DecLength(uint32_t value);
  void Clear();
};

struct TWSFrame {
  bool FIN = false;
  TWSExtensionBits RSV;
  TWSDataCode DataCode = TWSDataCode::wdcNone;
  std::string Payload;
};

// The frame format, on bytes only.
class TIdWebsocketFrameCodec {
 public:
  static constexpr uint64_t kMaxMessageSize = 16 * 1024 * 1024;
  static constexpr int kCloseTooBig = 1009;

  // Takes one frame from the front of `buffer`: the number of bytes it used, 0 when the
  // buffer does not hold a whole frame yet. Protocol errors raise as soon as the bytes that
  // show them are there; a length over kMaxMessageSize raises EIdWebSocketMessageTooBig
  // before anything is allocated for it.
  static size_t ParseFrame(std::string_view buffer, bool serverSide, TWSFrame& frame);
  // One frame; `maskKey` is null in the server role.
  static std::string EncodeFrame(std::string_view payload, TWSDataCode code, bool fin,
                                 TWSExtensionBits rsv, const uint8_t* maskKey);
  static uint8_t Opcode(TWSDataCode code);
};

// Bytes up to the first zero, with 1..32 and 127..160 written as "#" and the decimal value.
std::string BytesToPrintable(std::string_view bytes);

// The reader and writer of one connection: plain bytes until the upgrade, WebSocket frames
// after it. In WebSocket mode the receive hook puts each complete message into the input
// buffer as a record (data code, payload length, both 32-bit big-endian, then the payload).
class TIdIOHandlerWebsocket : public net::TIdIOHandlerStack {
 public:
  explicit TIdIOHandlerWebsocket(net::TIdSocket socket);
  ~TIdIOHandlerWebsocket() override;

  // One text message (UTF-8) in one frame with FIN.
  void Write(const std::string& text);
  void WriteLn(const std::string& text);
  // A message cut into frames of at most kSendBufferSize bytes.
  void Write(const std::string& data, TWSDataType type);
  void Write(std::istream& stream, TWSDataType type);
  // One frame, under the connection lock; the number of bytes sent.
  int WriteData(std::string_view data, TWSDataCode type, bool fin = true, bool rsv1 = false,
                bool rsv2 = false, bool rsv3 = false);
  // A frame encoded once for many connections (a broadcast), sent whole under the connection
  // lock; a failing send marks the connection closed, as a text write does.
  void WriteEncodedFrame(std::string_view frame);

  // The connection lock, re-entrant: whole frame writes and whole message reads.
  void Lock() { FLock.lock(); }
  bool TryLock() { return FLock.try_lock(); }
  // For std::lock_guard and std::unique_lock.
  void lock() { Lock(); }
  bool try_lock() { return TryLock(); }
  void unlock() { Unlock(); }
  bool TryLockFor(int milliseconds) {
    return FLock.try_lock_for(std::chrono::milliseconds(milliseconds));
  }
  void Unlock() { FLock.unlock(); }

  bool Connected() override;
  // The close handshake (when healthy and in WebSocket mode), then the socket is shut down.
  void Close() override;
  bool Readable(int milliseconds) override;
  bool HasData();
  void Clear();

  bool BusyUpgrading() const { return FBusyUpgrading; }
  void SetBusyUpgrading(bool value) { FBusyUpgrading = value; }
  bool IsWebsocket() const { return FIsWebsocket; }
  void SetIsWebsocket(bool value);
  // How long the rest of a frame, or of a message begun in fragments, may take to arrive; the
  // connection ends when it does not come, so that a peer that stops half-way holds neither
  // its thread nor the connection lock for ever.
  static constexpr int kDefaultIncompleteTimeout = 30000;
  void SetIncompleteTimeout(int milliseconds) { FIncompleteTimeout = milliseconds; }
  bool IsServerSide() const { return FIsServerSide; }
  void SetIsServerSide(bool value) { FIsServerSide = value; }
  TWSExtensionBits ClientExtensionBits() const { return FExtensionBits; }
  bool Closing() const { return FClosing; }
  int CloseCode() const { return FCloseCode; }
  void SetCloseCode(int code) { FCloseCode = code; }
  const std::string& CloseReason() const { return FCloseReason; }
  void SetCloseReason(std::string reason) { FCloseReason = std::move(reason); }
  std::chrono::system_clock::time_point LastActivityTime() const { return FLastActivityTime; }
  std::chrono::system_clock::time_point LastPingTime() const { return FLastPingTime; }

 protected:
  size_t ReadDataFromSource() override;
  void WriteDataToTarget(std::string_view block) override;

 private:
  bool FIsServerSide = false;
  std::atomic<int> FIncompleteTimeout{kDefaultIncompleteTimeout};
  std::chrono::steady_clock::time_point FMessageDeadline{};
  std::atomic<bool> FBusyUpgrading{false};
  std::atomic<bool> FIsWebsocket{false};
  std::string FWSInputBuffer;
  TWSExtensionBits FExtensionBits;
  std::recursive_timed_mutex FLock;
  std::recursive_mutex FSelectLock;
  std::string FCloseReason;
  int FCloseCode = 0;
  std::atomic<bool> FClosing{false};
  std::chrono::system_clock::time_point FLastActivityTime{};
  std::chrono::system_clock::time_point FLastPingTime{};
  std::string FMessageStream;
  bool FCloseCodeSend = false;
  TIOWSPayloadInfo fPayloadInfo;
  std::mt19937 FRandom{std::random_device{}()};

  bool ReadMessage(TWSDataCode& code, std::string& payload);
  // `inMessage`: frames of the current message have already been read.
  bool ReadFrame(TWSFrame& frame, bool inMessage);
  void TakeCloseFrame(const TWSFrame& frame);
  void SendCloseFrame();
  void DrainAfterClose();
  bool Healthy();
};

}  // namespace ws
