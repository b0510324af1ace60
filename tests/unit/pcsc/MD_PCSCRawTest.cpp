#include "pcsc/MD_PCSCRaw.h"

#include <gtest/gtest.h>

#include "FakePcscControl.h"

namespace {

using namespace pcsc;

struct TCodeText {
  uint32_t code;
  const char* text;
};

// Every row of the result-code table.
const TCodeText kResultTexts[] = {
    {0x00000000, "OK"},                                                   // SCARD_S_SUCCESS
    {0x80100001, "An internal consistency check failed."},                // SCARD_F_INTERNAL_ERROR
    {0x80100002, "The action was cancelled by an SCardCancel request."},  // SCARD_E_CANCELLED
    {0x80100003, "The supplied handle was invalid."},                     // SCARD_E_INVALID_HANDLE
    {0x80100004,
     "Один или более переданных параметров не могут быть правильно интерпретированы."},  // SCARD_E_INVALID_PARAMETER
    {0x80100005, "Registry startup information is missing or invalid."},  // SCARD_E_INVALID_TARGET
    {0x80100006, "Not enough memory available to complete this command."},  // SCARD_E_NO_MEMORY
    {0x80100007, "An internal consistency timer has expired."},  // SCARD_F_WAITED_TOO_LONG
    {0x80100008,
     "The data buffer to receive returned data is too small for the returned data."},  // SCARD_E_INSUFFICIENT_BUFFER
    {0x80100009, "The specified reader name is not recognized."},   // SCARD_E_UNKNOWN_READER
    {0x8010000A, "The user-specified timeout value has expired."},  // SCARD_E_TIMEOUT
    {0x8010000B,
     "The smart card cannot be accessed because of other connections outstanding."},  // SCARD_E_SHARING_VIOLATION
    {0x8010000C,
     "The operation requires a Smart Card, but no Smart Card is currently in the device."},  // SCARD_E_NO_SMARTCARD
    {0x8010000D, "The specified smart card name is not recognized."},  // SCARD_E_UNKNOWN_CARD
    {0x8010000E,
     "The system could not dispose of the media in the requested manner."},  // SCARD_E_CANT_DISPOSE
    {0x8010000F,
     "The requested protocols are incompatible with the protocol currently in use with the smart "
     "card."},  // SCARD_E_PROTO_MISMATCH
    {0x80100010, "The reader or smart card is not ready to accept commands."},  // SCARD_E_NOT_READY
    {0x80100011,
     "One or more of the supplied parameters values could not be properly "
     "interpreted."},  // SCARD_E_INVALID_VALUE
    {0x80100012,
     "The action was cancelled by the system, presumably to log off or shut down."},  // SCARD_E_SYSTEM_CANCELLED
    {0x80100013, "An internal communications error has been detected."},  // SCARD_F_COMM_ERROR
    {0x80100014,
     "An internal error has been detected, but the source is unknown."},  // SCARD_F_UNKNOWN_ERROR
    {0x80100015,
     "An ATR obtained from the registry is not a valid ATR string."},  // SCARD_E_INVALID_ATR
    {0x80100016,
     "An attempt was made to end a non-existent transaction."},  // SCARD_E_NOT_TRANSACTED
    {0x80100017,
     "The specified reader is not currently available for use."},  // SCARD_E_READER_UNAVAILABLE
    {0x80100018,
     "The operation has been aborted to allow the server application to exit."},  // SCARD_P_SHUTDOWN
    {0x80100019, "The PCI Receive buffer was too small."},  // SCARD_E_PCI_TOO_SMALL
    {0x8010001A,
     "The reader driver does not meet minimal requirements for support."},  // SCARD_E_READER_UNSUPPORTED
    {0x8010001B,
     "The reader driver did not produce a unique reader name."},  // SCARD_E_DUPLICATE_READER
    {0x8010001C,
     "The smart card does not meet minimal requirements for support."},  // SCARD_E_CARD_UNSUPPORTED
    {0x8010001D, "The Smart card resource manager is not running."},     // SCARD_E_NO_SERVICE
    {0x8010001E, "The Smart card resource manager has shut down."},      // SCARD_E_SERVICE_STOPPED
    {0x8010001F, "An unexpected card error has occurred."},              // SCARD_E_UNEXPECTED
    {0x80100020,
     "No Primary Provider can be found for the smart card."},  // SCARD_E_ICC_INSTALLATION
    {0x80100021,
     "The requested order of object creation is not supported."},  // SCARD_E_ICC_CREATEORDER
    {0x80100022,
     "This smart card does not support the requested feature."},  // SCARD_E_UNSUPPORTED_FEATURE
    {0x80100023,
     "The identified directory does not exist in the smart card."},  // SCARD_E_DIR_NOT_FOUND
    {0x80100024,
     "The identified file does not exist in the smart card."},  // SCARD_E_FILE_NOT_FOUND
    {0x80100025, "The supplied path does not represent a smart card directory."},  // SCARD_E_NO_DIR
    {0x80100026, "The supplied path does not represent a smart card file."},  // SCARD_E_NO_FILE
    {0x80100027, "Access is denied to this file."},                           // SCARD_E_NO_ACCESS
    {0x80100028,
     "The smartcard does not have enough memory to store the information."},  // SCARD_E_WRITE_TOO_MANY
    {0x80100029,
     "There was an error trying to set the smart card file object pointer."},  // SCARD_E_BAD_SEEK
    {0x8010002A, "The supplied PIN is incorrect."},  // SCARD_E_INVALID_CHV
    {0x8010002B,
     "An unrecognized error code was returned from a layered component."},  // SCARD_E_UNKNOWN_RES_MNG
    {0x8010002C, "The requested certificate does not exist."},  // SCARD_E_NO_SUCH_CERTIFICATE
    {0x8010002D,
     "The requested certificate could not be obtained."},  // SCARD_E_CERTIFICATE_UNAVAILABLE
    {0x8010002E, "Cannot find a smart card reader."},      // SCARD_E_NO_READERS_AVAILABLE
    {0x8010002F,
     "A communications error with the smart card has been detected. Retry the operation."},  // SCARD_E_COMM_DATA_LOST
    {0x80100030,
     "The requested key container does not exist on the smart card."},  // SCARD_E_NO_KEY_CONTAINER
    {0x80100031,
     "The Smart card resource manager is too busy to complete this operation."},  // SCARD_E_SERVER_TOO_BUSY
    {0x80100065,
     "The reader cannot communicate with the card, due to ATR string configuration conflicts."},  // SCARD_W_UNSUPPORTED_CARD
    {0x80100066, "The smart card is not responding to a reset."},  // SCARD_W_UNRESPONSIVE_CARD
    {0x80100067,
     "Power has been removed from the smart card, so that further communication is not "
     "possible."},  // SCARD_W_UNPOWERED_CARD
    {0x80100068,
     "The smart card has been reset, so any shared state information is invalid."},  // SCARD_W_RESET_CARD
    {0x80100069,
     "The smart card has been removed, so further communication is not possible."},  // SCARD_W_REMOVED_CARD
    {0x8010006A,
     "Access was denied because of a security violation."},  // SCARD_W_SECURITY_VIOLATION
    {0x8010006B,
     "The card cannot be accessed because the wrong PIN was presented."},  // SCARD_W_WRONG_CHV
    {0x8010006C,
     "The card cannot be accessed because the maximum number of PIN entry attempts has been "
     "reached."},                                                      // SCARD_W_CHV_BLOCKED
    {0x8010006D, "The end of the smart card file has been reached."},  // SCARD_W_EOF
    {0x8010006E, "The action was canceled by the user."},              // SCARD_W_CANCELLED_BY_USER
    {0x8010006F, "No PIN was presented to the Smart card."},  // SCARD_W_CARD_NOT_AUTHENTICATED
};

// Every exact status word.
const TCodeText kStatusWordTexts[] = {
    {0x6200, "State of non-volatile memory unchanged"},
    {0x6281, "State of non-volatile memory unchanged. Part of returned data may be corrupted."},
    {0x6282,
     "State of non-volatile memory unchanged. End of file/record reached before reading Le bytes."},
    {0x6283, "State of non-volatile memory unchanged. Selected file invalidated."},
    {0x6284, "State of non-volatile memory unchanged. FCI not formatted."},
    {0x6300, "State of non-volatile memory changed."},
    {0x6381, "State of non-volatile memory changed. File filled up by the last write."},
    {0x6400, "State of non-volatile memory unchanged."},
    {0x6500, "State of non-volatile memory changed."},
    {0x6581, "State of non-volatile memory changed. Memory Failure."},
    {0x6700, "Wrong length."},
    {0x6800, "Functions in CLA not supported."},
    {0x6881, "Functions in CLA not supported. Logical channel not supported."},
    {0x6882, "Functions in CLA not supported. Secure messaging not supported."},
    {0x6900, "Команда недоступна. "},
    {0x6981, "Команда недоступна. Нет данных"},
    {0x6982, "Команда недоступна. Ошибка чтения/записи или запись ключа не поддерживается"},
    {0x6983, "Команда недоступна. Метод авторизации этой картой не поддерживается"},
    {0x6984, "Command not allowed. Referenced data invalidated."},
    {0x6985, "Command not allowed. Conditions of use not satisfied."},
    {0x6986, "Команда недоступна. Запись ключа в оперативную память не поддерживается"},
    {0x6987, "Command not allowed. Expected SM data objects missing."},
    {0x6988, "Command not allowed. SM data objects incorrect."},
    {0x6989, "Команда недоступна. Ключ более 16 байт не поддерживается"},
    {0x6A00, "Wrong parameters P1 or P2."},
    {0x6A80, "Wrong parameter. Incorrect parameters in the data field."},
    {0x6A81, "Неверный параметр. Функция не поддерживается."},
    {0x6A82, "Wrong parameter. File not found."},
    {0x6A83, "Wrong parameter. Record not found."},
    {0x6A84, "Wrong parameter. Not enough memory space in the file."},
    {0x6A85, "Wrong parameter. Lc inconsistent with TLV structure."},
    {0x6A86, "Wrong parameters P1 or P2."},
    {0x6A87, "Wrong parameter. Lc inconsistent with P1-P2."},
    {0x6A88, "Wrong parameter. Referenced data not found."},
    {0x6B00, "Wrong parameters P1 or P2."},
    {0x6D00, "Instruction code not supported or invalid."},
    {0x6E00, "Class byte not supported."},
    {0x6F00, "Unknown error."},
    {0x9000, "OK"},
    {0x9100, "OK"},
};

TEST(SCardResultText, EveryRow) {
  for (const auto& row : kResultTexts)
    EXPECT_EQ(SCardResultText(row.code), row.text) << std::hex << row.code;
}

TEST(SCardResultText, UnknownCodesInDecimal) {
  EXPECT_EQ(SCardResultText(6), "Неизвестный код ошибки #6.");
  EXPECT_EQ(SCardResultText(0x80100070), "Неизвестный код ошибки #2148532336.");
  EXPECT_EQ(SCardResultText(0xFFFFFFFF), "Неизвестный код ошибки #4294967295.");
  EXPECT_EQ(SCardResultText(0x80100032), "Неизвестный код ошибки #2148532274.");
}

TEST(StatusWordText, EveryExactRow) {
  for (const auto& row : kStatusWordTexts)
    EXPECT_EQ(StatusWordText(static_cast<uint16_t>(row.code)), row.text) << std::hex << row.code;
}

TEST(StatusWordText, RulesBySw1) {
  const TCodeText cases[] = {
      {0x6110, "16 response bytes are still available."},
      {0x6100, "0 response bytes are still available."},
      {0x63C3, "State of non-volatile memory changed. Counter = 3"},
      {0x63C0, "State of non-volatile memory changed. Counter = 0"},
      {0x63CF, "State of non-volatile memory changed. Counter = 15"},
      {0x6310, "State of non-volatile memory changed."},
      {0x63D1, "State of non-volatile memory changed."},
      {0x6401, "State of non-volatile memory unchanged."},
      {0x6C10, "Wrong length Le: 16 expected."},
      {0x9010, "OK. 16 response byte(s) available"},
      {0x9FFF, "OK. 255 response byte(s) available"},
      {0x91AE, "DESFire specific error code: 174"},
      {0x6F01, "Неизвестный код ошибки #28417."},
      {0x0000, "Неизвестный код ошибки #0."},
      {0xFFFF, "Неизвестный код ошибки #65535."},
      {0x6A89, "Неизвестный код ошибки #27273."},
  };
  for (const auto& c : cases)
    EXPECT_EQ(StatusWordText(static_cast<uint16_t>(c.code)), c.text) << std::hex << c.code;
}

TEST(StatusWordText, PunctuationAsListed) {
  EXPECT_EQ(StatusWordText(0x6200).back(), 'd');  // no full stop
  EXPECT_EQ(StatusWordText(0x6400).back(), '.');
  EXPECT_EQ(StatusWordText(0x6900).back(), ' ');
}

// ---- the binding ----------------------------------------------------------------------------

// Calls every wrapper once; returns the codes in order.
std::vector<uint32_t> CallEveryWrapper(TPCSCRaw& raw) {
  THandle h = 0;
  uint32_t u = 0, u2 = 0, u3 = 0;
  TGuid guid{};
  TSCardReaderStateA state{};
  TSCardIoRequest pci{};
  uint8_t buffer[16] = {};
  TPcscChar text[16] = {};
  return {
      raw.SCardBeginTransaction(1),
      raw.SCardCancel(1),
      raw.SCardConnect(1, text, 2, 3, h, u),
      raw.SCardControl(1, 1, nullptr, 0, buffer, 16, u),
      raw.SCardDisconnect(1, 0),
      raw.SCardEndTransaction(1, 0),
      raw.SCardEstablishContext(2, nullptr, nullptr, h),
      raw.SCardFreeMemory(1, nullptr),
      raw.SCardGetAttrib(1, 1, buffer, u),
      raw.SCardGetProviderId(1, text, guid),
      raw.SCardGetStatusChange(1, 0, &state, 1),
      raw.SCardListReaders(1, nullptr, nullptr, u),
      raw.SCardListCards(1, nullptr, nullptr, 0, nullptr, u),
      raw.SCardListInterfaces(1, text, nullptr, u),
      raw.SCardListReaderGroups(1, nullptr, u),
      raw.SCardLocateCards(1, text, &state, 1),
      raw.SCardReconnect(1, 2, 2, 1, u),
      raw.SCardReleaseContext(1),
      raw.SCardTransmit(1, &pci, buffer, 1, nullptr, buffer, u),
      raw.SCardSetAttrib(1, 1, buffer, 1),
      raw.SCardStatus(1, text, u, u2, u3, buffer, u),
      raw.SCardIsValidContext(1),
  };
}

void ExpectAllUnsupported(TPCSCRaw& raw, pcsctest::TFakePcsc& fake) {
  fake.ClearLog();
  for (uint32_t code : CallEveryWrapper(raw)) EXPECT_EQ(code, SCARD_E_UNSUPPORTED_FEATURE);
  EXPECT_TRUE(fake.Log().empty()) << "a wrapper called the library";
}

TEST(TPCSCRaw, WrappersRefuseBeforeInitializeAndAfterShutdown) {
  pcsctest::TFakePcsc fake;
  TPCSCRaw raw(fake.Library());
  EXPECT_FALSE(raw.Valid());
  ExpectAllUnsupported(raw, fake);
  ASSERT_TRUE(raw.Initialize());
  EXPECT_TRUE(raw.Valid());
  EXPECT_NE(raw.hWinSCard(), nullptr);
  EXPECT_TRUE(raw.Shutdown());
  EXPECT_FALSE(raw.Valid());
  EXPECT_EQ(raw.hWinSCard(), nullptr);
  ExpectAllUnsupported(raw, fake);
  EXPECT_FALSE(raw.Shutdown());
}

TEST(TPCSCRaw, MissingLibrary) {
  TPCSCRaw raw("no-such-pcsc-library.so.0");
  EXPECT_FALSE(raw.Initialize());
  EXPECT_FALSE(raw.Valid());
  EXPECT_FALSE(raw.Shutdown());
  THandle context = 0;
  EXPECT_EQ(raw.SCardEstablishContext(2, nullptr, nullptr, context), SCARD_E_UNSUPPORTED_FEATURE);
}

TEST(TPCSCRaw, RequiredExportMissingMakesItInvalid) {
  pcsctest::TFakePcsc fake(FAKE_PCSC_NOTRANSMIT_LIB);
  TPCSCRaw raw(fake.Library());
  EXPECT_FALSE(raw.Initialize());
  EXPECT_EQ(raw.hWinSCard(), nullptr);
  ExpectAllUnsupported(raw, fake);
  EXPECT_FALSE(raw.Shutdown());
}

TEST(TPCSCRaw, StatusChangeIsOptional) {
  pcsctest::TFakePcsc fake(FAKE_PCSC_NOSTATUS_LIB);
  fake.AddReader("R1");
  TPCSCRaw raw(fake.Library());
  ASSERT_TRUE(raw.Initialize());
  THandle context = 0;
  EXPECT_EQ(raw.SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, context), 0u);
  TSCardReaderStateA state{};
  const TPcscString name = ToPcscString("R1");
  state.szReader = name.c_str();
  EXPECT_EQ(raw.SCardGetStatusChange(context, 1, &state, 1), SCARD_E_UNSUPPORTED_FEATURE);
  EXPECT_EQ(raw.SCardReleaseContext(context), 0u);
}

TEST(TPCSCRaw, WrappersPassArgumentsAndResultsThrough) {
  pcsctest::TFakePcsc fake;
  fake.AddReader("R1");
  fake.InsertCard("R1", "3B 8F 80 01");
  TPCSCRaw raw(fake.Library());
  ASSERT_TRUE(raw.Initialize());
  THandle context = 0;
  ASSERT_EQ(raw.SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, context), 0u);
  EXPECT_NE(context, 0u);
  const TPcscString name = ToPcscString("R1");
  THandle card = 0;
  uint32_t active = 0;
  EXPECT_EQ(raw.SCardConnect(context, name.c_str(), 2, 3, card, active), 0u);
  EXPECT_EQ(active, SCARD_PROTOCOL_T1);
  EXPECT_EQ(fake.Calls("SCardConnect"), std::vector<std::string>{"SCardConnect R1 2 3"});
  fake.Inject("SCardDisconnect", 0x80100017, 1);
  EXPECT_EQ(raw.SCardDisconnect(card, 2), 0x80100017u);  // injected, unchanged
  EXPECT_EQ(raw.SCardDisconnect(card, 2), 0u);
  EXPECT_EQ(raw.SCardIsValidContext(context), SCARD_E_UNSUPPORTED_FEATURE);  // never resolved
  EXPECT_EQ(raw.SCardReleaseContext(context), 0u);
  EXPECT_EQ(fake.OpenContexts(), 0);
}

TEST(TPCSCRaw, ControlCodeNeedsNoLibrary) {
  if (kPcscWideText) {
    EXPECT_EQ(TPCSCRaw::SCardCTLCode(0), 0x00310000u);
    EXPECT_EQ(TPCSCRaw::SCardCTLCode(2049), 0x00312004u);
  } else {
    EXPECT_EQ(TPCSCRaw::SCardCTLCode(0), 0x42000000u);
    EXPECT_EQ(TPCSCRaw::SCardCTLCode(2049), 0x42000801u);
  }
}

// The pseudo-reader answers as the monitor thread relies on, on both platforms: a change at
// once for dwCurrentState 0, the reader count in the high 16 bits, no change when the set is
// the same, a change when a reader comes or goes.
TEST(TPCSCRaw, PnpNotificationReportsReaderSetChanges) {
  pcsctest::TFakePcsc fake;
  fake.AddReader("R1");
  fake.AddReader("R2");
  TPCSCRaw raw(fake.Library());
  ASSERT_TRUE(raw.Initialize());
  THandle context = 0;
  ASSERT_EQ(raw.SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, context), 0u);
  const TPcscString pnp = ToPcscString(kPnpNotificationName);
  TSCardReaderStateA state{};
  state.szReader = pnp.c_str();
  const auto poll = [&] {
    const uint32_t r = raw.SCardGetStatusChange(context, 0, &state, 1);
    if (r == 0) state.dwCurrentState = state.dwEventState;
    return r;
  };
  ASSERT_EQ(poll(), 0u);
  EXPECT_EQ((state.dwEventState >> 16) & 0xFFFF, 2u);
  EXPECT_TRUE(state.dwEventState & SCARD_STATE_CHANGED);
  EXPECT_EQ(poll(), SCARD_E_TIMEOUT);
  EXPECT_EQ(poll(), SCARD_E_TIMEOUT);
  fake.RemoveReader("R2");
  ASSERT_EQ(poll(), 0u);
  EXPECT_EQ((state.dwEventState >> 16) & 0xFFFF, 1u);
  EXPECT_EQ(poll(), SCARD_E_TIMEOUT);
  fake.RemoveReader("R1");
  ASSERT_EQ(poll(), 0u);
  EXPECT_EQ((state.dwEventState >> 16) & 0xFFFF, 0u);
  EXPECT_EQ(poll(), SCARD_E_TIMEOUT);
  fake.AddReader("R3");
  EXPECT_EQ(poll(), 0u);
  raw.SCardReleaseContext(context);
}

TEST(TPCSCRaw, PnpNotificationWithNoReaderAtAllReportsAtOnce) {
  pcsctest::TFakePcsc fake;
  TPCSCRaw raw(fake.Library());
  ASSERT_TRUE(raw.Initialize());
  THandle context = 0;
  ASSERT_EQ(raw.SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, context), 0u);
  const TPcscString pnp = ToPcscString(kPnpNotificationName);
  TSCardReaderStateA state{};
  state.szReader = pnp.c_str();
  state.dwCurrentState = kPcscNativePnpNotification ? 0x10000 : 0;  // winscard counts readers
  EXPECT_EQ(raw.SCardGetStatusChange(context, 0, &state, 1), 0u);
  EXPECT_EQ((state.dwEventState >> 16) & 0xFFFF, 0u);
  raw.SCardReleaseContext(context);
}

}  // namespace
