#include "support/NginxServer.h"

#include "rtl/clStrUtils.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/TestDaemon.h"
#include "support/TlsTestPki.h"

namespace cltest {

namespace {

// Deterministic bytes that neither gzip nor a sendfile shortcut can fake.
std::string PseudoRandomBytes(int64_t ASize, uint64_t ASeed = 0) {
    std::string s(static_cast<size_t>(ASize), '\0');
    uint64_t x = 0x9E3779B97F4A7C15ULL + ASeed * 0x2545F4914F6CDD1DULL;
    for (size_t i = 0; i < s.size(); ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        s[i] = static_cast<char>(x >> 56);
    }
    return s;
}

std::string CompressibleText() {
    std::string s;
    for (int i = 0; i < 4000; ++i) {
        s += "line " + std::to_string(i) + ": a text that compresses well, the same words on every line\n";
    }
    return s;
}

}  // namespace

std::string ReadWholeFile(const std::string& AFileName) {
    std::ifstream in(AFileName, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + AFileName);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string Sha256Hex(const void* AData, size_t ASize) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(AData, ASize, md, &len, EVP_sha256(), nullptr) != 1) throw std::runtime_error("EVP_Digest");
    return cl::LowerHex(md, len);
}

std::string TNginxServer::Custom404Page() {
    return "<html><head><title>Not here</title></head>"
           "<body><h1>The custom not-found page of the test server</h1></body></html>\n";
}

TNginxServer::TNginxServer(const TNginxOptions& AOptions) {
    std::string pattern = (std::filesystem::temp_directory_path() / "cltest_nginx_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    FFolder = pattern;
    try {
        WriteContent(AOptions);
        std::string error;
        for (int attempt = 0; attempt < 5; ++attempt) {
            FHttpPort = FreeLoopbackPort();
            do {
                FHttpsPort = FreeLoopbackPort();
            } while (FHttpsPort == FHttpPort);
            WriteConfig(AOptions);
            if (Start(error)) return;
            // Only a port taken in the meantime is worth another attempt.
            if (error.find("Address already in use") == std::string::npos) break;
        }
        throw std::runtime_error("nginx did not start: " + error);
    } catch (...) {
        Stop();
        std::error_code ec;
        std::filesystem::remove_all(FFolder, ec);
        throw;
    }
}

TNginxServer::~TNginxServer() {
    Stop();
    std::error_code ec;
    std::filesystem::remove_all(FFolder, ec);
}

std::string TNginxServer::ManyPath(int AIndex) {
    char name[32];
    std::snprintf(name, sizeof name, "/static/many/%03d.bin", AIndex);
    return name;
}

std::string TNginxServer::HttpBase() const { return "http://127.0.0.1:" + std::to_string(FHttpPort); }
std::string TNginxServer::HttpsBase() const { return "https://127.0.0.1:" + std::to_string(FHttpsPort); }

void TNginxServer::WriteContent(const TNginxOptions& AOptions) {
    namespace fs = std::filesystem;
    const std::string www = FFolder + "/www";
    for (const char* sub : {"/static", "/private", "/errors", "/upload"}) fs::create_directories(www + sub);
    fs::create_directories(FFolder + "/tmp");
    WriteFile(www + "/static/small.txt", "the end of the redirect chain\n");
    WriteFile(www + "/static/text.txt", CompressibleText());
    WriteFile(www + "/static/large.bin", PseudoRandomBytes(AOptions.LargeSize));
    if (AOptions.ManyCount > 0) fs::create_directories(www + "/static/many");
    for (int i = 0; i < AOptions.ManyCount; ++i)
        WriteFile(www + ManyPath(i), PseudoRandomBytes(AOptions.ManySize, static_cast<uint64_t>(i) + 1));
    WriteFile(www + "/private/secret.txt", "only for those who know the password\n");
    WriteFile(www + "/errors/404.html", Custom404Page());
    WriteFile(FFolder + "/htpasswd", std::string(UserName) + ":{PLAIN}" + Password + "\n");

    FCa = std::make_unique<TTestCa>("nginx test CA");
    FCaPem = FCa->CertificatePem();
    TLeafOptions leaf;
    leaf.DnsNames = {"localhost", ExtraHostName};
    const TTestCertificate cert = FCa->Issue(leaf);
    WriteFile(FFolder + "/ca.pem", FCaPem);
    WriteFile(FFolder + "/server.pem", cert.CertificatePem);
    WriteFile(FFolder + "/server.key", cert.KeyPem);
}

void TNginxServer::WriteConfig(const TNginxOptions& AOptions) {
    const std::string& f = FFolder;
    const std::string http = std::to_string(FHttpPort);
    std::string c;
    if (AOptions.WorkerProcesses > 1) {
        c += "daemon off;\nmaster_process on;\nworker_processes " + std::to_string(AOptions.WorkerProcesses) + ";\n";
        // Workers of a root master would otherwise run as nobody, who cannot
        // read the private temporary folder.
        if (geteuid() == 0) c += "user root;\n";
    } else {
        c += "daemon off;\nmaster_process off;\nworker_processes 1;\n";
    }
    c += "pid " + f + "/nginx.pid;\nerror_log " + f + "/error.log notice;\n";
    c += "events { worker_connections 256; }\n";
    c += "http {\n";
    c += "  log_format conn '$connection $connection_requests $status $request_method $request_uri "
         "$body_bytes_sent';\n";
    c += "  access_log " + f + "/access.log conn;\n";
    for (const char* t : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
        c += std::string("  ") + t + "_temp_path " + f + "/tmp/" + t + ";\n";
    }
    c += "  types { text/plain txt; text/html html; application/octet-stream bin; }\n";
    c += "  default_type application/octet-stream;\n";
    c += "  sendfile on;\n  keepalive_timeout 30s;\n";
    c += "  gzip on;\n  gzip_types text/plain;\n  gzip_min_length 32;\n";
    c += "  client_body_buffer_size 64k;\n  client_max_body_size 256m;\n";
    c += "  large_client_header_buffers 4 64k;\n";
    c += AOptions.ExtraHttpConfig + "\n";
    c += "  server {\n";
    c += "    listen 127.0.0.1:" + http + ";\n";
    c += "    listen 127.0.0.1:" + std::to_string(FHttpsPort) + " ssl;\n";
    c += "    server_name localhost;\n";
    c += "    ssl_certificate " + f + "/server.pem;\n    ssl_certificate_key " + f + "/server.key;\n";
    c += "    root " + f + "/www;\n";
    c += "    error_page 404 /errors/404.html;\n";
    c += "    location = /errors/404.html { internal; }\n";
    c += "    location = /r1 { return 301 /r2; }\n";
    c += "    location = /r2 { absolute_redirect off; return 302 /r3; }\n";
    c += "    location = /r3 { return 307 /static/small.txt; }\n";
    c += "    location /private/ { auth_basic \"nginx test\"; auth_basic_user_file " + f + "/htpasswd; }\n";
    // nginx has no echo of its own: the body is read for the proxy, handed
    // on in a header, and the plain port answers with that header.
    c += "    location = /echo { proxy_pass http://127.0.0.1:" + http +
         "/echo-back; proxy_set_header X-Echo-Body $request_body; }\n";
    c += "    location = /echo-back { default_type text/plain; return 200 $http_x_echo_body; }\n";
    c += "    location /upload/ { dav_methods PUT DELETE; create_full_put_path on; }\n";
    c += "  }\n}\n";
    WriteFile(f + "/nginx.conf", c);
}

bool TNginxServer::Start(std::string& AError) {
    std::filesystem::remove(FFolder + "/error.log");
    const std::string prefix = FFolder + "/";
    return FDaemon.Start(
        {Binary, "-p", prefix, "-c", FFolder + "/nginx.conf", "-e", FFolder + "/error.log"}, FFolder + "/stderr.log",
        [this] { return AcceptsOnLoopback(FHttpPort) && AcceptsOnLoopback(FHttpsPort); }, [this] { return ErrorLog(); },
        AError);
}

void TNginxServer::Stop() { FDaemon.Stop(); }

std::vector<TNginxLogEntry> TNginxServer::AccessLog() const {
    std::vector<TNginxLogEntry> entries;
    std::ifstream in(FFolder + "/access.log");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream s(line);
        TNginxLogEntry e;
        if (s >> e.Connection >> e.Request >> e.Status >> e.Method >> e.Uri >> e.BytesSent) entries.push_back(e);
    }
    return entries;
}

std::string TNginxServer::ErrorLog() const { return ReadFileIfAny(FFolder + "/error.log"); }

}  // namespace cltest
