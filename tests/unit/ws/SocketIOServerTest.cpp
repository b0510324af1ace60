// The Socket.IO layer inside the real WebSocket server, seen from raw peers on loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "WS/IdWebsocketServer.h"
#include "ws/WsPeer.h"

namespace ws {
namespace {

using json::TJSONValue;
using testpeer::TWsPeer;

bool WaitUntil(const std::function<bool()>& condition, int milliseconds = 3000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

class SocketIOServerTest : public testing::Test {
 protected:
  void SetUp() override {
    TIdServerSocketIOHandling_Ext& io = *server.SocketIO();
    io.OnConnection([this](const ISocketIOContextRef&) { ++connects; });
    io.OnDisconnect([this](const ISocketIOContextRef&) { ++disconnects; });
    io.OnEvent("echo", [](const ISocketIOContextRef&, const TJSONValue& args,
                          const ISocketIOCallbackRef& handle) {
      if (handle) handle->SendReply(args.Element(0).ToJSON());
    });
    io.OnEvent("fail", [](const ISocketIOContextRef&, const TJSONValue&,
                          const ISocketIOCallbackRef&) { throw std::runtime_error("bad/worse"); });
    server.SetDefaultPort(0);
    server.SetActive(true);
  }

  // The next text frame, skipping the server's pings; "<close>" or "<none>" otherwise.
  static std::string NextText(TWsPeer& peer, int milliseconds = 3000) {
    for (;;) {
      const testpeer::TServerFrame frame = peer.ReadFrame(milliseconds);
      if (!frame.Valid) return "<none>";
      if (frame.Opcode() == 0x1) return frame.Payload;
      if (frame.Opcode() == 0x8) return "<close>";
    }
  }

  TIdWebsocketServer server;
  std::atomic<int> connects{0}, disconnects{0}, errors{0};
};

TEST_F(SocketIOServerTest, WebsocketSessionOverTheWire) {
  TWsPeer peer("127.0.0.1", server.BoundPort());
  ASSERT_NE(peer.Upgrade("/socket.io/1/websocket/{ABC}").find(" 101 "), std::string::npos);
  EXPECT_EQ(NextText(peer), "1::");
  EXPECT_TRUE(WaitUntil([&] { return connects == 1; }));  // notifiers run after the "1::"

  peer.SendText(R"(5:7+::{"name":"fail","args":[]})");
  EXPECT_EQ(NextText(peer), R"(6:::7+[{"Error":{"msg":"bad\/worse"}}])");
  // A disconnect for a namespace leaves the connection open; a heartbeat is echoed.
  peer.SendText("0::/chat");
  peer.SendText("2::");
  EXPECT_EQ(NextText(peer), "2::");
  // The plain broadcast skips it: the next text is the acknowledgement.
  server.SendMessageToAll("plain");
  peer.SendText(R"(5:8+::{"name":"echo","args":["x"]})");
  EXPECT_EQ(NextText(peer), R"(6:::8+["x"])");

  // A server emit waiting for its acknowledgement fails when the peer disconnects.
  std::string failure;
  EXPECT_EQ(server.SocketIO()->EmitEventToAll(
                "q", std::string("1"), [](auto&&...) {},
                [&](const ISocketIOContextRef&, const std::string& cls, const std::string& msg) {
                  failure = cls + ": " + msg;
                  ++errors;
                }),
            1);
  EXPECT_EQ(NextText(peer), R"(5:1+::{"name":"q", "args":[1]})");
  peer.SendText("0::");
  EXPECT_TRUE(peer.WaitClosed());
  EXPECT_TRUE(WaitUntil([&] { return errors == 1; }));
  EXPECT_EQ(failure, "ESocketIODisconnect: Connection disconnected");
  EXPECT_TRUE(WaitUntil([&] { return disconnects == 1; }));
  EXPECT_EQ(server.SocketIO()->ConnectionCount(), 0);
}

TEST_F(SocketIOServerTest, HandshakeConnectionIsRegisteredUntilItsContextGoes) {
  {
    testpeer::TLoopbackPeer http("127.0.0.1", server.BoundPort());
    http.Send("GET /socket.io/1/?t=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    const std::string head = http.ReadUntil("\r\n\r\n");
    ASSERT_NE(head.find("200 Socket.io connect OK"), std::string::npos);
    EXPECT_EQ(http.Read(66).substr(38), ":15:10:websocket,xhr-polling");
    EXPECT_TRUE(WaitUntil([&] { return server.SocketIO()->ConnectionCount() == 1; }));
    // Counted by a broadcast, but nothing is framed onto an HTTP connection.
    EXPECT_EQ(
        server.SocketIO()->EmitEventToAll(
            "e", std::string("1"), [](auto&&...) {},
            [&](const ISocketIOContextRef&, const std::string&, const std::string&) { ++errors; }),
        1);
    EXPECT_EQ(http.Read(1, 300), "");
  }
  // The peer is gone: its context goes, and with it the connection and its waiting emit.
  EXPECT_TRUE(WaitUntil([&] { return server.SocketIO()->ConnectionCount() == 0; }));
  EXPECT_TRUE(WaitUntil([&] { return errors == 1; }));
  EXPECT_EQ(connects, 0);
}

TEST_F(SocketIOServerTest, MessageNobodyServesEndsTheConnection) {
  TWsPeer peer("127.0.0.1", server.BoundPort());
  ASSERT_NE(peer.Upgrade("/SOCKET.IO/1/websocket/x").find(" 101 "), std::string::npos);
  EXPECT_EQ(NextText(peer), "1::");
  peer.SendText("3:::no text handler here");
  EXPECT_TRUE(peer.WaitClosed());
  EXPECT_TRUE(WaitUntil([&] { return disconnects == 1; }));
  EXPECT_TRUE(WaitUntil([&] { return server.SocketIO()->ConnectionCount() == 0; }));
}

}  // namespace
}  // namespace ws
