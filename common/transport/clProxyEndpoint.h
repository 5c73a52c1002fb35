// Where a proxy is reached and what it is told: server, port, user name and
// password. One value shared by the HTTP, SOCKS and FTP proxy settings and
// by the SOCKS request, copied whole.
#pragma once

#include <string>

#include "rtl/clEvents.h"

namespace cl {

struct TclProxyEndpoint {
    TclProxyEndpoint() = default;
    // No server yet, and the port a proxy of its kind listens on by default.
    explicit TclProxyEndpoint(int APort) : Port(APort) {}

    std::string Server;
    int Port = 0;
    std::string UserName;
    std::string Password;

    bool operator==(const TclProxyEndpoint&) const = default;
};

// The base of the proxy settings classes: the endpoint, also field by field.
class TclProxySettings : public TObject {
public:
    explicit TclProxySettings(int ADefaultPort) : FEndpoint(ADefaultPort) {}

    const TclProxyEndpoint& Endpoint() const { return FEndpoint; }
    void SetEndpoint(const TclProxyEndpoint& AValue) { FEndpoint = AValue; }
    const std::string& Server() const { return FEndpoint.Server; }
    void SetServer(const std::string& AValue) { FEndpoint.Server = AValue; }
    int Port() const { return FEndpoint.Port; }
    void SetPort(int AValue) { FEndpoint.Port = AValue; }
    const std::string& UserName() const { return FEndpoint.UserName; }
    void SetUserName(const std::string& AValue) { FEndpoint.UserName = AValue; }
    const std::string& Password() const { return FEndpoint.Password; }
    void SetPassword(const std::string& AValue) { FEndpoint.Password = AValue; }

private:
    TclProxyEndpoint FEndpoint;
};

}  // namespace cl
