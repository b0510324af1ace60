#include "net/IdHTTPServer.h"

#include "net/IdException.h"

namespace net {

void TIdHTTPServer::DoExecute(TIdServerContext* context) {
  TIdIOHandlerStack* connection = context->Connection();
  for (;;) {
    TIdHTTPRequestInfo request;
    TIdHTTPReadResult result;
    while ((result = TIdHTTPRequestReader::Parse(connection->InputBuffer(), request)) ==
           TIdHTTPReadResult::hrNeedMore) {
      if (!connection->CheckForDataOnSource()) return;
    }
    switch (result) {
      case TIdHTTPReadResult::hrComplete:
        if (!ServeRequest(context, request)) return;
        break;
      case TIdHTTPReadResult::hrHeadTooLarge:
        WriteRefusal(connection, 431, "Request Header Fields Too Large");
        return;
      case TIdHTTPReadResult::hrBodyTooLarge:
        WriteRefusal(connection, 413, "Payload Too Large");
        return;
      case TIdHTTPReadResult::hrBadContentLength:
        WriteRefusal(connection, 400, "Bad Request");
        return;
      default:
        return;  // a malformed request line gets no answer
    }
  }
}

bool TIdHTTPServer::ServeRequest(TIdServerContext* context, TIdHTTPRequestInfo& request) {
  TIdIOHandlerStack* connection = context->Connection();
  TIdHTTPResponseInfo response(connection, request.Command == "HEAD");
  try {
    if (request.Command == "GET" || request.Command == "HEAD" || request.Command == "POST") {
      DoCommandGet(context, request, response);
    } else {
      DoCommandOther(context, request, response);
    }
  } catch (const EIdSilentException&) {
    return false;
  } catch (const EIdSocketError&) {
    return false;
  } catch (const EIdClosedSocket&) {
    return false;
  } catch (const std::exception& failure) {
    // Once the head is out (an upgraded connection) nothing plain may follow on the stream.
    if (response.HeaderHasBeenWritten() || !connection->Connected()) return false;
    TIdHTTPResponseInfo refusal(connection, request.Command == "HEAD");
    refusal.ResponseNo = 500;
    refusal.ResponseText = "Internal Server Error";
    refusal.SetContentText(failure.what());
    refusal.Write();
    return false;
  }
  if (response.HeaderHasBeenWritten()) return false;
  if (!response.HasContent()) SetDefaultPage(response);
  response.Write();
  return !response.CloseConnection;
}

void TIdHTTPServer::DoCommandGet(TIdServerContext*, TIdHTTPRequestInfo&, TIdHTTPResponseInfo&) {}

void TIdHTTPServer::DoCommandOther(TIdServerContext*, TIdHTTPRequestInfo&, TIdHTTPResponseInfo&) {}

void TIdHTTPServer::SetDefaultPage(TIdHTTPResponseInfo& response) {
  response.ContentType = "text/html; charset=utf-8";
  response.SetContentText("<HTML><BODY><B>" + std::to_string(response.ResponseNo) + " " +
                          response.ResponseText + "</B></BODY></HTML>");
}

void TIdHTTPServer::WriteRefusal(TIdIOHandlerStack* connection, int code,
                                 const std::string& reason) {
  TIdHTTPResponseInfo response(connection);
  response.ResponseNo = code;
  response.ResponseText = reason;
  response.SetContentText(reason);
  response.Write();
}

}  // namespace net
