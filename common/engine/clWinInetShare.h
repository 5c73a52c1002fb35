// The libcurl share of one root handle: the connections, DNS results, TLS
// sessions and cookies its transfers have in common, with the locks libcurl
// asks for.
#pragma once

#include <curl/curl.h>

#include <mutex>

namespace cl::wininet {

// A libcurl share of connections, DNS results, TLS sessions and cookies,
// with its locks. Each root handle owns one: a worker's next request reuses
// its connection, and closing the root closes its connections.
class TShare {
public:
    TShare() : FShare(curl_share_init()) {
        if (!FShare) return;
        curl_share_setopt(FShare, CURLSHOPT_LOCKFUNC, &TShare::LockData);
        curl_share_setopt(FShare, CURLSHOPT_UNLOCKFUNC, &TShare::UnlockData);
        curl_share_setopt(FShare, CURLSHOPT_USERDATA, this);
        for (const curl_lock_data data :
             {CURL_LOCK_DATA_COOKIE, CURL_LOCK_DATA_DNS, CURL_LOCK_DATA_SSL_SESSION, CURL_LOCK_DATA_CONNECT})
            curl_share_setopt(FShare, CURLSHOPT_SHARE, data);
    }
    ~TShare() {
        if (FShare) curl_share_cleanup(FShare);
    }
    TShare(const TShare&) = delete;
    TShare& operator=(const TShare&) = delete;
    CURLSH* Get() const { return FShare; }

private:
    static void LockData(CURL*, curl_lock_data AData, curl_lock_access, void* AUser) {
        static_cast<TShare*>(AUser)->FLocks[AData % CURL_LOCK_DATA_LAST].lock();
    }
    static void UnlockData(CURL*, curl_lock_data AData, void* AUser) {
        static_cast<TShare*>(AUser)->FLocks[AData % CURL_LOCK_DATA_LAST].unlock();
    }

    CURLSH* FShare;
    std::mutex FLocks[CURL_LOCK_DATA_LAST];
};

}  // namespace cl::wininet
