#include "WS/IdIOHandlerWebsocket.h"

#include <iterator>

namespace ws {
namespace {

constexpr int kDrainWaitMs = 1000;
// However chatty the peer, a close handshake gives up draining after this long.
constexpr auto kDrainLimit = std::chrono::seconds(3);
// How long a closing thread waits for a reader that holds the connection lock mid-message.
constexpr auto kCloseLockWait = std::chrono::milliseconds(250);

template <typename Lock>
class TUnlockOnExit {
 public:
  explicit TUnlockOnExit(Lock& lock) : FLock(lock) { FLock.lock(); }
  ~TUnlockOnExit() { FLock.unlock(); }

 private:
  Lock& FLock;
};

bool DataCodeFromOpcode(uint8_t opcode, TWSDataCode& code) {
  switch (opcode) {
    case 0x0:
      code = TWSDataCode::wdcContinuation;
      return true;
    case 0x1:
      code = TWSDataCode::wdcText;
      return true;
    case 0x2:
      code = TWSDataCode::wdcBinary;
      return true;
    case 0x8:
      code = TWSDataCode::wdcClose;
      return true;
    case 0x9:
      code = TWSDataCode::wdcPing;
      return true;
    case 0xA:
      code = TWSDataCode::wdcPong;
      return true;
    default:
      return false;
  }
}

void AppendUInt32(std::string& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out += char((value >> shift) & 0xFF);
}

}  // namespace

// ---- TIOWSPayloadInfo ----

void TIOWSPayloadInfo::Initialize(bool iTextMode, uint32_t iPayloadLength) {
  aPayloadLength = iPayloadLength;
  aDataCode = iTextMode ? TWSDataCode::wdcText : TWSDataCode::wdcBinary;
}

bool TIOWSPayloadInfo::DecLength(uint32_t value) {
  aPayloadLength = aPayloadLength < value ? 0 : aPayloadLength - value;
  aDataCode = TWSDataCode::wdcContinuation;
  return aPayloadLength == 0;
}

void TIOWSPayloadInfo::Clear() {
  aPayloadLength = 0;
  aDataCode = TWSDataCode::wdcBinary;
}

// ---- frame codec ----

std::string BytesToPrintable(std::string_view bytes) {
  std::string out;
  for (char c : bytes) {
    uint8_t b = uint8_t(c);
    if (b == 0) break;
    if ((b >= 1 && b <= 32) || (b >= 127 && b <= 160)) {
      out += '#';
      out += std::to_string(b);
    } else {
      out += c;
    }
  }
  return out;
}

uint8_t TIdWebsocketFrameCodec::Opcode(TWSDataCode code) {
  switch (code) {
    case TWSDataCode::wdcContinuation:
      return 0x0;
    case TWSDataCode::wdcText:
      return 0x1;
    case TWSDataCode::wdcBinary:
      return 0x2;
    case TWSDataCode::wdcClose:
      return 0x8;
    case TWSDataCode::wdcPing:
      return 0x9;
    case TWSDataCode::wdcPong:
      return 0xA;
    default:
      throw net::EIdException("Unsupported data code: " + std::to_string(uint32_t(code)));
  }
}

size_t TIdWebsocketFrameCodec::ParseFrame(std::string_view buffer, bool serverSide,
                                          TWSFrame& frame) {
  if (buffer.empty()) return 0;
  uint8_t first = uint8_t(buffer[0]);
  TWSDataCode code;
  if (!DataCodeFromOpcode(first & 0x0F, code)) {
    throw net::EIdException("Unsupported data code: " + std::to_string(first & 0x0F) +
                            ". Buffer = " + BytesToPrintable(buffer));
  }
  if (buffer.size() < 2) return 0;
  uint8_t second = uint8_t(buffer[1]);
  bool masked = (second & 0x80) != 0;
  if (serverSide && !masked) {
    throw EIdWebSocketHandleError(
        "No mask supplied: mask is required for clients when sending data to server. Buffer = " +
        BytesToPrintable(buffer));
  }
  if (!serverSide && masked) {
    throw EIdWebSocketHandleError(
        "Mask supplied but mask is not allowed for servers when sending data to clients. "
        "Buffer = " +
        BytesToPrintable(buffer));
  }
  size_t header = 2;
  uint64_t length = second & 0x7F;
  if (length >= 126) {
    size_t extra = length == 126 ? 2 : 8;
    if (buffer.size() < header + extra) return 0;
    length = 0;
    for (size_t i = 0; i < extra; ++i) length = length << 8 | uint8_t(buffer[header + i]);
    if (extra == 8 && (length == 0 || (length >> 63) != 0)) throw net::EIdAssertionFailed();
    header += extra;
  }
  if (length > kMaxMessageSize) {
    throw EIdWebSocketMessageTooBig("Frame too large: " + std::to_string(length) + " bytes");
  }
  uint8_t key[4] = {};
  if (masked) {
    if (buffer.size() < header + 4) return 0;
    for (size_t i = 0; i < 4; ++i) key[i] = uint8_t(buffer[header + i]);
    header += 4;
  }
  if (buffer.size() - header < length) return 0;
  frame.FIN = (first & 0x80) != 0;
  frame.RSV.reset();
  frame.RSV[size_t(TWSExtensionBit::webBit1)] = (first & 0x40) != 0;
  frame.RSV[size_t(TWSExtensionBit::webBit2)] = (first & 0x20) != 0;
  frame.RSV[size_t(TWSExtensionBit::webBit3)] = (first & 0x10) != 0;
  frame.DataCode = code;
  frame.Payload.assign(buffer.substr(header, size_t(length)));
  if (masked) {
    for (size_t i = 0; i < frame.Payload.size(); ++i) frame.Payload[i] ^= char(key[i % 4]);
  }
  return header + size_t(length);
}

std::string TIdWebsocketFrameCodec::EncodeFrame(std::string_view payload, TWSDataCode code,
                                                bool fin, TWSExtensionBits rsv,
                                                const uint8_t* maskKey) {
  std::string out;
  out.reserve(payload.size() + 14);
  uint8_t first = Opcode(code);
  if (fin) first |= 0x80;
  if (rsv[size_t(TWSExtensionBit::webBit1)]) first |= 0x40;
  if (rsv[size_t(TWSExtensionBit::webBit2)]) first |= 0x20;
  if (rsv[size_t(TWSExtensionBit::webBit3)]) first |= 0x10;
  out += char(first);
  uint8_t maskBit = maskKey ? 0x80 : 0x00;
  uint64_t length = payload.size();
  if (length <= 125) {
    out += char(maskBit | length);
  } else if (length <= 0xFFFF) {
    out += char(maskBit | 126);
    out += char(length >> 8);
    out += char(length & 0xFF);
  } else {
    out += char(maskBit | 127);
    for (int shift = 56; shift >= 0; shift -= 8) out += char((length >> shift) & 0xFF);
  }
  if (!maskKey) return out.append(payload);
  out.append(reinterpret_cast<const char*>(maskKey), 4);
  for (size_t i = 0; i < payload.size(); ++i) out += char(payload[i] ^ char(maskKey[i % 4]));
  return out;
}

// ---- TIdIOHandlerWebsocket ----

TIdIOHandlerWebsocket::TIdIOHandlerWebsocket(net::TIdSocket socket)
    : TIdIOHandlerStack(std::move(socket)) {}

TIdIOHandlerWebsocket::~TIdIOHandlerWebsocket() {
  // Waits for a thread that is still inside a read or a write.
  std::lock_guard<std::recursive_timed_mutex> lock(FLock);
  std::lock_guard<std::recursive_mutex> select(FSelectLock);
}

void TIdIOHandlerWebsocket::SetIsWebsocket(bool value) {
  TUnlockOnExit<std::recursive_timed_mutex> lock(FLock);
  if (value && !FIsWebsocket) {
    FWSInputBuffer += InputBuffer();
    InputBuffer().clear();
  }
  FIsWebsocket = value;
}

void TIdIOHandlerWebsocket::Write(const std::string& text) {
  TUnlockOnExit<std::recursive_timed_mutex> lock(FLock);
  try {
    fPayloadInfo.Initialize(true, 0);
    WriteDataToTarget(text);  // one block, hence one frame
  } catch (...) {
    fPayloadInfo.Clear();
    throw;
  }
  fPayloadInfo.Clear();
}

void TIdIOHandlerWebsocket::WriteLn(const std::string& text) {
  Write(text + "\r\n");
}

void TIdIOHandlerWebsocket::Write(const std::string& data, TWSDataType type) {
  TUnlockOnExit<std::recursive_timed_mutex> lock(FLock);
  try {
    fPayloadInfo.Initialize(type == TWSDataType::wdtText, uint32_t(data.size()));
    WriteBytes(data);
  } catch (...) {
    fPayloadInfo.Clear();
    throw;
  }
  fPayloadInfo.Clear();
}

void TIdIOHandlerWebsocket::Write(std::istream& stream, TWSDataType type) {
  stream.clear();
  stream.seekg(0);
  std::string data{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
  Write(data, type);
}

int TIdIOHandlerWebsocket::WriteData(std::string_view data, TWSDataCode type, bool fin, bool rsv1,
                                     bool rsv2, bool rsv3) {
  TUnlockOnExit<std::recursive_timed_mutex> lock(FLock);
  if (!Socket().Valid()) throw net::EIdAssertionFailed();
  FLastActivityTime = std::chrono::system_clock::now();
  TWSExtensionBits rsv;
  rsv[size_t(TWSExtensionBit::webBit1)] = rsv1;
  rsv[size_t(TWSExtensionBit::webBit2)] = rsv2;
  rsv[size_t(TWSExtensionBit::webBit3)] = rsv3;
  std::string frame;
  if (FIsServerSide) {
    frame = TIdWebsocketFrameCodec::EncodeFrame(data, type, fin, rsv, nullptr);
  } else {
    uint32_t random = FRandom();
    uint8_t key[4] = {uint8_t(random), uint8_t(random >> 8), uint8_t(random >> 16),
                      uint8_t(random >> 24)};
    frame = TIdWebsocketFrameCodec::EncodeFrame(data, type, fin, rsv, key);
  }
  SendRawBytes(frame);
  return int(frame.size());
}

void TIdIOHandlerWebsocket::WriteEncodedFrame(std::string_view frame) {
  TUnlockOnExit<std::recursive_timed_mutex> lock(FLock);
  try {
    if (!Socket().Valid()) throw net::EIdAssertionFailed();
    FLastActivityTime = std::chrono::system_clock::now();
    SendRawBytes(frame);
  } catch (...) {
    MarkClosedGracefully();
    throw;
  }
}

void TIdIOHandlerWebsocket::WriteDataToTarget(std::string_view block) {
  if (!FIsWebsocket) {
    SendRawBytes(block);
    return;
  }
  TUnlockOnExit<std::recursive_timed_mutex> lock(FLock);
  try {
    TWSDataCode code = fPayloadInfo.aDataCode;
    bool fin = fPayloadInfo.DecLength(uint32_t(block.size()));
    WriteData(block, code, fin, FExtensionBits[0], FExtensionBits[1], FExtensionBits[2]);
  } catch (...) {
    MarkClosedGracefully();
    throw;
  }
}

size_t TIdIOHandlerWebsocket::ReadDataFromSource() {
  if (FBusyUpgrading) {
    FBusyUpgrading = false;
    SetIsWebsocket(true);
  }
  TUnlockOnExit<std::recursive_timed_mutex> lock(FLock);
  if (!FIsWebsocket) return ReadRawBytes(InputBuffer());
  try {
    TWSDataCode code;
    std::string payload;
    if (!ReadMessage(code, payload)) return 0;
    std::string& input = InputBuffer();
    AppendUInt32(input, uint32_t(code));
    AppendUInt32(input, uint32_t(payload.size()));
    input += payload;
    return 8 + payload.size();
  } catch (const EIdWebSocketMessageTooBig&) {
    // Refused unread: tell the peer why, then end the connection.
    FWSInputBuffer.clear();
    FMessageStream.clear();
    FCloseCode = TIdWebsocketFrameCodec::kCloseTooBig;
    Close();
    MarkClosedGracefully();
    throw;
  } catch (...) {
    MarkClosedGracefully();
    throw;
  }
}

bool TIdIOHandlerWebsocket::ReadMessage(TWSDataCode& code, std::string& payload) {
  FMessageStream.clear();
  FMessageDeadline = {};
  TWSDataCode first = TWSDataCode::wdcNone;
  bool closed = false;
  TWSFrame frame;
  do {
    if (!ReadFrame(frame, first != TWSDataCode::wdcNone)) return false;
    if (FIsServerSide) FExtensionBits = frame.RSV;
    switch (frame.DataCode) {
      case TWSDataCode::wdcText:
      case TWSDataCode::wdcBinary:
        if (first != TWSDataCode::wdcNone) {
          throw EIdWebSocketHandleError(
              "Invalid frame: specified data code only allowed for the first frame. Data = " +
              BytesToPrintable(frame.Payload));
        }
        first = frame.DataCode;
        FMessageStream = std::move(frame.Payload);
        break;
      case TWSDataCode::wdcContinuation:
        if (first != TWSDataCode::wdcText && first != TWSDataCode::wdcBinary) {
          throw EIdWebSocketHandleError("Invalid frame continuation. Data = " +
                                        BytesToPrintable(frame.Payload));
        }
        if (FMessageStream.size() + frame.Payload.size() >
            TIdWebsocketFrameCodec::kMaxMessageSize) {
          throw EIdWebSocketMessageTooBig("Message too large");
        }
        FMessageStream += frame.Payload;
        break;
      case TWSDataCode::wdcClose:
        TakeCloseFrame(frame);
        closed = true;
        FClosing = true;
        Close();
        break;
      case TWSDataCode::wdcPing:
        WriteData(frame.Payload, TWSDataCode::wdcPong, true);
        first = TWSDataCode::wdcPing;
        break;
      case TWSDataCode::wdcPong:
        first = TWSDataCode::wdcPong;
        break;
      default:
        break;
    }
  } while (!frame.FIN && !closed);
  // A message cut short by the peer's close is not delivered as if it were complete.
  if (closed) return false;
  if (first == TWSDataCode::wdcText || first == TWSDataCode::wdcBinary) {
    code = first;
    payload = std::move(FMessageStream);
    return true;
  }
  if (first == TWSDataCode::wdcPing || first == TWSDataCode::wdcPong) {
    code = first;
    payload = FMessageStream.empty() ? std::string(1, char(uint32_t(first))) : FMessageStream;
    return true;
  }
  return false;
}

bool TIdIOHandlerWebsocket::ReadFrame(TWSFrame& frame, bool inMessage) {
  for (;;) {
    size_t used = TIdWebsocketFrameCodec::ParseFrame(FWSInputBuffer, FIsServerSide, frame);
    if (used > 0) {
      FWSInputBuffer.erase(0, used);
      FLastActivityTime = std::chrono::system_clock::now();
      return true;
    }
    if (inMessage || !FWSInputBuffer.empty()) {
      // The whole message, once begun, has one deadline however it is cut up.
      if (FMessageDeadline == std::chrono::steady_clock::time_point{}) {
        FMessageDeadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(FIncompleteTimeout.load());
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          FMessageDeadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !Socket().WaitReadable(int(left.count()))) {
        throw net::EIdSocketHandleError("Incomplete message: the peer stopped sending");
      }
    }
    if (ReadRawBytes(FWSInputBuffer) == 0) {
      if (FWSInputBuffer.empty()) return false;
      throw net::EIdConnClosedGracefully();  // the peer left in the middle of a frame
    }
  }
}

void TIdIOHandlerWebsocket::TakeCloseFrame(const TWSFrame& frame) {
  FCloseCode = 1000;
  if (frame.Payload.size() >= 2) {
    FCloseCode = uint8_t(frame.Payload[0]) * 256 + uint8_t(frame.Payload[1]);
  }
  if (frame.Payload.size() > 2) FCloseReason = frame.Payload.substr(2);
}

bool TIdIOHandlerWebsocket::Connected() {
  TUnlockOnExit<std::recursive_timed_mutex> lock(FLock);
  return TIdIOHandlerStack::Connected();
}

bool TIdIOHandlerWebsocket::Healthy() {
  int error = 0;
  return Opened() && Socket().Valid() && !ClosedGracefully() && Socket().PendingError(error) &&
         error == 0;
}

void TIdIOHandlerWebsocket::SendCloseFrame() {
  FCloseCodeSend = true;
  std::string payload;
  if (FClosing) {
    payload = "\x03\xE8";
  } else {
    int code = FCloseCode < 1000 ? 1000 : FCloseCode;
    payload += char((code >> 8) & 0xFF);
    payload += char(code & 0xFF);
    payload += FCloseReason;
  }
  WriteData(payload, TWSDataCode::wdcClose, true);
}

void TIdIOHandlerWebsocket::DrainAfterClose() {
  auto deadline = std::chrono::steady_clock::now() + kDrainLimit;
  // After a refused frame the rest of it is still arriving: discard without parsing.
  bool inSync = FCloseCode != TIdWebsocketFrameCodec::kCloseTooBig;
  while (std::chrono::steady_clock::now() < deadline && Socket().WaitReadable(kDrainWaitMs)) {
    if (ReadRawBytes(FWSInputBuffer) == 0) return;
    if (!inSync) {
      FWSInputBuffer.clear();
      continue;
    }
    try {
      TWSFrame frame;
      while (size_t used =
                 TIdWebsocketFrameCodec::ParseFrame(FWSInputBuffer, FIsServerSide, frame)) {
        FWSInputBuffer.erase(0, used);
        if (frame.DataCode == TWSDataCode::wdcClose) {
          TakeCloseFrame(frame);
          return;  // the peer has answered; nothing more is expected
        }
      }
    } catch (const std::exception&) {
      inSync = false;
      FWSInputBuffer.clear();
    }
  }
}

void TIdIOHandlerWebsocket::Close() {
  std::unique_lock<std::recursive_timed_mutex> lock(FLock, std::defer_lock);
  if (!lock.try_lock_for(kCloseLockWait)) {
    // A reader is stuck in the middle of a message: waking it is all that can be done.
    TIdIOHandlerStack::Close();
    return;
  }
  // Once the 101 head is out the peer speaks WebSocket, even before the loop has switched.
  if (Healthy() && (FIsWebsocket || FBusyUpgrading)) {
    try {
      if (!FCloseCodeSend) SendCloseFrame();
      if (!FClosing) {
        FClosing = true;
        DrainAfterClose();
      }
    } catch (const std::exception&) {
      // The socket is closed below whatever happened.
    }
  }
  FIsWebsocket = false;
  FBusyUpgrading = false;
  TIdIOHandlerStack::Close();
}

bool TIdIOHandlerWebsocket::HasData() {
  TUnlockOnExit<std::recursive_timed_mutex> lock(FLock);
  return !FWSInputBuffer.empty() || !InputBuffer().empty();
}

bool TIdIOHandlerWebsocket::Readable(int milliseconds) {
  if (HasData()) return true;
  std::unique_lock<std::recursive_mutex> select(FSelectLock, std::try_to_lock);
  if (!select.owns_lock()) return false;
  return Socket().WaitReadable(milliseconds);
}

void TIdIOHandlerWebsocket::Clear() {
  TUnlockOnExit<std::recursive_timed_mutex> lock(FLock);
  FWSInputBuffer.clear();
  InputBuffer().clear();
  FBusyUpgrading = false;
  FIsWebsocket = false;
  FClosing = false;
  FExtensionBits.reset();
  FCloseReason.clear();
  FCloseCode = 0;
  FLastActivityTime = {};
  FLastPingTime = {};
  fPayloadInfo.Clear();
  FCloseCodeSend = false;
}

}  // namespace ws
