#include "WS/IdServerIOHandlerWebsocket.h"

#include "WS/IdIOHandlerWebsocket.h"

namespace ws {

std::unique_ptr<net::TIdIOHandlerStack> TIdServerIOHandlerWebsocket::Accept(net::TIdSocket socket) {
  auto handler = std::make_unique<TIdIOHandlerWebsocket>(std::move(socket));
  handler->SetIsServerSide(true);
  handler->Socket().SetNoDelay(true);
  return handler;
}

}  // namespace ws
