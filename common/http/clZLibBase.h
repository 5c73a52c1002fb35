// The failure type of the DEFLATE and gzip decoders, with the table of their
// error codes and message texts.
#pragma once

#include <string>

#include "rtl/clCodeTexts.h"
#include "rtl/clException.h"

namespace cl {

class EclZLibError : public Exception {
public:
    using Exception::Exception;
};

enum TclZLibErrorCode {
    zlOldInputNotProcessed = -101,
    zlInvalidStreamOperation = -102,
    zlInvalidCrc = -103,
    zlInvalidDataSize = -104,
    zlNotByteAligned = -105,
    zlArgumentOutOfRange = -106,
    zlUnknownError = -110,
    zlStaticTreeLength = -111,
    zlWindowIsFull = -112,
    zlInvalidOperation = -113,
    zlHeaderChecksum = -114,
    zlUnknownMethod = -115,
    zlIllegalRepLength = -116,
    zlIllegalRepDistance = -117,
    zlUnknownMode = -118,
    zlAdlerMismatch = -119,
    zlUnknownBlockType = -120,
    zlBrokenStoredBlock = -121,
    zlNeedDictionary = -122,
};

// Every code with its message, in code order.
const TclCodeText* ZLibErrorTable(int& ACount);
// The message of a code; "Unknown error" for a code not in the table.
std::string ZLibErrorMessage(int ACode);
[[noreturn]] void RaiseZLibError(int ACode);

}  // namespace cl
