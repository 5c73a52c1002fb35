// The libcurl shares of the open root handles: the connections, DNS results
// and TLS sessions that transfers of any root have in common, with the locks
// libcurl asks for. Cookies are not among them (see clWinInetCookies).
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace cl::wininet {

// A libcurl share of connections, DNS results and TLS sessions, with its
// locks. Freeing it closes its idle connections.
class TShare {
public:
    TShare() : FShare(curl_share_init()) {
        if (!FShare) return;
        curl_share_setopt(FShare, CURLSHOPT_LOCKFUNC, &TShare::LockData);
        curl_share_setopt(FShare, CURLSHOPT_UNLOCKFUNC, &TShare::UnlockData);
        curl_share_setopt(FShare, CURLSHOPT_USERDATA, this);
        for (const curl_lock_data data : {CURL_LOCK_DATA_DNS, CURL_LOCK_DATA_SSL_SESSION, CURL_LOCK_DATA_CONNECT})
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

// The shares of all open roots, so that a worker's request finds the idle
// connection (or the TLS session) another root's request left to the same
// server. One share per kind of TLS strictness: a connection or session made
// under relaxed checks, or with a client certificate, never serves a
// transfer that asked for other checks. Every root holds the pool; the last
// root to go frees it, and its connections close.
class TSharePool {
public:
    // The pool of the open roots, made when none is open.
    static std::shared_ptr<TSharePool> Acquire() {
        static std::mutex lock;
        static std::weak_ptr<TSharePool>* current = new std::weak_ptr<TSharePool>();
        std::lock_guard<std::mutex> guard(lock);
        std::shared_ptr<TSharePool> pool = current->lock();
        if (!pool) {
            pool = std::make_shared<TSharePool>();
            *current = pool;
        }
        return pool;
    }

    // The share for transfers with these TLS settings (plain ones: 0, false);
    // null when libcurl could not make one.
    CURLSH* For(uint32_t ASecurityFlags, bool AClientCertificate) {
        const uint64_t key = (static_cast<uint64_t>(AClientCertificate) << 32) | ASecurityFlags;
        std::lock_guard<std::mutex> guard(FLock);
        std::unique_ptr<TShare>& share = FShares[key];
        if (!share) share = std::make_unique<TShare>();
        return share->Get();
    }

private:
    std::mutex FLock;
    std::map<uint64_t, std::unique_ptr<TShare>> FShares;
};

}  // namespace cl::wininet
