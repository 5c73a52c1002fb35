// Test certificates made at run time (a CA, the leaf certificates it
// issues, self-signed ones) and a loopback TLS server over a blocking socket
// that serves one connection at a time with a handler of the test's choosing.
#pragma once

#include <openssl/types.h>

#include "site/TlsCertificates.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace cltest {

// The certificates come from the site stand-in's certificate module.
using TTestCertificate = vidsite::TCertificateAndKey;
using TLeafOptions = vidsite::TLeafOptions;
using TTestCa = vidsite::TCertificateAuthority;
using vidsite::MakeSelfSigned;

// Writes AContent to a new file under the temporary folder; the path.
std::string WriteTempFile(const std::string& AName, const std::string& AContent);

struct TServerOptions {
    int MaxVersion = 0;  // 0: the engine's highest
    int MinVersion = 0;
    bool RequestClientCertificate = false;
    bool RequireClientCertificate = false;
    std::string ClientCaPem;  // trusted issuer of client certificates
    // Runs on the plain socket before the TLS handshake (an upgrade dialogue).
    std::function<void(int ASocket)> PlainPreamble;
};

// Listens on 127.0.0.1 (port chosen by the system) and runs AHandler for
// each accepted, handshaken connection on its own thread, one at a time.
// A connection whose handshake fails is dropped. Stops in the destructor;
// socket waits end after 10 s so a stalled peer cannot hang a test.
class TTlsTestServer {
public:
    using THandler = std::function<void(SSL* ASsl, int ASocket)>;
    TTlsTestServer(const TTestCertificate& ACertificate, THandler AHandler, TServerOptions AOptions = {});
    ~TTlsTestServer();
    TTlsTestServer(const TTlsTestServer&) = delete;
    TTlsTestServer& operator=(const TTlsTestServer&) = delete;

    int Port() const { return FPort; }
    int Accepted() const { return FAccepted.load(); }
    // The last handshake's failure text, empty when it succeeded.
    std::string LastError() const;

private:
    void Run();

    SSL_CTX* FCtx = nullptr;
    THandler FHandler;
    std::function<void(int)> FPlainPreamble;
    int FListen = -1;
    int FWake[2] = {-1, -1};
    int FPort = 0;
    std::atomic<int> FAccepted{0};
    mutable std::mutex FErrorLock;
    std::string FLastError;
    std::thread FThread;
};

// Reads from ASsl until ATerminator has been seen (or the peer closes);
// everything read.
std::string ReadUntil(SSL* ASsl, const std::string& ATerminator);
void WriteAll(SSL* ASsl, const std::string& AData);
// The records that writing each of APlainTexts would send, as bytes, so a
// test can put them on the wire split or joined as it likes.
std::string RecordsOf(SSL* ASsl, const std::vector<std::string>& APlainTexts);
// Sends raw bytes on a socket; false when the peer is gone.
bool SendRaw(int ASocket, const std::string& AData);

// `openssl s_server -www` on a loopback port for one connection (a server
// not written here); stopped by the destructor.
class TOpensslServer {
public:
    // AExtraArguments go to s_server after the others (a cipher string, say).
    TOpensslServer(const std::string& ACertFile, const std::string& AKeyFile,
                   const std::vector<std::string>& AExtraArguments = {});
    ~TOpensslServer();
    TOpensslServer(const TOpensslServer&) = delete;
    TOpensslServer& operator=(const TOpensslServer&) = delete;
    bool Started = false;
    int Pid = 0;
    int Port = 0;
    int Output = -1;
};

}  // namespace cltest
