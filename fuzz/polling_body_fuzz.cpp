// The XHR-polling POST body on arbitrary bytes: plain or framed (U+FFFD, length, U+FFFD,
// message; repeated), handed to a polling connection as a POST would be.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "WS/IdSocketIOHandling.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ws::TIdBaseSocketIOHandling handling;
  handling.OnEvent("e", [](const ws::ISocketIOContextRef&, const json::TJSONValue&,
                           const ws::ISocketIOCallbackRef& callback) {
    if (callback) callback->SendReply("1");
  });
  handling.SetOnSocketIOMsg(
      [](const ws::ISocketIOContextRef&, const std::string&, const ws::ISocketIOCallbackRef&) {});
  const std::string body(reinterpret_cast<const char*>(data), size);
  try {
    handling.ServePollingRequest("{G}", body, nullptr);
  } catch (const std::exception&) {
    // the request fails; the connection stays
  }
  return 0;
}
