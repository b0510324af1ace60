#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>

#include "WS/IdServerWebsocketHandling.h"
#include "WS/IdWebsocketServer.h"
#include "ws/WsPeer.h"

namespace {

using testpeer::TWsPeer;

constexpr const char* kRFCKey = "dGhlIHNhbXBsZSBub25jZQ==";  // RFC 6455, section 1.3

std::string WithoutDate(std::string response) {
  return std::regex_replace(response,
                            std::regex("\r\nDate: [A-Z][a-z]{2}, \\d{2} [A-Z][a-z]{2} \\d{4} "
                                       "\\d{2}:\\d{2}:\\d{2} GMT\r\n"),
                            "\r\nDate: *\r\n");
}

std::string UpgradeRequest(const std::string& method, const std::string& connection,
                           const std::string& key, const std::string& version,
                           const std::string& extra = "") {
  return method + " /chat HTTP/1.1\r\nHost: server.example.com\r\nUpgrade: websocket\r\n" +
         "Connection: " + connection + "\r\nSec-WebSocket-Key: " + key +
         "\r\nSec-WebSocket-Version: " + version + "\r\n" + extra + "\r\n";
}

const std::string kSwitched =
    "HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nContent-Length: 0\r\n"
    "Date: *\r\nUpgrade: websocket\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n";
const std::string kAborted =
    "HTTP/1.1 500 Internal Server Error\r\nConnection: close\r\n"
    "Content-Type: text/html; charset=ISO-8859-1\r\nContent-Length: 17\r\nDate: *\r\n\r\n"
    "Operation aborted";
const std::string kDefaultPage =
    "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/html; charset=utf-8\r\n"
    "Content-Length: 39\r\nDate: *\r\n\r\n<HTML><BODY><B>200 OK</B></BODY></HTML>";

class Handshake : public ::testing::Test {
 protected:
  ws::TIdWebsocketServer Server;
  void SetUp() override {
    Server.SetDefaultPort(0);
    Server.SetActive(true);
  }
  // The response to one request; for a kept connection only its head.
  std::string Exchange(const std::string& request, bool keptOpen) {
    TWsPeer peer("127.0.0.1", Server.BoundPort());
    peer.Send(request);
    return WithoutDate(keptOpen ? peer.ReadUntil("\r\n\r\n") : peer.ReadToEnd());
  }
};

TEST_F(Handshake, RequestsAndTheirExactResponses) {
  const std::string sixteen = "AAAAAAAAAAAAAAAAAAAAAA==";
  const std::string fifteen = "AAAAAAAAAAAAAAAAAAAA";        // 15 bytes
  const std::string seventeen = "AAAAAAAAAAAAAAAAAAAAAAA=";  // 17 bytes
  struct {
    const char* name;
    std::string request;
    bool keptOpen;
    std::string response;
  } cases[] = {
      {"RFC 6455 example", UpgradeRequest("GET", "Upgrade", kRFCKey, "13"), true,
       kSwitched + "\r\n"},
      {"keep-alive, Upgrade", UpgradeRequest("GET", "keep-alive, Upgrade", kRFCKey, "13"), true,
       kSwitched + "\r\n"},
      {"POST upgrade", UpgradeRequest("POST", "upgrade", kRFCKey, "13"), true, kSwitched + "\r\n"},
      {"version 14", UpgradeRequest("GET", "Upgrade", kRFCKey, "14"), true, kSwitched + "\r\n"},
      {"two subprotocols echoed",
       UpgradeRequest("GET", "Upgrade", kRFCKey, "13",
                      "Sec-WebSocket-Protocol: chat, superchat\r\n"),
       true, kSwitched + "Sec-WebSocket-Protocol: chat, superchat\r\n\r\n"},
      {"extensions not confirmed",
       UpgradeRequest("GET", "Upgrade", kRFCKey, "13",
                      "Sec-WebSocket-Extensions: permessage-deflate\r\n"),
       true, kSwitched + "\r\n"},
      {"version 8", UpgradeRequest("GET", "Upgrade", kRFCKey, "8"), false, kAborted},
      {"version not a number", UpgradeRequest("GET", "Upgrade", kRFCKey, "x13"), false, kAborted},
      {"version missing", UpgradeRequest("GET", "Upgrade", kRFCKey, ""), false, kAborted},
      {"15-byte key", UpgradeRequest("GET", "Upgrade", fifteen, "13"), false, kAborted},
      {"17-byte key", UpgradeRequest("GET", "Upgrade", seventeen, "13"), false, kAborted},
      {"key not Base64", UpgradeRequest("GET", "Upgrade", "!!!!AAAAAAAAAAAAAAAAAA==", "13"), false,
       kAborted},
      {"key missing", UpgradeRequest("GET", "Upgrade", "", "13"), false, kAborted},
      {"keep-alive only", UpgradeRequest("GET", "keep-alive", sixteen, "13"), false, kDefaultPage},
      {"PUT upgrade", UpgradeRequest("PUT", "Upgrade", kRFCKey, "13"), false, kDefaultPage},
      {"root page", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", false, kDefaultPage},
      {"HEAD root", "HEAD / HTTP/1.1\r\n\r\n", false,
       "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/html; charset=utf-8\r\n"
       "Content-Length: 0\r\nDate: *\r\n\r\n"},
      {"socket.io without the final slash", "GET /socket.io/1 HTTP/1.1\r\n\r\n", false,
       kDefaultPage},
      {"request line without blanks", "GARBAGE\r\n\r\n", false, ""},
      {"head over 64 KiB", "GET / HTTP/1.1\r\nX-Big: " + std::string(70000, 'a') + "\r\n\r\n",
       false,
       "HTTP/1.1 431 Request Header Fields Too Large\r\nConnection: close\r\n"
       "Content-Type: text/html; charset=ISO-8859-1\r\nContent-Length: 31\r\nDate: *\r\n\r\n"
       "Request Header Fields Too Large"},
      {"body over 1 MiB", "POST / HTTP/1.1\r\nContent-Length: 2000000\r\n\r\n", false,
       "HTTP/1.1 413 Payload Too Large\r\nConnection: close\r\n"
       "Content-Type: text/html; charset=ISO-8859-1\r\nContent-Length: 17\r\nDate: *\r\n\r\n"
       "Payload Too Large"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Exchange(c.request, c.keptOpen), c.response) << c.name;
  }
}

// The refusal reaches a peer that is still sending the refused body.
TEST_F(Handshake, ARefusedBodyStillGetsItsResponse) {
  TWsPeer peer("127.0.0.1", Server.BoundPort());
  std::thread sender([&] {
    try {
      peer.Send("POST / HTTP/1.1\r\nContent-Length: 3000000\r\n\r\n" + std::string(3000000, 'b'));
    } catch (const net::EIdException&) {
      // the server may stop reading before all of it is sent
    }
  });
  std::string response = peer.ReadUntil("Payload Too Large\r\n");
  sender.join();
  EXPECT_EQ(response.rfind("HTTP/1.1 413 Payload Too Large\r\n", 0), 0u) << response;
}

TEST_F(Handshake, SocketIOHandshakeGivesFreshSessionsOnAKeptConnection) {
  TWsPeer peer("127.0.0.1", Server.BoundPort());
  std::regex sessionLine(
      "\\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\}"
      ":15:10:websocket,xhr-polling");
  std::string ids[2];
  int i = 0;
  for (const char* path : {"/socket.io/1/?t=1234", "/SOCKET.IO/1/"}) {
    peer.Send(std::string("GET ") + path + " HTTP/1.1\r\n\r\n");
    EXPECT_EQ(WithoutDate(peer.ReadUntil("\r\n\r\n")),
              "HTTP/1.1 200 Socket.io connect OK\r\nConnection: keep-alive\r\n"
              "Content-Type: text/html; charset=ISO-8859-1\r\nContent-Length: 66\r\n"
              "Date: *\r\n\r\n")
        << path;
    ids[i] = peer.Read(66);
    EXPECT_TRUE(std::regex_match(ids[i], sessionLine)) << ids[i];
    ++i;
  }
  EXPECT_NE(ids[0], ids[1]);
  EXPECT_FALSE(peer.WaitClosed(100));
}

TEST_F(Handshake, UpgradeFillsTheContext) {
  TWsPeer peer("127.0.0.1", Server.BoundPort());
  ASSERT_NE(peer.Upgrade("/room%201/x?a=1&b=%20",
                         "Origin: http://127.0.0.1\r\nCookie: c=1\r\n"
                         "Sec-WebSocket-Protocol: chat\r\nSec-WebSocket-Extensions: x-ext\r\n"),
            "");
  ASSERT_TRUE(testpeer::WaitFor([&] {
    std::lock_guard<std::mutex> guard(Server.ContextsLock());
    return Server.Contexts().size() == 1 &&
           static_cast<ws::TIdServerWSContext*>(Server.Contexts().front())
               ->IOHandler()
               ->IsWebsocket();
  }));
  std::lock_guard<std::mutex> guard(Server.ContextsLock());
  ASSERT_EQ(Server.Contexts().size(), 1u);
  auto* context = static_cast<ws::TIdServerWSContext*>(Server.Contexts().front());
  EXPECT_EQ(context->Path(), "/room 1/x");
  EXPECT_EQ(context->Query(), "a=1&b=%20");
  EXPECT_EQ(context->ResourceName(), "/room 1/x?a=1&b=%20");
  EXPECT_EQ(context->Host(), "127.0.0.1");
  EXPECT_EQ(context->Origin(), "http://127.0.0.1");
  EXPECT_EQ(context->Cookie(), "c=1");
  EXPECT_EQ(context->WebSocketKey(), kRFCKey);
  EXPECT_EQ(context->WebSocketVersion(), 13);
  EXPECT_EQ(context->WebSocketProtocol(), "chat");
  EXPECT_EQ(context->WebSocketExtensions(), "x-ext");
  EXPECT_EQ(context->PeerIP(), "127.0.0.1");
  EXPECT_FALSE(context->IsSocketIO());
}

TEST(HandshakeAccept, KeyIsTrimmedBeforeHashing) {
  EXPECT_EQ(ws::TIdServerWebsocketHandling::AcceptKey(kRFCKey), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  EXPECT_EQ(ws::TIdServerWebsocketHandling::AcceptKey(std::string(" \t") + kRFCKey + "\x01 "),
            "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

}  // namespace
