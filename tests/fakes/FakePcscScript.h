#pragma once

// The scripting functions the fake PC/SC library exports beside the PC/SC entry points (plain
// C calling convention). Tests load the library by file name and resolve these by name.
// Texts are UTF-8; byte strings are hex text ("3B 8F 80" or "3B8F80").

extern "C" {
// Forgets every reader, context, connection, injected result and log line.
using TFakePcscReset = void (*)();
using TFakePcscAddReader = void (*)(const char* name);
using TFakePcscRemoveReader = void (*)(const char* name);
// Lays a card with this ATR on the reader / takes it off.
using TFakePcscInsertCard = void (*)(const char* reader, const char* atrHex);
using TFakePcscRemoveCard = void (*)(const char* reader);
// enable != 0: the reader's poll answers exactly these state bits (the ATR of a card on the
// reader still travels with them); enable == 0: the state follows the card again.
using TFakePcscSetStateOverride = void (*)(const char* reader, int enable, unsigned long bits);
// The protocol a connection to this reader gets (default SCARD_PROTOCOL_T1).
using TFakePcscSetProtocol = void (*)(const char* reader, unsigned long protocol);
// The answer to one command; an empty command sets the answer to every other command.
using TFakePcscSetApdu = void (*)(const char* reader, const char* commandHex,
                                  const char* responseHex);
using TFakePcscSetControl = void (*)(const char* reader, unsigned long code,
                                     const char* responseHex);
using TFakePcscSetAttrib = void (*)(const char* reader, unsigned long id, const char* valueHex);
// The next `times` calls of the function (by its name without "W"; "SCardListReadersFill"
// for the list call that passes a buffer) answer `code`; times < 0: every call.
using TFakePcscInjectResult = void (*)(const char* function, unsigned long code, int times);
// Stops the service: new contexts fail with SCARD_E_NO_SERVICE, and every context made before
// answers `staleCode` from now on, also after StartService (as pcsc-lite does).
using TFakePcscStopService = void (*)(unsigned long staleCode);
using TFakePcscStartService = void (*)();
// Context made before the last StartService/StopService answer `staleCode` from now on while
// the service keeps running (a restart between two polls).
using TFakePcscRestartService = void (*)(unsigned long staleCode);
// The call log, one line per call ("SCardConnect R1 2 3"); returns the length of the whole
// text and copies as much as fits (NUL-terminated).
using TFakePcscGetLog = int (*)(char* buffer, int size);
using TFakePcscClearLog = void (*)();
using TFakePcscOpenContexts = int (*)();
}
