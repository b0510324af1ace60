// The Socket.IO message dispatcher on arbitrary message texts, one text per line of the input,
// sent to a polling connection of a handling with handlers for every kind of message and two
// outgoing messages waiting for their acknowledgements.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "WS/IdSocketIOHandling.h"

namespace {

std::unique_ptr<ws::TIdBaseSocketIOHandling> MakeHandling() {
  auto handling = std::make_unique<ws::TIdBaseSocketIOHandling>();
  handling->OnEvent("e", [](const ws::ISocketIOContextRef&, const json::TJSONValue& args,
                            const ws::ISocketIOCallbackRef& callback) {
    if (args.Count() > 1) throw std::runtime_error("two");
    if (callback) callback->SendReply(args.AsStringForm());
  });
  handling->SetOnSocketIOMsg([](const ws::ISocketIOContextRef&, const std::string& text,
                                const ws::ISocketIOCallbackRef& callback) {
    if (text == "x") throw std::runtime_error("x");
    if (callback) callback->SendReply(ws::QuotedText(text));
  });
  handling->SetOnSocketIOJson([](const ws::ISocketIOContextRef&, const json::TJSONValue& value,
                                 const ws::ISocketIOCallbackRef& callback) {
    if (callback) callback->SendReply(value.ToJSON());
  });
  return handling;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto handling = MakeHandling();
  handling->ServePollingRequest("{G}", "", nullptr);
  ws::ISocketIOContextRef socket;
  handling->EnumerateSockets([&](const ws::ISocketIOContextRef& s) { socket = s; });
  const auto ignore = [](const std::string&) {};
  const auto ignoreError = [](const ws::ISocketIOContextRef&, const std::string&,
                              const std::string&) {};
  handling->WriteEventMessage(socket, "", "q", "[1]", ignore, ignoreError);  // message 1
  handling->WriteTextMessage(socket, "", "t", ignore, ignoreError);          // message 2

  std::string_view input(reinterpret_cast<const char*>(data), size);
  while (!input.empty()) {
    const size_t end = input.find('\n');
    const std::string_view text = input.substr(0, end);
    input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
    try {
      handling->DispatchSocketIOText(socket, text);
    } catch (const std::exception&) {
      // an unhandled or malformed message ends the connection
    }
  }
  handling->FreeConnection(socket);  // fails what is still waiting
  return 0;
}
