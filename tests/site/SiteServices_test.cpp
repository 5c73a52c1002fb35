// The site stand-in's own rules, without the network: the signature check,
// the granted quality, ranges, page markup with the markers the program
// cuts, comment bodies through zlib, the refusal window, FLV segments.
#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <nlohmann/json.hpp>

#include "joiner/flvTestFiles.h"
#include "site/CommentService.h"
#include "site/FlvSegments.h"
#include "site/PlayUrlService.h"
#include "site/SitePages.h"
#include "site/SiteCompression.h"
#include "site/SiteResponses.h"
#include "site/VidSiteConstants.h"

using namespace vidsite;

namespace {

// Inflates as the program does: a zlib header put in front of the raw
// stream, no Adler-32 expected at the end.
bool InflateLikeTheProgram(const std::string& ABody, std::string& AOut) {
    std::string input = std::string("\x78\x9c", 2) + ABody;
    z_stream stream{};
    inflateInit(&stream);
    stream.next_in = reinterpret_cast<Bytef*>(input.data());
    stream.avail_in = static_cast<uInt>(input.size());
    char block[4096];
    int status = Z_OK;
    while (status == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(block);
        stream.avail_out = sizeof block;
        status = inflate(&stream, Z_NO_FLUSH);
        AOut.append(block, sizeof block - stream.avail_out);
        if (status == Z_BUF_ERROR && stream.avail_in == 0) break;  // all input used, no trailer
    }
    inflateEnd(&stream);
    return status == Z_STREAM_END || status == Z_BUF_ERROR;
}

std::string Query(const std::string& ACid, const std::string& AQuality) {
    return std::string("appkey=") + kAppKey + "&cid=" + ACid + "&otype=json&qn=" + AQuality;
}

TSitePart PartOf(int ASegments, std::vector<int> AQualities = {80, 64, 32, 16}) {
    TSitePart part = NormalPart(4242, "p", ASegments);
    part.Qualities = std::move(AQualities);
    return part;
}

int64_t SizeOne(const TSitePart&, int, int) { return 1; }

}  // namespace

TEST(SiteSignature, TheProgramsSignedQueryIsAcceptedAndEveryAlterationRefused) {
    const std::string query = Query("100101", "64");
    // MD5 of the query text followed by the secret, as the program computes it.
    EXPECT_EQ(SignatureOf(query), Md5Hex(query + "e2a9017c4bd35f8816c0e7a94d2b63f1"));
    EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    const std::string sign = SignatureOf(query);
    EXPECT_TRUE(SignedQueryValid(query + "&sign=" + sign));

    EXPECT_FALSE(SignedQueryValid(query));                                    // no signature
    EXPECT_FALSE(SignedQueryValid(query + "&sign="));                         // empty one
    EXPECT_FALSE(SignedQueryValid(query + "&sign=" + std::string(32, '0')));  // wrong one
    EXPECT_FALSE(SignedQueryValid(Query("100101", "80") + "&sign=" + sign));  // query changed after signing
    std::string upper = sign;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_FALSE(SignedQueryValid(query + "&sign=" + upper));
    // Signed right, but with another application's key.
    const std::string foreign = "appkey=0000000000000000&cid=100101&otype=json&qn=64";
    EXPECT_FALSE(SignedQueryValid(foreign + "&sign=" + SignatureOf(foreign)));
}

TEST(SitePlayAddresses, GrantsTheQualityAskedForOrTheBestBelowOrTheLowest) {
    EXPECT_EQ(GrantedQuality({80, 64, 32, 16}, 64), 64);
    EXPECT_EQ(GrantedQuality({64, 32, 16}, 80), 64);
    EXPECT_EQ(GrantedQuality({80, 16}, 64), 16);
    EXPECT_EQ(GrantedQuality({80, 64}, 16), 64);
}

TEST(SitePlayAddresses, DurlComesShuffledWithOrderNumbersAndTheUrlMarker) {
    const auto document = nlohmann::json::parse(PlayUrlDocument(PartOf(3), 64, SizeOne));
    EXPECT_EQ(document["quality"], 64);
    ASSERT_EQ(document["durl"].size(), 3u);
    std::vector<int> orders;
    for (const auto& element : document["durl"]) {
        orders.push_back(element["order"]);
        EXPECT_EQ(element["url"].get<std::string>().find("https://media"), 0u);
    }
    EXPECT_EQ(orders, (std::vector<int>{2, 3, 1}));
    EXPECT_NE(PlayUrlDocument(PartOf(1), 64, SizeOne).find("\"url\":\""), std::string::npos);

    const auto series = nlohmann::json::parse(PgcPlayUrlDocument(PartOf(2, {32}), 80, SizeOne));
    EXPECT_EQ(series["result"]["quality"], 32);
    EXPECT_EQ(series["result"]["durl"].size(), 2u);
    EXPECT_FALSE(series.contains("quality"));

    for (const std::string& error : {SignatureErrorDocument(), NoSuchVideoDocument()})
        EXPECT_EQ(error.find("\"url\":\""), std::string::npos) << error;
}

TEST(SiteRanges, ResolvedAgainstTheBodySize) {
    TByteRange range;
    ASSERT_EQ(ResolveRange("bytes=10-19", 100, range), TRangeAnswer::Partial);
    EXPECT_EQ(range.First, 10);
    EXPECT_EQ(range.Last, 19);
    ASSERT_EQ(ResolveRange("bytes=90-500", 100, range), TRangeAnswer::Partial);  // clamped to the end
    EXPECT_EQ(range.Last, 99);
    ASSERT_EQ(ResolveRange("bytes=40-", 100, range), TRangeAnswer::Partial);
    EXPECT_EQ(range.First, 40);
    EXPECT_EQ(range.Last, 99);
    ASSERT_EQ(ResolveRange("bytes=-30", 100, range), TRangeAnswer::Partial);
    EXPECT_EQ(range.First, 70);
    ASSERT_EQ(ResolveRange("bytes=-300", 100, range), TRangeAnswer::Partial);
    EXPECT_EQ(range.First, 0);

    EXPECT_EQ(ResolveRange("bytes=100-", 100, range), TRangeAnswer::Unsatisfiable);
    EXPECT_EQ(ResolveRange("bytes=150-200", 100, range), TRangeAnswer::Unsatisfiable);
    EXPECT_EQ(ResolveRange("bytes=-0", 100, range), TRangeAnswer::Unsatisfiable);
    EXPECT_EQ(ResolveRange("bytes=0-", 0, range), TRangeAnswer::Unsatisfiable);

    for (const char* ignored : {"", "items=0-1", "bytes=5-2", "bytes=a-b", "bytes=0-1,5-6", "bytes=1"})
        EXPECT_EQ(ResolveRange(ignored, 100, range), TRangeAnswer::Whole) << ignored;
}

TEST(SitePages, NamesAreEscapedAsTheSitesOwnPagesWriteThem) {
    EXPECT_EQ(JsonEscape("第1集/上", true), "\\u7b2c1\\u96c6\\/\\u4e0a");
    EXPECT_EQ(JsonEscape("第1集", false), "第1集");
    EXPECT_EQ(JsonEscape("a\"b\\c\n", true), "a\\\"b\\\\c\\n");
    EXPECT_EQ(JsonEscape("\xF0\x9F\x8E\xAC", true), "\\ud83c\\udfac");  // one surrogate pair
}

TEST(SitePages, TheTitleMarkerComesFirstThenTheListWithEveryEntrysMarkers) {
    TSiteVideo video;
    video.Title = "标题";
    video.Parts = {NormalPart(11, "一"), NormalPart(12, ""), NormalPart(13, "a/b")};
    const std::string page = VideoPage(video);
    const size_t title = page.find("\"title\":\"");
    const size_t list = page.find("\"pages\":[{");
    ASSERT_NE(title, std::string::npos);
    ASSERT_NE(list, std::string::npos);
    EXPECT_LT(title, list);
    EXPECT_EQ(page.find("\"epList\":[{"), std::string::npos);
    EXPECT_EQ(page.substr(title + 9, 12), "\\u6807\\u9898");

    // Cut as the program cuts: the list runs to the first "}]".
    const std::string cut = page.substr(list, page.find("}]", list) - list);
    size_t at = 0;
    std::vector<std::string> cids, names;
    while ((at = cut.find("\"cid\":", at)) != std::string::npos) {
        at += 6;
        cids.push_back(cut.substr(at, cut.find(',', at) - at));
        const size_t name = cut.find("\"part\":\"", at) + 8;
        names.push_back(cut.substr(name, cut.find('"', name) - name));
    }
    EXPECT_EQ(cids, (std::vector<std::string>{"11", "12", "13"}));
    EXPECT_EQ(names, (std::vector<std::string>{"\\u4e00", "", "a\\/b"}));
}

TEST(SitePages, SeriesPagesListEpisodesAndTheOddPagesLackWhatTheyShould) {
    TSiteVideo series;
    series.Title = "S";
    series.Kind = TPageKind::Series;
    series.Parts = {Episode(21, "第1话", "起"), Episode(22, "", "")};
    const std::string page = VideoPage(series);
    const size_t list = page.find("\"epList\":[{");
    ASSERT_NE(list, std::string::npos);
    EXPECT_EQ(page.find("\"pages\":[{"), std::string::npos);
    const std::string cut = page.substr(list, page.find("}]", list) - list);
    const size_t cid = cut.find("\"cid\":22,");
    ASSERT_NE(cid, std::string::npos);
    EXPECT_NE(cut.find("\"titleFormat\":\"\",\"longTitle\":\"\"", cid), std::string::npos);

    TSiteVideo neither = series;
    neither.Kind = TPageKind::NoList;
    const std::string empty = VideoPage(neither);
    EXPECT_NE(empty.find("\"title\":\""), std::string::npos);
    EXPECT_EQ(empty.find("\"pages\":[{"), std::string::npos);
    EXPECT_EQ(empty.find("\"epList\":[{"), std::string::npos);

    TSiteVideo noCid = series;
    noCid.Kind = TPageKind::ListWithoutCid;
    const std::string uncut = VideoPage(noCid);
    const size_t pages = uncut.find("\"pages\":[{");
    ASSERT_NE(pages, std::string::npos);
    EXPECT_EQ(uncut.substr(pages, uncut.find("}]", pages) - pages).find("\"cid\":"), std::string::npos);
}

TEST(SiteComments, TheBodyIsRawDeflateThatInflatesToTheDocument) {
    const std::string document = CommentDocument(100101);
    EXPECT_EQ(document.find("<?xml version=\"1.0\" encoding=\"UTF-8\"?><i>"), 0u);
    EXPECT_NE(document.find("<d p=\""), std::string::npos);
    EXPECT_EQ(CommentDocument(100101), document);  // the same bytes each time
    const std::string body = RawDeflate(document);
    // No zlib header (0x78) and no gzip magic in front.
    ASSERT_GE(body.size(), 2u);
    EXPECT_NE(static_cast<uint8_t>(body[0]), 0x78);
    EXPECT_NE(body.substr(0, 2), "\x1f\x8b");

    std::string inflated;
    EXPECT_TRUE(InflateLikeTheProgram(body, inflated));
    EXPECT_EQ(inflated, document);

    std::string broken;
    EXPECT_FALSE(InflateLikeTheProgram(BrokenDeflateBody(), broken));
}

TEST(SiteComments, RefusesOnceTheLimitIsReachedWithinTheWindow) {
    TRequestWindowLimiter limiter;
    limiter.Configure(3, std::chrono::hours(1));
    EXPECT_TRUE(limiter.Admit());
    EXPECT_TRUE(limiter.Admit());
    EXPECT_TRUE(limiter.Admit());
    EXPECT_FALSE(limiter.Admit());
    EXPECT_FALSE(limiter.Admit());

    limiter.Configure(1, std::chrono::milliseconds(0));  // every earlier request is outside the window
    EXPECT_TRUE(limiter.Admit());
    EXPECT_TRUE(limiter.Admit());
    limiter.Configure(0, std::chrono::hours(1));  // no limit
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(limiter.Admit());
}

TEST(SiteSegments, SyntheticSegmentsAreWellFormedFlvOfTheQualitysPictureSize) {
    const std::string segment = MakeSyntheticSegment({64, 2000, 7});
    const cl::flvtest::ParsedFlv flv = cl::flvtest::ParseFlv(cl::flvtest::Bytes(segment.begin(), segment.end()));
    EXPECT_EQ(flv.header[4], 0x05);  // audio and video
    EXPECT_EQ(flv.trailingBytes, 0u);
    ASSERT_GT(flv.tags.size(), 100u);
    EXPECT_EQ(flv.tags[0].type, 18);
    EXPECT_EQ(cl::flvtest::ParseOnMetaData(flv.tags[0].data).Find("width")->number, 640);
    uint32_t lastVideo = 0, videoTags = 0, audioTags = 0;
    for (size_t i = 1; i < flv.tags.size(); ++i) {
        const auto& tag = flv.tags[i];
        EXPECT_EQ(tag.prevTagSize, tag.dataSize + 11);
        if (tag.type == 9) {
            EXPECT_EQ(tag.data[0] & 0x0F, 2);  // H.263
            EXPECT_GE(tag.timestamp, lastVideo);
            lastVideo = tag.timestamp;
            ++videoTags;
        } else {
            EXPECT_EQ(tag.type, 8);
            EXPECT_EQ(tag.data[0] >> 4, 10);  // AAC
            ++audioTags;
        }
    }
    EXPECT_EQ(videoTags, 50u);  // 25 frames a second
    EXPECT_EQ(lastVideo, 1960u);
    EXPECT_GT(audioTags, 80u);
    EXPECT_NE(MakeSyntheticSegment({64, 2000, 8}), segment);  // segments differ
}

TEST(SiteSegments, ACorruptSegmentKeepsItsLengthButNotItsTags) {
    const std::string segment = MakeSyntheticSegment({16, 1000, 1});
    const std::string corrupt = CorruptSegment(segment);
    EXPECT_EQ(corrupt.size(), segment.size());
    EXPECT_NE(corrupt, segment);
    const auto parsed = cl::flvtest::ParseFlv(cl::flvtest::Bytes(corrupt.begin(), corrupt.end()));
    EXPECT_GT(parsed.trailingBytes, 0u);
}
