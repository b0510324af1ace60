#include "pcsc/MD_PCSC.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <thread>

#include "FakePcscControl.h"
#include "base/MainLoop.h"

using namespace std::chrono_literals;

namespace {

using namespace pcsc;
using pcsctest::TFakePcsc;

const char* const kAtr = "3B 8F 80 01 80 4F 0C A0 00 00 03 06 03 00 01 00 00 00 00 6A";

std::string Hex(const TBytes& bytes) {
  return BytesToHex(bytes);
}

// An attribute value as the platform delivers text: UTF-16 from winscard, 8-bit from
// pcsc-lite.
std::string TextAttribute(const std::string& text) {
  TBytes bytes;
  for (char c : text) {
    bytes.push_back(static_cast<uint8_t>(c));
    if (kPcscWideText) bytes.push_back(0);
  }
  return Hex(bytes);
}

// ---- the reader object ----------------------------------------------------------------------

class ReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake.AddReader("R1");
    ASSERT_TRUE(raw.Initialize());
    reader = std::make_unique<TPCSCReader>("R1", raw);
    reader->SetOnCardStateChanged([this](TPCSCReader& r) {
      EXPECT_EQ(&r, reader.get());
      ++callbacks;
    });
  }
  void TearDown() override { reader.reset(); }

  void Poll(int times = 1) {
    for (int i = 0; i < times; ++i) reader->CheckCardState();
  }
  std::vector<std::string> Sent() { return fake.Calls("SCardTransmit"); }
  std::string TransmitLine(TPcscDword protocol, const std::string& command) {
    std::string line = "SCardTransmit ";
    line += std::to_string(protocol);
    line += ' ';
    line += std::to_string(sizeof(TSCardIoRequest));
    line += ' ';
    line += command;
    line += " 66000";
    return line;
  }
  void ConnectWithCard(TPcscDword protocol = SCARD_PROTOCOL_T1) {
    fake.InsertCard("R1", kAtr);
    fake.SetProtocol("R1", protocol);
    ASSERT_EQ(reader->Connect(SCARD_SHARE_SHARED), 0u);
  }

  TFakePcsc fake;
  TPCSCRaw raw{fake.Library()};
  std::unique_ptr<TPCSCReader> reader;
  int callbacks = 0;
};

TEST_F(ReaderTest, CreationEstablishesAndDestructionReleasesItsContext) {
  EXPECT_EQ(reader->CardState(), TCardState::csUnknown);
  EXPECT_EQ(reader->CardHandle(), kNoCardHandle);
  EXPECT_EQ(reader->Protocol(), TPcscProtocol::prNC);
  EXPECT_EQ(reader->DisplayName(), "R1");
  EXPECT_EQ(fake.OpenContexts(), 1);
  EXPECT_EQ(fake.Calls("SCardEstablishContext"),
            std::vector<std::string>{"SCardEstablishContext 2"});
  reader.reset();
  EXPECT_EQ(fake.OpenContexts(), 0);
}

TEST_F(ReaderTest, ContextFallsBackToUserScope) {
  reader.reset();
  fake.ClearLog();
  fake.Inject("SCardEstablishContext", 0x8010001D, 1);
  reader = std::make_unique<TPCSCReader>("R1", raw);
  EXPECT_EQ(fake.Calls("SCardEstablishContext"),
            (std::vector<std::string>{"SCardEstablishContext 2", "SCardEstablishContext 0"}));
  EXPECT_EQ(fake.OpenContexts(), 1);
}

TEST_F(ReaderTest, FirstPollWithCardStoresAtrAndReportsOnce) {
  fake.InsertCard("R1", kAtr);
  Poll(3);
  EXPECT_EQ(reader->CardState(), TCardState::csAvailable);
  EXPECT_EQ(Hex(reader->ATR()), kAtr);
  EXPECT_EQ(reader->ATRasString(), "3B8F8001804F0CA000000306030001000000006A");
  EXPECT_EQ(callbacks, 1);
  EXPECT_EQ(fake.Calls("SCardGetStatusChange").front(), "SCardGetStatusChange R1 1");
}

TEST_F(ReaderTest, UnchangedStateKeepsTheStoredAtr) {
  fake.InsertCard("R1", "3B 01");
  Poll();
  fake.InsertCard("R1", "3B 02");  // still present: no change of state
  Poll();
  EXPECT_EQ(Hex(reader->ATR()), "3B 01");
  EXPECT_EQ(callbacks, 1);
}

// The state table of the poll, from csNoCard (one callback already counted) with the card's
// ATR travelling beside the state bits.
TEST_F(ReaderTest, StateTable) {
  struct {
    TPcscDword bits;
    bool card;
    TCardState state;
    bool callback;
    bool atrHeld;
  } const cases[] = {
      {SCARD_STATE_UNAVAILABLE | SCARD_STATE_PRESENT, true, TCardState::csNoCard, false, false},
      {SCARD_STATE_EMPTY, false, TCardState::csNoCard, false, false},
      {0, false, TCardState::csBadCard, true, false},
      {0, true, TCardState::csUnknown, true, false},
      {SCARD_STATE_PRESENT | SCARD_STATE_EXCLUSIVE, true, TCardState::csExclusive, false, false},
      {SCARD_STATE_PRESENT | SCARD_STATE_EXCLUSIVE | SCARD_STATE_INUSE, true,
       TCardState::csExclusive, false, false},
      {SCARD_STATE_PRESENT | SCARD_STATE_INUSE, true, TCardState::csShared, false, false},
      {SCARD_STATE_PRESENT | SCARD_STATE_INUSE | SCARD_STATE_MUTE, true, TCardState::csShared,
       false, false},
      {SCARD_STATE_PRESENT | SCARD_STATE_MUTE, true, TCardState::csBadCard, true, false},
      {SCARD_STATE_PRESENT, true, TCardState::csAvailable, true, true},
      {SCARD_STATE_PRESENT | SCARD_STATE_EMPTY, true, TCardState::csAvailable, true, true},
  };
  for (const auto& c : cases) {
    reader = std::make_unique<TPCSCReader>("R1", raw);
    callbacks = 0;
    reader->SetOnCardStateChanged([this](TPCSCReader&) { ++callbacks; });
    fake.RemoveCard("R1");
    fake.ClearStateOverride("R1");
    Poll();
    ASSERT_EQ(reader->CardState(), TCardState::csNoCard);
    if (c.card) fake.InsertCard("R1", kAtr);
    fake.SetStateOverride("R1", c.bits);
    Poll();
    EXPECT_EQ(reader->CardState(), c.state) << "bits " << std::hex << c.bits;
    EXPECT_EQ(callbacks, c.callback ? 2 : 1) << "bits " << std::hex << c.bits;
    EXPECT_EQ(!reader->ATR().empty(), c.atrHeld) << "bits " << std::hex << c.bits;
  }
}

TEST_F(ReaderTest, SharedUseKeepsAtrAndReportsAgainWhenReleased) {
  fake.InsertCard("R1", kAtr);
  Poll();
  fake.SetStateOverride("R1", SCARD_STATE_PRESENT | SCARD_STATE_INUSE);
  Poll();
  EXPECT_EQ(reader->CardState(), TCardState::csShared);
  EXPECT_EQ(Hex(reader->ATR()), kAtr);
  EXPECT_EQ(callbacks, 1);
  fake.ClearStateOverride("R1");
  fake.InsertCard("R1", "3B 00");
  Poll();
  EXPECT_EQ(reader->CardState(), TCardState::csAvailable);
  EXPECT_EQ(Hex(reader->ATR()), "3B 00");
  EXPECT_EQ(callbacks, 2);
}

TEST_F(ReaderTest, CardGoingBadOrAwayClosesTheConnectionUnpowered) {
  for (const bool mute : {true, false}) {
    ConnectWithCard();
    Poll();  // csShared: our own connection is open
    fake.ClearLog();
    if (mute)
      fake.SetStateOverride("R1", SCARD_STATE_PRESENT | SCARD_STATE_MUTE);
    else
      fake.RemoveCard("R1");
    Poll();
    EXPECT_EQ(reader->CardState(), mute ? TCardState::csBadCard : TCardState::csNoCard);
    EXPECT_EQ(fake.Calls("SCardDisconnect"), std::vector<std::string>{"SCardDisconnect 2"});
    EXPECT_EQ(reader->CardHandle(), kNoCardHandle);
    EXPECT_EQ(reader->Protocol(), TPcscProtocol::prNC);
    fake.ClearStateOverride("R1");
  }
}

TEST_F(ReaderTest, FailedPollChangesNothing) {
  fake.InsertCard("R1", kAtr);
  fake.Inject("SCardGetStatusChange", SCARD_E_TIMEOUT, 1);
  Poll();
  EXPECT_EQ(reader->CardState(), TCardState::csUnknown);
  EXPECT_EQ(callbacks, 0);
}

TEST_F(ReaderTest, PollReplacesAContextThatOutlivedItsService) {
  for (const uint32_t code : {SCARD_E_NO_SERVICE, SCARD_F_COMM_ERROR, SCARD_E_SERVICE_STOPPED}) {
    reader = std::make_unique<TPCSCReader>("R1", raw);
    reader->SetOnCardStateChanged([this](TPCSCReader&) { ++callbacks; });
    fake.RemoveCard("R1");
    Poll();
    fake.RestartService(code);
    fake.InsertCard("R1", kAtr);
    Poll();  // meets the code, makes a new context
    EXPECT_EQ(reader->CardState(), TCardState::csNoCard) << std::hex << code;
    Poll();
    EXPECT_EQ(reader->CardState(), TCardState::csAvailable) << std::hex << code;
    reader.reset();
    EXPECT_EQ(fake.OpenContexts(), 0) << "the stale context was released";
  }
}

TEST_F(ReaderTest, ConnectMapsTheActiveProtocol) {
  struct {
    uint32_t share;
    TPcscDword active;
    TPcscProtocol protocol;
  } const cases[] = {
      {SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, TPcscProtocol::prT0},
      {SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, TPcscProtocol::prT1},
      {SCARD_SHARE_SHARED, SCARD_PROTOCOL_RAW, TPcscProtocol::prRaw},
      {SCARD_SHARE_SHARED, 8, TPcscProtocol::prNC},
      {SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T1, TPcscProtocol::prT1},
      {SCARD_SHARE_DIRECT, 0, TPcscProtocol::prRaw},
  };
  fake.InsertCard("R1", kAtr);
  for (const auto& c : cases) {
    fake.SetProtocol("R1", c.active);
    fake.ClearLog();
    ASSERT_EQ(reader->Connect(c.share), 0u);
    EXPECT_EQ(reader->Protocol(), c.protocol) << c.share << " " << c.active;
    EXPECT_NE(reader->CardHandle(), kNoCardHandle);
    const std::string preferred = c.share == SCARD_SHARE_DIRECT ? "0" : "3";
    EXPECT_EQ(
        fake.Calls("SCardConnect"),
        std::vector<std::string>{"SCardConnect R1 " + std::to_string(c.share) + " " + preferred});
    EXPECT_EQ(reader->Disconnect(SCARD_UNPOWER_CARD), 0u);
  }
}

TEST_F(ReaderTest, ConnectWhileConnectedAndDisconnectWhileNot) {
  ConnectWithCard();
  const THandle handle = reader->CardHandle();
  fake.ClearLog();
  EXPECT_EQ(reader->Connect(SCARD_SHARE_DIRECT), 0u);
  EXPECT_EQ(reader->CardHandle(), handle);
  EXPECT_EQ(reader->Protocol(), TPcscProtocol::prT1);
  EXPECT_TRUE(fake.Calls("SCardConnect").empty());
  EXPECT_EQ(reader->Disconnect(SCARD_UNPOWER_CARD), 0u);
  EXPECT_EQ(fake.Calls("SCardDisconnect"), std::vector<std::string>{"SCardDisconnect 2"});
  fake.ClearLog();
  EXPECT_EQ(reader->Disconnect(SCARD_UNPOWER_CARD), 0u);
  EXPECT_TRUE(fake.Log().empty());
}

TEST_F(ReaderTest, FailedConnectAndFailedDisconnect) {
  EXPECT_EQ(reader->Connect(SCARD_SHARE_SHARED), SCARD_E_NO_SMARTCARD);
  EXPECT_EQ(reader->CardHandle(), kNoCardHandle);
  EXPECT_EQ(reader->Protocol(), TPcscProtocol::prNC);
  ConnectWithCard();
  fake.Inject("SCardDisconnect", SCARD_E_INVALID_HANDLE, 1);
  EXPECT_EQ(reader->Disconnect(SCARD_UNPOWER_CARD), SCARD_E_INVALID_HANDLE);
  EXPECT_EQ(reader->CardHandle(), kNoCardHandle);  // forgotten in any case
  EXPECT_EQ(reader->Protocol(), TPcscProtocol::prNC);
}

TEST_F(ReaderTest, ExchangeNeedsT0OrT1) {
  ConnectWithCard(SCARD_PROTOCOL_RAW);
  for (const TPcscProtocol p :
       {TPcscProtocol::prNC, TPcscProtocol::prRaw, TPcscProtocol::prDirect}) {
    reader->SetProtocol(p);
    TBytes out{1, 2};
    uint16_t sw = 1;
    EXPECT_EQ(reader->Transmit({0xFF, 0xCA, 0, 0, 0}, out), SCARD_E_INVALID_PARAMETER);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(reader->TransmitSW({0xFF, 0xCA, 0, 0, 0}, out, sw), SCARD_E_INVALID_PARAMETER);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(sw, 0);
  }
  EXPECT_TRUE(Sent().empty());
  // The card read sets T1 on a raw connection before exchanging.
  reader->SetProtocol(TPcscProtocol::prT1);
  fake.SetApdu("R1", "FFCA000000", "04 A1 B2 C3 90 00");
  TBytes out;
  EXPECT_EQ(reader->Transmit({0xFF, 0xCA, 0, 0, 0}, out), 0u);
  EXPECT_EQ(Sent(), std::vector<std::string>{TransmitLine(SCARD_PROTOCOL_T1, "FFCA000000")});
}

TEST_F(ReaderTest, TransmitSplitsTheStatusWord) {
  ConnectWithCard(SCARD_PROTOCOL_T0);
  struct {
    const char* answer;
    const char* data;
    uint16_t sw;
    const char* withSw;
  } const cases[] = {
      {"04 A1 B2 C3 90 00", "04 A1 B2 C3", 0x9000, "04 A1 B2 C3 90 00"},
      {"90 00", "", 0x9000, "90 00"},
      {"63 00", "", 0x6300, "63 00"},
      {"6A", "", 0, "6A"},  // fewer than two bytes: no status word
      {"", "", 0, ""},
  };
  for (const auto& c : cases) {
    fake.SetApdu("R1", "FFB0003C10", c.answer);
    TBytes out{9};
    uint16_t sw = 1;
    EXPECT_EQ(reader->TransmitSW(HexToBytes("FF B0 00 3C 10"), out, sw), 0u) << c.answer;
    EXPECT_EQ(Hex(out), c.data) << c.answer;
    EXPECT_EQ(sw, c.sw) << c.answer;
    EXPECT_EQ(reader->Transmit(HexToBytes("FF B0 00 3C 10"), out), 0u);
    EXPECT_EQ(Hex(out), c.withSw);
  }
  EXPECT_EQ(Sent().front(), TransmitLine(SCARD_PROTOCOL_T0, "FFB0003C10"));
}

TEST_F(ReaderTest, FailedTransmitGivesNothing) {
  ConnectWithCard();
  fake.SetApdu("R1", "", "90 00");
  fake.Inject("SCardTransmit", SCARD_W_REMOVED_CARD, 2);
  TBytes out{1};
  uint16_t sw = 7;
  EXPECT_EQ(reader->TransmitSW({0xFF}, out, sw), SCARD_W_REMOVED_CARD);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(sw, 0);
  out = {1};
  EXPECT_EQ(reader->Transmit({0xFF}, out), SCARD_W_REMOVED_CARD);
  EXPECT_TRUE(out.empty());
}

TEST_F(ReaderTest, TransmitAsStringTakesHexText) {
  ConnectWithCard();
  fake.SetApdu("R1", "", "90 00");
  TBytes out;
  uint16_t sw = 0;
  EXPECT_EQ(reader->TransmitAsString("ff ca 00 00 00", out), 0u);
  EXPECT_EQ(reader->TransmitAsStringSW("F", out, sw), 0u);
  EXPECT_EQ(sw, 0x9000);
  EXPECT_EQ(Sent(), (std::vector<std::string>{TransmitLine(SCARD_PROTOCOL_T1, "FFCA000000"),
                                              TransmitLine(SCARD_PROTOCOL_T1, "0F")}));
}

TEST_F(ReaderTest, ResetCardReconnectsSharedWithTheCurrentProtocol) {
  EXPECT_EQ(reader->ResetCard(true), SCARD_E_INVALID_PARAMETER);
  EXPECT_TRUE(fake.Calls("SCardReconnect").empty());
  ConnectWithCard(SCARD_PROTOCOL_T0);
  EXPECT_EQ(reader->ResetCard(true), 0u);
  EXPECT_EQ(reader->ResetCard(false), 0u);
  EXPECT_EQ(reader->Protocol(), TPcscProtocol::prT0);
  EXPECT_EQ(fake.Calls("SCardReconnect"),
            (std::vector<std::string>{"SCardReconnect 2 1 1", "SCardReconnect 2 1 2"}));
}

TEST_F(ReaderTest, IoctlUsesThePlatformControlCode) {
  ConnectWithCard();
  const uint32_t code = TPCSCRaw::SCardCTLCode(3400);
  fake.SetControl("R1", code, "01 02 03");
  TBytes out;
  EXPECT_EQ(reader->IOCTLString(3400, "AA bb", out), 0u);
  EXPECT_EQ(Hex(out), "01 02 03");
  EXPECT_EQ(fake.Calls("SCardControl"),
            std::vector<std::string>{"SCardControl " + std::to_string(code) + " 2 264"});
  EXPECT_EQ(reader->IOCTL(3401, {}, out), SCARD_E_UNSUPPORTED_FEATURE);
  EXPECT_TRUE(out.empty());
}

TEST_F(ReaderTest, ReadReaderDetails) {
  fake.SetAttrib("R1", SCARD_ATTR_VENDOR_NAME, TextAttribute("ACS"));
  fake.SetAttrib("R1", SCARD_ATTR_DEVICE_FRIENDLY_NAME_A, TextAttribute("ACR122U"));
  fake.SetControl("R1", TPCSCRaw::SCardCTLCode(2049), "00 00 00 00 02 07 05 06 00 00 00 00");
  fake.SetAttrib("R1", SCARD_ATTR_VENDOR_IFD_VERSION, "00 00 34 12");  // 0x12340000
  reader->ReadReaderDetails();
  EXPECT_EQ(reader->VendorName(), "ACS");
  EXPECT_EQ(reader->DisplayName(), "ACR122U");
  EXPECT_EQ(reader->DrvMajor(), 2);
  EXPECT_EQ(reader->DrvMinor(), 7);
  EXPECT_EQ(reader->FirmwareMajor(), 12);
  EXPECT_EQ(reader->FirmwareMinor(), 34);
  EXPECT_EQ(fake.Calls("SCardConnect"), std::vector<std::string>{"SCardConnect R1 3 0"});
  EXPECT_EQ(fake.Calls("SCardDisconnect"), std::vector<std::string>{"SCardDisconnect 0"});
  EXPECT_EQ(reader->CardHandle(), kNoCardHandle);
}

TEST_F(ReaderTest, ReadReaderDetailsWithoutVersionAttributeKeepsTheDriversFirmware) {
  fake.SetControl("R1", TPCSCRaw::SCardCTLCode(2049), "00 00 00 00 02 07 05 06 00 00 00 00");
  reader->ReadReaderDetails();
  EXPECT_EQ(reader->FirmwareMajor(), 5);
  EXPECT_EQ(reader->FirmwareMinor(), 6);
  EXPECT_EQ(reader->DisplayName(), "R1");  // no friendly name: the reader name
  EXPECT_EQ(reader->VendorName(), "");
}

TEST_F(ReaderTest, ReadReaderDetailsOnAReaderThatRefusesDirectConnections) {
  fake.SetAttrib("R1", SCARD_ATTR_VENDOR_NAME, TextAttribute("ACS"));
  fake.Inject("SCardConnect", SCARD_E_SHARING_VIOLATION, 1);
  reader->ReadReaderDetails();
  EXPECT_EQ(reader->VendorName(), "");
  EXPECT_EQ(reader->DisplayName(), "R1");
  EXPECT_TRUE(fake.Calls("SCardGetAttrib").empty());
  EXPECT_TRUE(fake.Calls("SCardDisconnect").empty());
}

// ---- the manager ----------------------------------------------------------------------------

class ManagerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    pcsc.reset();
    EXPECT_EQ(fake.OpenContexts(), 0) << "contexts left open";
  }

  void Create(const std::string& library) {
    pcsc = std::make_unique<TPCSC>(loop, library);
    pcsc->SetOnReaderFound([this](void* s, const std::string& r) { Record(s, "found:" + r); });
    pcsc->SetOnReaderRemoved([this](void* s, const std::string& r) { Record(s, "gone:" + r); });
    pcsc->SetOnCardInserted([this](void* s, const std::string& r, const TBytes& atr) {
      Record(s, "insert:" + r + ":" + Hex(atr));
      TPCSCReader* reader = pcsc->GetPCSCReader(r);
      EXPECT_TRUE(reader && reader->ATR() == atr);
    });
    pcsc->SetOnCardRemoved([this](void* s, const std::string& r) { Record(s, "remove:" + r); });
    pcsc->SetOnCardError([this](void* s, const std::string& r) { Record(s, "error:" + r); });
  }
  void Create() { Create(fake.Library()); }
  void Record(void* sender, const std::string& event) {
    EXPECT_EQ(sender, pcsc.get());
    events.push_back(event);
  }
  // Runs the main loop, delivering events as the service's 10 ms timer would, until `count`
  // events have arrived since the last call.
  std::vector<std::string> Next(size_t count, std::chrono::milliseconds timeout = 5s) {
    loop.RunUntil(
        [&] {
          pcsc->ProcessEvent();
          return events.size() >= count;
        },
        timeout);
    std::vector<std::string> taken = events;
    events.clear();
    return taken;
  }
  std::vector<std::string> Quiet(std::chrono::milliseconds duration = 400ms) {
    return Next(1000, duration);
  }

  TFakePcsc fake;
  base::TMainLoop loop;
  std::unique_ptr<TPCSC> pcsc;
  std::vector<std::string> events;
};

TEST_F(ManagerTest, StartUpOrder) {
  fake.AddReader("R1");
  fake.AddReader("R2");
  fake.InsertCard("R1", kAtr);
  Create();
  EXPECT_TRUE(pcsc->Valid());
  pcsc->Start();
  EXPECT_EQ(Next(4), (std::vector<std::string>{"found:R1", "found:R2",
                                               std::string("insert:R1:") + kAtr, "remove:R2"}));
  EXPECT_EQ(Quiet(), std::vector<std::string>{});
  ASSERT_EQ(pcsc->ReaderList().size(), 2u);
  EXPECT_EQ(pcsc->ReaderList()[0].ReaderName, "R1");
  EXPECT_EQ(pcsc->GetPCSCReader("r1"), nullptr);  // names compare exactly
  EXPECT_EQ(pcsc->GetPCSCReader("R1")->CardState(), TCardState::csAvailable);
  EXPECT_EQ(pcsc->GetPCSCReader("R2")->CardState(), TCardState::csNoCard);
}

TEST_F(ManagerTest, HotPlugUnplugAndCards) {
  fake.AddReader("R1");
  Create();
  pcsc->Start();
  EXPECT_EQ(Next(2), (std::vector<std::string>{"found:R1", "remove:R1"}));

  fake.AddReader("R2");
  fake.InsertCard("R2", "3B 00");
  EXPECT_EQ(Next(2), (std::vector<std::string>{"found:R2", "insert:R2:3B 00"}));

  fake.InsertCard("R1", kAtr);
  EXPECT_EQ(Next(1), std::vector<std::string>{std::string("insert:R1:") + kAtr});
  fake.RemoveCard("R1");
  EXPECT_EQ(Next(1), std::vector<std::string>{"remove:R1"});
  fake.InsertCard("R1", "3B 01");
  fake.SetStateOverride("R1", SCARD_STATE_PRESENT | SCARD_STATE_MUTE);
  EXPECT_EQ(Next(1), std::vector<std::string>{"error:R1"});

  fake.RemoveReader("R1");
  EXPECT_EQ(Next(1), std::vector<std::string>{"gone:R1"});
  EXPECT_EQ(pcsc->GetPCSCReader("R1"), nullptr);
  EXPECT_NE(pcsc->GetPCSCReader("R2"), nullptr);
  EXPECT_EQ(Quiet(), std::vector<std::string>{});
}

TEST_F(ManagerTest, OnCardStateChangedFiresAtOnceNotQueued) {
  fake.AddReader("R1");
  Create();
  std::vector<std::string> immediate;
  pcsc->SetOnCardStateChanged([&](void*, const std::string& r) { immediate.push_back(r); });
  pcsc->Start();
  loop.RunUntil([&] { return !immediate.empty(); }, 5s);
  EXPECT_EQ(immediate, std::vector<std::string>{"R1"});
  EXPECT_TRUE(events.empty());  // the queued event waits for ProcessEvent
  EXPECT_EQ(Next(2), (std::vector<std::string>{"found:R1", "remove:R1"}));
}

TEST_F(ManagerTest, DetailsQueryRunsForNewReadersUnlessSwitchedOff) {
  for (const bool details : {true, false}) {
    fake.Reset();
    fake.AddReader("R1");
    fake.SetAttrib("R1", SCARD_ATTR_DEVICE_FRIENDLY_NAME_A, TextAttribute("Friendly"));
    Create();
    EXPECT_TRUE(pcsc->GetReaderDetails());
    pcsc->SetGetReaderDetails(details);
    pcsc->Start();
    Next(2);
    EXPECT_EQ(pcsc->GetPCSCReader("R1")->DisplayName(), details ? "Friendly" : "R1");
    EXPECT_EQ(fake.Calls("SCardConnect R1 3 0").size(), details ? 1u : 0u);
    pcsc.reset();
  }
}

TEST_F(ManagerTest, DestroyWhileTheThreadWaitsInAHandOff) {
  fake.AddReader("R1");
  fake.InsertCard("R1", kAtr);
  Create();
  pcsc->Start();
  // The main loop does not run: the monitor thread sits in its first hand-off.
  std::this_thread::sleep_for(150ms);
  pcsc.reset();  // must return: the destructor runs the pending hand-offs itself
  EXPECT_EQ(fake.OpenContexts(), 0);
  EXPECT_TRUE(events.empty());
}

TEST_F(ManagerTest, AThrowingHandOffDoesNotStopTheMonitor) {
  fake.AddReader("R1");
  Create();
  int calls = 0;
  pcsc->SetOnCardStateChanged([&](void*, const std::string&) {
    if (++calls == 1) throw std::runtime_error("callback failed");
  });
  pcsc->Start();
  ASSERT_TRUE(loop.RunUntil([&] { return calls == 1; }, 5s));     // the first poll threw
  EXPECT_EQ(Quiet(300ms), std::vector<std::string>{"found:R1"});  // card-removed was lost
  fake.InsertCard("R1", kAtr);
  EXPECT_EQ(Next(1), std::vector<std::string>{std::string("insert:R1:") + kAtr});
  pcsc.reset();
  EXPECT_EQ(fake.OpenContexts(), 0);
}

TEST_F(ManagerTest, DestroyWithoutStart) {
  fake.AddReader("R1");
  Create();
  pcsc.reset();
  EXPECT_EQ(fake.OpenContexts(), 0);
  EXPECT_TRUE(fake.Calls("SCardGetStatusChange").empty());
}

TEST_F(ManagerTest, NoLibraryMeansNotValidButStillStartsAndStops) {
  Create("no-such-pcsc-library.so.0");
  EXPECT_FALSE(pcsc->Valid());
  pcsc->Start();
  EXPECT_EQ(Quiet(300ms), std::vector<std::string>{});
  EXPECT_TRUE(pcsc->ReaderList().empty());
}

TEST_F(ManagerTest, LibraryLackingARequiredExportIsNotValid) {
  TFakePcsc variant(FAKE_PCSC_NOTRANSMIT_LIB);
  variant.AddReader("R1");
  Create(variant.Library());
  EXPECT_FALSE(pcsc->Valid());
  pcsc->Start();
  EXPECT_EQ(Quiet(300ms), std::vector<std::string>{});
}

TEST_F(ManagerTest, LibraryWithoutStatusChangeNeverSeesAReader) {
  TFakePcsc variant(FAKE_PCSC_NOSTATUS_LIB);
  variant.AddReader("R1");
  Create(variant.Library());
  EXPECT_TRUE(pcsc->Valid());
  pcsc->Start();
  EXPECT_EQ(Quiet(300ms), std::vector<std::string>{});
  pcsc.reset();
  EXPECT_EQ(variant.OpenContexts(), 0);
}

TEST_F(ManagerTest, ContextInEitherScopeOrNotValid) {
  fake.Inject("SCardEstablishContext", SCARD_E_NO_SERVICE, 1);
  Create();
  EXPECT_TRUE(pcsc->Valid());  // the user scope worked
  pcsc.reset();
  fake.Inject("SCardEstablishContext", SCARD_E_NO_SERVICE, 2);
  Create();
  EXPECT_FALSE(pcsc->Valid());
}

// When the service stops, old contexts answer one of these codes for ever; every context is
// replaced, the readers go, and they come back with the service.
TEST_F(ManagerTest, ServiceStopAndRestartLosesAndFindsReadersAgain) {
  for (const uint32_t code : {SCARD_E_NO_SERVICE, SCARD_F_COMM_ERROR, SCARD_E_SERVICE_STOPPED}) {
    fake.Reset();
    fake.AddReader("R1");
    fake.AddReader("R2");
    fake.InsertCard("R1", kAtr);
    Create();
    pcsc->Start();
    ASSERT_EQ(Next(4).size(), 4u);
    fake.StopService(code);
    EXPECT_EQ(Next(2), (std::vector<std::string>{"gone:R2", "gone:R1"})) << std::hex << code;
    EXPECT_EQ(Quiet(300ms), std::vector<std::string>{});
    fake.StartService();
    EXPECT_EQ(Next(4), (std::vector<std::string>{"found:R1", "found:R2",
                                                 std::string("insert:R1:") + kAtr, "remove:R2"}))
        << std::hex << code;
    fake.InsertCard("R2", "3B 02");
    EXPECT_EQ(Next(1), std::vector<std::string>{"insert:R2:3B 02"});
    pcsc.reset();
    EXPECT_EQ(fake.OpenContexts(), 0);
  }
}

TEST_F(ManagerTest, QuickServiceRestartKeepsReadersAndCardsAreSeenAgain) {
  fake.AddReader("R1");
  Create();
  pcsc->Start();
  ASSERT_EQ(Next(2).size(), 2u);
  fake.RestartService(SCARD_F_COMM_ERROR);  // between two passes
  fake.InsertCard("R1", kAtr);
  EXPECT_EQ(Next(1), std::vector<std::string>{std::string("insert:R1:") + kAtr});
  fake.RemoveCard("R1");
  EXPECT_EQ(Next(1), std::vector<std::string>{"remove:R1"});
}

TEST_F(ManagerTest, NoServiceAtStartThenTheServiceAppears) {
  fake.AddReader("R1");
  fake.StopService(SCARD_E_NO_SERVICE);
  Create();
  EXPECT_FALSE(pcsc->Valid());
  pcsc->Start();
  EXPECT_EQ(Quiet(300ms), std::vector<std::string>{});
  // Trying again is cheap: about one attempt per pass, not a busy loop.
  EXPECT_LT(fake.Calls("SCardEstablishContext").size(), 20u);
  fake.InsertCard("R1", kAtr);
  fake.StartService();
  EXPECT_EQ(Next(2), (std::vector<std::string>{"found:R1", std::string("insert:R1:") + kAtr}));
}

TEST_F(ManagerTest, ListingGivesUpAfterAFewFailedFills) {
  fake.AddReader("R1");
  Create();
  pcsc->Start();
  ASSERT_EQ(Next(2).size(), 2u);
  fake.Inject("SCardListReadersFill", SCARD_E_INSUFFICIENT_BUFFER);
  fake.ClearLog();
  fake.RestartService(SCARD_F_COMM_ERROR);  // forces a refresh
  EXPECT_EQ(Next(1), std::vector<std::string>{"gone:R1"});
  EXPECT_EQ(Quiet(300ms), std::vector<std::string>{});
  // One refresh: at most three fills after the size query succeeded (plus, on pcsc-lite, the
  // pseudo-reader's own listing once per pass).
  EXPECT_LT(fake.Calls("SCardListReaders fill").size(), 20u);
}

}  // namespace
