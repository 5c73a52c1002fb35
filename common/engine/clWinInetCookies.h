// The one cookie store of the process, and how far the jar of each
// transfer's easy handle has caught up with it.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

namespace cl::wininet {

// How far a transfer's cookie jar has caught up with the process-wide store.
struct TCookieSync {
    uint64_t Generation = UINT64_MAX;  // never imported
    std::set<std::string> Known;       // keys of the store at the last meeting
};

// The one cookie store of the process. libcurl keeps cookies per easy handle
// (the shares do not hold them), so every transfer's jar meets this store:
// it takes the store's cookies before the request, and gives back what the
// responses changed.
class TCookieStore {
public:
    // Brings the jar of AEasy up to date.
    void Import(CURL* AEasy, TCookieSync& ASync);
    // Takes the jar's additions, changes and removals into the store.
    void Export(CURL* AEasy, TCookieSync& ASync);
    // Drops the cookies without an expiry time (those of this session).
    void FlushSession();

private:
    // Fields of a cookie line: domain, subdomains, path, secure, expiry, name, value.
    static std::string Field(const std::string& ALine, int AIndex);
    static std::string KeyOf(const std::string& ALine);

    std::mutex FLock;
    std::map<std::string, std::string> FCookies;
    uint64_t FGeneration = 0;
};

}  // namespace cl::wininet
