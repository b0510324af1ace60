#include "WS/IdSocketIOContextAccess.h"

#include "WS/IdIOHandlerWebsocket.h"
#include "WS/IdServerWebsocketContext.h"

namespace ws {

namespace {

class TServerContextAccess : public ISocketIOContextAccess {
 public:
  TIdIOHandlerWebsocket* WebsocketWriter(TIdServerWSContext* aContext) override {
    TIdIOHandlerWebsocket* io = aContext->IOHandler();
    return io->IsWebsocket() ? io : nullptr;
  }
  void WriteText(TIdIOHandlerWebsocket* aWriter, const std::string& aText) override {
    aWriter->Write(aText);
  }
  void Disconnect(TIdServerWSContext* aContext) override { aContext->IOHandler()->Close(); }
  void SetOnDestroy(TIdServerWSContext* aContext,
                    std::function<void(TIdServerWSContext*)> aHook) override {
    aContext->SetOnDestroy(std::move(aHook));
  }
  std::string ResourceName(TIdServerWSContext* aContext) override {
    return aContext->ResourceName();
  }
  std::string PeerIP(TIdServerWSContext* aContext) override { return aContext->PeerIP(); }
  uint16_t PeerPort(TIdServerWSContext* aContext) override { return aContext->PeerPort(); }
};

}  // namespace

std::unique_ptr<ISocketIOContextAccess> MakeServerContextAccess() {
  return std::make_unique<TServerContextAccess>();
}

}  // namespace ws
