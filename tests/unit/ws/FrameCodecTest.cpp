#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "WS/IdIOHandlerWebsocket.h"
#include "ws/WsPeer.h"

namespace {

using testpeer::MaskedFrame;
using testpeer::TServerFrame;
using testpeer::TWsPeer;
using ws::TIdIOHandlerWebsocket;
using ws::TWSDataCode;
using ws::TWSDataType;

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out += char(v);
  return out;
}

// The codec on the accepted end of a loopback connection, with a raw client on the other.
class CodecPair : public ::testing::Test {
 protected:
  net::TIdSocket FListener = net::TIdSocket::Listen(false, 0, 1);
  TWsPeer Client{"127.0.0.1", FListener.LocalPort()};
  TIdIOHandlerWebsocket Server{FListener.Accept()};

  void SetUp() override {
    Server.SetIsServerSide(true);
    Server.SetIsWebsocket(true);
  }
  // One message record as the message loop reads it.
  std::pair<uint32_t, std::string> ReadRecord() {
    uint32_t code = Server.ReadUInt32();
    uint32_t length = Server.ReadUInt32();
    std::string payload;
    Server.ReadBytes(payload, length, false);
    return {code, payload};
  }
};

TEST_F(CodecPair, FramesInRecordsOut) {
  struct {
    const char* name;
    std::string wire;
    uint32_t code;
    std::string payload;
    std::string reply;  // what the codec answers on its own
  } cases[] = {
      {"RFC 6455 masked Hello",
       Bytes({0x81, 0x85, 0x37, 0xfa, 0x21, 0x3d, 0x7f, 0x9f, 0x4d, 0x51, 0x58}), 2, "Hello", ""},
      {"STATUS", MaskedFrame(0x81, "STATUS"), 2, "STATUS", ""},
      {"three fragments",
       MaskedFrame(0x01, "ST") + MaskedFrame(0x00, "AT") + MaskedFrame(0x80, "US"), 2, "STATUS",
       ""},
      {"empty text", MaskedFrame(0x81, ""), 2, "", ""},
      {"binary", MaskedFrame(0x82, Bytes({0, 1, 2})), 3, Bytes({0, 1, 2}), ""},
      {"ping ab", MaskedFrame(0x89, "ab"), 5, "\x05", Bytes({0x8A, 0x02, 'a', 'b'})},
      {"empty pong", MaskedFrame(0x8A, ""), 6, "\x06", ""},
      {"16-bit length", MaskedFrame(0x81, std::string(300, 'x')), 2, std::string(300, 'x'), ""},
      {"64-bit length", MaskedFrame(0x82, std::string(70000, 'y')), 3, std::string(70000, 'y'), ""},
  };
  for (const auto& c : cases) {
    Client.Send(c.wire);
    auto [code, payload] = ReadRecord();
    EXPECT_EQ(code, c.code) << c.name;
    EXPECT_EQ(payload, c.payload) << c.name;
    if (!c.reply.empty()) {
      EXPECT_EQ(Client.Read(c.reply.size()), c.reply) << c.name;
    }
  }
  EXPECT_EQ(Client.Read(1, 50), "") << "nothing else was written";
  EXPECT_TRUE(Server.Connected());
}

TEST_F(CodecPair, TwoMessagesInOneSegmentAreTwoRecords) {
  Client.Send(MaskedFrame(0x81, "one") + MaskedFrame(0x81, "two"));
  EXPECT_EQ(ReadRecord().second, "one");
  EXPECT_TRUE(Server.HasData());
  EXPECT_EQ(ReadRecord().second, "two");
}

TEST(FrameCodec, ProtocolErrorsEndTheConnection) {
  struct {
    const char* name;
    std::string wire;
    std::string className;
    std::string message;  // prefix
  } cases[] = {
      {"unmasked", Bytes({0x81, 0x02, 'h', 'i'}), "EIdWebSocketHandleError",
       "No mask supplied: mask is required for clients when sending data to server. Buffer = "},
      {"opcode 3", Bytes({0x83, 0x80, 0, 0, 0, 0}), "EIdException",
       "Unsupported data code: 3. Buffer = "},
      {"text inside fragments", MaskedFrame(0x01, "a") + MaskedFrame(0x81, "b"),
       "EIdWebSocketHandleError",
       "Invalid frame: specified data code only allowed for the first frame. Data = b"},
      {"stray continuation", MaskedFrame(0x80, "c"), "EIdWebSocketHandleError",
       "Invalid frame continuation. Data = c"},
      {"continuation after a ping ended the message",
       MaskedFrame(0x01, "a") + MaskedFrame(0x89, "") + MaskedFrame(0x80, "b"),
       "EIdWebSocketHandleError", "Invalid frame continuation. Data = b"},
      {"64-bit length 0", Bytes({0x81, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4}),
       "EIdAssertionFailed", "Assertion failure"},
      {"64-bit length top bit", Bytes({0x81, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 5, 1, 2, 3, 4}),
       "EIdAssertionFailed", "Assertion failure"},
  };
  for (const auto& c : cases) {
    net::TIdSocket listener = net::TIdSocket::Listen(false, 0, 1);
    TWsPeer client("127.0.0.1", listener.LocalPort());
    TIdIOHandlerWebsocket server(listener.Accept());
    server.SetIsServerSide(true);
    server.SetIsWebsocket(true);
    client.Send(c.wire);
    try {
      for (int i = 0; i < 3; ++i) {
        uint32_t code = server.ReadUInt32();
        std::string payload;
        server.ReadBytes(payload, server.ReadUInt32(), false);
        if (code != uint32_t(TWSDataCode::wdcPing)) break;
      }
      ADD_FAILURE() << c.name << ": no failure";
    } catch (const net::EIdException& failure) {
      EXPECT_EQ(failure.ClassName(), c.className) << c.name;
      EXPECT_EQ(std::string(failure.what()).substr(0, c.message.size()), c.message) << c.name;
    }
    EXPECT_FALSE(server.Connected()) << c.name;
  }
}

// A length past the cap is refused before its payload is awaited or allocated.
TEST_F(CodecPair, OversizedFrameIsAnsweredWith1009) {
  Client.Send(Bytes({0x82, 0xFF, 0, 0, 0, 0, 0x01, 0, 0, 1, 1, 2, 3, 4}));
  EXPECT_THROW(ReadRecord(), ws::EIdWebSocketMessageTooBig);
  EXPECT_EQ(Client.Read(4), Bytes({0x88, 0x02, 0x03, 0xF1}));
  EXPECT_FALSE(Server.Connected());
}

TEST_F(CodecPair, OversizedMessageIsAnsweredWith1009) {
  std::string first =
      MaskedFrame(0x02, std::string(ws::TIdWebsocketFrameCodec::kMaxMessageSize, 'z'));
  std::thread sender([&] { Client.Send(first + MaskedFrame(0x80, "!")); });
  EXPECT_THROW(ReadRecord(), ws::EIdWebSocketMessageTooBig);
  sender.join();
  EXPECT_EQ(Client.Read(4), Bytes({0x88, 0x02, 0x03, 0xF1}));
}

TEST_F(CodecPair, PeerCloseIsAnsweredAndEndsWithoutARecord) {
  Client.SendFrame(0x88, Bytes({0x03, 0xE9}) + "going");
  EXPECT_THROW(ReadRecord(), net::EIdConnClosedGracefully);
  EXPECT_EQ(Server.CloseCode(), 1001);
  EXPECT_EQ(Server.CloseReason(), "going");
  EXPECT_EQ(Client.Read(4), Bytes({0x88, 0x02, 0x03, 0xE8}));
  EXPECT_TRUE(Client.WaitClosed());
}

// This side starts the close: its code and reason go out, the peer's answer is awaited.
TEST_F(CodecPair, CloseSendsCodeAndReasonAndWaitsForTheAnswer) {
  Server.SetCloseCode(1001);
  Server.SetCloseReason("bye");
  std::thread closer([&] { Server.Close(); });
  EXPECT_EQ(Client.Read(7), Bytes({0x88, 0x05, 0x03, 0xE9, 'b', 'y', 'e'}));
  Client.SendFrame(0x88, Bytes({0x03, 0xE8}));
  closer.join();
  EXPECT_TRUE(Client.WaitClosed());
  EXPECT_FALSE(Server.IsWebsocket());
  Server.Close();  // a second close writes nothing more
}

TEST_F(CodecPair, WritesInBytesOut) {
  struct {
    const char* name;
    void (*write)(TIdIOHandlerWebsocket&);
    std::string wire;
  } cases[] = {
      {"reply text", [](TIdIOHandlerWebsocket& s) { s.Write(std::string("STATUS:1")); },
       Bytes({0x81, 0x08}) + "STATUS:1"},
      {"126 bytes", [](TIdIOHandlerWebsocket& s) { s.Write(std::string(126, 'a')); },
       Bytes({0x81, 0x7E, 0x00, 0x7E}) + std::string(126, 'a')},
      {"70000 bytes", [](TIdIOHandlerWebsocket& s) { s.Write(std::string(70000, 'b')); },
       Bytes({0x81, 0x7F, 0, 0, 0, 0, 0, 0x01, 0x11, 0x70}) + std::string(70000, 'b')},
      {"40000-byte stream as text",
       [](TIdIOHandlerWebsocket& s) {
         std::istringstream stream(std::string(40000, 'c'));
         s.Write(stream, TWSDataType::wdtText);
       },
       Bytes({0x01, 0x7E, 0x80, 0x00}) + std::string(32768, 'c') + Bytes({0x80, 0x7E, 0x1C, 0x40}) +
           std::string(7232, 'c')},
      {"empty binary stream",
       [](TIdIOHandlerWebsocket& s) { s.Write(std::string(), TWSDataType::wdtBinary); },
       Bytes({0x82, 0x00})},
      {"empty ping", [](TIdIOHandlerWebsocket& s) { s.WriteData("", TWSDataCode::wdcPing); },
       Bytes({0x89, 0x00})},
      {"fragment with RSV3",
       [](TIdIOHandlerWebsocket& s) {
         s.WriteData("x", TWSDataCode::wdcBinary, false, false, false, true);
       },
       Bytes({0x12, 0x01, 'x'})},
  };
  for (const auto& c : cases) {
    c.write(Server);
    EXPECT_EQ(Client.Read(c.wire.size()), c.wire) << c.name;
  }
  EXPECT_THROW(Server.WriteData("", TWSDataCode::wdcNone), net::EIdException);
}

TEST_F(CodecPair, ReservedBitsOfTheLastFrameReceivedAreWrittenBack) {
  Client.SendFrame(0xC1, "compressed?");
  ReadRecord();
  EXPECT_TRUE(Server.ClientExtensionBits()[size_t(ws::TWSExtensionBit::webBit1)]);
  Server.Write(std::string("x"));
  EXPECT_EQ(Client.Read(3), Bytes({0xC1, 0x01, 'x'}));
}

TEST_F(CodecPair, BytesAlreadyReceivedWhenSwitchingAreReadAsFrames) {
  Server.Clear();
  Server.InputBuffer() = MaskedFrame(0x81, "early");
  Server.SetIsWebsocket(true);
  EXPECT_EQ(ReadRecord().second, "early");
}

TEST_F(CodecPair, ClientRoleMasksAndRefusesMaskedFrames) {
  Server.SetIsServerSide(false);
  Server.Write(std::string("abc"));
  std::string wire = Client.Read(9);
  ASSERT_EQ(wire.size(), 9u);
  EXPECT_EQ(uint8_t(wire[1]), 0x83);
  std::string unmasked;
  for (int i = 0; i < 3; ++i) unmasked += char(wire[6 + i] ^ wire[2 + i]);
  EXPECT_EQ(unmasked, "abc");

  Client.SendText("masked");
  try {
    ReadRecord();
    FAIL() << "a masked frame was accepted in the client role";
  } catch (const ws::EIdWebSocketHandleError& failure) {
    EXPECT_EQ(std::string(failure.what()).rfind("Mask supplied but mask is not allowed", 0), 0u);
  }
}

// The parser alone: whole frames only, whatever the cut.
TEST(FrameCodec, ParserWaitsForTheWholeFrame) {
  std::string wire = MaskedFrame(0x81, std::string(200, 'q'));
  ws::TWSFrame frame;
  for (size_t cut = 0; cut < wire.size(); ++cut) {
    ASSERT_EQ(
        ws::TIdWebsocketFrameCodec::ParseFrame(std::string_view(wire).substr(0, cut), true, frame),
        0u)
        << cut;
  }
  EXPECT_EQ(ws::TIdWebsocketFrameCodec::ParseFrame(wire + "rest", true, frame), wire.size());
  EXPECT_EQ(frame.Payload, std::string(200, 'q'));
  EXPECT_TRUE(frame.FIN);
}

TEST(FrameCodec, BytesToPrintable) {
  EXPECT_EQ(ws::BytesToPrintable(Bytes({'a', 1, ' ', 'b', 0x7F, 0xA0, 0xA1, 0, 'z'})),
            "a#1#32b#127#160\xA1");
}

}  // namespace

namespace {

// Arbitrary bytes, many of them close to real headers: the parser takes whole frames only,
// never reads past the buffer, and refuses with the layer's own failures.
TEST(FrameCodec, ArbitraryBytesNeverBreakTheParser) {
  std::mt19937 random(20261210);
  for (int round = 0; round < 20000; ++round) {
    std::string bytes(random() % 40, '\0');
    for (char& b : bytes) b = char(random());
    if (bytes.size() > 1 && random() % 2) bytes[1] = char(uint8_t(bytes[1]) | 0x80);
    if (!bytes.empty() && random() % 2) bytes[0] = char((uint8_t(bytes[0]) & 0xF0) | 0x01);
    ws::TWSFrame frame;
    try {
      size_t used = ws::TIdWebsocketFrameCodec::ParseFrame(bytes, round % 3 != 0, frame);
      ASSERT_LE(used, bytes.size());
      if (used > 0) {
        ASSERT_LE(frame.Payload.size(), used);
      }
    } catch (const net::EIdException&) {
    }
  }
}

}  // namespace
