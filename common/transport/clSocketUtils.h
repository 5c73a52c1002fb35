// The transport's exception and its table of own error codes and texts.
#pragma once

#include <string>

#include "rtl/clException.h"

namespace cl {

// A transport failure. ErrorCode is a socket library or system number
// (clWinSock2), one of the negative codes below, or a code of a layer above.
class EclSocketError : public Exception {
public:
    EclSocketError(std::string AErrorMsg, int AErrorCode, bool ADummy = false);
};

// The transport's own codes.
enum : int {
    cTimeoutOccured = -1,
    cInvalidAddress = -2,
    cInvalidPort = -3,
    cInvalidBatchSize = -4,
    cNetworkStreamRequired = -5,
    cConnectionNotActive = -6,
    cInvalidAddressFamily = -7,
    cUnsupportedFirewallType = -101,
};

// The text of an own (negative) code, or the system's text of a positive one.
std::string SocketErrorText(int ACode);

// Raises EclSocketError with the text of ACode.
[[noreturn]] void RaiseSocketError(int ACode);
// Raises EclSocketError for the last socket error of this thread.
[[noreturn]] void RaiseLastSocketError();

}  // namespace cl
