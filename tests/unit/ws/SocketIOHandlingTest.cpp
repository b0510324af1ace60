#include "WS/IdSocketIOHandling.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <stdexcept>
#include <thread>
#include <type_traits>

namespace ws {
namespace {

using json::TJSONValue;
using testing::ElementsAre;
using testing::IsEmpty;

// Takes every message queued for a polling connection.
std::vector<std::string> Drain(const ISocketIOContextRef& socket) {
  auto* impl = dynamic_cast<TSocketIOContext*>(socket.get());
  std::vector<std::string> texts;
  for (std::string t = impl->WaitForQueue(0); !t.empty(); t = impl->WaitForQueue(0))
    texts.push_back(t);
  return texts;
}

// The polling connection of a GUID, found without touching its state.
ISocketIOContextRef Find(TIdBaseSocketIOHandling& h, const std::string& guid) {
  ISocketIOContextRef found;
  h.EnumerateSockets([&](const ISocketIOContextRef& s) {
    if (dynamic_cast<TSocketIOContext&>(*s).GUID() == guid) found = s;
  });
  return found;
}

// A polling connection that has been announced; its "1::" is already taken.
struct TPolled {
  explicit TPolled(TIdBaseSocketIOHandling& h, const std::string& guid = "{G}") : handling(h) {
    h.ServePollingRequest(guid, "", nullptr);
    socket = Find(h, guid);
    Drain(socket);
  }
  std::vector<std::string> Post(const std::string& body) {
    handling.DispatchSocketIOText(socket, body);
    return Drain(socket);
  }
  TIdBaseSocketIOHandling& handling;
  ISocketIOContextRef socket;
};

// The network side of WebSocket connections, for the parts of the layer that reach it.
class TFakeContexts : public ISocketIOContextAccess {
 public:
  struct TConn {
    bool websocket = true;
    int disconnects = 0;
    std::vector<std::string> written;
    std::function<void(TIdServerWSContext*)> onDestroy;
  };
  TIdServerWSContext* Add(bool websocket = true) {
    auto conn = std::make_unique<TConn>();
    conn->websocket = websocket;
    auto* key = reinterpret_cast<TIdServerWSContext*>(conn.get());
    FConns[key] = std::move(conn);
    return key;
  }
  TConn& Of(TIdServerWSContext* c) { return *FConns.at(c); }
  void Destroy(TIdServerWSContext* c) {
    if (auto hook = Of(c).onDestroy) hook(c);
  }

  TIdIOHandlerWebsocket* WebsocketWriter(TIdServerWSContext* c) override {
    return Of(c).websocket ? reinterpret_cast<TIdIOHandlerWebsocket*>(c) : nullptr;
  }
  void WriteText(TIdIOHandlerWebsocket* w, const std::string& text) override {
    Of(reinterpret_cast<TIdServerWSContext*>(w)).written.push_back(text);
  }
  void Disconnect(TIdServerWSContext* c) override { ++Of(c).disconnects; }
  void SetOnDestroy(TIdServerWSContext* c, std::function<void(TIdServerWSContext*)> h) override {
    Of(c).onDestroy = std::move(h);
  }
  std::string ResourceName(TIdServerWSContext*) override { return "/socket.io/1/websocket/x"; }
  std::string PeerIP(TIdServerWSContext*) override { return "127.0.0.1"; }
  uint16_t PeerPort(TIdServerWSContext*) override { return 4242; }

 private:
  std::map<TIdServerWSContext*, std::unique_ptr<TConn>> FConns;
};

TEST(SocketIOMessageTest, FieldsNumbersAndAckRequests) {
  struct Case {
    const char* text;
    const char* id;
    const char* endpoint;
    const char* data;
    int64_t nr;
    bool ack;
  };
  const Case cases[] = {
      {"5:1+::{\"name\":\"a\"}", "1+", "", "{\"name\":\"a\"}", 1, true},
      {"3::/chat:a:b:c", "", "/chat", "a:b:c", 0, false},
      {"3:1", "1", "", "", 1, false},
      {"6:::4+[1]", "", "", "4+[1]", 0, false},
      {"4:+5::x", "+5", "", "x", 5, false},
      {"4:12+3::x", "12+3", "", "x", 123, true},
      {"4:x+::", "x+", "", "", 0, true},
      {"2::", "", "", "", 0, false},
      {"2", "", "", "", 0, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MessageField(c.text, 1), c.id) << c.text;
    EXPECT_EQ(MessageField(c.text, 2), c.endpoint) << c.text;
    EXPECT_EQ(MessageField(c.text, 3), c.data) << c.text;
    EXPECT_EQ(MessageNumber(c.id), c.nr) << c.text;
    EXPECT_EQ(AckRequested(c.id), c.ack) << c.text;
  }
}

TEST(SocketIODispatchTest, HousekeepingAnswers) {
  TIdBaseSocketIOHandling h;
  TPolled p(h);
  // A heartbeat with none outstanding is echoed and marks one; the next one is the answer.
  EXPECT_THAT(p.Post("2::"), ElementsAre("2::"));
  EXPECT_TRUE(dynamic_cast<TSocketIOContext&>(*p.socket).PingSend());
  EXPECT_THAT(p.Post("2::"), IsEmpty());
  EXPECT_FALSE(dynamic_cast<TSocketIOContext&>(*p.socket).PingSend());
  // After our own heartbeat, the peer's is taken as the answer.
  h.SendHeartbeat(p.socket);
  EXPECT_THAT(Drain(p.socket), ElementsAre("2::"));
  EXPECT_THAT(p.Post("2::"), IsEmpty());
  // Connect is echoed only while "1::" has not been sent.
  EXPECT_THAT(p.Post("1::"), IsEmpty());
  const ISocketIOContextRef fresh = h.NewConnection("{F}", "");
  h.DispatchSocketIOText(fresh, "1::/x");
  EXPECT_THAT(Drain(fresh), ElementsAre("1::/x"));
  // No-ops: noop kind, NUL padding, empty text, disconnect on a polling connection.
  for (const char* text : {"8::", "", "0::"}) EXPECT_THAT(p.Post(text), IsEmpty()) << text;
  EXPECT_THAT(p.Post(std::string("\0\0", 2)), IsEmpty());
  EXPECT_FALSE(p.socket->IsDisconnected());  // "0::" leaves a polling connection alone
}

TEST(SocketIODispatchTest, RefusedMessagesFailWithTheirClassAndText) {
  TIdBaseSocketIOHandling h;
  TPolled p(h);
  struct Case {
    std::string text;
    const char* className;
    std::string message;
  };
  const Case cases[] = {
      {"3:::hi", "EIdSocketIoUnhandledMessage", "3:::hi"},
      {"4:::{}", "EIdSocketIoUnhandledMessage", "4:::{}"},
      {"7:::boom", "EIdSocketIoUnhandledMessage", "7:::boom"},
      {"9::x", "ESocketIOException", "Unsupported data: \"9::x\""},
      {std::string("\0", 1) + "hello", "ESocketIOException", "Unsupported data: \"hello\""},
  };
  for (const Case& c : cases) {
    try {
      h.DispatchSocketIOText(p.socket, c.text);
      ADD_FAILURE() << "no failure for " << c.text;
    } catch (const net::EIdException& failure) {
      EXPECT_STREQ(failure.ClassName(), c.className);
      EXPECT_EQ(failure.what(), c.message);
    }
  }
  static_assert(std::is_base_of_v<net::EIdSilentException, EIdSocketIoUnhandledMessage>);
  static_assert(std::is_base_of_v<ESocketIOException, ESocketIODisconnect>);
  // Events nobody handles, and event data that is no JSON object, get no answer at all.
  for (const char* text : {"5:1+::{\"name\":\"nobody\",\"args\":[]}", "5:2+::[1]", "5:3+::x"})
    EXPECT_THAT(p.Post(text), IsEmpty()) << text;
}

TEST(SocketIODispatchTest, HandlerRepliesAndErrorReplies) {
  TIdBaseSocketIOHandling h;
  std::vector<std::string> seen;
  h.OnEvent("echo", [&](const ISocketIOContextRef&, const TJSONValue& args,
                        const ISocketIOCallbackRef& handle) {
    seen.push_back(args.IsNull() ? "null" : args.ToJSON());
    if (handle) handle->SendReply(args.Element(0).ToJSON());
  });
  h.OnEvent("fail", [](const ISocketIOContextRef&, const TJSONValue&, const ISocketIOCallbackRef&) {
    throw std::runtime_error("bad \"x\"/y");
  });
  h.OnEvent("fail", [&](const ISocketIOContextRef&, const TJSONValue&,
                        const ISocketIOCallbackRef&) { seen.push_back("second"); });
  h.OnEvent("replyThenFail",
            [](const ISocketIOContextRef&, const TJSONValue&, const ISocketIOCallbackRef& handle) {
              handle->SendReply("1");
              handle->SendReply("2");  // a second reply is not sent either
              throw std::runtime_error("late");
            });
  h.SetOnSocketIOMsg(
      [&](const ISocketIOContextRef&, const std::string& text, const ISocketIOCallbackRef& handle) {
        seen.push_back("text:" + text);
        if (text == "timeout") throw ESocketIOTimeout("too slow");
        if (text == "plain") throw std::runtime_error("plain failure");
        if (handle) handle->SendReply("\"ok\"");
      });
  h.SetOnSocketIOJson(
      [&](const ISocketIOContextRef&, const TJSONValue& value, const ISocketIOCallbackRef&) {
        seen.push_back("json:" + value.ToJSON());
      });
  TPolled p(h);

  struct Case {
    const char* text;
    std::vector<std::string> replies;
  };
  const Case cases[] = {
      {R"(5:3+::{"name":"echo","args":["a",2]})", {"6:::3+[\"a\"]"}},
      {R"(5:4::{"name":"echo","args":"notarray"})", {}},
      {R"(5:7+::{"name":"fail","args":[]})", {R"(6:::7+[{"Error":{"msg":"bad \"x\"\/y"}}])"}},
      {R"(5:8::{"name":"fail"})", {}},
      {R"(5:9+::{"name":"replyThenFail","args":[]})", {"6:::9+[1]"}},
      {"3:10+::hello", {"6:::10+[\"ok\"]"}},
      {"3:11+::timeout",
       {R"(6:::11+[{"Error":{"Message":"too slow","Type":"ESocketIOTimeout"}}])"}},
      {"3:12+::plain", {R"(6:::12+[{"Error":{"Message":"plain failure","Type":"Exception"}}])"}},
      {"3:1", {}},
      {"4:::{\"b\":1, \"a\":[]}", {}},
      {"4:::not json", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(p.Post(c.text), c.replies) << c.text;
  EXPECT_THAT(seen,
              ElementsAre("[\"a\",2]", "null", "second", "second", "text:hello", "text:timeout",
                          "text:plain", "text:", "json:{\"a\":[],\"b\":1}", "json:null"));
  // Without an acknowledgement request a text handler's failure leaves the dispatcher.
  EXPECT_THROW(h.DispatchSocketIOText(p.socket, "3:::timeout"), ESocketIOTimeout);
}

TEST(SocketIODispatchTest, EventErrorHandlerReplacesTheErrorReply) {
  TIdBaseSocketIOHandling h;
  std::vector<std::string> errors;
  h.SetOnEventError([&](const ISocketIOContextRef&, const ISocketIOCallbackRef& handle,
                        const std::exception& failure) {
    errors.push_back(std::string(failure.what()) + (handle ? " with handle" : ""));
  });
  h.OnEvent("fail", [](const ISocketIOContextRef&, const TJSONValue&, const ISocketIOCallbackRef&) {
    throw ESocketIOException("nope");
  });
  TPolled p(h);
  EXPECT_THAT(p.Post(R"(5:5+::{"name":"fail","args":[]})"), IsEmpty());
  EXPECT_THAT(errors, ElementsAre("nope with handle"));
}

TEST(SocketIOAckTest, AcknowledgementsCompleteOrFailTheirMessage) {
  TIdBaseSocketIOHandling h;
  TPolled p(h);
  TPolled other(h, "{OTHER}");
  std::vector<std::string> log;
  const auto send = [&] {
    h.WriteEventMessage(
        p.socket, "", "ev", "[1]", [&](const std::string& data) { log.push_back("done " + data); },
        [&](const ISocketIOContextRef& s, const std::string& cls, const std::string& msg) {
          log.push_back("error " + cls + "|" + msg + (s == p.socket ? "" : " wrong socket"));
        });
    const std::string text = Drain(p.socket).at(0);
    return MessageNumber(MessageField(text, 1));
  };

  const int64_t a = send();
  p.Post("6:::" + std::to_string(a));               // no "+": matches no message
  other.Post("6:::" + std::to_string(a) + "+[9]");  // not sent to that connection
  EXPECT_THAT(log, IsEmpty());
  p.Post("6:::" + std::to_string(a) + "+[1]");
  p.Post("6:::" + std::to_string(a) + "+[2]");  // already completed
  EXPECT_THAT(log, ElementsAre("done [1]"));

  log.clear();
  const int64_t b = send();
  p.Post("6:::" + std::to_string(b) + R"(+[{"Error":{"Message":"bad","Type":"ETest"}}])");
  const int64_t c = send();
  p.Post("6:::" + std::to_string(c) + R"(+[{"error":{"msg":"m"}}])");
  const int64_t d = send();
  p.Post("6:::" + std::to_string(d) + R"(+{"ERROR": x)");
  EXPECT_THAT(log, ElementsAre("error ETest|bad", R"(error Unknown|[{"error":{"msg":"m"}}])",
                               R"(error Unknown|{"ERROR": x)"));

  // The event text itself: number, "+", and exactly one blank before "args".
  h.WriteEventMessage(p.socket, "", "n\"m", "[[1,2]]", [](const std::string&) {}, {});
  const std::string text = Drain(p.socket).at(0);
  EXPECT_EQ(text.substr(text.find("::")), R"(::{"name":"n\"m", "args":[[1,2]]})");
  h.WriteTextMessage(p.socket, "", "hi", {}, {});
  h.WriteJSONMessage(p.socket, "", "{}", {}, {});
  const auto plain = Drain(p.socket);
  ASSERT_EQ(plain.size(), 2u);
  EXPECT_EQ(plain[0].substr(0, 2), "3:");
  EXPECT_EQ(plain[0].substr(plain[0].find("::")), "::hi");
  EXPECT_EQ(plain[1].substr(plain[1].find("::")), "::{}");
  EXPECT_FALSE(AckRequested(MessageField(plain[0], 1)));
}

TEST(SocketIOAckTest, FreeingAConnectionFailsEachWaitingMessageOnce) {
  TIdBaseSocketIOHandling h;
  TPolled p(h);
  std::atomic<int> errors{0}, completions{0};
  for (int i = 0; i < 50; ++i) {
    h.WriteTextMessage(
        p.socket, "", "m", [&](const std::string&) { ++completions; },
        [&](const ISocketIOContextRef&, const std::string& cls, const std::string& msg) {
          EXPECT_EQ(cls, "ESocketIODisconnect");
          EXPECT_EQ(msg, "Connection disconnected");
          ++errors;
        });
  }
  std::vector<std::thread> freers;
  for (int i = 0; i < 4; ++i) freers.emplace_back([&] { h.FreeConnection(p.socket); });
  for (auto& t : freers) t.join();
  h.AnnounceDisconnect(p.socket);
  EXPECT_EQ(errors, 50);
  EXPECT_EQ(completions, 0);
  EXPECT_TRUE(p.socket->IsDisconnected());
  EXPECT_EQ(h.ConnectionCount(), 0);
  // A message to a freed connection fails at once instead of waiting for ever.
  h.WriteTextMessage(
      p.socket, "", "m", [](const std::string&) {},
      [&](const ISocketIOContextRef&, const std::string&, const std::string&) { ++errors; });
  EXPECT_EQ(errors, 51);
  EXPECT_THROW(p.socket->Send("x"), EIdSocketIoUnhandledMessage);
}

TEST(SocketIOAckTest, SynchronousEventWaitsForItsAcknowledgement) {
  TIdBaseSocketIOHandling h;
  TPolled p(h);
  std::thread peer([&] {
    auto* impl = dynamic_cast<TSocketIOContext*>(p.socket.get());
    const std::string text = impl->WaitForQueue(5000);
    h.DispatchSocketIOText(p.socket, "6:::" + MessageField(text, 1) + "[{\"k\":1}]");
  });
  const TJSONValue result = h.WriteSocketIOEventSync(p.socket, "", "q", "[]", 5000);
  peer.join();
  EXPECT_EQ(result.ToJSON(), "[{\"k\":1}]");

  try {
    h.WriteSocketIOEventSync(p.socket, "", "q", "[]", 50);
    ADD_FAILURE();
  } catch (const ESocketIOTimeout& failure) {
    EXPECT_STREQ(failure.what(), "No response received for \"q\" request");
  }
  // The timed-out request left nothing behind: a late acknowledgement does nothing.
  const std::string late = Drain(p.socket).at(0);
  h.DispatchSocketIOText(p.socket, "6:::" + MessageField(late, 1) + "[1]");

  std::thread failer([&] {
    auto* impl = dynamic_cast<TSocketIOContext*>(p.socket.get());
    impl->WaitForQueue(5000);
    h.FreeConnection(p.socket);
  });
  try {
    h.WriteSocketIOEventSync(p.socket, "", "q", "[]", 5000);
    ADD_FAILURE();
  } catch (const ESocketIOException& failure) {
    EXPECT_STREQ(failure.what(), "ESocketIODisconnect: Connection disconnected");
  }
  failer.join();
  try {
    h.WriteSocketIOEventSync(p.socket, "", "q", "[]", 50);
    ADD_FAILURE();
  } catch (const ESocketIOException& failure) {
    EXPECT_STREQ(failure.what(), "Socket is not connected, cannot send \"q\" request");
  }
}

TEST(SocketIOPollingTest, GetAnswersOneMessageOrAHeartbeat) {
  TIdBaseSocketIOHandling h;
  std::vector<std::string> connects;
  h.OnConnection([&](const ISocketIOContextRef& s) { connects.push_back(s->PeerIP() + "|"); });
  std::string body;
  h.ServePollingRequest("{P}", "", &body);
  EXPECT_EQ(body, "1::");
  EXPECT_EQ(connects.size(), 1u);
  const ISocketIOContextRef socket = Find(h, "{P}");
  socket->Send("a");
  socket->Send("b");
  for (const char* expected : {"3:1::a", "3:2::b"}) {
    body.clear();
    h.ServePollingRequest("{P}", "", &body);
    EXPECT_EQ(body, expected);
  }
  body.clear();
  const auto start = std::chrono::steady_clock::now();
  h.ServePollingRequest("{P}", "", &body);
  EXPECT_EQ(body, "2::");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4900));
  EXPECT_TRUE(dynamic_cast<TSocketIOContext&>(*socket).PingSend());
  h.ServePollingRequest("{P}", "2::", nullptr);  // the peer's answer is not echoed
  EXPECT_THAT(Drain(socket), IsEmpty());
  EXPECT_EQ(connects.size(), 1u);
  EXPECT_EQ(h.ConnectionCount(), 1);
}

TEST(SocketIOPollingTest, FramedBodiesCountUtf8Bytes) {
  TIdBaseSocketIOHandling h;
  std::vector<std::string> texts;
  h.SetOnSocketIOMsg(
      [&](const ISocketIOContextRef&, const std::string& text, const ISocketIOCallbackRef&) {
        if (text == "fail") throw std::runtime_error("x");
        texts.push_back(text);
      });
  TPolled p(h, "{F}");
  const std::string m = "\xEF\xBF\xBD";  // U+FFFD
  struct Case {
    std::string body;
    std::vector<std::string> texts;
    bool fails;
  };
  const Case cases[] = {
      {m + "6" + m + "3:::hi", {"hi"}, false},
      // four ASCII characters and one of two bytes: length 6, not 5
      {m + "6" + m + "3:::\xC3\xA9" + m + "5" + m + "3:::z", {"\xC3\xA9", "z"}, false},
      // a failing message inside a framed body is skipped
      {m + "8" + m + "3:::fail" + m + "5" + m + "3:::z", {"z"}, false},
      // no second marker: processing stops there
      {m + "5", {}, false},
      // unframed body: one message, and its failure fails the request
      {"3:::one", {"one"}, false},
      {"3:::fail", {}, true},
      {m + "5" + m + "3:::a" + m + "x" + m + "3:::b", {"a"}, true},
      {m + "-5" + m + "3:::a", {}, true},
      {m + "99" + m + "3:::a", {}, true},
  };
  for (const Case& c : cases) {
    texts.clear();
    if (c.fails)
      EXPECT_ANY_THROW(h.ServePollingRequest("{F}", c.body, nullptr)) << c.body;
    else
      EXPECT_NO_THROW(h.ServePollingRequest("{F}", c.body, nullptr)) << c.body;
    EXPECT_EQ(texts, c.texts) << c.body;
  }
}

TEST(SocketIOPollingTest, QueueKeepsTheNewestThousand) {
  TIdBaseSocketIOHandling h;
  TPolled p(h);
  for (int i = 1; i <= 1001; ++i) p.socket->Send(std::to_string(i));
  const auto texts = Drain(p.socket);
  ASSERT_EQ(texts.size(), 1000u);
  EXPECT_EQ(MessageField(texts.front(), 3), "2");
  EXPECT_EQ(MessageField(texts.back(), 3), "1001");
}

TEST(SocketIOWebsocketTest, SessionLifecycleOnAConnectionContext) {
  auto* fake = new TFakeContexts;
  TIdBaseSocketIOHandling h{std::unique_ptr<ISocketIOContextAccess>(fake)};
  std::vector<std::string> notes;
  h.OnConnection([&](const ISocketIOContextRef& s) {
    notes.push_back("connect " + s->ResourceName() + " " + s->PeerIP() + ":" +
                    std::to_string(s->PeerPort()));
  });
  h.OnDisconnect([&](const ISocketIOContextRef&) { notes.push_back("disconnect"); });
  TIdServerWSContext* ctx = fake->Add();

  h.WebsocketSessionOpened(ctx);
  h.DispatchConnectionStream(ctx, "2::");
  h.DispatchConnectionStream(ctx, "");
  h.WebsocketSessionIdle(ctx);
  h.DispatchConnectionStream(ctx, "0::/chat");
  EXPECT_EQ(fake->Of(ctx).disconnects, 0);
  h.DispatchConnectionStream(ctx, "0::");
  EXPECT_EQ(fake->Of(ctx).disconnects, 1);
  int errors = 0;
  h.GetSocketIOContext(ctx)->Send(
      "pending", [](const ISocketIOContextRef&, const TJSONValue&, const ISocketIOCallbackRef&) {},
      [&](const ISocketIOContextRef&, const std::string&, const std::string&) { ++errors; });
  h.WebsocketSessionClosed(ctx);
  EXPECT_THAT(fake->Of(ctx).written, ElementsAre("1::", "2::", "2::", "3:1+::pending", "0::"));
  EXPECT_THAT(notes, ElementsAre("connect /socket.io/1/websocket/x 127.0.0.1:4242", "disconnect"));
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(h.GetSocketIOContext(ctx), nullptr);
  EXPECT_FALSE(fake->Of(ctx).onDestroy);  // the hook went with the connection
}

TEST(SocketIOWebsocketTest, ContextDestructionFreesItsConnection) {
  auto* fake = new TFakeContexts;
  TIdBaseSocketIOHandling h{std::unique_ptr<ISocketIOContextAccess>(fake)};
  TIdServerWSContext* handshake = fake->Add(false);  // still an HTTP connection
  const ISocketIOContextRef socket = h.NewConnection(handshake);
  int errors = 0;
  socket->EmitEvent(
      "e", TJSONValue::Integer(1),
      [](const ISocketIOContextRef&, const TJSONValue&, const ISocketIOCallbackRef&) {},
      [&](const ISocketIOContextRef&, const std::string& cls, const std::string&) {
        errors += cls == "ESocketIODisconnect";
      });
  // Nothing is framed onto a connection that is not a WebSocket connection.
  EXPECT_THAT(fake->Of(handshake).written, IsEmpty());
  EXPECT_EQ(h.ConnectionCount(), 1);
  fake->Destroy(handshake);
  EXPECT_EQ(errors, 1);
  EXPECT_TRUE(socket->IsDisconnected());
  EXPECT_EQ(h.GetSocketIOContext(handshake), nullptr);
  EXPECT_EQ(h.ConnectionCount(), 0);
}

}  // namespace
}  // namespace ws
