#include "pcsc/MD_PCSCRaw.h"

#include <cstring>
#include <initializer_list>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

namespace pcsc {
namespace {

const std::unordered_map<uint32_t, const char*>& ResultTexts() {
  static const std::unordered_map<uint32_t, const char*> texts = {

      {0x00000000, "OK"},                                     // SCARD_S_SUCCESS
      {0x80100001, "An internal consistency check failed."},  // SCARD_F_INTERNAL_ERROR
      {0x80100002, "The action was cancelled by an SCardCancel request."},  // SCARD_E_CANCELLED
      {0x80100003, "The supplied handle was invalid."},  // SCARD_E_INVALID_HANDLE
      {0x80100004,
       "Один или более переданных параметров не могут быть правильно "
       "интерпретированы."},  // SCARD_E_INVALID_PARAMETER
      {0x80100005,
       "Registry startup information is missing or invalid."},  // SCARD_E_INVALID_TARGET
      {0x80100006, "Not enough memory available to complete this command."},  // SCARD_E_NO_MEMORY
      {0x80100007, "An internal consistency timer has expired."},  // SCARD_F_WAITED_TOO_LONG
      {0x80100008,
       "The data buffer to receive returned data is too small for the returned data."},  // SCARD_E_INSUFFICIENT_BUFFER
      {0x80100009, "The specified reader name is not recognized."},   // SCARD_E_UNKNOWN_READER
      {0x8010000A, "The user-specified timeout value has expired."},  // SCARD_E_TIMEOUT
      {0x8010000B,
       "The smart card cannot be accessed because of other connections "
       "outstanding."},  // SCARD_E_SHARING_VIOLATION
      {0x8010000C,
       "The operation requires a Smart Card, but no Smart Card is currently in the device."},  // SCARD_E_NO_SMARTCARD
      {0x8010000D, "The specified smart card name is not recognized."},  // SCARD_E_UNKNOWN_CARD
      {0x8010000E,
       "The system could not dispose of the media in the requested manner."},  // SCARD_E_CANT_DISPOSE
      {0x8010000F,
       "The requested protocols are incompatible with the protocol currently in use with the smart "
       "card."},  // SCARD_E_PROTO_MISMATCH
      {0x80100010,
       "The reader or smart card is not ready to accept commands."},  // SCARD_E_NOT_READY
      {0x80100011,
       "One or more of the supplied parameters values could not be properly interpreted."},  // SCARD_E_INVALID_VALUE
      {0x80100012,
       "The action was cancelled by the system, presumably to log off or shut "
       "down."},  // SCARD_E_SYSTEM_CANCELLED
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
      {0x8010001E, "The Smart card resource manager has shut down."},  // SCARD_E_SERVICE_STOPPED
      {0x8010001F, "An unexpected card error has occurred."},          // SCARD_E_UNEXPECTED
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
      {0x80100025,
       "The supplied path does not represent a smart card directory."},         // SCARD_E_NO_DIR
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
       "The reader cannot communicate with the card, due to ATR string configuration "
       "conflicts."},                                                // SCARD_W_UNSUPPORTED_CARD
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
      {0x8010006E, "The action was canceled by the user."},     // SCARD_W_CANCELLED_BY_USER
      {0x8010006F, "No PIN was presented to the Smart card."},  // SCARD_W_CARD_NOT_AUTHENTICATED
  };
  return texts;
}

const std::unordered_map<uint16_t, const char*>& StatusWordTexts() {
  static const std::unordered_map<uint16_t, const char*> texts = {
      {0x6200, "State of non-volatile memory unchanged"},
      {0x6281, "State of non-volatile memory unchanged. Part of returned data may be corrupted."},
      {0x6282,
       "State of non-volatile memory unchanged. End of file/record reached before reading Le "
       "bytes."},
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
  return texts;
}

// Joins the pieces by appending; the operator+ chains trip GCC 12's -Wrestrict on mingw.
std::string Join(std::initializer_list<std::string_view> pieces) {
  std::string text;
  for (std::string_view piece : pieces) text.append(piece);
  return text;
}

std::string UnknownCodeText(uint32_t code) {
  return Join({"Неизвестный код ошибки #", std::to_string(code), "."});
}

std::string StatusWordRuleText(uint16_t sw) {
  const unsigned sw1 = sw >> 8;
  const unsigned sw2 = sw & 0xFF;
  const std::string n = std::to_string(sw2);
  switch (sw1) {
    case 0x61:
      return Join({n, " response bytes are still available."});
    case 0x63:
      if ((sw2 & 0xF0) == 0xC0)
        return Join(
            {"State of non-volatile memory changed. Counter = ", std::to_string(sw2 & 0x0F)});
      return "State of non-volatile memory changed.";
    case 0x64:
      return "State of non-volatile memory unchanged.";
    case 0x6C:
      return Join({"Wrong length Le: ", n, " expected."});
    case 0x90:
    case 0x9F:
      return Join({"OK. ", n, " response byte(s) available"});
    case 0x91:
      return Join({"DESFire specific error code: ", n});
    default:
      return UnknownCodeText(sw);
  }
}

TPcscAbiHandle Abi(THandle handle) {
  return static_cast<TPcscAbiHandle>(handle);
}
uint32_t Result(TPcscLong code) {
  return static_cast<uint32_t>(code);
}

// 64-bit FNV-1a over the reader names.
uint64_t HashNames(const TPcscChar* names, size_t length) {
  uint64_t h = 14695981039346656037ull;
  for (size_t i = 0; i < length; ++i) {
    h ^= static_cast<uint64_t>(static_cast<std::make_unsigned_t<TPcscChar>>(names[i]));
    h *= 1099511628211ull;
  }
  return h;
}

// What the pseudo-reader's state says about a set of readers: the count in the high 16 bits
// (as winscard has it), a hash of the names in bits 4..15 (never 0, so that the state a caller
// starts with always differs) and, where the state is 64 bits wide, more of the hash above.
TPcscDword DescribeReaderSet(const TPcscChar* names, size_t length) {
  size_t count = 0;
  for (size_t i = 0; i < length; ++i)
    if (names[i] == 0 && i > 0 && names[i - 1] != 0) ++count;
  const uint64_t h = HashNames(names, length);
  TPcscDword state = static_cast<TPcscDword>((count & 0xFFFF) << 16);
  state |= static_cast<TPcscDword>((h % 4095 + 1) << 4);
  state |= static_cast<TPcscDword>((h >> 32) << 32);
  return state;
}

}  // namespace

const char* DefaultPCSCLibraryName() {
  return kPcscDefaultLibrary;
}

std::string SCardResultText(uint32_t code) {
  const auto& texts = ResultTexts();
  const auto it = texts.find(code);
  return it != texts.end() ? it->second : UnknownCodeText(code);
}

std::string StatusWordText(uint16_t sw) {
  const auto& texts = StatusWordTexts();
  const auto it = texts.find(sw);
  return it != texts.end() ? it->second : StatusWordRuleText(sw);
}

TPCSCRaw::TPCSCRaw(std::string libraryName) : FLibraryName(std::move(libraryName)) {}

TPCSCRaw::~TPCSCRaw() {
  if (FValid) Shutdown();
}

void TPCSCRaw::ClearEntryPoints() {
  FSCardBeginTransaction = nullptr;
  FSCardCancel = nullptr;
  FSCardConnect = nullptr;
  FSCardControl = nullptr;
  FSCardDisconnect = nullptr;
  FSCardEndTransaction = nullptr;
  FSCardEstablishContext = nullptr;
  FSCardFreeMemory = nullptr;
  FSCardGetAttrib = nullptr;
  FSCardGetProviderId = nullptr;
  FSCardGetStatusChange = nullptr;
  FSCardListReaders = nullptr;
  FSCardListCards = nullptr;
  FSCardListInterfaces = nullptr;
  FSCardListReaderGroups = nullptr;
  FSCardLocateCards = nullptr;
  FSCardReconnect = nullptr;
  FSCardReleaseContext = nullptr;
  FSCardTransmit = nullptr;
  FSCardSetAttrib = nullptr;
  FSCardStatus = nullptr;
  FSCardIsValidContext = nullptr;
}

bool TPCSCRaw::Initialize() {
  if (FValid) return true;
  if (!FLib.Load(FLibraryName)) return false;
  const auto resolve = [this](auto& fn, const char* name) {
    fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(FLib.Symbol(name));
  };
  resolve(FSCardBeginTransaction, "SCardBeginTransaction");
  resolve(FSCardCancel, "SCardCancel");
  resolve(FSCardConnect, MD_PCSC_TEXT_EXPORT("SCardConnect"));
  resolve(FSCardGetStatusChange, MD_PCSC_TEXT_EXPORT("SCardGetStatusChange"));
  resolve(FSCardListReaders, MD_PCSC_TEXT_EXPORT("SCardListReaders"));
  resolve(FSCardListCards, MD_PCSC_TEXT_EXPORT("SCardListCards"));
  resolve(FSCardListInterfaces, MD_PCSC_TEXT_EXPORT("SCardListInterfaces"));
  resolve(FSCardGetProviderId, MD_PCSC_TEXT_EXPORT("SCardGetProviderId"));
  resolve(FSCardListReaderGroups, MD_PCSC_TEXT_EXPORT("SCardListReaderGroups"));
  resolve(FSCardLocateCards, MD_PCSC_TEXT_EXPORT("SCardLocateCards"));
  resolve(FSCardStatus, MD_PCSC_TEXT_EXPORT("SCardStatus"));
  FSCardIsValidContext = nullptr;
  resolve(FSCardControl, "SCardControl");
  resolve(FSCardDisconnect, "SCardDisconnect");
  resolve(FSCardEndTransaction, "SCardEndTransaction");
  resolve(FSCardEstablishContext, "SCardEstablishContext");
  resolve(FSCardFreeMemory, "SCardFreeMemory");
  resolve(FSCardGetAttrib, "SCardGetAttrib");
  resolve(FSCardReconnect, "SCardReconnect");
  resolve(FSCardReleaseContext, "SCardReleaseContext");
  resolve(FSCardTransmit, "SCardTransmit");
  resolve(FSCardSetAttrib, "SCardSetAttrib");

  FValid = FSCardConnect && FSCardControl && FSCardDisconnect && FSCardEstablishContext &&
           FSCardGetAttrib && FSCardListReaders && FSCardReconnect && FSCardReleaseContext &&
           FSCardTransmit && FSCardStatus;
  if (!FValid) {
    // The library stays loaded; its handle is not kept.
    FLib.Release();
    return false;
  }
  FhWinSCard = FLib.Handle();
  return true;
}

bool TPCSCRaw::Shutdown() {
  if (!FValid) return false;
  FValid = false;
  ClearEntryPoints();
  FLib.Unload();
  FhWinSCard = nullptr;
  return true;
}

uint32_t TPCSCRaw::SCardBeginTransaction(THandle hCard) {
  if (!Usable(FSCardBeginTransaction)) return SCARD_E_UNSUPPORTED_FEATURE;
  return Result(FSCardBeginTransaction(Abi(hCard)));
}

uint32_t TPCSCRaw::SCardCancel(THandle hContext) {
  if (!Usable(FSCardCancel)) return SCARD_E_UNSUPPORTED_FEATURE;
  return Result(FSCardCancel(Abi(hContext)));
}

uint32_t TPCSCRaw::SCardConnect(THandle hContext, const TPcscChar* pReader, uint32_t ShareMode,
                                uint32_t PreferredProtocols, THandle& CardHandle,
                                uint32_t& ActiveProtocol) {
  if (!Usable(FSCardConnect)) return SCARD_E_UNSUPPORTED_FEATURE;
  TPcscAbiHandle card = Abi(CardHandle);
  TPcscDword active = ActiveProtocol;
  const TPcscLong r =
      FSCardConnect(Abi(hContext), pReader, ShareMode, PreferredProtocols, &card, &active);
  CardHandle = static_cast<THandle>(card);
  ActiveProtocol = static_cast<uint32_t>(active);
  return Result(r);
}

uint32_t TPCSCRaw::SCardControl(THandle hCard, uint32_t IoCtl, const void* pInBuffer,
                                uint32_t SizeInBuffer, void* pOutBuffer, uint32_t SizeOutBuffer,
                                uint32_t& BytesRet) {
  if (!Usable(FSCardControl)) return SCARD_E_UNSUPPORTED_FEATURE;
  TPcscDword returned = BytesRet;
  const TPcscLong r = FSCardControl(Abi(hCard), IoCtl, pInBuffer, SizeInBuffer, pOutBuffer,
                                    SizeOutBuffer, &returned);
  BytesRet = static_cast<uint32_t>(returned);
  return Result(r);
}

uint32_t TPCSCRaw::SCardDisconnect(THandle hCard, uint32_t Disposition) {
  if (!Usable(FSCardDisconnect)) return SCARD_E_UNSUPPORTED_FEATURE;
  return Result(FSCardDisconnect(Abi(hCard), Disposition));
}

uint32_t TPCSCRaw::SCardEndTransaction(THandle hCard, uint32_t Disposition) {
  if (!Usable(FSCardEndTransaction)) return SCARD_E_UNSUPPORTED_FEATURE;
  return Result(FSCardEndTransaction(Abi(hCard), Disposition));
}

uint32_t TPCSCRaw::SCardEstablishContext(uint32_t Scope, const void* pReserved1,
                                         const void* pReserved2, THandle& hContext) {
  if (!Usable(FSCardEstablishContext)) return SCARD_E_UNSUPPORTED_FEATURE;
  TPcscAbiHandle context = Abi(hContext);
  const TPcscLong r = FSCardEstablishContext(Scope, pReserved1, pReserved2, &context);
  hContext = static_cast<THandle>(context);
  return Result(r);
}

uint32_t TPCSCRaw::SCardFreeMemory(THandle hContext, const void* pMem) {
  if (!Usable(FSCardFreeMemory)) return SCARD_E_UNSUPPORTED_FEATURE;
  return Result(FSCardFreeMemory(Abi(hContext), pMem));
}

uint32_t TPCSCRaw::SCardGetAttrib(THandle hCard, uint32_t AttrId, uint8_t* pAttr,
                                  uint32_t& SizeAttr) {
  if (!Usable(FSCardGetAttrib)) return SCARD_E_UNSUPPORTED_FEATURE;
  TPcscDword size = SizeAttr;
  const TPcscLong r = FSCardGetAttrib(Abi(hCard), AttrId, pAttr, &size);
  SizeAttr = static_cast<uint32_t>(size);
  return Result(r);
}

uint32_t TPCSCRaw::SCardGetProviderId(THandle hContext, const TPcscChar* pCard,
                                      TGuid& GuidProviderId) {
  if (!Usable(FSCardGetProviderId)) return SCARD_E_UNSUPPORTED_FEATURE;
  return Result(FSCardGetProviderId(Abi(hContext), pCard, &GuidProviderId));
}

uint32_t TPCSCRaw::SCardGetStatusChange(THandle hContext, uint32_t Timeout,
                                        PSCardReaderStateA pReaderStates,
                                        uint32_t ReadersStatesCount) {
  if (!Usable(FSCardGetStatusChange)) return SCARD_E_UNSUPPORTED_FEATURE;
  if (!kPcscNativePnpNotification && ReadersStatesCount == 1 && pReaderStates &&
      pReaderStates->szReader &&
      FromPcscString(pReaderStates->szReader, std::char_traits<TPcscChar>::length(
                                                  pReaderStates->szReader)) == kPnpNotificationName)
    return PnpStatusChange(hContext, *pReaderStates);
  return Result(FSCardGetStatusChange(Abi(hContext), Timeout, pReaderStates, ReadersStatesCount));
}

// pcsc-lite never reports a change on the pseudo-reader when the wait is 0 ms. Instead the
// current reader list is compared with the set that dwCurrentState describes: 0 with
// SCARD_STATE_CHANGED when they differ, SCARD_E_TIMEOUT when not, the listing's code when the
// service cannot list.
uint32_t TPCSCRaw::PnpStatusChange(THandle hContext, TSCardReaderStateA& state) {
  std::vector<TPcscChar> names;
  TPcscDword size = 0;
  TPcscLong r = FSCardListReaders(Abi(hContext), nullptr, nullptr, &size);
  if (Result(r) == SCARD_S_SUCCESS && size > 0) {
    names.resize(size + 1);
    r = FSCardListReaders(Abi(hContext), nullptr, names.data(), &size);
    names.resize(Result(r) == SCARD_S_SUCCESS ? size : 0);
  }
  if (Result(r) == SCARD_E_NO_READERS_AVAILABLE) {
    names.clear();
    r = 0;
  }
  if (Result(r) != SCARD_S_SUCCESS) return Result(r);
  const TPcscDword described = DescribeReaderSet(names.data(), names.size());
  state.dwEventState = described;
  if ((state.dwCurrentState & ~SCARD_STATE_CHANGED) == described) return SCARD_E_TIMEOUT;
  state.dwEventState |= SCARD_STATE_CHANGED;
  return SCARD_S_SUCCESS;
}

uint32_t TPCSCRaw::SCardListReaders(THandle hContext, const TPcscChar* pGroups, TPcscChar* pReaders,
                                    uint32_t& SizeReaders) {
  if (!Usable(FSCardListReaders)) return SCARD_E_UNSUPPORTED_FEATURE;
  TPcscDword size = SizeReaders;
  const TPcscLong r = FSCardListReaders(Abi(hContext), pGroups, pReaders, &size);
  SizeReaders = static_cast<uint32_t>(size);
  return Result(r);
}

uint32_t TPCSCRaw::SCardListCards(THandle hContext, const uint8_t* pAtr,
                                  const TGuid* pGuidInterfaces, uint32_t GuidInterfacesCount,
                                  TPcscChar* pCards, uint32_t& SizeCards) {
  if (!Usable(FSCardListCards)) return SCARD_E_UNSUPPORTED_FEATURE;
  TPcscDword size = SizeCards;
  const TPcscLong r =
      FSCardListCards(Abi(hContext), pAtr, pGuidInterfaces, GuidInterfacesCount, pCards, &size);
  SizeCards = static_cast<uint32_t>(size);
  return Result(r);
}

uint32_t TPCSCRaw::SCardListInterfaces(THandle hContext, const TPcscChar* pCard,
                                       TGuid* pGuidInterfaces, uint32_t& GuidInterfacesCount) {
  if (!Usable(FSCardListInterfaces)) return SCARD_E_UNSUPPORTED_FEATURE;
  TPcscDword count = GuidInterfacesCount;
  const TPcscLong r = FSCardListInterfaces(Abi(hContext), pCard, pGuidInterfaces, &count);
  GuidInterfacesCount = static_cast<uint32_t>(count);
  return Result(r);
}

uint32_t TPCSCRaw::SCardListReaderGroups(THandle hContext, TPcscChar* pGroups,
                                         uint32_t& SizeGroups) {
  if (!Usable(FSCardListReaderGroups)) return SCARD_E_UNSUPPORTED_FEATURE;
  TPcscDword size = SizeGroups;
  const TPcscLong r = FSCardListReaderGroups(Abi(hContext), pGroups, &size);
  SizeGroups = static_cast<uint32_t>(size);
  return Result(r);
}

uint32_t TPCSCRaw::SCardLocateCards(THandle hContext, const TPcscChar* pCards,
                                    PSCardReaderStateA pReaderStates, uint32_t ReaderStatesCount) {
  if (!Usable(FSCardLocateCards)) return SCARD_E_UNSUPPORTED_FEATURE;
  return Result(FSCardLocateCards(Abi(hContext), pCards, pReaderStates, ReaderStatesCount));
}

uint32_t TPCSCRaw::SCardReconnect(THandle hCard, uint32_t ShareMode, uint32_t PreferredProtocols,
                                  uint32_t dwInitialization, uint32_t& ActiveProtocol) {
  if (!Usable(FSCardReconnect)) return SCARD_E_UNSUPPORTED_FEATURE;
  TPcscDword active = ActiveProtocol;
  const TPcscLong r =
      FSCardReconnect(Abi(hCard), ShareMode, PreferredProtocols, dwInitialization, &active);
  ActiveProtocol = static_cast<uint32_t>(active);
  return Result(r);
}

uint32_t TPCSCRaw::SCardReleaseContext(THandle hContext) {
  if (!Usable(FSCardReleaseContext)) return SCARD_E_UNSUPPORTED_FEATURE;
  return Result(FSCardReleaseContext(Abi(hContext)));
}

uint32_t TPCSCRaw::SCardTransmit(THandle hCard, const TSCardIoRequest* PioSendPci,
                                 const uint8_t* SendBuffer, uint32_t SizeSendBuffer,
                                 PSCardIoRequest PioRecvPci, uint8_t* RecvBuffer,
                                 uint32_t& SizeRecvBuffer) {
  if (!Usable(FSCardTransmit)) return SCARD_E_UNSUPPORTED_FEATURE;
  TPcscDword size = SizeRecvBuffer;
  const TPcscLong r = FSCardTransmit(Abi(hCard), PioSendPci, SendBuffer, SizeSendBuffer, PioRecvPci,
                                     RecvBuffer, &size);
  SizeRecvBuffer = static_cast<uint32_t>(size);
  return Result(r);
}

uint32_t TPCSCRaw::SCardSetAttrib(THandle hCard, uint32_t AttrId, const uint8_t* pAttr,
                                  uint32_t AttrLen) {
  if (!Usable(FSCardSetAttrib)) return SCARD_E_UNSUPPORTED_FEATURE;
  return Result(FSCardSetAttrib(Abi(hCard), AttrId, pAttr, AttrLen));
}

uint32_t TPCSCRaw::SCardStatus(THandle hCard, TPcscChar* pReaderNames, uint32_t& SizeReaderNames,
                               uint32_t& State, uint32_t& Protocol, uint8_t* pAtr,
                               uint32_t& AtrLen) {
  if (!Usable(FSCardStatus)) return SCARD_E_UNSUPPORTED_FEATURE;
  TPcscDword namesSize = SizeReaderNames, state = State, protocol = Protocol, atrLen = AtrLen;
  const TPcscLong r =
      FSCardStatus(Abi(hCard), pReaderNames, &namesSize, &state, &protocol, pAtr, &atrLen);
  SizeReaderNames = static_cast<uint32_t>(namesSize);
  State = static_cast<uint32_t>(state);
  Protocol = static_cast<uint32_t>(protocol);
  AtrLen = static_cast<uint32_t>(atrLen);
  return Result(r);
}

uint32_t TPCSCRaw::SCardIsValidContext(THandle hContext) {
  if (!Usable(FSCardIsValidContext)) return SCARD_E_UNSUPPORTED_FEATURE;
  return Result(FSCardIsValidContext(Abi(hContext)));
}

}  // namespace pcsc
