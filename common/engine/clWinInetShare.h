// The libcurl shares that carry idle connections, DNS results and TLS
// sessions from one transfer to the next, across roots: each is lent to one
// transfer at a time. Cookies are not among them (see clWinInetCookies).
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

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

// The idle shares of all open roots. A transfer borrows one for its easy
// handle and gives it back when the handle goes: the next transfer to the
// same server, of any root, borrows it with the connection (or the TLS
// session) left in it. A share is never used by two transfers at once, so
// no connection cache is used by concurrent threads, which libcurl does not
// support. The key names the server and the TLS settings: a connection or
// session made under relaxed checks, or with a client certificate, never
// serves a transfer that asked for other checks. Every root holds the pool;
// the last root to go frees it, and the idle connections close.
class TSharePool : public std::enable_shared_from_this<TSharePool> {
public:
    // Idle shares kept; beyond, the one idle longest is freed.
    static constexpr size_t cMaxIdle = 32;

    // A borrowed share; going back to the pool when it goes.
    class TLease {
    public:
        TLease() = default;
        TLease(std::shared_ptr<TSharePool> APool, std::string AKey, std::unique_ptr<TShare> AShare)
            : FPool(std::move(APool)), FKey(std::move(AKey)), FShare(std::move(AShare)) {}
        TLease(TLease&&) = default;
        TLease& operator=(TLease&& AOther) noexcept {
            if (this != &AOther) {
                Return();
                FPool = std::move(AOther.FPool);
                FKey = std::move(AOther.FKey);
                FShare = std::move(AOther.FShare);
            }
            return *this;
        }
        ~TLease() { Return(); }
        // Null when libcurl could not make a share.
        CURLSH* Get() const { return FShare ? FShare->Get() : nullptr; }

    private:
        void Return() {
            if (FPool && FShare && FShare->Get()) FPool->GiveBack(std::move(FKey), std::move(FShare));
            FPool.reset();
            FShare.reset();
        }

        std::shared_ptr<TSharePool> FPool;
        std::string FKey;
        std::unique_ptr<TShare> FShare;
    };

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

    // The share last given back under AKey, or a new one.
    TLease Borrow(const std::string& AKey) {
        {
            std::lock_guard<std::mutex> guard(FLock);
            for (auto it = FIdle.rbegin(); it != FIdle.rend(); ++it) {
                if (it->first != AKey) continue;
                std::unique_ptr<TShare> share = std::move(it->second);
                FIdle.erase(std::next(it).base());
                return TLease(shared_from_this(), AKey, std::move(share));
            }
        }
        return TLease(shared_from_this(), AKey, std::make_unique<TShare>());
    }

    // The key of a transfer to the server of AUrl ("scheme://host:port/...")
    // under these TLS settings (plain transfers: 0, false).
    static std::string KeyOf(const std::string& AUrl, uint32_t ASecurityFlags, bool AClientCertificate) {
        const size_t hostStart = AUrl.find("://");
        const size_t pathStart = AUrl.find('/', hostStart == std::string::npos ? 0 : hostStart + 3);
        return AUrl.substr(0, pathStart) + (AClientCertificate ? " certificate " : " ") +
               std::to_string(ASecurityFlags);
    }

private:
    void GiveBack(std::string AKey, std::unique_ptr<TShare> AShare) {
        std::unique_ptr<TShare> dropped;
        {
            std::lock_guard<std::mutex> guard(FLock);
            FIdle.emplace_back(std::move(AKey), std::move(AShare));
            if (FIdle.size() > cMaxIdle) {
                dropped = std::move(FIdle.front().second);
                FIdle.pop_front();
            }
        }
        // Closing its connections may take a moment: not under the lock.
    }

    std::mutex FLock;
    // Oldest first.
    std::deque<std::pair<std::string, std::unique_ptr<TShare>>> FIdle;
};

}  // namespace cl::wininet
