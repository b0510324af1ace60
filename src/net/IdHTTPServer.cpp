#include "net/IdHTTPServer.h"

#include <chrono>

#include "net/IdException.h"

namespace net {
namespace {

constexpr auto kRefusalLinger = std::chrono::seconds(2);
constexpr int kRefusalWaitMs = 500;

}  // namespace

void TIdHTTPServer::DoExecute(TIdServerContext* context) {
  TIdIOHandlerStack* connection = context->Connection();
  for (;;) {
    TIdHTTPRequestInfo request;
    TIdHTTPReadResult result;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(FRequestTimeout.load());
    while ((result = TIdHTTPRequestReader::Parse(connection->InputBuffer(), request)) ==
           TIdHTTPReadResult::hrNeedMore) {
      if (!ReceiveMore(connection, deadline)) return;
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

bool TIdHTTPServer::ReceiveMore(TIdIOHandlerStack* connection,
                                std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  // The socket itself is asked: bytes already buffered are a request still incomplete.
  if (left.count() <= 0 || !connection->Socket().WaitReadable(int(left.count()))) return false;
  return connection->CheckForDataOnSource();
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
  // The peer may still be sending what was refused. Closing with unread input would reset the
  // connection and could destroy the response before the peer has read it, so the rest is
  // read and dropped for a short while first.
  TIdSocket& socket = connection->Socket();
  socket.ShutdownSend();
  auto deadline = std::chrono::steady_clock::now() + kRefusalLinger;
  char discard[4096];
  while (std::chrono::steady_clock::now() < deadline && socket.WaitReadable(kRefusalWaitMs)) {
    if (socket.Recv(discard, int(sizeof discard)) <= 0) break;
  }
}

}  // namespace net
