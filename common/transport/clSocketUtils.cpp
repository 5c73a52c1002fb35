#include "transport/clSocketUtils.h"

#include "transport/clWinSock2.h"

namespace cl {

namespace {

struct TErrorText {
    int Code;
    const char* Text;
};

const TErrorText cErrorTexts[] = {
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
        for (const TErrorText& entry : cErrorTexts) {
            if (entry.Code == ACode) {
                return entry.Text;
            }
        }
        return std::string();
    }
    return WsaErrorText(ACode);
}

void RaiseSocketError(int ACode) { throw EclSocketError(SocketErrorText(ACode), ACode); }

void RaiseLastSocketError() { RaiseSocketError(WSAGetLastError()); }

}  // namespace cl
