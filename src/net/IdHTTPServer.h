#pragma once

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

 protected:
  void DoExecute(TIdServerContext* context) override;

  // Fill the response; one left without content gets the default page.
  virtual void DoCommandGet(TIdServerContext* context, TIdHTTPRequestInfo& request,
                            TIdHTTPResponseInfo& response);
  virtual void DoCommandOther(TIdServerContext* context, TIdHTTPRequestInfo& request,
                              TIdHTTPResponseInfo& response);

 private:
  // False when the connection is to end.
  bool ServeRequest(TIdServerContext* context, TIdHTTPRequestInfo& request);
  static void SetDefaultPage(TIdHTTPResponseInfo& response);
  static void WriteRefusal(TIdIOHandlerStack* connection, int code, const std::string& reason);
};

}  // namespace net
