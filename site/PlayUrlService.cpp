// Play-address documents and the signature check.
#include "site/PlayUrlService.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "site/VidSiteConstants.h"
#include "transport/clCryptUtils.h"

namespace vidsite {

namespace {

const char* FormatOf(int AQuality) {
    switch (AQuality) {
        case 80:
            return "flv";
        case 64:
            return "flv720";
        case 32:
            return "flv480";
        default:
            return "flv360";
    }
}

const char* DescriptionOf(int AQuality) {
    switch (AQuality) {
        case 80:
            return "高清 1080P";
        case 64:
            return "高清 720P";
        case 32:
            return "清晰 480P";
        default:
            return "流畅 360P";
    }
}

nlohmann::ordered_json Members(const TSitePart& APart, int ARequested, const TSegmentSizer& ASizer) {
    const int quality = GrantedQuality(APart.Qualities, ARequested);
    nlohmann::ordered_json durl = nlohmann::ordered_json::array();
    // Rotated by one, so that a video of several segments never lists them
    // in playing order.
    for (int i = 0; i < APart.SegmentCount; ++i) {
        const int index = (i + 1) % APart.SegmentCount + 1;
        durl.push_back({{"order", index},
                        {"length", APart.SegmentMs},
                        {"size", ASizer(APart, quality, index)},
                        {"ahead", ""},
                        {"vhead", ""},
                        {"url", SegmentAddress(APart.Cid, quality, index)},
                        {"backup_url", nullptr}});
    }
    nlohmann::ordered_json formats = nlohmann::ordered_json::array(), descriptions = nlohmann::ordered_json::array();
    for (int offered : APart.Qualities) {
        formats.push_back(FormatOf(offered));
        descriptions.push_back(DescriptionOf(offered));
    }
    return {{"from", "local"},
            {"result", "suc"},
            {"message", ""},
            {"quality", quality},
            {"format", FormatOf(quality)},
            {"timelength", static_cast<int64_t>(APart.SegmentMs) * APart.SegmentCount},
            {"accept_format", formats},
            {"accept_description", descriptions},
            {"accept_quality", APart.Qualities},
            {"video_codecid", 7},
            {"seek_param", "start"},
            {"seek_type", "offset"},
            {"durl", durl}};
}

}  // namespace

std::string Md5Hex(const std::string& AData) { return cl::Md5Hex(AData); }

std::string SignatureOf(const std::string& AQueryWithoutSign) { return Md5Hex(AQueryWithoutSign + kAppSecret); }

bool SignedQueryValid(const std::string& ARawQuery) {
    static const std::string kSign = "&sign=";
    const size_t at = ARawQuery.rfind(kSign);
    if (at == std::string::npos) return false;
    const std::string signedText = ARawQuery.substr(0, at);
    const std::string signature = ARawQuery.substr(at + kSign.size());
    const std::string key = std::string("appkey=") + kAppKey;
    const bool keyPresent =
        signedText.compare(0, key.size() + 1, key + "&") == 0 || signedText.find("&" + key + "&") != std::string::npos;
    return keyPresent && signature == SignatureOf(signedText);
}

int GrantedQuality(const std::vector<int>& AOffered, int ARequested) {
    int best = -1, lowest = -1;
    for (int quality : AOffered) {
        if (quality <= ARequested && quality > best) best = quality;
        if (lowest < 0 || quality < lowest) lowest = quality;
    }
    return best >= 0 ? best : lowest;
}

std::string SegmentAddress(int64_t ACid, int AQuality, int AIndex) {
    const char* host = kMediaHosts[(AIndex - 1) % std::size(kMediaHosts)];
    return std::string("https://") + host + "/flv/" + std::to_string(ACid) + "-" + std::to_string(AQuality) + "-" +
           std::to_string(AIndex) + ".flv?deadline=1900000000&platform=pc&sig=" +
           Md5Hex(std::to_string(ACid) + ":" + std::to_string(AIndex)).substr(0, 16);
}

std::string PlayUrlDocument(const TSitePart& APart, int ARequested, const TSegmentSizer& ASizer) {
    return Members(APart, ARequested, ASizer).dump();
}

std::string PgcPlayUrlDocument(const TSitePart& APart, int ARequested, const TSegmentSizer& ASizer) {
    nlohmann::ordered_json result = Members(APart, ARequested, ASizer);
    result.erase("result");
    result.erase("from");
    result.erase("message");
    return nlohmann::ordered_json{{"code", 0}, {"message", "success"}, {"result", result}}.dump();
}

std::string SignatureErrorDocument() {
    return nlohmann::ordered_json{{"code", -3}, {"message", "签名校验失败"}, {"ttl", 1}}.dump();
}

std::string NoSuchVideoDocument() {
    return nlohmann::ordered_json{{"code", -404}, {"message", "没有这个视频"}, {"ttl", 1}}.dump();
}

}  // namespace vidsite
