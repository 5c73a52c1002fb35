// The process-wide cookie store: a root's jar takes the store's cookies in
// and gives its changes back, cookie lines keyed by domain, path and name.
#include "engine/clWinInetCookies.h"

#include <iterator>

namespace cl::wininet {

void TCookieStore::Import(CURL* AEasy, TCookieSync& ASync) {
    std::lock_guard<std::mutex> guard(FLock);
    if (ASync.Generation == FGeneration) return;
    curl_easy_setopt(AEasy, CURLOPT_COOKIELIST, "ALL");
    ASync.Known.clear();
    for (const auto& [key, line] : FCookies) {
        curl_easy_setopt(AEasy, CURLOPT_COOKIELIST, line.c_str());
        ASync.Known.insert(key);
    }
    ASync.Generation = FGeneration;
}

void TCookieStore::Export(CURL* AEasy, TCookieSync& ASync) {
    curl_slist* list = nullptr;
    curl_easy_getinfo(AEasy, CURLINFO_COOKIELIST, &list);
    std::map<std::string, std::string> jar;
    for (curl_slist* item = list; item != nullptr; item = item->next) jar.emplace(KeyOf(item->data), item->data);
    curl_slist_free_all(list);
    std::lock_guard<std::mutex> guard(FLock);
    const bool wasCurrent = ASync.Generation == FGeneration;
    bool changed = false;
    for (const auto& [key, line] : jar) {
        auto& stored = FCookies[key];
        changed = changed || stored != line;
        stored = line;
    }
    for (const std::string& key : ASync.Known)
        if (jar.count(key) == 0) changed = FCookies.erase(key) > 0 || changed;
    if (changed) ++FGeneration;
    ASync.Known.clear();
    for (const auto& entry : jar) ASync.Known.insert(entry.first);
    if (wasCurrent) ASync.Generation = FGeneration;
}

void TCookieStore::FlushSession() {
    std::lock_guard<std::mutex> guard(FLock);
    for (auto it = FCookies.begin(); it != FCookies.end();)
        it = Field(it->second, 4) == "0" ? FCookies.erase(it) : std::next(it);
    ++FGeneration;
}

std::string TCookieStore::Field(const std::string& ALine, int AIndex) {
    size_t start = 0;
    for (int i = 0; i < AIndex; ++i) {
        start = ALine.find('\t', start);
        if (start == std::string::npos) return std::string();
        ++start;
    }
    return ALine.substr(start, ALine.find('\t', start) - start);
}

std::string TCookieStore::KeyOf(const std::string& ALine) {
    return Field(ALine, 0) + '\t' + Field(ALine, 2) + '\t' + Field(ALine, 5);
}

}  // namespace cl::wininet
