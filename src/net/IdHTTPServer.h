#pragma once

#include <atomic>
#include <chrono>

#include "net/IdHTTPRequest.h"
#include "net/IdHTTPResponse.h"
#include "net/IdTCPServer.h"

namespace net {

// An HTTP/1.1 server: reads requests on each connection, hands HEAD, GET and POST to
// DoCommandGet and every other method to DoCommandOther, and writes the response. Keep-alive
// is off: the connection ends after each response unless the handler keeps it.
class TIdHTTPServer : public TIdTCPServer {
 public:
  static constexpr const char* kAbortText = "Operation aborted";
  static constexpr int kDefaultRequestTimeout = 30000;

  // How long a connection may take to deliver a whole request (head and body), counted from
  // when the server starts waiting for it; a connection that takes longer is closed, so that
  // idle or trickling peers cannot hold their threads for ever.
  void SetRequestTimeout(int milliseconds) { FRequestTimeout = milliseconds; }
  int RequestTimeout() const { return FRequestTimeout; }

 protected:
  void DoExecute(TIdServerContext* context) override;

  // Fill the response; one left without content gets the default page.
  virtual void DoCommandGet(TIdServerContext* context, TIdHTTPRequestInfo& request,
                            TIdHTTPResponseInfo& response);
  virtual void DoCommandOther(TIdServerContext* context, TIdHTTPRequestInfo& request,
                              TIdHTTPResponseInfo& response);

 private:
  std::atomic<int> FRequestTimeout{kDefaultRequestTimeout};

  // False when the deadline passed before more bytes came, or the peer closed.
  static bool ReceiveMore(TIdIOHandlerStack* connection,
                          std::chrono::steady_clock::time_point deadline);
  // False when the connection is to end.
  bool ServeRequest(TIdServerContext* context, TIdHTTPRequestInfo& request);
  static void SetDefaultPage(TIdHTTPResponseInfo& response);
  static void WriteRefusal(TIdIOHandlerStack* connection, int code, const std::string& reason);
};

}  // namespace net
