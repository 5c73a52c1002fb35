// The HTTP proxy settings and the authorization types, apart from the HTTP
// client so that the download engine can hold them without the client.
#pragma once

#include "transport/clProxyEndpoint.h"

namespace cl {

enum TclAuthorizationType { atBasic, atAutoDetect };

// An HTTP proxy; in use exactly when Server is not empty.
class TclHttpProxySettings : public TclProxySettings {
public:
    TclHttpProxySettings() : TclProxySettings(8080) {}

    TclAuthorizationType AuthorizationType() const { return FAuthorizationType; }
    void SetAuthorizationType(TclAuthorizationType AValue) { FAuthorizationType = AValue; }

    void Assign(const TclHttpProxySettings& ASource) { *this = ASource; }
    // Back to the defaults.
    void Clear() { *this = TclHttpProxySettings(); }

private:
    TclAuthorizationType FAuthorizationType = atAutoDetect;
};

}  // namespace cl
