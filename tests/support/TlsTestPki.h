// Test certificates made at run time: a CA, leaf certificates it issues
// (host names, addresses, validity, usages chosen per test), self-signed
// ones, and a loopback TLS server over a blocking socket that serves one
// connection at a time with a handler of the test's choosing.
#pragma once

#include <openssl/types.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace cltest {

struct TTestCertificate {
    std::string CertificatePem;
    std::string KeyPem;
};

struct TLeafOptions {
    std::string CommonName = "localhost";
    std::vector<std::string> DnsNames{"localhost"};
    std::vector<std::string> IpAddresses{"127.0.0.1"};
    std::string Email;
    long NotBeforeSeconds = -3600;     // relative to now
    long NotAfterSeconds = 30 * 86400;  // relative to now
    bool ServerAuth = true;
    bool ClientAuth = false;
    long Serial = 0;  // 0: a random serial
    // Weak leaves for the security-level checks: an RSA key of this size
    // instead of P-256 (0: P-256), a SHA-1 signature instead of SHA-256.
    int RsaBits = 0;
    bool Sha1Signature = false;
};

class TTestCa {
public:
    explicit TTestCa(const std::string& ACommonName = "Test Root CA");
    ~TTestCa();
    TTestCa(const TTestCa&) = delete;
    TTestCa& operator=(const TTestCa&) = delete;

    const std::string& CertificatePem() const { return FCertificatePem; }
    TTestCertificate Issue(const TLeafOptions& AOptions) const;

private:
    EVP_PKEY* FKey = nullptr;
    X509* FCertificate = nullptr;
    std::string FCertificatePem;
};

TTestCertificate MakeSelfSigned(const TLeafOptions& AOptions);

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
