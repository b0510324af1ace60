#include "WS/IdServerWebsocketContext.h"

#include <algorithm>
#include <cctype>

namespace ws {

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(uint8_t(x)) == std::tolower(uint8_t(y));
         });
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

TIdServerWSContext::~TIdServerWSContext() {
  if (FOnDestroy) FOnDestroy(this);
}

TIdIOHandlerWebsocket* TIdServerWSContext::IOHandler() const {
  auto* handler = dynamic_cast<TIdIOHandlerWebsocket*>(Connection());
  if (!handler) throw net::EIdException("The connection has no WebSocket IO handler");
  return handler;
}

bool TIdServerWSContext::IsSocketIO() const {
  return StartsWithNoCase(FPath, kSocketIOPrefix);
}

}  // namespace ws
