// A real SOCKS server, Debian's dante, on a loopback port for
// interoperability tests: SOCKS 4 and 4a, SOCKS 5 without authentication
// or with one user name and password. It relays to loopback targets only.
// Its configuration, log and password files are generated into a fresh
// temporary folder; the user exists in password files that a private mount
// namespace shows to the daemon alone (so that needs root). The daemon and
// its children are stopped, and the folder removed, with the object.
#pragma once

#include <sys/types.h>

#include <string>

namespace cltest {

struct TDanteOptions {
    // Empty: no authentication; else SOCKS 5 clients must give these.
    std::string UserName;
    std::string Password;
    // A loopback port that the ruleset refuses to connect to (0: none).
    int BlockedPort = 0;
};

class TDanteServer {
public:
    static constexpr const char* Binary = "/usr/sbin/danted";
    static bool Installed();

    // Starts dante and returns once its port accepts connections; throws
    // std::runtime_error (with dante's log) when it cannot.
    explicit TDanteServer(const TDanteOptions& AOptions = {});
    ~TDanteServer();
    TDanteServer(const TDanteServer&) = delete;
    TDanteServer& operator=(const TDanteServer&) = delete;

    int Port() const { return FPort; }
    std::string Log() const;

private:
    void WritePasswordFiles(const TDanteOptions& AOptions);
    void WriteConfig(const TDanteOptions& AOptions);
    bool Start(bool AWithPasswordFiles, std::string& AError);

    std::string FFolder;
    int FPort = 0;
    pid_t FPid = -1;
};

}  // namespace cltest
