// The host override table and trust anchors for the site stand-in.
#include "site/VidSiteClient.h"

#include "transport/clCertificate.h"
#include "transport/clIpAddress.h"

namespace vidsite {

TSiteClientSettings::TSiteClientSettings(const TVidSite& ASite) : FRoutes(ASite.HostOverrides()) {
    for (const THostRoute& route : FRoutes)
        cl::TclHostOverrides::Add(route.Host, route.Port, route.Address, route.TargetPort);
    cl::AddTrustAnchorsPem(ASite.CaCertificatePem());
}

// The anchors cannot be removed one by one; the site's CA is trusted only
// for the certificates it issued, which end with the site.
TSiteClientSettings::~TSiteClientSettings() {
    for (const THostRoute& route : FRoutes) cl::TclHostOverrides::Remove(route.Host, route.Port);
}

}  // namespace vidsite
