#pragma once

#include <memory>
#include <string>

#include "WS/IdServerBaseHandling.h"
#include "WS/IdServerWebsocketContext.h"
#include "net/IdHTTPRequest.h"
#include "net/IdHTTPResponse.h"

namespace ws {

class ISocketIOContext;
class TIdServerSocketIOHandling_Ext;

// The server side of the upgrade handshake and of the WebSocket message loop; all its
// operations work on the context they are given.
class TIdServerWebsocketHandling : public TIdServerBaseHandling {
 public:
  static constexpr const char* kWebsocketGUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  static constexpr int kIdleWaitMs = 1000;
  static constexpr int kKeepAliveSeconds = 5;  // a keep-alive after more than this idle

  TIdServerWebsocketHandling() = delete;

  // True when the request was handled here (upgrade, Socket.IO handshake or polling); for an
  // upgrade the whole WebSocket session has run when it returns.
  static bool ProcessServerCommandGet(TIdServerWSContext* context,
                                      const net::TIdHTTPRequestInfo& request,
                                      net::TIdHTTPResponseInfo& response);
  static void RunMessageLoop(TIdServerWSContext* context, TIdServerSocketIOHandling_Ext* socketIO);
  static void HandleChannelMessage(TIdServerWSContext* context, TWSDataType& type,
                                   const std::string& request, std::string& response,
                                   TIdServerSocketIOHandling_Ext* socketIO);
  // The Socket.IO session of the connection served by the calling thread, or null.
  static std::shared_ptr<ISocketIOContext> CurrentSocket();

  // Base64 of SHA-1 of the trimmed key followed by the GUID.
  static std::string AcceptKey(const std::string& key);
  // "{8-4-4-4-12}" upper-case hexadecimal.
  static std::string NewGUID();

 private:
  static void Upgrade(TIdServerWSContext* context, const net::TIdHTTPRequestInfo& request,
                      net::TIdHTTPResponseInfo& response);
  static void RunLoopPasses(TIdServerWSContext* context, TIdServerSocketIOHandling_Ext* socketIO);
};

}  // namespace ws
