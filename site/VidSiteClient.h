// Points this process's transport and internet library at a running site
// stand-in: its host routes go into the host override table and its CA into
// the extra trust anchors. Undone by the guard's destructor.
#pragma once

#include <vector>

#include "site/VidSite.h"

namespace vidsite {

class TSiteClientSettings {
public:
    explicit TSiteClientSettings(const TVidSite& ASite);
    ~TSiteClientSettings();
    TSiteClientSettings(const TSiteClientSettings&) = delete;
    TSiteClientSettings& operator=(const TSiteClientSettings&) = delete;

private:
    std::vector<THostRoute> FRoutes;
};

}  // namespace vidsite
