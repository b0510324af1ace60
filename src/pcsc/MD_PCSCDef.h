#pragma once

// The PC/SC records, constants and entry-point types of the platform's smart-card library,
// declared here so that no platform PC/SC header is needed. This is the only place that knows
// how winscard.dll and pcsc-lite differ.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/TextConv.h"

#ifdef _WIN32
#define MD_PCSC_API __stdcall
// Export names of functions that take text: the wide-character form on Windows.
#define MD_PCSC_TEXT_EXPORT(name) name "W"
#define MD_PCSC_TEXT_FN(name) name##W
#else
#define MD_PCSC_API
#define MD_PCSC_TEXT_EXPORT(name) name
#define MD_PCSC_TEXT_FN(name) name
#endif

namespace pcsc {

using TBytes = std::vector<uint8_t>;

// The ABI's integer types: DWORD and LONG are unsigned long and long on both platforms
// (32-bit on Windows, 64-bit on x86-64 Linux).
using TPcscDword = unsigned long;
using TPcscLong = long;

// Context and card handles as the program keeps them: unsigned, pointer-size.
using THandle = uintptr_t;
constexpr THandle kNoCardHandle = static_cast<THandle>(-1);

#ifdef _WIN32
using TPcscChar = char16_t;        // WCHAR
using TPcscAbiHandle = uintptr_t;  // ULONG_PTR
constexpr bool kPcscWideText = true;
// winscard reports reader-set changes on the plug-and-play pseudo-reader itself.
constexpr bool kPcscNativePnpNotification = true;
constexpr TPcscDword SCARD_PROTOCOL_RAW = 0x10000;
constexpr size_t kPcscMaxAtrSize = 36;
constexpr const char* kPcscDefaultLibrary = "winscard.dll";
constexpr uint32_t PlatformCtlCode(uint32_t code) {
  return 0x00310000u | (code << 2);
}
#else
using TPcscChar = char;
using TPcscAbiHandle = long;  // SCARDCONTEXT / SCARDHANDLE of pcsc-lite
constexpr bool kPcscWideText = false;
// pcsc-lite answers a time-out on the pseudo-reader when the wait is 0 ms, whatever changed;
// the binding gives it the winscard behaviour (MD_PCSCRaw).
constexpr bool kPcscNativePnpNotification = false;
constexpr TPcscDword SCARD_PROTOCOL_RAW = 4;
constexpr size_t kPcscMaxAtrSize = 33;
constexpr const char* kPcscDefaultLibrary = "libpcsclite.so.1";
constexpr uint32_t PlatformCtlCode(uint32_t code) {
  return 0x42000000u + code;
}
#endif

using TPcscString = std::basic_string<TPcscChar>;

// The platform's reader-state record (SCARD_READERSTATE).
struct TSCardReaderStateA {
  const TPcscChar* szReader;
  void* pvUserData;
  TPcscDword dwCurrentState;
  TPcscDword dwEventState;
  TPcscDword cbAtr;
  uint8_t rgbAtr[kPcscMaxAtrSize];
};
using PSCardReaderStateA = TSCardReaderStateA*;

// The protocol control information header (SCARD_IO_REQUEST); Size is its own size.
struct TSCardIoRequest {
  TPcscDword Protocol;
  TPcscDword Size;
};
using PSCardIoRequest = TSCardIoRequest*;

// The records must match the library's byte for byte.
static_assert(sizeof(void*) != 4 || !kPcscWideText || sizeof(TSCardReaderStateA) == 56,
              "winscard's 32-bit SCARD_READERSTATE is 56 bytes");
static_assert(offsetof(TSCardReaderStateA, rgbAtr) == 2 * sizeof(void*) + 3 * sizeof(TPcscDword),
              "SCARD_READERSTATE has no padding before rgbAtr");
static_assert(sizeof(TSCardIoRequest) == 2 * sizeof(TPcscDword), "SCARD_IO_REQUEST");

struct TGuid {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};

enum class TPcscProtocol { prNC, prT0, prT1, prRaw, prDirect };

// Result codes.
constexpr uint32_t SCARD_S_SUCCESS = 0;
constexpr uint32_t ERROR_INVALID_HANDLE = 6;
constexpr uint32_t ERROR_BROKEN_PIPE = 109;
constexpr uint32_t SCARD_F_INTERNAL_ERROR = 0x80100001;
constexpr uint32_t SCARD_E_CANCELLED = 0x80100002;
constexpr uint32_t SCARD_E_INVALID_HANDLE = 0x80100003;
constexpr uint32_t SCARD_E_INVALID_PARAMETER = 0x80100004;
constexpr uint32_t SCARD_E_INSUFFICIENT_BUFFER = 0x80100008;
constexpr uint32_t SCARD_E_UNKNOWN_READER = 0x80100009;
constexpr uint32_t SCARD_E_TIMEOUT = 0x8010000A;
constexpr uint32_t SCARD_E_SHARING_VIOLATION = 0x8010000B;
constexpr uint32_t SCARD_E_NO_SMARTCARD = 0x8010000C;
constexpr uint32_t SCARD_F_COMM_ERROR = 0x80100013;
constexpr uint32_t SCARD_E_NO_SERVICE = 0x8010001D;
constexpr uint32_t SCARD_E_SERVICE_STOPPED = 0x8010001E;
constexpr uint32_t SCARD_E_UNSUPPORTED_FEATURE = 0x80100022;
constexpr uint32_t SCARD_E_NO_READERS_AVAILABLE = 0x8010002E;
constexpr uint32_t SCARD_W_UNRESPONSIVE_CARD = 0x80100066;
constexpr uint32_t SCARD_W_REMOVED_CARD = 0x80100069;

// Scopes, share modes, dispositions, protocols.
constexpr uint32_t SCARD_SCOPE_USER = 0;
constexpr uint32_t SCARD_SCOPE_SYSTEM = 2;
constexpr uint32_t SCARD_SHARE_EXCLUSIVE = 1;
constexpr uint32_t SCARD_SHARE_SHARED = 2;
constexpr uint32_t SCARD_SHARE_DIRECT = 3;
constexpr uint32_t SCARD_LEAVE_CARD = 0;
constexpr uint32_t SCARD_RESET_CARD = 1;
constexpr uint32_t SCARD_UNPOWER_CARD = 2;
constexpr TPcscDword SCARD_PROTOCOL_UNDEFINED = 0;
constexpr TPcscDword SCARD_PROTOCOL_T0 = 1;
constexpr TPcscDword SCARD_PROTOCOL_T1 = 2;

// Reader state bits.
constexpr TPcscDword SCARD_STATE_UNAWARE = 0x0;
constexpr TPcscDword SCARD_STATE_IGNORE = 0x1;
constexpr TPcscDword SCARD_STATE_CHANGED = 0x2;
constexpr TPcscDword SCARD_STATE_UNKNOWN = 0x4;
constexpr TPcscDword SCARD_STATE_UNAVAILABLE = 0x8;
constexpr TPcscDword SCARD_STATE_EMPTY = 0x10;
constexpr TPcscDword SCARD_STATE_PRESENT = 0x20;
constexpr TPcscDword SCARD_STATE_ATRMATCH = 0x40;
constexpr TPcscDword SCARD_STATE_EXCLUSIVE = 0x80;
constexpr TPcscDword SCARD_STATE_INUSE = 0x100;
constexpr TPcscDword SCARD_STATE_MUTE = 0x200;

// Reader attributes.
constexpr uint32_t SCARD_ATTR_VENDOR_NAME = 0x00010100;
constexpr uint32_t SCARD_ATTR_VENDOR_IFD_VERSION = 0x00010102;
constexpr uint32_t SCARD_ATTR_VENDOR_IFD_SERIAL_NO = 0x00010103;
constexpr uint32_t SCARD_ATTR_DEVICE_FRIENDLY_NAME_A = 0x7FFF0003;

// The plug-and-play pseudo-reader.
constexpr const char* kPnpNotificationName = "\\\\?PNP?\\Notification";

// Entry points, with the platform's calling convention and types.
extern "C" {
using TSCardEstablishContextFn = TPcscLong(MD_PCSC_API*)(TPcscDword, const void*, const void*,
                                                         TPcscAbiHandle*);
using TSCardReleaseContextFn = TPcscLong(MD_PCSC_API*)(TPcscAbiHandle);
using TSCardIsValidContextFn = TPcscLong(MD_PCSC_API*)(TPcscAbiHandle);
using TSCardCancelFn = TPcscLong(MD_PCSC_API*)(TPcscAbiHandle);
using TSCardFreeMemoryFn = TPcscLong(MD_PCSC_API*)(TPcscAbiHandle, const void*);
using TSCardListReadersFn = TPcscLong(MD_PCSC_API*)(TPcscAbiHandle, const TPcscChar*, TPcscChar*,
                                                    TPcscDword*);
using TSCardListReaderGroupsFn = TPcscLong(MD_PCSC_API*)(TPcscAbiHandle, TPcscChar*, TPcscDword*);
using TSCardListCardsFn = TPcscLong(MD_PCSC_API*)(TPcscAbiHandle, const uint8_t*, const TGuid*,
                                                  TPcscDword, TPcscChar*, TPcscDword*);
using TSCardListInterfacesFn = TPcscLong(MD_PCSC_API*)(TPcscAbiHandle, const TPcscChar*, TGuid*,
                                                       TPcscDword*);
using TSCardGetProviderIdFn = TPcscLong(MD_PCSC_API*)(TPcscAbiHandle, const TPcscChar*, TGuid*);
using TSCardLocateCardsFn = TPcscLong(MD_PCSC_API*)(TPcscAbiHandle, const TPcscChar*,
                                                    TSCardReaderStateA*, TPcscDword);
using TSCardGetStatusChangeFn = TPcscLong(MD_PCSC_API*)(TPcscAbiHandle, TPcscDword,
                                                        TSCardReaderStateA*, TPcscDword);
using TSCardConnectFn = TPcscLong(MD_PCSC_API*)(TPcscAbiHandle, const TPcscChar*, TPcscDword,
                                                TPcscDword, TPcscAbiHandle*, TPcscDword*);
using TSCardReconnectFn = TPcscLong(MD_PCSC_API*)(TPcscAbiHandle, TPcscDword, TPcscDword,
                                                  TPcscDword, TPcscDword*);
using TSCardDisconnectFn = TPcscLong(MD_PCSC_API*)(TPcscAbiHandle, TPcscDword);
using TSCardBeginTransactionFn = TPcscLong(MD_PCSC_API*)(TPcscAbiHandle);
using TSCardEndTransactionFn = TPcscLong(MD_PCSC_API*)(TPcscAbiHandle, TPcscDword);
using TSCardStatusFn = TPcscLong(MD_PCSC_API*)(TPcscAbiHandle, TPcscChar*, TPcscDword*, TPcscDword*,
                                               TPcscDword*, uint8_t*, TPcscDword*);
using TSCardTransmitFn = TPcscLong(MD_PCSC_API*)(TPcscAbiHandle, const TSCardIoRequest*,
                                                 const uint8_t*, TPcscDword, TSCardIoRequest*,
                                                 uint8_t*, TPcscDword*);
using TSCardControlFn = TPcscLong(MD_PCSC_API*)(TPcscAbiHandle, TPcscDword, const void*, TPcscDword,
                                                void*, TPcscDword, TPcscDword*);
using TSCardGetAttribFn = TPcscLong(MD_PCSC_API*)(TPcscAbiHandle, TPcscDword, uint8_t*,
                                                  TPcscDword*);
using TSCardSetAttribFn = TPcscLong(MD_PCSC_API*)(TPcscAbiHandle, TPcscDword, const uint8_t*,
                                                  TPcscDword);
}

// Program text (UTF-8) to the platform's PC/SC text and back.
inline TPcscString ToPcscString(const std::string& text) {
#ifdef _WIN32
  return base::Utf8ToUtf16(text);
#else
  return text;
#endif
}

inline std::string FromPcscString(const TPcscChar* text, size_t length) {
#ifdef _WIN32
  return base::Utf16ToUtf8(std::u16string_view(text, length));
#else
  return std::string(text, length);
#endif
}

}  // namespace pcsc
