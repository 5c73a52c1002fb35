// Per-path faults and the request record.
#include "site/SiteFaults.h"

#include <strings.h>

namespace vidsite {

void TSiteFaults::Set(const std::string& APath, const TSiteFault& AFault) {
    std::lock_guard<std::mutex> guard(FLock);
    FFaults[APath] = AFault;
}

void TSiteFaults::Clear() {
    std::lock_guard<std::mutex> guard(FLock);
    FFaults.clear();
}

TSiteFault TSiteFaults::Take(const std::string& APath, bool& AServerError) {
    std::lock_guard<std::mutex> guard(FLock);
    AServerError = false;
    const auto found = FFaults.find(APath);
    if (found == FFaults.end()) return {};
    if (found->second.ServerErrorCount > 0) {
        --found->second.ServerErrorCount;
        AServerError = true;
    }
    return found->second;
}

std::optional<std::string> TRequestRecord::Header(const std::string& AName) const {
    for (const auto& [name, value] : Headers)
        if (strcasecmp(name.c_str(), AName.c_str()) == 0) return value;
    return std::nullopt;
}

void TRequestLog::Add(TRequestRecord ARecord) {
    std::lock_guard<std::mutex> guard(FLock);
    FRecords.push_back(std::move(ARecord));
}

void TRequestLog::Clear() {
    std::lock_guard<std::mutex> guard(FLock);
    FRecords.clear();
}

int TRequestLog::Count(const std::string& APath) const { return static_cast<int>(Requests(APath).size()); }

std::vector<TRequestRecord> TRequestLog::Requests(const std::string& APath) const {
    std::lock_guard<std::mutex> guard(FLock);
    std::vector<TRequestRecord> found;
    for (const TRequestRecord& record : FRecords)
        if (record.Path == APath) found.push_back(record);
    return found;
}

std::vector<TRequestRecord> TRequestLog::All() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FRecords;
}

}  // namespace vidsite
