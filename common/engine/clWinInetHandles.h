// The handles of the internet library: the settings they pass on, the
// process-wide table that maps handle numbers to shared objects, and the
// root and connection handles. A handle closed on one thread wakes every
// call blocked on it, or on a handle derived from it, on any thread.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <atomic>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/clWinInet.h"
#include "engine/clWinInetErrors.h"
#include "engine/clWinInetShare.h"

namespace cl::wininet {

enum THandleKind { hkRoot, hkConnect, hkRequest, hkFtpFile, hkFtpFind, hkOperation };

struct TClientCertificate {
    X509* Certificate = nullptr;
    EVP_PKEY* Key = nullptr;
    TClientCertificate(X509* ACertificate, EVP_PKEY* AKey) : Certificate(ACertificate), Key(AKey) {
        if (Certificate) X509_up_ref(Certificate);
        if (Key) EVP_PKEY_up_ref(Key);
    }
    ~TClientCertificate() {
        X509_free(Certificate);
        EVP_PKEY_free(Key);
    }
    TClientCertificate(const TClientCertificate&) = delete;
    TClientCertificate& operator=(const TClientCertificate&) = delete;
};

// Settings a handle passes on to the handles created from it.
struct TOptions {
    uint32_t SecurityFlags = 0;
    bool Decoding = false;
    std::string UserName;
    std::string Password;
    std::string ProxyUserName;
    std::string ProxyPassword;
    std::shared_ptr<TClientCertificate> ClientCertificate;
};

inline bool HasCredentials(const TOptions& AOptions) {
    return !AOptions.UserName.empty() || !AOptions.Password.empty();
}
inline bool HasProxyCredentials(const TOptions& AOptions) {
    return !AOptions.ProxyUserName.empty() || !AOptions.ProxyPassword.empty();
}

// A handle; closing it wakes the calls blocked on it and on its descendants.
class THandle : public std::enable_shared_from_this<THandle> {
public:
    THandle(THandleKind AKind, std::shared_ptr<THandle> AParent, uintptr_t AContext)
        : FKind(AKind), FParent(std::move(AParent)), FContext(AContext) {
        if (FParent) {
            FOptions = FParent->FOptions;
            FCallback.store(FParent->FCallback.load());
        }
    }
    virtual ~THandle() = default;
    THandle(const THandle&) = delete;
    THandle& operator=(const THandle&) = delete;

    THandleKind Kind() const { return FKind; }
    const std::shared_ptr<THandle>& Parent() const { return FParent; }
    uintptr_t Context() const { return FContext; }
    TOptions& Options() { return FOptions; }
    const TOptions& Options() const { return FOptions; }

    // True when this handle or one it derives from has been closed.
    bool IsClosed() const {
        for (const THandle* h = this; h != nullptr; h = h->FParent.get())
            if (h->FClosed.load()) return true;
        return false;
    }

    void AttachToParent();
    // Marks the handle closed and wakes every call blocked on it or below it.
    void Close();

    void SetCallback(INTERNET_STATUS_CALLBACK ACallback) { FCallback.store(ACallback); }
    INTERNET_STATUS_CALLBACK Callback() const { return FCallback.load(); }
    void Notify(HINTERNET AHandle, uint32_t AStatus, const void* AInfo, uint32_t ALength) const {
        if (INTERNET_STATUS_CALLBACK callback = FCallback.load()) callback(AHandle, FContext, AStatus, AInfo, ALength);
    }

    HINTERNET Id = 0;

protected:
    virtual void Wake() {}

private:
    void WakeTree();

    THandleKind FKind;
    std::shared_ptr<THandle> FParent;
    uintptr_t FContext;
    std::atomic<bool> FClosed{false};
    std::atomic<INTERNET_STATUS_CALLBACK> FCallback{nullptr};
    TOptions FOptions;
    std::mutex FChildLock;
    std::vector<std::weak_ptr<THandle>> FChildren;
};

// Handle numbers of the process, each mapping to its object.
class THandleTable {
public:
    static THandleTable& Get();
    HINTERNET Add(const std::shared_ptr<THandle>& AHandle);
    std::shared_ptr<THandle> Find(HINTERNET AId);
    std::shared_ptr<THandle> Remove(HINTERNET AId);

private:
    std::mutex FLock;
    HINTERNET FLastId = 0;
    std::unordered_map<HINTERNET, std::shared_ptr<THandle>> FHandles;
};

template <class T>
std::shared_ptr<T> FindHandle(HINTERNET AId, std::initializer_list<THandleKind> AKinds) {
    std::shared_ptr<THandle> handle = THandleTable::Get().Find(AId);
    if (!handle) {
        Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (std::find(AKinds.begin(), AKinds.end(), handle->Kind()) == AKinds.end()) {
        Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
        return nullptr;
    }
    return std::static_pointer_cast<T>(handle);
}

class TRoot : public THandle {
public:
    TRoot(std::string AAgent, uint32_t AAccessType, std::string AProxy, std::string AProxyBypass)
        : THandle(hkRoot, nullptr, 0),
          Agent(std::move(AAgent)),
          AccessType(AAccessType),
          Proxy(std::move(AProxy)),
          ProxyBypass(std::move(AProxyBypass)) {}
    const std::string Agent;
    const uint32_t AccessType;
    const std::string Proxy;
    const std::string ProxyBypass;
    // Freed after every handle below the root; the last root's pool closes
    // the kept connections.
    std::shared_ptr<TSharePool> Shares = TSharePool::Acquire();
};

class TConnect : public THandle {
public:
    TConnect(std::shared_ptr<THandle> ARoot, uintptr_t AContext) : THandle(hkConnect, std::move(ARoot), AContext) {}
    TRoot& Root() const { return static_cast<TRoot&>(*Parent()); }
    std::string Server;
    uint16_t Port = 0;
    uint32_t Service = INTERNET_SERVICE_HTTP;
    bool Passive = false;
};

}  // namespace cl::wininet
