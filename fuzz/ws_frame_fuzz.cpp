// The WebSocket frame reader on arbitrary bytes: the frame codec alone in both roles, and a
// server connection's message reader fed the bytes over a loopback connection.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include "WS/IdIOHandlerWebsocket.h"
#include "net/IdSocket.h"

namespace {

using ws::TIdWebsocketFrameCodec;

void ParseAll(std::string_view bytes, bool serverSide) {
  try {
    ws::TWSFrame frame;
    while (size_t used = TIdWebsocketFrameCodec::ParseFrame(bytes, serverSide, frame)) {
      if (used > bytes.size()) abort();
      if (frame.Payload.size() > TIdWebsocketFrameCodec::kMaxMessageSize) abort();
      // What is parsed encodes back to a frame that parses to the same thing.
      if (!serverSide) {
        const std::string again = TIdWebsocketFrameCodec::EncodeFrame(
            frame.Payload, frame.DataCode, frame.FIN, frame.RSV, nullptr);
        ws::TWSFrame second;
        if (TIdWebsocketFrameCodec::ParseFrame(again, false, second) != again.size() ||
            second.Payload != frame.Payload || second.DataCode != frame.DataCode) {
          abort();
        }
      }
      bytes.remove_prefix(used);
    }
  } catch (const std::exception&) {
    // a protocol error ends the connection
  }
}

// The server's side of one loopback connection per input.
struct TLoopback {
  net::TIdSocket Listener = net::TIdSocket::Listen(false, 0, 4);
};

void ReadMessages(std::string_view bytes) {
  static TLoopback loopback;
  net::TIdSocket client = net::TIdSocket::Connect("127.0.0.1", loopback.Listener.LocalPort());
  auto server = std::make_unique<ws::TIdIOHandlerWebsocket>(loopback.Listener.Accept());
  server->Socket().SetSendTimeout(200);
  server->SetIsServerSide(true);
  server->SetIsWebsocket(true);
  client.SendAll(bytes);
  client.ShutdownSend();
  try {
    // Records: code and length (32-bit each), then the payload, as the message loop takes them.
    while (server->Connected()) {
      const uint32_t code = server->ReadUInt32();
      const uint32_t length = server->ReadUInt32();
      if (code < uint32_t(ws::TWSDataCode::wdcText) || code > uint32_t(ws::TWSDataCode::wdcPong))
        abort();
      if (length > TIdWebsocketFrameCodec::kMaxMessageSize) abort();
      std::string payload;
      server->ReadBytes(payload, length, false);
    }
  } catch (const std::exception&) {
  }
  server->Close();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  ParseAll(bytes, true);
  ParseAll(bytes, false);
  ReadMessages(bytes);
  return 0;
}
