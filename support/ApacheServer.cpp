#include "support/ApacheServer.h"

#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <chrono>

#include "rtl/clStrUtils.h"

namespace cltest {

namespace {

std::string DigestHex(const std::string& AText, const EVP_MD* AMd) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(AText.data(), AText.size(), md, &len, AMd, nullptr) != 1) throw std::runtime_error("EVP_Digest");
    return cl::LowerHex(md, len);
}

// The "{SHA}" form of a Basic password file entry: Base64 of the SHA-1.
std::string ShaPassword(const std::string& APassword) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(APassword.data(), APassword.size(), md, &len, EVP_sha1(), nullptr);
    unsigned char b64[64];
    const int n = EVP_EncodeBlock(b64, md, static_cast<int>(len));
    return "{SHA}" + std::string(reinterpret_cast<char*>(b64), static_cast<size_t>(n));
}

const char* const cModules[] = {"mpm_prefork", "authn_core", "authn_file",  "authz_core",
                                "authz_user",  "auth_basic", "auth_digest", "alias"};

}  // namespace

TApacheServer::TApacheServer(const std::string& AUserName, const std::string& APassword,
                             const std::string& ARedirectHost) {
    std::string pattern = (std::filesystem::temp_directory_path() / "cltest_apache_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    FFolder = pattern;
    try {
        // Run as root, apache serves as nobody: the folder must be readable to it.
        chmod(FFolder.c_str(), 0755);
        WriteContent(AUserName, APassword);
        std::string error;
        for (int attempt = 0; attempt < 5; ++attempt) {
            FPort = FreeLoopbackPort();
            do {
                FOtherPort = FreeLoopbackPort();
            } while (FOtherPort == FPort);
            WriteConfig(ARedirectHost);
            if (FDaemon.Start(
                    {Binary, "-DFOREGROUND", "-d", FFolder, "-f", FFolder + "/apache.conf"}, FFolder + "/stderr.log",
                    [this] { return AcceptsOnLoopback(FPort) && AcceptsOnLoopback(FOtherPort); },
                    [this] { return ErrorLog(); }, error)) {
                return;
            }
            // Only a port taken in the meantime is worth another attempt.
            if (error.find("Address already in use") == std::string::npos) break;
        }
        throw std::runtime_error("apache2 did not start: " + error);
    } catch (...) {
        FDaemon.Stop();
        std::error_code ec;
        std::filesystem::remove_all(FFolder, ec);
        throw;
    }
}

TApacheServer::~TApacheServer() {
    FDaemon.Stop();
    std::error_code ec;
    std::filesystem::remove_all(FFolder, ec);
}

void TApacheServer::WriteContent(const std::string& AUserName, const std::string& APassword) {
    namespace fs = std::filesystem;
    for (const char* sub : {"/www/digest", "/www/basic", "/run"}) fs::create_directories(FFolder + sub);
    WriteFile(FFolder + "/www/digest/secret.txt", Secret);
    WriteFile(FFolder + "/www/basic/secret.txt", Secret);
    const std::string realm = Realm;
    WriteFile(FFolder + "/digest.users",
              AUserName + ":" + realm + ":" + DigestHex(AUserName + ":" + realm + ":" + APassword, EVP_md5()) + "\n");
    WriteFile(FFolder + "/basic.users", AUserName + ":" + ShaPassword(APassword) + "\n");
}

void TApacheServer::WriteConfig(const std::string& ARedirectHost) {
    const std::string& f = FFolder;
    std::string c;
    for (const char* m : cModules) {
        c += std::string("LoadModule ") + m + "_module /usr/lib/apache2/modules/mod_" + m + ".so\n";
    }
    if (geteuid() == 0) c += "User nobody\nGroup nogroup\n";
    c += "ServerName 127.0.0.1\n";
    c += "Listen 127.0.0.1:" + std::to_string(FPort) + "\nListen 127.0.0.1:" + std::to_string(FOtherPort) + "\n";
    c += "PidFile " + f + "/run/apache.pid\nDefaultRuntimeDir " + f + "/run\nMutex file:" + f + "/run default\n";
    c += "ErrorLog " + f + "/error.log\nLogLevel warn\n";
    c += "LogFormat \"%{local}p %>s \\\"%r\\\" \\\"%{Authorization}i\\\"\" probe\n";
    c += "CustomLog " + f + "/access.log probe\n";
    c += "KeepAlive On\nTimeout 30\n";
    c += "StartServers 2\nMinSpareServers 1\nMaxSpareServers 3\nMaxRequestWorkers 8\n";
    c += "DocumentRoot " + f + "/www\n";
    c += "<Directory " + f + "/www>\n  Require all granted\n</Directory>\n";
    c += "<Location /digest/>\n  AuthType Digest\n  AuthName \"" + std::string(Realm) +
         "\"\n  AuthDigestProvider file\n  AuthUserFile " + f + "/digest.users\n  Require valid-user\n</Location>\n";
    c += "<Location /basic/>\n  AuthType Basic\n  AuthName \"" + std::string(Realm) +
         "\"\n  AuthBasicProvider file\n  AuthUserFile " + f + "/basic.users\n  Require valid-user\n</Location>\n";
    c += "Redirect 302 /elsewhere http://" + ARedirectHost + ":" + std::to_string(FOtherPort) + "/basic/secret.txt\n";
    WriteFile(f + "/apache.conf", c);
}

std::vector<std::string> TApacheServer::WaitForAccessLine(const std::string& APrefix) const {
    auto found = [&](const std::vector<std::string>& ALines) {
        for (const std::string& line : ALines) {
            if (line.rfind(APrefix, 0) == 0) return true;
        }
        return false;
    };
    std::vector<std::string> lines = AccessLog();
    for (int i = 0; i < 200 && !found(lines); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        lines = AccessLog();
    }
    return lines;
}

std::vector<std::string> TApacheServer::AccessLog() const {
    std::vector<std::string> lines;
    std::ifstream in(FFolder + "/access.log");
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string TApacheServer::ErrorLog() const { return ReadFileIfAny(FFolder + "/error.log"); }

}  // namespace cltest
