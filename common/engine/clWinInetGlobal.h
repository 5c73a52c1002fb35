// The internet library's process-wide state, made on first use and never
// freed: libcurl's global set-up, the connection limits, the cookie store.
#pragma once

#include <curl/curl.h>

#include "engine/clWinInetCookies.h"
#include "engine/clWinInetLimits.h"

namespace cl::wininet {

// What the process shares: libcurl's global state, the limits, the cookies.
class TGlobal {
public:
    static TGlobal& Get() {
        static TGlobal* global = new TGlobal();  // outlives every detached worker
        return *global;
    }
    TConnectionLimits Limits;
    TCookieStore Cookies;

private:
    TGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
};

}  // namespace cl::wininet
