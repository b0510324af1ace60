#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <string>

#include "WS/IdServerSocketIOHandling.h"
#include "WS/IdServerWebsocketContext.h"
#include "net/IdHTTPServer.h"

namespace ws {

using TWebsocketMessageText =
    std::function<void(TIdServerWSContext* context, const std::string& text)>;
using TWebsocketMessageBin =
    std::function<void(TIdServerWSContext* context, const std::string& data)>;

// The HTTP server that upgrades connections to WebSocket, runs each connection's message loop
// on its own thread and broadcasts to every plain WebSocket connection.
class TIdWebsocketServer : public net::TIdHTTPServer {
 public:
  static constexpr uint16_t kDefaultPort = 8085;
  static constexpr int kDefaultWriteTimeout = 2000;

  TIdWebsocketServer();
  ~TIdWebsocketServer() override;  // deactivates first

  // Takes effect for connections accepted afterwards.
  void SetWriteTimeout(int milliseconds) { FWriteTimeout = milliseconds; }
  int WriteTimeout() const { return FWriteTimeout; }
  void SetOnMessageText(TWebsocketMessageText handler) { FOnMessageText = std::move(handler); }
  void SetOnMessageBin(TWebsocketMessageBin handler) { FOnMessageBin = std::move(handler); }
  TIdServerSocketIOHandling_Ext* SocketIO() { return FSocketIO.get(); }

  // One text message to every plain WebSocket connection. A connection whose write fails is
  // marked closed and the others still get the message; the first failure is raised after.
  void SendMessageToAll(const std::string& text);
  // The stream, from its position to its end, as one binary message to each of them.
  void SendMessageToAll(std::istream& binStream);

  virtual void DoWebSocketUpgrade(TIdServerWSContext* context,
                                  const net::TIdHTTPRequestInfo& request, bool& accept);
  virtual void DoWebSocketChannel(TIdServerWSContext* context, TWSDataType& type,
                                  const std::string& request, std::string& response);

 protected:
  void DoConnect(net::TIdServerContext* context) override;
  void DoDisconnect(net::TIdServerContext* context) override;
  void DoCommandGet(net::TIdServerContext* context, net::TIdHTTPRequestInfo& request,
                    net::TIdHTTPResponseInfo& response) override;

 private:
  std::unique_ptr<TIdServerSocketIOHandling_Ext> FSocketIO;
  TWebsocketMessageText FOnMessageText;
  TWebsocketMessageBin FOnMessageBin;
  std::atomic<int> FWriteTimeout{kDefaultWriteTimeout};

  void SendToAll(const std::function<void(TIdIOHandlerWebsocket*)>& write);
  void WebSocketCommandGet(TIdServerWSContext* context, net::TIdHTTPRequestInfo& request,
                           net::TIdHTTPResponseInfo& response);
};

// Message text as received: a leading byte-order mark selects its encoding and is dropped.
std::string DecodeMessageText(const std::string& bytes);

}  // namespace ws
