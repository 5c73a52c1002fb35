// Socket addresses (IPv4 records and getaddrinfo entries), their text forms,
// the host name resolver, and the process-wide host override table that lets
// tests and the demo send a host and port to another address and port.
#pragma once

#include <netdb.h>
#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "rtl/clStringList.h"

namespace cl {

class TclIPAddress {
public:
    virtual ~TclIPAddress() = default;

    virtual bool IsIpV6() const = 0;
    // The socket-address record (null for an empty address).
    virtual const sockaddr* Address() const = 0;
    virtual int AddressFamily() const = 0;
    virtual socklen_t AddressLength() const = 0;
    virtual int Port() const = 0;
    virtual void Clear() = 0;
    virtual bool Parse(const std::string& AHost) = 0;
    virtual void None(int AAddrFamily) = 0;
    virtual void Any(int AAddrFamily) = 0;
    virtual void SetPort(int AValue) = 0;
    virtual std::string ToString() const = 0;

    // True for text that is an IPv4 or IPv6 address literal.
    static bool IsHostIP(const std::string& AHost);
    // The address of a literal; "Invalid host address" (-2) otherwise.
    static std::unique_ptr<TclIPAddress> CreateIpAddress(const std::string& AHost);
    static std::unique_ptr<TclIPAddress> CreateNone(int AAddrFamily);
    static std::unique_ptr<TclIPAddress> CreateAny(int AAddrFamily);
    // The literal AHost, or for empty text the wildcard of AAddrFamily.
    static std::unique_ptr<TclIPAddress> CreateBindingIpAddress(const std::string& AHost, int AAddrFamily = AF_INET);
};

class TclIPAddress4 : public TclIPAddress {
public:
    TclIPAddress4();

    bool IsIpV6() const override { return false; }
    const sockaddr* Address() const override { return reinterpret_cast<const sockaddr*>(&FSockAddr); }
    int AddressFamily() const override { return FSockAddr.sin_family; }
    socklen_t AddressLength() const override { return sizeof(FSockAddr); }
    int Port() const override;
    void Clear() override;
    // Dotted-quad text; the all-bits-set address is refused like the platform parser does.
    bool Parse(const std::string& AHost) override;
    void None(int AAddrFamily) override;
    void Any(int AAddrFamily) override;
    void SetPort(int AValue) override;
    std::string ToString() const override { return AddrToStr(FSockAddr.sin_addr); }

    static std::string AddrToStr(const in_addr& AAddr);
    // True for 10.x, 192.168.x and 172.16.x to 172.31.x text.
    static bool IsPrivateUseIP(const std::string& AIP);

private:
    sockaddr_in FSockAddr;
};

class TclIPAddress6 : public TclIPAddress {
public:
    TclIPAddress6() = default;

    bool IsIpV6() const override { return AddressFamily() == AF_INET6; }
    const sockaddr* Address() const override { return FAddrInfo ? FAddrInfo->ai_addr : nullptr; }
    int AddressFamily() const override { return FAddrInfo ? FAddrInfo->ai_family : 0; }
    socklen_t AddressLength() const override { return FAddrInfo ? FAddrInfo->ai_addrlen : 0; }
    int Port() const override;
    void Clear() override { FAddrInfo.reset(); }
    // Any numeric literal, IPv4 or IPv6 (no name lookup).
    bool Parse(const std::string& AHost) override;
    void None(int AAddrFamily) override;
    void Any(int AAddrFamily) override;
    void SetPort(int AValue) override;
    std::string ToString() const override;

    // The IPv6 text form: upper-case groups without leading zeros, the first
    // run of two or more zero groups written as "::".
    static std::string AddrToStr(const in6_addr& AAddr);

private:
    struct TFree {
        void operator()(addrinfo* AInfo) const;
    };
    std::unique_ptr<addrinfo, TFree> FAddrInfo;
};

class TclHostResolver {
public:
    virtual ~TclHostResolver() = default;
    virtual std::string ResolveIP(const std::string& AHostName) = 0;
    virtual void ResolveIPList(const std::string& AHostName, TStrings& AList) = 0;

    // A literal unchanged; else the first IPv4 address of the name, else its
    // first address when that is IPv6. Host overrides for any port apply.
    static std::string GetIPAddress(const std::string& AHostName);
    // Every address of the name, as text.
    static void GetIPAddressList(const std::string& AHostName, TStrings& AList);
    static std::string GetLocalHost();
    // Where to connect for AHost and APort: a host override when one matches
    // (its address and port), else the resolved address and APort.
    static std::string ResolveEndPoint(const std::string& AHost, int APort, int& AConnectPort);
};

class TclHostResolver6 : public TclHostResolver {
public:
    std::string ResolveIP(const std::string& AHostName) override;
    void ResolveIPList(const std::string& AHostName, TStrings& AList) override;
};

// The host override table: empty by default, shared by the whole process
// (this transport and the internet library) behind its own lock. A host is
// compared without regard to case; an entry with port 0 matches every port,
// and a target port 0 keeps the requested port.
struct TclHostOverride {
    std::string Host;
    int Port = 0;
    std::string TargetAddress;
    int TargetPort = 0;
};

class TclHostOverrides {
public:
    static void Add(const std::string& AHost, int APort, const std::string& ATargetAddress, int ATargetPort);
    static void Remove(const std::string& AHost, int APort);
    static void Clear();
    // True when an entry matches; fills the address and port to use.
    static bool Find(const std::string& AHost, int APort, std::string& AAddress, int& AConnectPort);
    static std::vector<TclHostOverride> Entries();

private:
    static std::mutex& Lock();
    static std::vector<TclHostOverride>& Table();
};

}  // namespace cl
