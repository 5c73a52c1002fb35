#include "transport/clSocketUtils.h"

#include "rtl/clCodeTexts.h"
#include "transport/clWinSock2.h"

namespace cl {

namespace {

constexpr TclCodeText cErrorTexts[] = {
    {cTimeoutOccured, "Timeout error occured"},
    {cInvalidAddress, "Invalid host address"},
    {cInvalidPort, "Invalid port number"},
    {cInvalidBatchSize, "Invalid Batch Size"},
    {cNetworkStreamRequired, "NetworkStream is required"},
    {cConnectionNotActive, "The connection to the server is not active"},
    {cInvalidAddressFamily, "Invalid address family"},
    {cUnsupportedFirewallType, "Unsupported firewall type"},
};

}  // namespace

EclSocketError::EclSocketError(std::string AErrorMsg, int AErrorCode, bool)
    : Exception(std::move(AErrorMsg), AErrorCode) {}

std::string SocketErrorText(int ACode) {
    if (ACode < 0) {
        const char* text = FindCodeText(cErrorTexts, ACode);
        return text != nullptr ? text : std::string();
    }
    return WsaErrorText(ACode);
}

void RaiseSocketError(int ACode) { throw EclSocketError(SocketErrorText(ACode), ACode); }

void RaiseLastSocketError() { RaiseSocketError(WSAGetLastError()); }

}  // namespace cl
