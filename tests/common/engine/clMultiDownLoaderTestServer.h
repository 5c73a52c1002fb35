// A loopback HTTP server of one resource for the download component's tests:
// it answers GET with the whole body or a byte range, on keep-alive
// connections, and can be told to misbehave the ways real servers do (no
// length and no ranges, a connection dropped mid-body, a short body, a 500
// for a given range, a slow pace, one slow range, a stall). It records each
// request's Range.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/clLoopbackServer.h"

namespace cltest {

struct TRangeServerOptions {
    bool SendLength = true;                  // Content-Length (else the body ends with the connection)
    bool AcceptRanges = true;                // Accept-Ranges: bytes and 206 answers
    std::string ExtraHeaders;                // whole lines with CRLF
    int DropAfterBytes = -1;                 // close after this many body bytes ...
    int DropCount = 0;                       // ... in this many responses
    bool AlwaysShort = false;                // every body stops early (half of it), cleanly closed
    bool RangeWithoutLength = false;         // 206 answers end with the connection
    std::map<int64_t, int> FailRangeStarts;  // range start -> number of 500 answers
    int PaceMs = 0;                          // pause between 8 KiB pieces of a body
    int64_t SlowRangeStart = -1;             // the first answer to a range starting here ...
    int SlowPaceMs = 0;                      // ... pauses this long between its pieces (negative: never answers)
    bool Stall = false;                      // read the request, never answer
    int FailAllWith = 0;                     // answer every request with this status
};

class TRangeServer {
public:
    TRangeServer(std::string ABody, TRangeServerOptions AOptions = {})
        : FBody(std::move(ABody)), FOptions(std::move(AOptions)), FServer([this](int AFd) { Serve(AFd); }) {}

    std::string Url(const std::string& APath = "/file.bin") const {
        return "http://127.0.0.1:" + std::to_string(FServer.Port()) + APath;
    }
    // The Range header of every request in order ("" for none).
    std::vector<std::string> Ranges() const {
        std::lock_guard<std::mutex> guard(FLock);
        return FRanges;
    }
    // The request heads in order.
    std::vector<std::string> Heads() const {
        std::lock_guard<std::mutex> guard(FLock);
        return FHeads;
    }
    int RequestCount() const {
        std::lock_guard<std::mutex> guard(FLock);
        return static_cast<int>(FRanges.size());
    }
    // Connections accepted so far.
    int Connections() const { return FServer.Accepted(); }
    // Overrides PaceMs from now on; negative: no pause at all.
    void SetPaceMs(int AValue) { FPaceMs = AValue; }

private:
    void Serve(int AFd) {
        std::string pending;
        while (!FServer.Stopping()) {
            const size_t end = ReadHead(AFd, pending);
            if (end == std::string::npos) return;
            const std::string head = pending.substr(0, end);
            pending.erase(0, end + 4);
            if (!Answer(AFd, head)) return;
        }
    }

    size_t ReadHead(int AFd, std::string& APending) {
        for (;;) {
            const size_t end = APending.find("\r\n\r\n");
            if (end != std::string::npos) return end;
            char buf[4096];
            const ssize_t n = recv(AFd, buf, sizeof buf, 0);
            if (n <= 0) return std::string::npos;
            APending.append(buf, static_cast<size_t>(n));
        }
    }

    // False when the connection is to be closed.
    bool Answer(int AFd, const std::string& AHead) {
        const std::string range = HeaderValue(AHead, "range");
        int64_t first = 0;
        int64_t last = static_cast<int64_t>(FBody.size()) - 1;
        bool ranged = false;
        if (FOptions.AcceptRanges && range.rfind("bytes=", 0) == 0) {
            ranged = true;
            const size_t dash = range.find('-');
            first = std::stoll(range.substr(6, dash - 6));
            if (dash + 1 < range.size()) last = std::min<int64_t>(last, std::stoll(range.substr(dash + 1)));
        }
        bool fail = false;
        int drop = -1;
        int slowPace = 0;
        {
            std::lock_guard<std::mutex> guard(FLock);
            FRanges.push_back(range);
            FHeads.push_back(AHead);
            auto it = FOptions.FailRangeStarts.find(first);
            if (ranged && it != FOptions.FailRangeStarts.end() && it->second > 0) {
                --it->second;
                fail = true;
            }
            if (ranged && first == FOptions.SlowRangeStart) {
                slowPace = FOptions.SlowPaceMs;
                FOptions.SlowRangeStart = -1;
            }
            if (ranged && FOptions.DropCount > 0) {
                --FOptions.DropCount;
                drop = FOptions.DropAfterBytes;
            }
        }
        if (FOptions.Stall || slowPace < 0) {
            while (!FServer.Stopping()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            return false;
        }
        if (FOptions.FailAllWith) {
            TLoopbackServer::SendAll(
                AFd, "HTTP/1.1 " + std::to_string(FOptions.FailAllWith) + " Refused\r\nContent-Length: 0\r\n\r\n");
            return true;
        }
        if (fail) {
            TLoopbackServer::SendAll(AFd, "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n");
            return true;
        }
        std::string reply = ranged ? "HTTP/1.1 206 Partial Content\r\n" : "HTTP/1.1 200 OK\r\n";
        reply += "Content-Type: application/octet-stream\r\nLast-Modified: Tue, 03 Feb 2026 04:05:06 GMT\r\n";
        if (FOptions.AcceptRanges) reply += "Accept-Ranges: bytes\r\n";
        if (ranged) {
            reply += "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                     std::to_string(FBody.size()) + "\r\n";
        }
        const int64_t count = last - first + 1;
        const bool length = FOptions.SendLength && !(ranged && FOptions.RangeWithoutLength);
        if (length)
            reply += "Content-Length: " + std::to_string(count) + "\r\n";
        else
            reply += "Connection: close\r\n";
        reply += FOptions.ExtraHeaders + "\r\n";
        TLoopbackServer::SendAll(AFd, reply);
        int64_t limit = count;
        if (drop >= 0) limit = std::min<int64_t>(limit, drop);
        if (FOptions.AlwaysShort) limit = count / 2;
        for (int64_t sent = 0; sent < limit && !FServer.Stopping();) {
            const int64_t piece = std::min<int64_t>(8192, limit - sent);
            if (send(AFd, FBody.data() + first + sent, static_cast<size_t>(piece), MSG_NOSIGNAL) != piece) return false;
            sent += piece;
            const int pace = slowPace ? slowPace : FPaceMs.load() ? FPaceMs.load() : FOptions.PaceMs;
            if (pace > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pace));
        }
        return limit == count && length;
    }

    static std::string HeaderValue(const std::string& AHead, const std::string& ALowerName) {
        std::string lower = AHead;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const size_t at = lower.find("\r\n" + ALowerName + ":");
        if (at == std::string::npos) return std::string();
        const size_t start = AHead.find_first_not_of(' ', at + 3 + ALowerName.size());
        const size_t end = AHead.find("\r\n", start);
        return AHead.substr(start, end - start);
    }

    std::string FBody;
    TRangeServerOptions FOptions;
    std::atomic<int> FPaceMs{0};
    mutable std::mutex FLock;
    std::vector<std::string> FRanges;
    std::vector<std::string> FHeads;
    TLoopbackServer FServer;  // last: its threads use the fields above
};

}  // namespace cltest
