// A real Apache httpd (Debian's apache2) on two loopback ports, for tests of
// authorization against a server not written here: its configuration,
// content and logs are generated into a fresh temporary folder that goes
// with the object. Both ports serve the same paths:
//   /digest/secret.txt   behind Digest authentication (mod_auth_digest)
//   /basic/secret.txt    behind Basic authentication
//   /elsewhere           302 to http://ARedirectHost:OtherPort()/basic/secret.txt
// with the one user and password given. The access log has one line per
// request: <port> <status> <request line> <Authorization field, "-" if none>.
#pragma once

#include <string>
#include <vector>

#include "support/TestDaemon.h"

namespace cltest {

class TApacheServer {
public:
    static constexpr const char* Binary = "/usr/sbin/apache2";
    static constexpr const char* Realm = "apache test";
    static constexpr const char* Secret = "behind the authorization\n";

    // Starts apache2 and returns once both ports accept connections; throws
    // std::runtime_error (with apache's error log) when it cannot.
    TApacheServer(const std::string& AUserName, const std::string& APassword, const std::string& ARedirectHost);
    ~TApacheServer();
    TApacheServer(const TApacheServer&) = delete;
    TApacheServer& operator=(const TApacheServer&) = delete;

    int Port() const { return FPort; }
    int OtherPort() const { return FOtherPort; }
    std::vector<std::string> AccessLog() const;
    // The access log once a line begins with APrefix (or after two seconds):
    // apache writes a line after it sent the answer.
    std::vector<std::string> WaitForAccessLine(const std::string& APrefix) const;

private:
    void WriteContent(const std::string& AUserName, const std::string& APassword);
    void WriteConfig(const std::string& ARedirectHost);
    std::string ErrorLog() const;

    std::string FFolder;
    int FPort = 0;
    int FOtherPort = 0;
    TLoopbackDaemon FDaemon;
};

}  // namespace cltest
