#pragma once

#include <cstdint>
#include <string>

#include "base/DynLib.h"
#include "pcsc/MD_PCSCDef.h"

namespace pcsc {

// "winscard.dll" on Windows, "libpcsclite.so.1" on Linux.
const char* DefaultPCSCLibraryName();

std::string SCardResultText(uint32_t code);
std::string StatusWordText(uint16_t sw);

// The run-time binding to the PC/SC library. Every wrapper answers
// SCARD_E_UNSUPPORTED_FEATURE without calling anything while the binding is not valid or its
// entry point is missing; otherwise it passes its arguments through and returns the result.
class TPCSCRaw {
 public:
  explicit TPCSCRaw(std::string libraryName = DefaultPCSCLibraryName());
  ~TPCSCRaw();
  TPCSCRaw(const TPCSCRaw&) = delete;
  TPCSCRaw& operator=(const TPCSCRaw&) = delete;

  bool Initialize();
  bool Shutdown();
  bool Valid() const { return FValid; }
  void* hWinSCard() const { return FhWinSCard; }
  const std::string& LibraryName() const { return FLibraryName; }

  uint32_t SCardBeginTransaction(THandle hCard);
  uint32_t SCardCancel(THandle hContext);
  uint32_t SCardConnect(THandle hContext, const TPcscChar* pReader, uint32_t ShareMode,
                        uint32_t PreferredProtocols, THandle& CardHandle, uint32_t& ActiveProtocol);
  uint32_t SCardControl(THandle hCard, uint32_t IoCtl, const void* pInBuffer, uint32_t SizeInBuffer,
                        void* pOutBuffer, uint32_t SizeOutBuffer, uint32_t& BytesRet);
  uint32_t SCardDisconnect(THandle hCard, uint32_t Disposition);
  uint32_t SCardEndTransaction(THandle hCard, uint32_t Disposition);
  uint32_t SCardEstablishContext(uint32_t Scope, const void* pReserved1, const void* pReserved2,
                                 THandle& hContext);
  uint32_t SCardFreeMemory(THandle hContext, const void* pMem);
  uint32_t SCardGetAttrib(THandle hCard, uint32_t AttrId, uint8_t* pAttr, uint32_t& SizeAttr);
  uint32_t SCardGetProviderId(THandle hContext, const TPcscChar* pCard, TGuid& GuidProviderId);
  // On pcsc-lite the plug-and-play pseudo-reader is answered here, as winscard answers it.
  uint32_t SCardGetStatusChange(THandle hContext, uint32_t Timeout,
                                PSCardReaderStateA pReaderStates, uint32_t ReadersStatesCount);
  uint32_t SCardListReaders(THandle hContext, const TPcscChar* pGroups, TPcscChar* pReaders,
                            uint32_t& SizeReaders);
  uint32_t SCardListCards(THandle hContext, const uint8_t* pAtr, const TGuid* pGuidInterfaces,
                          uint32_t GuidInterfacesCount, TPcscChar* pCards, uint32_t& SizeCards);
  uint32_t SCardListInterfaces(THandle hContext, const TPcscChar* pCard, TGuid* pGuidInterfaces,
                               uint32_t& GuidInterfacesCount);
  uint32_t SCardListReaderGroups(THandle hContext, TPcscChar* pGroups, uint32_t& SizeGroups);
  uint32_t SCardLocateCards(THandle hContext, const TPcscChar* pCards,
                            PSCardReaderStateA pReaderStates, uint32_t ReaderStatesCount);
  uint32_t SCardReconnect(THandle hCard, uint32_t ShareMode, uint32_t PreferredProtocols,
                          uint32_t dwInitialization, uint32_t& ActiveProtocol);
  uint32_t SCardReleaseContext(THandle hContext);
  uint32_t SCardTransmit(THandle hCard, const TSCardIoRequest* PioSendPci,
                         const uint8_t* SendBuffer, uint32_t SizeSendBuffer,
                         PSCardIoRequest PioRecvPci, uint8_t* RecvBuffer, uint32_t& SizeRecvBuffer);
  uint32_t SCardSetAttrib(THandle hCard, uint32_t AttrId, const uint8_t* pAttr, uint32_t AttrLen);
  uint32_t SCardStatus(THandle hCard, TPcscChar* pReaderNames, uint32_t& SizeReaderNames,
                       uint32_t& State, uint32_t& Protocol, uint8_t* pAtr, uint32_t& AtrLen);
  // Never resolved: always SCARD_E_UNSUPPORTED_FEATURE.
  uint32_t SCardIsValidContext(THandle hContext);

  // The platform's control code for a reader function number; needs no library.
  static uint32_t SCardCTLCode(uint32_t Code) { return PlatformCtlCode(Code); }

 private:
  template <typename TFn>
  bool Usable(TFn fn) const {
    return FValid && fn != nullptr;
  }
  void ClearEntryPoints();
  uint32_t PnpStatusChange(THandle hContext, TSCardReaderStateA& state);

  std::string FLibraryName;
  base::TDynLib FLib;
  bool FValid = false;
  void* FhWinSCard = nullptr;

  TSCardBeginTransactionFn FSCardBeginTransaction = nullptr;
  TSCardCancelFn FSCardCancel = nullptr;
  TSCardConnectFn FSCardConnect = nullptr;
  TSCardControlFn FSCardControl = nullptr;
  TSCardDisconnectFn FSCardDisconnect = nullptr;
  TSCardEndTransactionFn FSCardEndTransaction = nullptr;
  TSCardEstablishContextFn FSCardEstablishContext = nullptr;
  TSCardFreeMemoryFn FSCardFreeMemory = nullptr;
  TSCardGetAttribFn FSCardGetAttrib = nullptr;
  TSCardGetProviderIdFn FSCardGetProviderId = nullptr;
  TSCardGetStatusChangeFn FSCardGetStatusChange = nullptr;
  TSCardListReadersFn FSCardListReaders = nullptr;
  TSCardListCardsFn FSCardListCards = nullptr;
  TSCardListInterfacesFn FSCardListInterfaces = nullptr;
  TSCardListReaderGroupsFn FSCardListReaderGroups = nullptr;
  TSCardLocateCardsFn FSCardLocateCards = nullptr;
  TSCardReconnectFn FSCardReconnect = nullptr;
  TSCardReleaseContextFn FSCardReleaseContext = nullptr;
  TSCardTransmitFn FSCardTransmit = nullptr;
  TSCardSetAttribFn FSCardSetAttrib = nullptr;
  TSCardStatusFn FSCardStatus = nullptr;
  TSCardIsValidContextFn FSCardIsValidContext = nullptr;
};

}  // namespace pcsc
