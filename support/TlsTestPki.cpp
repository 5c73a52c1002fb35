// The loopback TLS server and the helpers around it.
#include "support/TlsTestPki.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

extern char** environ;

namespace cltest {

namespace {

void Check(bool AOk, const char* AWhat) {
    if (!AOk) {
        ERR_print_errors_fp(stderr);
        throw std::runtime_error(std::string("test TLS server: ") + AWhat);
    }
}

}  // namespace

std::string WriteTempFile(const std::string& AName, const std::string& AContent) {
    const std::string path =
        (std::filesystem::temp_directory_path() / ("cltest_" + std::to_string(getpid()) + "_" + AName)).string();
    std::ofstream(path, std::ios::binary) << AContent;
    return path;
}

// --- TTlsTestServer ---

TTlsTestServer::TTlsTestServer(const TTestCertificate& ACertificate, THandler AHandler, TServerOptions AOptions)
    : FHandler(std::move(AHandler)), FPlainPreamble(AOptions.PlainPreamble) {
    FCtx = SSL_CTX_new(TLS_server_method());
    BIO* cb = BIO_new_mem_buf(ACertificate.CertificatePem.data(), static_cast<int>(ACertificate.CertificatePem.size()));
    X509* x = PEM_read_bio_X509(cb, nullptr, nullptr, nullptr);
    BIO_free(cb);
    BIO* kb = BIO_new_mem_buf(ACertificate.KeyPem.data(), static_cast<int>(ACertificate.KeyPem.size()));
    EVP_PKEY* k = PEM_read_bio_PrivateKey(kb, nullptr, nullptr, nullptr);
    BIO_free(kb);
    Check(x && k && SSL_CTX_use_certificate(FCtx, x) == 1 && SSL_CTX_use_PrivateKey(FCtx, k) == 1, "server key");
    X509_free(x);
    EVP_PKEY_free(k);
    if (AOptions.MaxVersion) SSL_CTX_set_max_proto_version(FCtx, AOptions.MaxVersion);
    if (AOptions.MinVersion) SSL_CTX_set_min_proto_version(FCtx, AOptions.MinVersion);
    if (AOptions.RequestClientCertificate || AOptions.RequireClientCertificate) {
        int mode = SSL_VERIFY_PEER;
        if (AOptions.RequireClientCertificate) mode |= SSL_VERIFY_FAIL_IF_NO_PEER_CERT;
        SSL_CTX_set_verify(FCtx, mode, nullptr);
        if (!AOptions.ClientCaPem.empty()) {
            BIO* b = BIO_new_mem_buf(AOptions.ClientCaPem.data(), static_cast<int>(AOptions.ClientCaPem.size()));
            X509* ca = PEM_read_bio_X509(b, nullptr, nullptr, nullptr);
            BIO_free(b);
            X509_STORE_add_cert(SSL_CTX_get_cert_store(FCtx), ca);
            SSL_CTX_add_client_CA(FCtx, ca);
            X509_free(ca);
        }
    }

    FListen = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Check(bind(FListen, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(FListen, 8) == 0, "listen");
    socklen_t len = sizeof a;
    getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &len);
    FPort = ntohs(a.sin_port);
    Check(pipe(FWake) == 0, "pipe");
    FThread = std::thread([this] { Run(); });
}

TTlsTestServer::~TTlsTestServer() {
    const char c = 'x';
    (void)!write(FWake[1], &c, 1);
    FThread.join();
    close(FWake[0]);
    close(FWake[1]);
    close(FListen);
    SSL_CTX_free(FCtx);
}

std::string TTlsTestServer::LastError() const {
    std::lock_guard<std::mutex> g(FErrorLock);
    return FLastError;
}

void TTlsTestServer::Run() {
    for (;;) {
        pollfd fds[2] = {{FListen, POLLIN, 0}, {FWake[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) return;
        const int s = accept(FListen, nullptr, nullptr);
        if (s < 0) continue;
        timeval tv{10, 0};
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        FAccepted++;
        if (FPlainPreamble) {
            try {
                FPlainPreamble(s);
            } catch (const std::exception&) {
            }
        }
        SSL* ssl = SSL_new(FCtx);
        SSL_set_fd(ssl, s);
        std::string error;
        if (SSL_accept(ssl) == 1) {
            try {
                FHandler(ssl, s);
            } catch (const std::exception& e) {
                error = e.what();
            }
            SSL_shutdown(ssl);
        } else {
            char buf[256];
            ERR_error_string_n(ERR_peek_last_error(), buf, sizeof buf);
            error = buf;
            // Let the peer read the alert before the socket goes: close our
            // side first and drain what it still sends.
            shutdown(s, SHUT_WR);
            timeval shortWait{1, 0};
            setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &shortWait, sizeof shortWait);
            while (recv(s, buf, sizeof buf, 0) > 0) {
            }
        }
        ERR_clear_error();
        {
            std::lock_guard<std::mutex> g(FErrorLock);
            FLastError = error;
        }
        SSL_free(ssl);
        close(s);
    }
}

std::string ReadUntil(SSL* ASsl, const std::string& ATerminator) {
    std::string got;
    char buf[4096];
    while (got.find(ATerminator) == std::string::npos) {
        const int n = SSL_read(ASsl, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

void WriteAll(SSL* ASsl, const std::string& AData) {
    if (!AData.empty() && SSL_write(ASsl, AData.data(), static_cast<int>(AData.size())) <= 0)
        throw std::runtime_error("test server: write failed");
}

std::string RecordsOf(SSL* ASsl, const std::vector<std::string>& APlainTexts) {
    BIO* socketBio = SSL_get_wbio(ASsl);
    BIO_up_ref(socketBio);
    BIO* mem = BIO_new(BIO_s_mem());
    SSL_set0_wbio(ASsl, mem);
    for (const std::string& p : APlainTexts) SSL_write(ASsl, p.data(), static_cast<int>(p.size()));
    char* d = nullptr;
    const long n = BIO_get_mem_data(mem, &d);
    std::string bytes(d, static_cast<size_t>(n));
    SSL_set0_wbio(ASsl, socketBio);  // frees the memory buffer
    return bytes;
}

bool SendRaw(int ASocket, const std::string& AData) {
    size_t at = 0;
    while (at < AData.size()) {
        const ssize_t n = send(ASocket, AData.data() + at, AData.size() - at, MSG_NOSIGNAL);
        if (n <= 0) return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

TOpensslServer::TOpensslServer(const std::string& ACertFile, const std::string& AKeyFile,
                               const std::vector<std::string>& AExtraArguments) {
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len);
    Port = ntohs(a.sin_port);
    close(probe);
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    const std::string accept = "127.0.0.1:" + std::to_string(Port);
    std::vector<std::string> args = {"openssl", "s_server", "-naccept", "1",       "-www", "-cert",
                                     ACertFile, "-key",     AKeyFile,   "-accept", accept};
    args.insert(args.end(), AExtraArguments.begin(), AExtraArguments.end());
    std::vector<char*> argv;
    for (std::string& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);
    Started = posix_spawnp(&Pid, "openssl", &fa, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    // It says ACCEPT once it listens.
    std::string said;
    char c;
    while (Started && said.find("ACCEPT") == std::string::npos && read(out[0], &c, 1) == 1) said += c;
    Output = out[0];
}

TOpensslServer::~TOpensslServer() {
    if (Started) {
        kill(Pid, SIGTERM);
        waitpid(Pid, nullptr, 0);
    }
    if (Output >= 0) close(Output);
}

}  // namespace cltest
