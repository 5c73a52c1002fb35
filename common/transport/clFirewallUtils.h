// The SOCKS proxy settings of a TCP client; an empty Server means no proxy.
#pragma once

#include <cstdint>
#include <string>

#include "rtl/clEvents.h"

namespace cl {

// A fixed underlying type: a value outside the list is still a value, refused
// by the client as an unsupported type.
enum TclFirewallType : uint8_t { ftSocks4 = 0, ftSocks5 = 1 };

class TclFirewallSettings : public TObject {
public:
    TclFirewallSettings() { Clear(); }

    void Clear();
    void Assign(const TclFirewallSettings& ASource);

    TclFirewallType FirewallType() const { return FFirewallType; }
    void SetFirewallType(TclFirewallType AValue) { FFirewallType = AValue; }
    const std::string& UserName() const { return FUserName; }
    void SetUserName(const std::string& AValue) { FUserName = AValue; }
    const std::string& Password() const { return FPassword; }
    void SetPassword(const std::string& AValue) { FPassword = AValue; }
    const std::string& Server() const { return FServer; }
    void SetServer(const std::string& AValue) { FServer = AValue; }
    int Port() const { return FPort; }
    void SetPort(int AValue) { FPort = AValue; }
    // True: the target name goes to the proxy unchanged; false: it is resolved here.
    bool NeedResolveIP() const { return FNeedResolveIP; }
    void SetNeedResolveIP(bool AValue) { FNeedResolveIP = AValue; }

private:
    int FPort = 1080;
    std::string FPassword;
    TclFirewallType FFirewallType = ftSocks4;
    std::string FUserName;
    std::string FServer;
    bool FNeedResolveIP = true;
};

}  // namespace cl
