// Writing the site's answers: bodies through cpp-httplib content providers
// (so the library neither compresses nor re-ranges them) with the faults a
// test switched on, and byte ranges resolved against a body's size.
#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "site/SiteFaults.h"

namespace vidsite {

// Wakes every wait of the site's answers when the site stops.
class TStopSignal {
public:
    void Stop();
    bool Stopped() const;
    // False when the site stopped before ADuration passed.
    bool SleepFor(std::chrono::milliseconds ADuration);
    // A stalled answer: until the site stops, at most five minutes.
    void WaitForStop();

private:
    mutable std::mutex FLock;
    std::condition_variable FWake;
    bool FStopped = false;
};

struct TByteRange {
    int64_t First = 0;
    int64_t Last = 0;  // inclusive
};

enum class TRangeAnswer { Whole, Partial, Unsatisfiable };

// One range of a Range header against a body of ASize bytes. A header that
// is missing, malformed or asks for several ranges gets the whole body.
TRangeAnswer ResolveRange(const std::string& ARangeHeader, int64_t ASize, TByteRange& ARange);

struct TBodyOptions {
    TSiteFault Fault;
    int64_t RateBytesPerSecond = 0;  // the site's own limit; a fault's rate wins
};

// Sends bytes AOffset .. AOffset + ALength of ABody.
void SendBody(httplib::Response& AResponse, std::shared_ptr<const std::string> ABody, int64_t AOffset, int64_t ALength,
              const std::string& AContentType, const TBodyOptions& AOptions, TStopSignal& AStop);

void SendText(httplib::Response& AResponse, std::string AText, const std::string& AContentType,
              const TBodyOptions& AOptions, TStopSignal& AStop);

bool AcceptsGzip(const httplib::Request& ARequest);

}  // namespace vidsite
