#include <gtest/gtest.h>

#include <random>
#include <string>

#include "net/IdHTTPRequest.h"

namespace {

using net::TIdHTTPReadResult;
using net::TIdHTTPRequestInfo;
using net::TIdHTTPRequestReader;

TEST(HTTPRequestReader, TakesTheRequestApart) {
  std::string buffer =
      "GET /socket.io/1/%7Bab%20c%7D?t=1&x=%20 HTTP/1.1\r\n"
      "Host: 127.0.0.1:8085\r\n"
      "SEC-WebSocket-Key:   dGhlIHNhbXBsZSBub25jZQ==  \r\n"
      "X-Folded: one\r\n"
      "  two\r\n"
      "\r\n";
  TIdHTTPRequestInfo request;
  ASSERT_EQ(TIdHTTPRequestReader::Parse(buffer, request), TIdHTTPReadResult::hrComplete);
  EXPECT_EQ(request.Command, "GET");
  EXPECT_EQ(request.Version, "HTTP/1.1");
  EXPECT_EQ(request.Document, "/socket.io/1/{ab c}");
  EXPECT_EQ(request.QueryParams, "t=1&x=%20");
  EXPECT_EQ(request.Header("sec-websocket-key"), "dGhlIHNhbXBsZSBub25jZQ==");
  EXPECT_EQ(request.Header("HOST"), "127.0.0.1:8085");
  EXPECT_EQ(request.Header("x-folded"), "one two");
  EXPECT_EQ(request.Header("absent"), "");
  EXPECT_TRUE(buffer.empty());
}

// Bytes arrive one at a time; the reader asks for more until the body is whole, and a second
// request behind it stays in the buffer.
TEST(HTTPRequestReader, WaitsForTheWholeBodyAndLeavesTheNextRequest) {
  std::string wire =
      "POST /p HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello"
      "GET /next HTTP/1.1\r\n\r\n";
  std::string buffer;
  TIdHTTPRequestInfo request;
  size_t fed = 0;
  TIdHTTPReadResult result = TIdHTTPReadResult::hrNeedMore;
  while (result == TIdHTTPReadResult::hrNeedMore) {
    ASSERT_LT(fed, wire.size());
    buffer += wire[fed++];
    result = TIdHTTPRequestReader::Parse(buffer, request);
  }
  ASSERT_EQ(result, TIdHTTPReadResult::hrComplete);
  EXPECT_EQ(request.Body, "hello");
  buffer += wire.substr(fed);
  ASSERT_EQ(TIdHTTPRequestReader::Parse(buffer, request), TIdHTTPReadResult::hrComplete);
  EXPECT_EQ(request.Document, "/next");
  EXPECT_EQ(request.Body, "");
}

TEST(HTTPRequestReader, RefusesMalformedAndOversizedRequests) {
  struct {
    const char* name;
    std::string wire;
    TIdHTTPReadResult result;
  } cases[] = {
      {"no blank in request line", "GARBAGE\r\n\r\n", TIdHTTPReadResult::hrBadRequestLine},
      {"no blank, head unfinished", "GARBAGE\r\n", TIdHTTPReadResult::hrBadRequestLine},
      {"head over 64 KiB",
       "GET / HTTP/1.1\r\nX: " + std::string(net::TIdHTTPRequestReader::kMaxHeadSize, 'a'),
       TIdHTTPReadResult::hrHeadTooLarge},
      {"body over 1 MiB", "POST / HTTP/1.1\r\nContent-Length: 1048577\r\n\r\n",
       TIdHTTPReadResult::hrBodyTooLarge},
      {"huge length", "POST / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n",
       TIdHTTPReadResult::hrBadContentLength},
      {"negative length", "POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n",
       TIdHTTPReadResult::hrBadContentLength},
      {"body of exactly 1 MiB still pending", "POST / HTTP/1.1\r\nContent-Length: 1048576\r\n\r\n",
       TIdHTTPReadResult::hrNeedMore},
  };
  for (auto& c : cases) {
    TIdHTTPRequestInfo request;
    EXPECT_EQ(TIdHTTPRequestReader::Parse(c.wire, request), c.result) << c.name;
  }
}

TEST(HTTPRequestReader, DecodesEscapesAndKeepsMalformedOnes) {
  EXPECT_EQ(net::URLDecode("/a%20b%2Fc%zz%4"), "/a b/c%zz%4");
  EXPECT_EQ(net::URLDecode("/%"), "/%");
}

}  // namespace

namespace {

// A real request cut and spoiled at random: the reader never throws, never takes more than the
// buffer holds, and a complete result always leaves the buffer shorter.
TEST(HTTPRequestReader, SpoiledRequestsNeverBreakTheReader) {
  const std::string good =
      "POST /socket.io/1/xhr-polling/%41?t=1 HTTP/1.1\r\nHost: h\r\nContent-Length: 4\r\n"
      "Connection: keep-alive\r\n\r\nbody";
  std::mt19937 random(4648);
  for (int round = 0; round < 20000; ++round) {
    std::string buffer = good.substr(0, random() % (good.size() + 1));
    for (int spoil = int(random() % 4); spoil > 0 && !buffer.empty(); --spoil) {
      buffer[random() % buffer.size()] = char(random());
    }
    size_t before = buffer.size();
    TIdHTTPRequestInfo request;
    TIdHTTPReadResult result = TIdHTTPRequestReader::Parse(buffer, request);
    ASSERT_LE(buffer.size(), before);
    if (result == TIdHTTPReadResult::hrComplete) {
      ASSERT_LT(buffer.size(), before);
    }
  }
}

}  // namespace
