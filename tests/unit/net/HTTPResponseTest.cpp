#include <gtest/gtest.h>

#include <string>

#include "net/IdHTTPResponse.h"

namespace {

using net::TIdHTTPResponseInfo;

constexpr std::time_t kNoon = 1796904000;  // Thu, 10 Dec 2026 12:00:00 GMT

TEST(HTTPResponse, DateIsRFC1123InGMT) {
  EXPECT_EQ(net::FormatHTTPDate(0), "Thu, 01 Jan 1970 00:00:00 GMT");
  EXPECT_EQ(net::FormatHTTPDate(kNoon), "Thu, 10 Dec 2026 12:00:00 GMT");
}

TEST(HTTPResponse, HeadersInTheirOrderWithoutServer) {
  struct {
    const char* name;
    bool head;
    void (*fill)(TIdHTTPResponseInfo&);
    std::string wire;
  } cases[] = {
      {"text without type is ISO-8859-1", false,
       [](TIdHTTPResponseInfo& r) {
         r.ResponseNo = 500;
         r.ResponseText = "Internal Server Error";
         r.SetContentText("caf\xC3\xA9 \xE2\x82\xAC");
       },
       "HTTP/1.1 500 Internal Server Error\r\nConnection: close\r\n"
       "Content-Type: text/html; charset=ISO-8859-1\r\nContent-Length: 6\r\n"
       "Date: Thu, 10 Dec 2026 12:00:00 GMT\r\n\r\ncaf\xE9 ?"},
      {"switching protocols has no body", false,
       [](TIdHTTPResponseInfo& r) {
         r.ResponseNo = 101;
         r.ResponseText = "Switching Protocols";
         r.Connection = "Upgrade";
         r.CloseConnection = false;
         r.SetCustomHeader("Upgrade", "websocket");
         r.SetCustomHeader("Sec-WebSocket-Accept", "x");
       },
       "HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nContent-Length: 0\r\n"
       "Date: Thu, 10 Dec 2026 12:00:00 GMT\r\nUpgrade: websocket\r\n"
       "Sec-WebSocket-Accept: x\r\n\r\n"},
      {"HEAD gets length 0 and no body", true,
       [](TIdHTTPResponseInfo& r) {
         r.ContentType = "text/html; charset=utf-8";
         r.SetContentText("<HTML></HTML>");
       },
       "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/html; charset=utf-8\r\n"
       "Content-Length: 0\r\nDate: Thu, 10 Dec 2026 12:00:00 GMT\r\n\r\n"},
      {"kept connection, empty stream body", false,
       [](TIdHTTPResponseInfo& r) {
         r.CloseConnection = false;
         r.SetContentStream("");
       },
       "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\n"
       "Content-Type: text/html; charset=ISO-8859-1\r\nContent-Length: 0\r\n"
       "Date: Thu, 10 Dec 2026 12:00:00 GMT\r\n\r\n"},
  };
  for (const auto& c : cases) {
    TIdHTTPResponseInfo response(nullptr, c.head);
    c.fill(response);
    EXPECT_EQ(response.Render(kNoon), c.wire) << c.name;
  }
}

}  // namespace
