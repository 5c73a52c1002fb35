// Comment documents and the refusal window.
#include "site/CommentService.h"

#include <cstdio>
#include <iterator>

namespace vidsite {

namespace {

const char* const kTexts[] = {
    "前方高能",
    "哈哈哈哈哈哈",
    "这里的配乐太好听了",
    "第一次看到这么美的夜景",
    "打卡",
    "来了来了",
    "前排围观",
    "画质好清晰",
    "已收藏",
    "准时到场",
    "这是哪个城市？",
    "4K画质真好",
    "泪目",
    "好家伙",
    "名场面",
    "&lt;转载请注明&gt;",
    "23333",
    "awsl",
    "我回来了，你们呢",
    "完结撒花",
};

// Deterministic per content id, so two fetches give the same bytes.
class TSequence {
public:
    explicit TSequence(uint64_t ASeed) : FState(ASeed * 6364136223846793005ULL + 1442695040888963407ULL) {}
    uint32_t Next() {
        FState = FState * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<uint32_t>(FState >> 33);
    }

private:
    uint64_t FState;
};

}  // namespace

std::string CommentDocument(int64_t ACid, int AEntries) {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><i><chatserver>chat.vidsite.example</chatserver>"
        "<chatid>" +
        std::to_string(ACid) +
        "</chatid><mission>0</mission><maxlimit>1000</maxlimit><state>0</state><real_name>0</real_name>"
        "<source>k-v</source>";
    TSequence random(static_cast<uint64_t>(ACid));
    static const int kModes[] = {1, 1, 1, 1, 4, 5};
    static const uint32_t kColours[] = {16777215, 16777215, 16707842, 16738740, 4546550, 14811775};
    char attributes[160];
    for (int i = 0; i < AEntries; ++i) {
        const double seconds = (random.Next() % 600000) / 1000.0;
        std::snprintf(attributes, sizeof attributes, "%.5f,%d,25,%u,%u,0,%08x,%llu", seconds,
                      kModes[random.Next() % std::size(kModes)], kColours[random.Next() % std::size(kColours)],
                      1600000000u + random.Next() % 10000000u, random.Next(),
                      static_cast<unsigned long long>(40000000000000000ULL + random.Next()));
        xml += "<d p=\"";
        xml += attributes;
        xml += "\">";
        xml += kTexts[random.Next() % std::size(kTexts)];
        xml += "</d>";
    }
    return xml + "</i>";
}

std::string BrokenDeflateBody() { return std::string("\xff\xff\x00\x13", 4) + std::string(60, '\x5a'); }

void TRequestWindowLimiter::Configure(int ALimit, std::chrono::milliseconds AWindow) {
    std::lock_guard<std::mutex> guard(FLock);
    FLimit = ALimit;
    FWindow = AWindow;
    FAdmitted.clear();
}

bool TRequestWindowLimiter::Admit() {
    std::lock_guard<std::mutex> guard(FLock);
    if (FLimit <= 0) return true;
    const auto now = std::chrono::steady_clock::now();
    while (!FAdmitted.empty() && now - FAdmitted.front() >= FWindow) FAdmitted.pop_front();
    if (static_cast<int>(FAdmitted.size()) >= FLimit) return false;
    FAdmitted.push_back(now);
    return true;
}

}  // namespace vidsite
