// The catalogue of the site stand-in and the demo's videos.
#include "site/SiteCatalogue.h"

#include "site/VidSiteConstants.h"

namespace vidsite {

namespace {

// A page path matches with or without its trailing slash.
std::string WithoutTrailingSlash(const std::string& APath) {
    if (APath.size() > 1 && APath.back() == '/') return APath.substr(0, APath.size() - 1);
    return APath;
}

}  // namespace

void TSiteCatalogue::Add(TSiteVideo AVideo) {
    std::lock_guard<std::mutex> guard(FLock);
    FVideos.push_back(std::move(AVideo));
}

void TSiteCatalogue::Clear() {
    std::lock_guard<std::mutex> guard(FLock);
    FVideos.clear();
}

std::optional<TSiteVideo> TSiteCatalogue::FindPage(const std::string& APath) const {
    std::lock_guard<std::mutex> guard(FLock);
    for (const TSiteVideo& video : FVideos)
        if (WithoutTrailingSlash(video.PagePath) == WithoutTrailingSlash(APath)) return video;
    return std::nullopt;
}

std::optional<TSitePart> TSiteCatalogue::FindPart(int64_t ACid) const {
    std::lock_guard<std::mutex> guard(FLock);
    for (const TSiteVideo& video : FVideos)
        for (const TSitePart& part : video.Parts)
            if (part.Cid == ACid) return part;
    return std::nullopt;
}

std::vector<TSiteVideo> TSiteCatalogue::Videos() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FVideos;
}

TSitePart NormalPart(int64_t ACid, std::string APart, int ASegmentCount) {
    TSitePart part;
    part.Cid = ACid;
    part.Part = std::move(APart);
    part.SegmentCount = ASegmentCount;
    return part;
}

TSitePart Episode(int64_t ACid, std::string ATitleFormat, std::string ALongTitle) {
    TSitePart part;
    part.Cid = ACid;
    part.TitleFormat = std::move(ATitleFormat);
    part.LongTitle = std::move(ALongTitle);
    return part;
}

std::vector<TSiteVideo> DemoCatalogue() {
    std::vector<TSiteVideo> videos;

    TSiteVideo normal;
    normal.PagePath = "/video/v1001/";
    normal.Title = "城市夜景延时摄影/合集";
    normal.Parts = {
        NormalPart(100101, "第一部分：黄昏"),
        NormalPart(100102, "第二部分：夜幕/灯火", 3),
        NormalPart(100103, "第三部分：黎明"),
    };
    videos.push_back(normal);

    TSiteVideo series;
    series.PagePath = "/play/s2001/";
    series.Title = "山川纪行";
    series.Kind = TPageKind::Series;
    static const char* const kEpisodeTitles[] = {"启程", "雪山", "草原", "峡谷", "湖泊",
                                                 "森林", "沙漠", "海岸", "古城", "归途"};
    for (int i = 0; i < 10; ++i) {
        series.Parts.push_back(Episode(200101 + i, "第" + std::to_string(i + 1) + "话", kEpisodeTitles[i]));
        series.Parts.back().Qualities = {64, 32, 16};
    }
    videos.push_back(series);

    TSiteVideo single;
    single.PagePath = "/video/v1003/";
    single.Title = "一分钟学会折纸鹤";
    single.Parts = {NormalPart(100301, "P1")};
    single.Parts.front().OldCodecs = true;
    videos.push_back(single);
    // Long enough that a download at the demo's rate takes visible time.
    for (TSiteVideo& video : videos)
        for (TSitePart& part : video.Parts) part.SegmentMs = 4000;
    return videos;
}

std::vector<TSiteVideo> EdgeCaseCatalogue() {
    const auto video = [](const char* APath, const char* ATitle, TPageKind AKind, std::vector<TSitePart> AParts) {
        TSiteVideo made;
        made.PagePath = APath;
        made.Title = ATitle;
        made.Kind = AKind;
        made.Parts = std::move(AParts);
        return made;
    };
    std::vector<TSiteVideo> videos = {
        video("/video/v1101/", "空名分节", TPageKind::Normal, {NormalPart(110101, "有名字"), NormalPart(110102, "")}),
        video("/video/v1102/", "", TPageKind::Normal, {NormalPart(110201, ""), NormalPart(110202, "第二节")}),
        video("/play/s1103/", "空名剧集", TPageKind::Series,
              {Episode(110301, "第1话", "开端"), Episode(110302, "", "")}),
        video("/video/v1104/", "直写/标题", TPageKind::Normal, {NormalPart(110401, "A/B 段")}),
        video("/video/v1105/", "已删除的视频", TPageKind::NoList, {}),
        video("/video/v1106/", "没有cid", TPageKind::ListWithoutCid, {NormalPart(110601, "P1")}),
    };
    videos[3].EscapeNonAscii = false;
    return videos;
}

std::string PageAddress(const TSiteVideo& AVideo) { return std::string("https://") + kMainHost + AVideo.PagePath; }

}  // namespace vidsite
