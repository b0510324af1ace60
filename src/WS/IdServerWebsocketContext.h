#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "WS/IdIOHandlerWebsocket.h"
#include "net/IdHTTPRequest.h"
#include "net/IdTCPServer.h"

namespace ws {

class TIdServerWSContext;
class TIdServerSocketIOHandling_Ext;

using TWebSocketUpgradeEvent = std::function<void(
    TIdServerWSContext* context, const net::TIdHTTPRequestInfo& request, bool& accept)>;
// Once per data message: `request` holds the payload; what the callee puts into `response`
// is sent back as one message of type `type`.
using TWebsocketChannelRequest =
    std::function<void(TIdServerWSContext* context, TWSDataType& type, const std::string& request,
                       std::string& response)>;
using TIdContextEvent = std::function<void(TIdServerWSContext* context)>;

// The context of one connection of the WebSocket server; the handshake fills its fields.
class TIdServerWSContext : public net::TIdServerContext {
 public:
  static constexpr const char* kSocketIOPrefix = "/socket.io/1/websocket/";

  using TIdServerContext::TIdServerContext;
  ~TIdServerWSContext() override;

  // The connection's codec; never null while the context lives.
  TIdIOHandlerWebsocket* IOHandler() const;
  bool IsSocketIO() const;

  const std::string& WebSocketKey() const { return FWebSocketKey; }
  void SetWebSocketKey(std::string value) { FWebSocketKey = std::move(value); }
  int WebSocketVersion() const { return FWebSocketVersion; }
  void SetWebSocketVersion(int value) { FWebSocketVersion = value; }
  const std::string& Path() const { return FPath; }
  void SetPath(std::string value) { FPath = std::move(value); }
  const std::string& WebSocketProtocol() const { return FWebSocketProtocol; }
  void SetWebSocketProtocol(std::string value) { FWebSocketProtocol = std::move(value); }
  const std::string& ResourceName() const { return FResourceName; }
  void SetResourceName(std::string value) { FResourceName = std::move(value); }
  const std::string& Origin() const { return FOrigin; }
  void SetOrigin(std::string value) { FOrigin = std::move(value); }
  const std::string& Query() const { return FQuery; }
  void SetQuery(std::string value) { FQuery = std::move(value); }
  const std::string& Host() const { return FHost; }
  void SetHost(std::string value) { FHost = std::move(value); }
  const std::string& WebSocketExtensions() const { return FWebSocketExtensions; }
  void SetWebSocketExtensions(std::string value) { FWebSocketExtensions = std::move(value); }
  const std::string& Cookie() const { return FCookie; }
  void SetCookie(std::string value) { FCookie = std::move(value); }

  const TWebSocketUpgradeEvent& OnWebSocketUpgrade() const { return fOnWebSocketUpgrade; }
  void SetOnWebSocketUpgrade(TWebSocketUpgradeEvent handler) {
    fOnWebSocketUpgrade = std::move(handler);
  }
  const TWebsocketChannelRequest& OnCustomChannelExecute() const { return FOnCustomChannelExecute; }
  void SetOnCustomChannelExecute(TWebsocketChannelRequest handler) {
    FOnCustomChannelExecute = std::move(handler);
  }
  TIdServerSocketIOHandling_Ext* SocketIO() const { return FSocketIO; }
  void SetSocketIO(TIdServerSocketIOHandling_Ext* socketIO) { FSocketIO = socketIO; }
  // Called from the destructor.
  void SetOnDestroy(TIdContextEvent handler) { FOnDestroy = std::move(handler); }

 private:
  std::string FWebSocketKey;
  int FWebSocketVersion = 0;
  std::string FPath;
  std::string FWebSocketProtocol;
  std::string FResourceName;
  std::string FOrigin;
  std::string FQuery;
  std::string FHost;
  std::string FWebSocketExtensions;
  std::string FCookie;
  TWebSocketUpgradeEvent fOnWebSocketUpgrade;
  TWebsocketChannelRequest FOnCustomChannelExecute;
  TIdServerSocketIOHandling_Ext* FSocketIO = nullptr;
  TIdContextEvent FOnDestroy;
};

// ASCII letters compared without regard to case.
bool StartsWithNoCase(std::string_view text, std::string_view prefix);
bool EqualsNoCase(std::string_view a, std::string_view b);

}  // namespace ws
