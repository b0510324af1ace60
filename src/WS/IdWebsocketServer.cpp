#include "WS/IdWebsocketServer.h"

#include <exception>
#include <iterator>

#include "WS/IdServerIOHandlerWebsocket.h"
#include "WS/IdServerWebsocketHandling.h"
#include "base/TextConv.h"

namespace ws {
namespace {

std::string Utf16BytesToUtf8(std::string_view bytes, bool bigEndian) {
  std::u16string units;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    uint8_t a = uint8_t(bytes[i]), b = uint8_t(bytes[i + 1]);
    units += char16_t(bigEndian ? (a << 8 | b) : (b << 8 | a));
  }
  return base::Utf16ToUtf8(units);
}

}  // namespace

std::string DecodeMessageText(const std::string& bytes) {
  std::string_view view(bytes);
  if (view.starts_with("\xEF\xBB\xBF")) return bytes.substr(3);
  if (view.starts_with("\xFF\xFE")) return Utf16BytesToUtf8(view.substr(2), false);
  if (view.starts_with("\xFE\xFF")) return Utf16BytesToUtf8(view.substr(2), true);
  return bytes;
}

TIdWebsocketServer::TIdWebsocketServer()
    : FSocketIO(std::make_unique<TIdServerSocketIOHandling_Ext>()) {
  SetDefaultPort(kDefaultPort);
  SetContextClass([](std::unique_ptr<net::TIdIOHandlerStack> connection) {
    return std::make_unique<TIdServerWSContext>(std::move(connection));
  });
  SetIOHandler(std::make_unique<TIdServerIOHandlerWebsocket>());
}

TIdWebsocketServer::~TIdWebsocketServer() {
  SetActive(false);
  FSocketIO.reset();
}

void TIdWebsocketServer::DoConnect(net::TIdServerContext* context) {
  auto* wsContext = static_cast<TIdServerWSContext*>(context);
  wsContext->SetOnCustomChannelExecute(
      [this](TIdServerWSContext* c, TWSDataType& type, const std::string& request,
             std::string& response) { DoWebSocketChannel(c, type, request, response); });
  context->Connection()->Socket().SetSendTimeout(FWriteTimeout);
}

void TIdWebsocketServer::DoDisconnect(net::TIdServerContext* context) {
  if (FSocketIO) FSocketIO->FreeConnection(static_cast<TIdServerWSContext*>(context));
}

void TIdWebsocketServer::DoCommandGet(net::TIdServerContext* context,
                                      net::TIdHTTPRequestInfo& request,
                                      net::TIdHTTPResponseInfo& response) {
  WebSocketCommandGet(static_cast<TIdServerWSContext*>(context), request, response);
}

void TIdWebsocketServer::WebSocketCommandGet(TIdServerWSContext* context,
                                             net::TIdHTTPRequestInfo& request,
                                             net::TIdHTTPResponseInfo& response) {
  context->SetOnWebSocketUpgrade([this](TIdServerWSContext* c, const net::TIdHTTPRequestInfo& r,
                                        bool& accept) { DoWebSocketUpgrade(c, r, accept); });
  context->SetOnCustomChannelExecute(
      [this](TIdServerWSContext* c, TWSDataType& type, const std::string& in, std::string& out) {
        DoWebSocketChannel(c, type, in, out);
      });
  context->SetSocketIO(FSocketIO.get());
  if (!TIdServerWebsocketHandling::ProcessServerCommandGet(context, request, response)) {
    TIdHTTPServer::DoCommandGet(context, request, response);
  }
}

void TIdWebsocketServer::DoWebSocketUpgrade(TIdServerWSContext*, const net::TIdHTTPRequestInfo&,
                                            bool& accept) {
  accept = true;
}

void TIdWebsocketServer::DoWebSocketChannel(TIdServerWSContext* context, TWSDataType& type,
                                            const std::string& request, std::string&) {
  if (type == TWSDataType::wdtText) {
    if (FOnMessageText) FOnMessageText(context, DecodeMessageText(request));
  } else if (FOnMessageBin) {
    FOnMessageBin(context, request);
  }
}

void TIdWebsocketServer::SendToAll(const std::function<void(TIdIOHandlerWebsocket*)>& write) {
  std::exception_ptr firstFailure;
  {
    std::lock_guard<std::mutex> guard(ContextsLock());
    for (net::TIdServerContext* context : Contexts()) {
      auto* wsContext = static_cast<TIdServerWSContext*>(context);
      TIdIOHandlerWebsocket* io = wsContext->IOHandler();
      if (!io->IsWebsocket() || wsContext->IsSocketIO()) continue;
      // A peer that stopped in the middle of a message keeps its reader holding the lock; it
      // may hold up the broadcast no longer than a send could, and is then cut off.
      if (!io->TryLockFor(FWriteTimeout)) {
        io->ShutdownSocket();
        if (!firstFailure) {
          firstFailure = std::make_exception_ptr(net::EIdSocketHandleError(
              "Connection busy: a message from the peer is still incomplete"));
        }
        continue;
      }
      try {
        // Checked again under the lock: the session may have ended meanwhile.
        if (io->IsWebsocket()) write(io);  // a failing write marks that connection closed
      } catch (const std::exception&) {
        if (!firstFailure) firstFailure = std::current_exception();
      }
      io->Unlock();
    }
  }
  if (firstFailure) std::rethrow_exception(firstFailure);
}

void TIdWebsocketServer::SendMessageToAll(const std::string& text) {
  if (text.empty()) return;
  // The frame is encoded once per set of reserved bits (the server echoes each client's last
  // ones), not once per connection: the bytes are those Write(text) would send.
  std::string frames[8];
  SendToAll([&text, &frames](TIdIOHandlerWebsocket* io) {
    if (!io->IsServerSide()) return io->Write(text);
    TWSExtensionBits rsv = io->ClientExtensionBits();
    std::string& frame = frames[rsv.to_ulong()];
    if (frame.empty()) {
      frame = TIdWebsocketFrameCodec::EncodeFrame(text, TWSDataCode::wdcText, true, rsv, nullptr);
    }
    io->WriteEncodedFrame(frame);
  });
}

void TIdWebsocketServer::SendMessageToAll(std::istream& binStream) {
  std::string data{std::istreambuf_iterator<char>(binStream), std::istreambuf_iterator<char>()};
  SendToAll([&data](TIdIOHandlerWebsocket* io) { io->Write(data, TWSDataType::wdtBinary); });
}

}  // namespace ws
