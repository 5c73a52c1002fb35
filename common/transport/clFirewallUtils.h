// The SOCKS proxy settings of a TCP client; an empty Server means no proxy.
#pragma once

#include <cstdint>

#include "transport/clProxyEndpoint.h"

namespace cl {

// A fixed underlying type: a value outside the list is still a value, refused
// by the client as an unsupported type.
enum TclFirewallType : uint8_t { ftSocks4 = 0, ftSocks5 = 1 };

class TclFirewallSettings : public TclProxySettings {
public:
    TclFirewallSettings() : TclProxySettings(1080) {}

    // Back to the defaults.
    void Clear() { *this = TclFirewallSettings(); }
    void Assign(const TclFirewallSettings& ASource) { *this = ASource; }

    TclFirewallType FirewallType() const { return FFirewallType; }
    void SetFirewallType(TclFirewallType AValue) { FFirewallType = AValue; }
    // True: the target name goes to the proxy unchanged; false: it is resolved here.
    bool NeedResolveIP() const { return FNeedResolveIP; }
    void SetNeedResolveIP(bool AValue) { FNeedResolveIP = AValue; }

private:
    TclFirewallType FFirewallType = ftSocks4;
    bool FNeedResolveIP = true;
};

}  // namespace cl
