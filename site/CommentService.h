// The comment service: a part's XML comment document, sent as raw DEFLATE,
// and the site's refusal (412) once too many comment files were asked for
// within a time window.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

namespace vidsite {

// A realistic comment document for a content id: the list header and
// AEntries comment entries with times, modes, colours and CJK texts.
std::string CommentDocument(int64_t ACid, int AEntries = 60);

// A body that is not DEFLATE data at all (a reserved block type).
std::string BrokenDeflateBody();

// Admits at most ALimit requests in any window of AWindow; the others are
// refused until the window has moved past the earlier ones. A limit of 0
// admits everything.
class TRequestWindowLimiter {
public:
    void Configure(int ALimit, std::chrono::milliseconds AWindow);
    bool Admit();

private:
    std::mutex FLock;
    int FLimit = 0;
    std::chrono::milliseconds FWindow{60000};
    std::deque<std::chrono::steady_clock::time_point> FAdmitted;
};

}  // namespace vidsite
