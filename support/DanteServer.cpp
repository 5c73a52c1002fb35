#include "support/DanteServer.h"

#include <crypt.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/TestDaemon.h"

namespace cltest {

namespace {

void WriteFile(const std::string& AFileName, const std::string& AContent, std::filesystem::perms APerms) {
    {
        std::ofstream out(AFileName, std::ios::binary | std::ios::trunc);
        out << AContent;
        if (!out) throw std::runtime_error("cannot write " + AFileName);
    }
    std::filesystem::permissions(AFileName, APerms);
}

std::string ShadowHash(const std::string& APassword) {
    crypt_data data{};
    const char* hash = crypt_r(APassword.c_str(), "$6$cltestsocks$", &data);
    if (!hash || hash[0] == '*') throw std::runtime_error("crypt_r failed");
    return hash;
}

}  // namespace

bool TDanteServer::Installed() { return access(Binary, X_OK) == 0; }

TDanteServer::TDanteServer(const TDanteOptions& AOptions) {
    std::string pattern = (std::filesystem::temp_directory_path() / "cltest_dante_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    FFolder = pattern;
    try {
        const bool authenticate = !AOptions.UserName.empty();
        if (authenticate) WritePasswordFiles(AOptions);
        std::string error;
        for (int attempt = 0; attempt < 5; ++attempt) {
            FPort = FreeLoopbackPort();
            WriteConfig(AOptions);
            if (Start(authenticate, error)) return;
            // Only a port taken in the meantime is worth another attempt.
            if (error.find("Address already in use") == std::string::npos) break;
        }
        throw std::runtime_error("dante did not start: " + error);
    } catch (...) {
        StopDaemon(FPid, true);
        std::error_code ec;
        std::filesystem::remove_all(FFolder, ec);
        throw;
    }
}

TDanteServer::~TDanteServer() {
    StopDaemon(FPid, true);
    std::error_code ec;
    std::filesystem::remove_all(FFolder, ec);
}

// Only the accounts the daemon needs: root and nobody to run as, and the
// test's user, whose password is checked against the shadow file.
void TDanteServer::WritePasswordFiles(const TDanteOptions& AOptions) {
    using std::filesystem::perms;
    WriteFile(FFolder + "/passwd",
              "root:x:0:0:root:/root:/bin/sh\n"
              "nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n" +
                  AOptions.UserName + ":x:65533:65534:socks test:/nonexistent:/usr/sbin/nologin\n",
              perms::owner_read | perms::owner_write | perms::group_read | perms::others_read);
    WriteFile(FFolder + "/shadow", AOptions.UserName + ":" + ShadowHash(AOptions.Password) + ":19000:0:99999:7:::\n",
              perms::owner_read | perms::owner_write);
}

void TDanteServer::WriteConfig(const TDanteOptions& AOptions) {
    std::string c;
    c += "logoutput: " + FFolder + "/danted.log\n";
    c += "internal: 127.0.0.1 port = " + std::to_string(FPort) + "\n";
    c += "external: 127.0.0.1\nexternal: ::1\n";
    c += "clientmethod: none\n";
    c += std::string("socksmethod: ") + (AOptions.UserName.empty() ? "none" : "username") + "\n";
    if (geteuid() == 0) c += "user.privileged: root\nuser.unprivileged: nobody\n";
    c += "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n";
    if (AOptions.BlockedPort != 0) {
        c += "socks block { from: 127.0.0.0/8 to: 127.0.0.0/8 port = " + std::to_string(AOptions.BlockedPort) + " }\n";
    }
    c += "socks pass { from: 127.0.0.0/8 to: 127.0.0.0/8 }\n";
    c += "socks pass { from: 127.0.0.0/8 to: ::1/128 }\n";
    c += "socks block { from: 0.0.0.0/0 to: 0.0.0.0/0 }\n";
    WriteFile(FFolder + "/danted.conf", c, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

bool TDanteServer::Start(bool AWithPasswordFiles, std::string& AError) {
    std::filesystem::remove(FFolder + "/danted.log");
    TDaemonSpawn spawn;
    spawn.Args = {Binary, "-f", FFolder + "/danted.conf", "-N", "1"};
    spawn.OutputFile = FFolder + "/stderr.log";
    spawn.OwnProcessGroup = true;
    if (AWithPasswordFiles) {
        spawn.BindMounts = {{FFolder + "/passwd", "/etc/passwd"}, {FFolder + "/shadow", "/etc/shadow"}};
    }
    FPid = SpawnDaemon(spawn);
    if (FPid < 0) {
        AError = "fork failed";
        return false;
    }
    int status = -1;
    if (WaitForDaemon(
            FPid, [this] { return AcceptsOnLoopback(FPort); }, status))
        return true;
    if (status == cDaemonMountFailed) {
        AError = "the private password files could not be mounted (this needs root)";
    } else if (status >= 0) {
        AError = "exit status " + std::to_string(status) + "\n" + Log();
    } else {
        AError = "no answer within 15 s\n" + Log();
        StopDaemon(FPid, true);
    }
    return false;
}

std::string TDanteServer::Log() const {
    std::ostringstream s;
    for (const char* name : {"/danted.log", "/stderr.log"}) {
        std::ifstream in(FFolder + name);
        if (in) s << in.rdbuf();
    }
    return s.str();
}

}  // namespace cltest
