// Faults a test switches on per path of the site stand-in, and the record
// of every request the site received, per path, so that a test can assert
// what the program asked for.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vidsite {

struct TSiteFault {
    bool Stall = false;              // no answer at all until the site stops
    int64_t StallAfterBytes = -1;    // the body stops after this many bytes, the connection stays open
    int64_t DropAfterBytes = -1;     // the connection closes after this many body bytes
    int64_t RateBytesPerSecond = 0;  // the body trickles at this rate
    int64_t LengthDelta = 0;         // Content-Length claims this many bytes more (or fewer)
    int ServerErrorCount = 0;        // the first requests answered with ServerErrorStatus
    int ServerErrorStatus = 503;
    bool CorruptBody = false;  // segments: a garbled tag; comments: a body that does not inflate
    bool EndlessBody = false;  // the body repeats without end, chunked, until the client leaves
};

class TSiteFaults {
public:
    void Set(const std::string& APath, const TSiteFault& AFault);
    void Clear();
    // The fault for a request of APath. AServerError is set when this
    // request is one of the first ones that get a 5xx (and uses one up).
    TSiteFault Take(const std::string& APath, bool& AServerError);

private:
    std::mutex FLock;
    std::map<std::string, TSiteFault> FFaults;
};

struct TRequestRecord {
    std::string Host;         // without a port
    std::string RequestLine;  // "GET /path?query HTTP/1.1"
    std::string Path;
    std::string Query;                                                  // the raw query text, without "?"
    std::vector<std::pair<std::string, std::string>> Headers;           // names as sent, in name order
    std::optional<std::string> Header(const std::string& AName) const;  // case-insensitive
};

class TRequestLog {
public:
    void Add(TRequestRecord ARecord);
    void Clear();
    int Count(const std::string& APath) const;
    std::vector<TRequestRecord> Requests(const std::string& APath) const;
    std::vector<TRequestRecord> All() const;

private:
    mutable std::mutex FLock;
    std::vector<TRequestRecord> FRecords;
};

}  // namespace vidsite
