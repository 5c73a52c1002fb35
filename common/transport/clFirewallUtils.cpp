#include "transport/clFirewallUtils.h"

namespace cl {

void TclFirewallSettings::Clear() {
    FFirewallType = ftSocks4;
    FUserName.clear();
    FPassword.clear();
    FServer.clear();
    FPort = 1080;
    FNeedResolveIP = true;
}

void TclFirewallSettings::Assign(const TclFirewallSettings& ASource) {
    FPort = ASource.FPort;
    FPassword = ASource.FPassword;
    FFirewallType = ASource.FFirewallType;
    FUserName = ASource.FUserName;
    FServer = ASource.FServer;
    FNeedResolveIP = ASource.FNeedResolveIP;
}

}  // namespace cl
