// A real nginx on loopback for interoperability tests and benchmarks: one
// plain HTTP port and one HTTPS port (certificate from a CA made at run
// time), a configuration, content, logs and temp paths all generated into
// a fresh temporary folder that disappears with the object.
//
// What it serves (paths relative to the server root):
//   /static/small.txt        a short text, the end of the redirect chain
//   /static/text.txt         a text of some hundred KiB that gzip compresses
//   /static/large.bin        pseudo-random bytes (LargeSize), never compressed
//   /static/many/NNN.bin     ManyCount files of ManySize pseudo-random bytes
//                            each, different in every file (000.bin, 001.bin...)
//   /r1 -301-> /r2 -302-> /r3 -307-> /static/small.txt  (r1 and r3 absolute,
//                            r2 relative Locations)
//   /missing...              404 with the custom page Custom404Page()
//   /private/secret.txt      behind Basic authentication (UserName/Password)
//   POST /echo               answers 200 with the request body (form bodies
//                            of a few KiB, no line breaks)
//   PUT /upload/NAME         stores the body under UploadFolder()/NAME
// The access log has one line per request:
//   <connection serial> <requests on it> <status> <method> <uri> <bytes>
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/TestDaemon.h"

namespace vidsite {
class TCertificateAuthority;
}

namespace cltest {

using TTestCa = vidsite::TCertificateAuthority;

struct TNginxOptions {
    int64_t LargeSize = 4 << 20;
    // Worker processes; more than one puts a master process in front (a
    // benchmark's server should not be held to one core).
    int WorkerProcesses = 1;
    int ManyCount = 0;
    int64_t ManySize = 256 << 10;
    // Extra text for the http block (a test's own tuning).
    std::string ExtraHttpConfig;
};

struct TNginxLogEntry {
    long Connection = 0;
    long Request = 0;  // serial of the request on its connection, from 1
    int Status = 0;
    std::string Method;
    std::string Uri;
    int64_t BytesSent = 0;
};

class TNginxServer {
public:
    static constexpr const char* Binary = "/usr/sbin/nginx";
    static constexpr const char* UserName = "tester";
    static constexpr const char* Password = "open sesame";
    // Besides localhost and 127.0.0.1 the certificate names this host, for
    // tests that reach the server through the host override table.
    static constexpr const char* ExtraHostName = "files.nginx-test.example";

    // Starts nginx and returns once both ports accept connections; throws
    // std::runtime_error (with nginx's error log) when it cannot.
    explicit TNginxServer(const TNginxOptions& AOptions = {});
    // Stops nginx (TERM, then KILL) and removes the folder.
    ~TNginxServer();
    TNginxServer(const TNginxServer&) = delete;
    TNginxServer& operator=(const TNginxServer&) = delete;

    int HttpPort() const { return FHttpPort; }
    int HttpsPort() const { return FHttpsPort; }
    // "http://127.0.0.1:PORT" and "https://127.0.0.1:PORT", no trailing "/".
    std::string HttpBase() const;
    std::string HttpsBase() const;
    // The temporary folder; everything in it goes with the server.
    const std::string& Folder() const { return FFolder; }
    // The issuing CA, as PEM text and as a file.
    const std::string& CaPem() const { return FCaPem; }
    std::string CaFile() const { return FFolder + "/ca.pem"; }
    // Where the file behind a request path lies ("/static/large.bin").
    std::string FileOf(const std::string& APath) const { return FFolder + "/www" + APath; }
    // The request path of the AIndex-th of the many files ("/static/many/007.bin").
    static std::string ManyPath(int AIndex);
    std::string UploadFolder() const { return FFolder + "/www/upload"; }
    static std::string Custom404Page();

    // The access log so far; a count of its entries marks a point in time.
    std::vector<TNginxLogEntry> AccessLog() const;
    std::string ErrorLog() const;

private:
    void WriteContent(const TNginxOptions& AOptions);
    void WriteConfig(const TNginxOptions& AOptions);
    bool Start(std::string& AError);
    void Stop();

    std::string FFolder;
    std::unique_ptr<TTestCa> FCa;
    std::string FCaPem;
    int FHttpPort = 0;
    int FHttpsPort = 0;
    TLoopbackDaemon FDaemon;
};

// The whole content of a file; throws when it cannot be read.
std::string ReadWholeFile(const std::string& AFileName);
// SHA-256 as lower-case hex.
std::string Sha256Hex(const void* AData, size_t ASize);
inline std::string Sha256Hex(const std::string& AData) { return Sha256Hex(AData.data(), AData.size()); }

}  // namespace cltest
