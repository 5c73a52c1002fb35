// Video page markup.
#include "site/SitePages.h"

#include <cstdint>
#include <cstdio>

namespace vidsite {

namespace {

// The next code point of a UTF-8 text; a malformed byte stands for itself.
uint32_t NextCodePoint(const std::string& AText, size_t& AAt) {
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(AText[i]); };
    const uint8_t lead = byte(AAt);
    size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || AAt + length > AText.size()) {
        ++AAt;
        return lead;
    }
    uint32_t value = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) value = (value << 6) | (byte(AAt + i) & 0x3F);
    AAt += length;
    return value;
}

void AppendUnitEscape(std::string& AOut, uint32_t AUnit) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(AUnit));
    AOut += buffer;
}

std::string HtmlEscape(const std::string& AText) {
    std::string out;
    for (char c : AText) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string Str(const TSiteVideo& AVideo, const std::string& AText) {
    return "\"" + JsonEscape(AText, AVideo.EscapeNonAscii) + "\"";
}

std::string PartEntries(const TSiteVideo& AVideo) {
    std::string list;
    int page = 1;
    for (const TSitePart& part : AVideo.Parts) {
        if (!list.empty()) list += ",";
        const uint32_t seconds = part.SegmentMs * static_cast<uint32_t>(part.SegmentCount) / 1000;
        list += "{";
        if (AVideo.Kind != TPageKind::ListWithoutCid) list += "\"cid\":" + std::to_string(part.Cid) + ",";
        list += "\"page\":" + std::to_string(page++) + ",\"from\":\"upload\",\"part\":" + Str(AVideo, part.Part) +
                ",\"duration\":" + std::to_string(seconds) +
                ",\"vid\":\"\",\"weblink\":\"\",\"dimension\":{\"width\":1920,\"height\":1080,\"rotate\":0}}";
    }
    return list;
}

std::string EpisodeEntries(const TSiteVideo& AVideo) {
    std::string list;
    int id = 30001;
    for (const TSitePart& part : AVideo.Parts) {
        if (!list.empty()) list += ",";
        list += "{\"videoId\":" + std::to_string(part.Cid / 100) +
                ",\"badge\":\"\",\"cid\":" + std::to_string(part.Cid) +
                ",\"cover\":\"\\/\\/static.vidsite.example\\/cover\\/" + std::to_string(id) +
                ".jpg\",\"from\":\"series\",\"id\":" + std::to_string(id) +
                ",\"titleFormat\":" + Str(AVideo, part.TitleFormat) + ",\"longTitle\":" + Str(AVideo, part.LongTitle) +
                ",\"vid\":\"\"}";
        ++id;
    }
    return list;
}

std::string StateObject(const TSiteVideo& AVideo) {
    const std::string title = Str(AVideo, AVideo.Title);
    switch (AVideo.Kind) {
        case TPageKind::Series:
            return "{\"loginInfo\":{},\"seriesInfo\":{\"id\":2001,\"title\":" + title +
                   ",\"originalTitle\":\"\",\"evaluate\":\"\",\"rating\":{\"score\":9.6,\"count\":1024},\"epList\":[" +
                   EpisodeEntries(AVideo) + "],\"seriesStatus\":2},\"isLogin\":false}";
        case TPageKind::NoList:
            return "{\"videoInfo\":{\"title\":" + title +
                   ",\"state\":-404,\"message\":" + Str(AVideo, "视频不存在或已被删除") + "},\"isLogin\":false}";
        case TPageKind::Normal:
        case TPageKind::ListWithoutCid:
            break;
    }
    return "{\"videoId\":1001,\"videoInfo\":{\"videoId\":1001,\"videos\":" + std::to_string(AVideo.Parts.size()) +
           ",\"category\":\"" + JsonEscape("摄影", AVideo.EscapeNonAscii) + "\",\"copyright\":1,\"title\":" + title +
           ",\"pubdate\":1607000000,\"desc\":\"\",\"owner\":{\"userId\":7788,\"name\":\"local\"},"
           "\"stat\":{\"view\":12345,\"comments\":321},\"pages\":[" +
           PartEntries(AVideo) + "]},\"uploader\":{\"userId\":7788},\"isLogin\":false}";
}

}  // namespace

std::string JsonEscape(const std::string& AText, bool AEscapeNonAscii) {
    std::string out;
    for (size_t at = 0; at < AText.size();) {
        const size_t start = at;
        const uint32_t code = NextCodePoint(AText, at);
        if (code == '"' || code == '\\' || code == '/') {
            out += '\\';
            out += static_cast<char>(code);
        } else if (code == '\n') {
            out += "\\n";
        } else if (code < 0x20) {
            AppendUnitEscape(out, code);
        } else if (code < 0x80 || !AEscapeNonAscii) {
            out.append(AText, start, at - start);
        } else if (code < 0x10000) {
            AppendUnitEscape(out, code);
        } else {
            const uint32_t offset = code - 0x10000;
            AppendUnitEscape(out, 0xD800 + (offset >> 10));
            AppendUnitEscape(out, 0xDC00 + (offset & 0x3FF));
        }
    }
    return out;
}

std::string VideoPage(const TSiteVideo& AVideo) {
    const std::string title = HtmlEscape(AVideo.Title);
    return "<!DOCTYPE html>\n<html lang=\"zh-CN\">\n<head>\n<meta charset=\"utf-8\">\n<title>" + title +
           "_vidsite</title>\n<meta name=\"keywords\" content=\"" + title +
           "\">\n<link rel=\"stylesheet\" href=\"//static.vidsite.example/css/video.4f2a.css\">\n"
           "<script src=\"//static.vidsite.example/js/player.1b7d.js\"></script>\n</head>\n<body>\n"
           "<div id=\"app\"><div class=\"video-info\"><h1 class=\"video-title\">" +
           title + "</h1></div><div id=\"player\"></div></div>\n<script>window.__PAGE_STATE__=" + StateObject(AVideo) +
           ";(function(){var s;(s=document.currentScript||document.scripts[document.scripts.length-1])"
           ".parentNode.removeChild(s);}());</script>\n"
           "<script src=\"//static.vidsite.example/js/video.8c3e.js\" defer></script>\n</body>\n</html>\n";
}

std::string NotFoundPage() {
    return "<!DOCTYPE html>\n<html lang=\"zh-CN\">\n<head>\n<meta charset=\"utf-8\">\n<title>404</title>\n</head>\n"
           "<body><div class=\"error-text\">404 Not Found</div></body>\n</html>\n";
}

}  // namespace vidsite
