#pragma once

// PLACEHOLDER until the Socket.IO layer lands: the hand-over operations the WebSocket server
// calls. The Socket.IO work replaces this file and its .cpp with the real classes and keeps
// these signatures.

#include <memory>
#include <string>
#include <string_view>

namespace ws {

class TIdServerWSContext;
class ISocketIOContext;

class TIdServerSocketIOHandling_Ext {
 public:
  TIdServerSocketIOHandling_Ext() = default;
  virtual ~TIdServerSocketIOHandling_Ext() = default;

  // Handshake on "/socket.io/1/": registers a connection for the network connection.
  std::shared_ptr<ISocketIOContext> NewConnection(TIdServerWSContext* context);
  std::shared_ptr<ISocketIOContext> GetSocketIOContext(TIdServerWSContext* context);
  // The message loop of a connection on "/socket.io/1/websocket/...".
  void WebsocketSessionOpened(TIdServerWSContext* context);
  void DispatchConnectionStream(TIdServerWSContext* context, std::string_view payload);
  void WebsocketSessionIdle(TIdServerWSContext* context);
  void WebsocketSessionClosed(TIdServerWSContext* context);
  // GET (responseBody given) or POST (responseBody null) on "/socket.io/1/xhr-polling/<guid>".
  // May block the calling connection thread while a GET waits for output.
  void ServePollingRequest(const std::string& guid, const std::string& requestBody,
                           std::string* responseBody);
  // A connection context is going away.
  void FreeConnection(TIdServerWSContext* context);
};

}  // namespace ws
