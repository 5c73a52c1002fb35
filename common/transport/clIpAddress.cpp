#include "transport/clIpAddress.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "transport/clSocketUtils.h"
#include "transport/clWinSock2.h"
#include "rtl/clStrUtils.h"

namespace cl {

// ---- TclIPAddress ----

bool TclIPAddress::IsHostIP(const std::string& AHost) {
    if (AHost.empty()) {
        return false;
    }
    TclIPAddress6 addr6;
    if (addr6.Parse(AHost)) {
        return true;
    }
    TclIPAddress4 addr4;
    return addr4.Parse(AHost);
}

std::unique_ptr<TclIPAddress> TclIPAddress::CreateIpAddress(const std::string& AHost) {
    auto addr6 = std::make_unique<TclIPAddress6>();
    if (addr6->Parse(AHost)) {
        return addr6;
    }
    auto addr4 = std::make_unique<TclIPAddress4>();
    if (addr4->Parse(AHost)) {
        return addr4;
    }
    RaiseSocketError(cInvalidAddress);
}

static std::unique_ptr<TclIPAddress> NewCapableAddress() {
    if (IsIpV6Capable()) {
        return std::make_unique<TclIPAddress6>();
    }
    return std::make_unique<TclIPAddress4>();
}

std::unique_ptr<TclIPAddress> TclIPAddress::CreateNone(int AAddrFamily) {
    auto addr = NewCapableAddress();
    addr->None(AAddrFamily);
    return addr;
}

std::unique_ptr<TclIPAddress> TclIPAddress::CreateAny(int AAddrFamily) {
    auto addr = NewCapableAddress();
    addr->Any(AAddrFamily);
    return addr;
}

std::unique_ptr<TclIPAddress> TclIPAddress::CreateBindingIpAddress(const std::string& AHost, int AAddrFamily) {
    if (!AHost.empty()) {
        return CreateIpAddress(AHost);
    }
    return CreateAny(AAddrFamily);
}

// ---- TclIPAddress4 ----

TclIPAddress4::TclIPAddress4() { Clear(); }

int TclIPAddress4::Port() const { return ntohs(FSockAddr.sin_port); }

void TclIPAddress4::Clear() { std::memset(&FSockAddr, 0, sizeof(FSockAddr)); }

bool TclIPAddress4::Parse(const std::string& AHost) {
    Clear();
    const in_addr_t value = inet_addr(AHost.c_str());
    if (value == INADDR_NONE) {
        return false;
    }
    FSockAddr.sin_family = AF_INET;
    FSockAddr.sin_addr.s_addr = value;
    return true;
}

void TclIPAddress4::None(int AAddrFamily) {
    Clear();
    if (AAddrFamily != AF_INET) {
        RaiseSocketError(cInvalidAddressFamily);
    }
    FSockAddr.sin_family = AF_INET;
}

void TclIPAddress4::Any(int AAddrFamily) {
    None(AAddrFamily);
    FSockAddr.sin_addr.s_addr = htonl(INADDR_ANY);
}

void TclIPAddress4::SetPort(int AValue) {
    if (AValue < 0) {
        RaiseSocketError(cInvalidPort);
    }
    FSockAddr.sin_port = htons(static_cast<uint16_t>(AValue));
}

std::string TclIPAddress4::AddrToStr(const in_addr& AAddr) { return inet_ntoa(AAddr); }

bool TclIPAddress4::IsPrivateUseIP(const std::string& AIP) {
    if (AIP.starts_with("192.168.") || AIP.starts_with("10.")) {
        return true;
    }
    if (!AIP.starts_with("172.")) {
        return false;
    }
    const size_t end = AIP.find('.', 4);
    const int second = StrToIntDef(AIP.substr(4, end == std::string::npos ? std::string::npos : end - 4), -1);
    return second >= 16 && second <= 31;
}

// ---- TclIPAddress6 ----

void TclIPAddress6::TFree::operator()(addrinfo* AInfo) const { ClFreeAddrInfo(AInfo); }

int TclIPAddress6::Port() const {
    const sockaddr* addr = Address();
    if (!addr) {
        return 0;
    }
    if (addr->sa_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in*>(addr)->sin_port);
    }
    if (addr->sa_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(addr)->sin6_port);
    }
    return 0;
}

bool TclIPAddress6::Parse(const std::string& AHost) {
    Clear();
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_family = AF_UNSPEC;
    addrinfo* result = nullptr;
    if (ClGetAddrInfo(AHost.c_str(), &hints, &result) != 0 || !result) {
        ClFreeAddrInfo(result);
        return false;
    }
    // Only the first entry is kept; the rest of the list goes now.
    ClFreeAddrInfo(result->ai_next);
    result->ai_next = nullptr;
    FAddrInfo.reset(result);
    return true;
}

void TclIPAddress6::None(int AAddrFamily) {
    Clear();
    if (AAddrFamily != AF_INET && AAddrFamily != AF_INET6) {
        RaiseSocketError(cInvalidAddressFamily);
    }
    if (!Parse(AAddrFamily == AF_INET ? "0.0.0.0" : "::")) {
        RaiseSocketError(cInvalidAddress);
    }
}

void TclIPAddress6::Any(int AAddrFamily) {
    None(AAddrFamily);
    if (AddressFamily() == AF_INET) {
        reinterpret_cast<sockaddr_in*>(FAddrInfo->ai_addr)->sin_addr.s_addr = htonl(INADDR_ANY);
    }
}

void TclIPAddress6::SetPort(int AValue) {
    if (AValue < 0) {
        RaiseSocketError(cInvalidPort);
    }
    const int family = AddressFamily();
    if (family == AF_INET) {
        reinterpret_cast<sockaddr_in*>(FAddrInfo->ai_addr)->sin_port = htons(static_cast<uint16_t>(AValue));
    } else if (family == AF_INET6) {
        reinterpret_cast<sockaddr_in6*>(FAddrInfo->ai_addr)->sin6_port = htons(static_cast<uint16_t>(AValue));
    } else {
        RaiseSocketError(cInvalidAddress);
    }
}

std::string TclIPAddress6::ToString() const {
    const sockaddr* addr = Address();
    if (addr && addr->sa_family == AF_INET) {
        return TclIPAddress4::AddrToStr(reinterpret_cast<const sockaddr_in*>(addr)->sin_addr);
    }
    if (addr && addr->sa_family == AF_INET6) {
        return AddrToStr(reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr);
    }
    return std::string();
}

std::string TclIPAddress6::AddrToStr(const in6_addr& AAddr) {
    uint16_t groups[8];
    for (int i = 0; i < 8; ++i) {
        groups[i] = static_cast<uint16_t>((AAddr.s6_addr[2 * i] << 8) | AAddr.s6_addr[2 * i + 1]);
    }
    std::string text;
    bool compressed = false;
    int i = 0;
    while (i < 8) {
        if (!compressed && groups[i] == 0 && i + 1 < 8 && groups[i + 1] == 0) {
            while (i < 8 && groups[i] == 0) {
                ++i;
            }
            text += "::";
            compressed = true;
            continue;
        }
        if (!text.empty() && !text.ends_with("::")) {
            text += ':';
        }
        char buf[8];
        std::snprintf(buf, sizeof(buf), "%X", groups[i]);
        text += buf;
        ++i;
    }
    return text;
}

// ---- resolvers ----

namespace {

struct TAddrList {
    addrinfo* List = nullptr;
    ~TAddrList() { ClFreeAddrInfo(List); }
};

std::string EntryText(const addrinfo* AEntry) {
    if (AEntry->ai_family == AF_INET) {
        return TclIPAddress4::AddrToStr(reinterpret_cast<const sockaddr_in*>(AEntry->ai_addr)->sin_addr);
    }
    if (AEntry->ai_family == AF_INET6) {
        return TclIPAddress6::AddrToStr(reinterpret_cast<const sockaddr_in6*>(AEntry->ai_addr)->sin6_addr);
    }
    return std::string();
}

void LookUp(const std::string& AHostName, TAddrList& AList) {
    addrinfo hints{};
    // One entry per address rather than one per socket type.
    hints.ai_socktype = SOCK_STREAM;
    const int rc = ClGetAddrInfo(AHostName.c_str(), &hints, &AList.List);
    if (rc != 0) {
        RaiseSocketError(rc);
    }
}

}  // namespace

std::string TclHostResolver6::ResolveIP(const std::string& AHostName) {
    TAddrList list;
    LookUp(AHostName, list);
    for (const addrinfo* entry = list.List; entry; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET) {
            return EntryText(entry);
        }
    }
    if (list.List && (list.List->ai_family == AF_INET || list.List->ai_family == AF_INET6)) {
        return EntryText(list.List);
    }
    return std::string();
}

void TclHostResolver6::ResolveIPList(const std::string& AHostName, TStrings& AList) {
    TAddrList list;
    LookUp(AHostName, list);
    for (const addrinfo* entry = list.List; entry; entry = entry->ai_next) {
        const std::string text = EntryText(entry);
        if (!text.empty() && AList.IndexOf(text) < 0) {
            AList.Add(text);
        }
    }
}

std::string TclHostResolver::GetIPAddress(const std::string& AHostName) {
    std::string address;
    int port = 0;
    if (TclHostOverrides::Find(AHostName, 0, address, port)) {
        return address;
    }
    if (TclIPAddress::IsHostIP(AHostName)) {
        return AHostName;
    }
    TclHostResolver6 resolver;
    return resolver.ResolveIP(AHostName);
}

void TclHostResolver::GetIPAddressList(const std::string& AHostName, TStrings& AList) {
    TclHostResolver6 resolver;
    resolver.ResolveIPList(AHostName, AList);
}

std::string TclHostResolver::GetLocalHost() { return ClGetHostName(); }

std::string TclHostResolver::ResolveEndPoint(const std::string& AHost, int APort, int& AConnectPort) {
    std::string address;
    if (TclHostOverrides::Find(AHost, APort, address, AConnectPort)) {
        return address;
    }
    AConnectPort = APort;
    if (TclIPAddress::IsHostIP(AHost)) {
        return AHost;
    }
    TclHostResolver6 resolver;
    return resolver.ResolveIP(AHost);
}

// ---- host overrides ----

std::mutex& TclHostOverrides::Lock() {
    static std::mutex lock;
    return lock;
}

std::vector<TclHostOverride>& TclHostOverrides::Table() {
    static std::vector<TclHostOverride> table;
    return table;
}

void TclHostOverrides::Add(const std::string& AHost, int APort, const std::string& ATargetAddress, int ATargetPort) {
    std::lock_guard<std::mutex> guard(Lock());
    auto& table = Table();
    for (TclHostOverride& entry : table) {
        if (SameText(entry.Host, AHost) && entry.Port == APort) {
            entry.TargetAddress = ATargetAddress;
            entry.TargetPort = ATargetPort;
            return;
        }
    }
    table.push_back(TclHostOverride{AHost, APort, ATargetAddress, ATargetPort});
}

void TclHostOverrides::Remove(const std::string& AHost, int APort) {
    std::lock_guard<std::mutex> guard(Lock());
    auto& table = Table();
    table.erase(std::remove_if(table.begin(), table.end(),
                               [&](const TclHostOverride& AEntry) {
                                   return SameText(AEntry.Host, AHost) && AEntry.Port == APort;
                               }),
                table.end());
}

void TclHostOverrides::Clear() {
    std::lock_guard<std::mutex> guard(Lock());
    Table().clear();
}

bool TclHostOverrides::Find(const std::string& AHost, int APort, std::string& AAddress, int& AConnectPort) {
    std::lock_guard<std::mutex> guard(Lock());
    const TclHostOverride* any = nullptr;
    for (const TclHostOverride& entry : Table()) {
        if (!SameText(entry.Host, AHost)) {
            continue;
        }
        if (entry.Port == APort) {
            any = &entry;
            break;
        }
        if (entry.Port == 0 && !any) {
            any = &entry;
        }
    }
    if (!any) {
        return false;
    }
    AAddress = any->TargetAddress;
    AConnectPort = any->TargetPort != 0 ? any->TargetPort : APort;
    return true;
}

std::vector<TclHostOverride> TclHostOverrides::Entries() {
    std::lock_guard<std::mutex> guard(Lock());
    return Table();
}

}  // namespace cl
