#include "WS/IdServerSocketIOHandling.h"

// PLACEHOLDER bodies until the Socket.IO layer lands.

namespace ws {

std::shared_ptr<ISocketIOContext> TIdServerSocketIOHandling_Ext::NewConnection(TIdServerWSContext*) {
  return nullptr;
}
std::shared_ptr<ISocketIOContext> TIdServerSocketIOHandling_Ext::GetSocketIOContext(
    TIdServerWSContext*) {
  return nullptr;
}
void TIdServerSocketIOHandling_Ext::WebsocketSessionOpened(TIdServerWSContext*) {}
void TIdServerSocketIOHandling_Ext::DispatchConnectionStream(TIdServerWSContext*, std::string_view) {
}
void TIdServerSocketIOHandling_Ext::WebsocketSessionIdle(TIdServerWSContext*) {}
void TIdServerSocketIOHandling_Ext::WebsocketSessionClosed(TIdServerWSContext*) {}
void TIdServerSocketIOHandling_Ext::ServePollingRequest(const std::string&, const std::string&,
                                                        std::string*) {}
void TIdServerSocketIOHandling_Ext::FreeConnection(TIdServerWSContext*) {}

}  // namespace ws
