// A scripted HTTP server on loopback, plain or TLS: it records every request
// it reads (head and body, by Content-Length) and answers with the exact
// bytes of the next reply in its script, so a test can check what a client
// writes and how it reads any framing. Replies are taken in order across all
// connections; when the script is used up the connection is closed.
#pragma once

#include <openssl/ssl.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/TlsTestPki.h"
#include "support/clLoopbackServer.h"

namespace cltest {

struct TRecordedRequest {
    std::string Head;  // request line and fields, up to and including the empty line
    std::string Body;
    int Connection = 0;  // 1-based number of the connection it came on
};

struct TScriptedReply {
    TScriptedReply(std::string ABytes = std::string(), std::vector<size_t> APieces = {}, bool ACloseAfter = false)
        : Bytes(std::move(ABytes)), Pieces(std::move(APieces)), CloseAfter(ACloseAfter) {}
    // Closes an idle connection shortly after the previous reply, without
    // reading a request (a keep-alive connection the server dropped).
    static TScriptedReply DropIdleConnection() {
        TScriptedReply reply;
        reply.CloseBeforeRequest = true;
        return reply;
    }
    // Reads the request and never answers (a stalled server).
    static TScriptedReply Stalled() {
        TScriptedReply reply;
        reply.Stall = true;
        return reply;
    }

    std::string Bytes;
    // Sent in these pieces, each after a short pause (empty: all at once).
    std::vector<size_t> Pieces;
    bool CloseAfter = false;
    bool CloseBeforeRequest = false;
    bool Stall = false;
};

// The reply for a status, fields and a body with its Content-Length.
inline std::string HttpReply(const std::string& AStatusLine, const std::string& AFields, const std::string& ABody) {
    return AStatusLine + "\r\n" + AFields + "Content-Length: " + std::to_string(ABody.size()) + "\r\n\r\n" + ABody;
}

class TScriptedHttpServer {
public:
    explicit TScriptedHttpServer(std::vector<TScriptedReply> AScript, const TTestCertificate* ATlsCertificate = nullptr)
        : FScript(std::move(AScript)) {
        if (ATlsCertificate) {
            FTls = std::make_unique<TTlsTestServer>(*ATlsCertificate, [this](SSL* ASsl, int) {
                Serve([ASsl](char* ABuf, int ALen) { return SSL_read(ASsl, ABuf, ALen); },
                      [ASsl](const std::string& AData) { WriteAll(ASsl, AData); }, [] {});
            });
        } else {
            FPlain = std::make_unique<TLoopbackServer>([this](int AFd) {
                Serve([AFd](char* ABuf, int ALen) { return static_cast<int>(recv(AFd, ABuf, ALen, 0)); },
                      [AFd](const std::string& AData) { TLoopbackServer::SendAll(AFd, AData); },
                      [AFd] { shutdown(AFd, SHUT_RDWR); });
            });
        }
    }
    ~TScriptedHttpServer() {
        FStopping = true;
        FPlain.reset();
        FTls.reset();
    }

    int Port() const { return FPlain ? FPlain->Port() : FTls->Port(); }
    int Accepted() const { return FPlain ? FPlain->Accepted() : FTls->Accepted(); }
    std::vector<TRecordedRequest> Requests() const {
        std::lock_guard<std::mutex> guard(FLock);
        return FRequests;
    }
    TRecordedRequest Request(size_t AIndex) const {
        std::lock_guard<std::mutex> guard(FLock);
        return AIndex < FRequests.size() ? FRequests[AIndex] : TRecordedRequest{};
    }

private:
    using TRecv = std::function<int(char*, int)>;
    using TSend = std::function<void(const std::string&)>;

    bool NextReply(TScriptedReply& AReply) {
        std::lock_guard<std::mutex> guard(FLock);
        if (FNext >= FScript.size()) return false;
        AReply = FScript[FNext++];
        return true;
    }

    // Reads one request; false when the peer closed first.
    bool ReadRequest(const TRecv& ARecv, std::string& APending, TRecordedRequest& ARequest) {
        size_t end;
        while ((end = APending.find("\r\n\r\n")) == std::string::npos) {
            if (!Fill(ARecv, APending)) return false;
        }
        ARequest.Head = APending.substr(0, end + 4);
        APending.erase(0, end + 4);
        const size_t length = ContentLength(ARequest.Head);
        while (APending.size() < length) {
            if (!Fill(ARecv, APending)) break;
        }
        ARequest.Body = APending.substr(0, length);
        APending.erase(0, std::min(length, APending.size()));
        return true;
    }

    static bool Fill(const TRecv& ARecv, std::string& APending) {
        char buf[16384];
        const int n = ARecv(buf, sizeof(buf));
        if (n <= 0) return false;
        APending.append(buf, static_cast<size_t>(n));
        return true;
    }

    static size_t ContentLength(const std::string& AHead) {
        std::string lower = AHead;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const size_t at = lower.find("\r\ncontent-length:");
        return at == std::string::npos ? 0 : std::stoul(lower.substr(at + 17));
    }

    // A reply that drops an idle connection applies before any request is read.
    bool TakeCloseBeforeRequest() {
        std::lock_guard<std::mutex> guard(FLock);
        if (FNext >= FScript.size() || !FScript[FNext].CloseBeforeRequest) return false;
        ++FNext;
        // Late enough that the client has finished with the previous reply
        // and holds the connection as idle.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return true;
    }

    void Serve(const TRecv& ARecv, const TSend& ASend, const std::function<void()>& AClose) {
        const int connection = ++FConnections;
        std::string pending;
        for (;;) {
            if (TakeCloseBeforeRequest()) return;
            TRecordedRequest request;
            request.Connection = connection;
            if (!ReadRequest(ARecv, pending, request)) return;
            {
                std::lock_guard<std::mutex> guard(FLock);
                FRequests.push_back(request);
            }
            // Replies are taken only for requests read, so a connection the
            // client gave up on does not use up the script.
            TScriptedReply reply;
            if (!NextReply(reply)) return;
            if (reply.Stall) {
                while (!FStopping) std::this_thread::sleep_for(std::chrono::milliseconds(10));
                return;
            }
            if (reply.Pieces.empty()) {
                ASend(reply.Bytes);
            } else {
                size_t at = 0;
                for (size_t piece : reply.Pieces) {
                    ASend(reply.Bytes.substr(at, piece));
                    at += piece;
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
                if (at < reply.Bytes.size()) ASend(reply.Bytes.substr(at));
            }
            if (reply.CloseAfter) {
                AClose();
                return;
            }
        }
    }

    std::vector<TScriptedReply> FScript;
    size_t FNext = 0;
    std::vector<TRecordedRequest> FRequests;
    mutable std::mutex FLock;
    std::atomic<int> FConnections{0};
    std::atomic<bool> FStopping{false};
    std::unique_ptr<TLoopbackServer> FPlain;
    std::unique_ptr<TTlsTestServer> FTls;
};

}  // namespace cltest
