// The site stand-in over loopback: every service fetched with the program's
// own HTTP client (through the host override table and the site's CA) and
// with curl (--connect-to, --cacert); the faults a test switches on; the
// record of what was asked.
#include "site/VidSite.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <nlohmann/json.hpp>

#include "http/clHttp.h"
#include "http/clHttpRequest.h"
#include "joiner/flvTestFiles.h"
#include "site/CommentService.h"
#include "site/PlayUrlService.h"
#include "site/SitePages.h"
#include "site/VidSiteClient.h"
#include "site/VidSiteConstants.h"

using namespace vidsite;

namespace {

constexpr char kIphone[] = "Mozilla/5.0 (iPhone; CPU iPhone OS 9_1 like Mac OS X)";

std::vector<TSiteVideo> TestCatalogue() {
    TSiteVideo normal;
    normal.PagePath = "/video/v9001/";
    normal.Title = "测试视频/一";
    normal.Parts = {NormalPart(900101, "第一段"), NormalPart(900102, "", 3)};
    for (TSitePart& part : normal.Parts) part.SegmentMs = 1000;
    TSiteVideo series;
    series.PagePath = "/play/s9002/";
    series.Title = "测试剧集";
    series.Kind = TPageKind::Series;
    series.Parts = {Episode(900201, "第1话", "开始")};
    series.Parts[0].Qualities = {32, 16};
    return {normal, series};
}

TVidSiteOptions TestOptions() {
    TVidSiteOptions options;
    options.Videos = TestCatalogue();
    return options;
}

std::string Text(cl::TMemoryStream& AStream) { return std::string(AStream.Bytes().begin(), AStream.Bytes().end()); }

std::string SignedPlayUrl(int64_t ACid, int AQuality) {
    const std::string query = std::string("appkey=") + kAppKey + "&cid=" + std::to_string(ACid) +
                              "&otype=json&qn=" + std::to_string(AQuality);
    return std::string("https://") + kInterfaceHost + kPlayUrlPath + "?" + query + "&sign=" + SignatureOf(query);
}

std::string CommentUrl(int64_t ACid) {
    return std::string("https://") + kApiHost + kCommentPath + "?oid=" + std::to_string(ACid);
}

std::string Inflated(const std::string& ARaw) {
    std::string out(1 << 20, '\0');
    z_stream stream{};
    inflateInit2(&stream, -15);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(ARaw.data()));
    stream.avail_in = static_cast<uInt>(ARaw.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int status = inflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    inflateEnd(&stream);
    return status == Z_STREAM_END ? out : std::string("(does not inflate)");
}

// The program's page client: its Accept and Referer, the iPhone user agent.
class TProgramClient {
public:
    TProgramClient() {
        FRequest.Header().SetAccept("*/*");
        FRequest.Header().SetReferer(kHomePage);
        FHttp.SetRequest(&FRequest);
        FHttp.SetUserAgent(kIphone);
        FHttp.SetSilentHTTP(true);
    }
    std::string Get(const std::string& AUrl) {
        cl::TMemoryStream body;
        FHttp.Get(AUrl, &body);
        return Text(body);
    }
    cl::TclHttp& Http() { return FHttp; }
    cl::TclHttpRequest& Request() { return FRequest; }

private:
    cl::TclHttpRequest FRequest;
    cl::TclHttp FHttp;
};

struct TCurlResult {
    int Exit = -1;
    std::string Status;  // "200", "206", ...
    std::string Body;
};

// curl through the site's routes and CA; the body goes through a file so
// that binary bodies stay whole.
TCurlResult Curl(const TVidSite& ASite, const std::vector<std::string>& AArguments) {
    cl::flvtest::TempDir folder;
    std::vector<std::string> arguments = {"-s", "--max-time",        "30", "--cacert",    ASite.CaCertificateFile(),
                                          "-o", folder.Path("body"), "-w", "%{http_code}"};
    for (const THostRoute& route : ASite.HostOverrides())
        arguments.insert(arguments.end(), {"--connect-to", route.Host + ":" + std::to_string(route.Port) + ":" +
                                                               route.Address + ":" + std::to_string(route.TargetPort)});
    arguments.insert(arguments.end(), AArguments.begin(), AArguments.end());
    const cl::flvtest::RunResult run = cl::flvtest::Run("/usr/bin/curl", arguments);
    TCurlResult result{run.status, run.out, {}};
    if (std::filesystem::exists(folder.Path("body"))) {
        const cl::flvtest::Bytes body = cl::flvtest::ReadFile(folder.Path("body"));
        result.Body.assign(body.begin(), body.end());
    }
    return result;
}

class SiteOverLoopback : public ::testing::Test {
protected:
    TVidSite Site{TestOptions()};
    TSiteClientSettings Settings{Site};

    std::string SegmentUrl(int64_t ACid, int AQuality, int AIndex) { return SegmentAddress(ACid, AQuality, AIndex); }
    std::string Segment(int64_t ACid, int AQuality, int AIndex) { return *Site.SegmentBytes(ACid, AQuality, AIndex); }
    TCurlResult CurlSegment(const std::vector<std::string>& AExtra, int64_t ACid = 900101) {
        std::vector<std::string> arguments = {"-e", kHomePage};
        arguments.insert(arguments.end(), AExtra.begin(), AExtra.end());
        arguments.push_back(SegmentUrl(ACid, 16, 1));
        return Curl(Site, arguments);
    }
};

}  // namespace

// ---- The program's own client ----

TEST_F(SiteOverLoopback, PageReachesTheProgramGzippedAndDecodesToTheMarkup) {
    TProgramClient client;
    const TSiteVideo video = *Site.Catalogue().FindPage("/video/v9001/");
    EXPECT_EQ(client.Get(PageAddress(video)), VideoPage(video));
    EXPECT_EQ(client.Http().StatusCode(), 200);
    EXPECT_EQ(client.Http().ResponseHeader().ContentEncoding(), "gzip");

    const std::vector<TRequestRecord> asked = Site.Log().Requests("/video/v9001/");
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].RequestLine, "GET /video/v9001/ HTTP/1.1");
    EXPECT_EQ(asked[0].Host, kMainHost);
    EXPECT_EQ(asked[0].Header("user-agent"), kIphone);
    EXPECT_EQ(asked[0].Header("Referer"), kHomePage);
    EXPECT_EQ(asked[0].Header("Accept"), "*/*");

    client.Get(std::string("https://") + kMainHost + "/video/missing/");
    EXPECT_EQ(client.Http().StatusCode(), 404);
}

TEST_F(SiteOverLoopback, SignedPlayAddressesForTheProgramAndAnErrorDocumentForABadSignature) {
    TProgramClient client;
    const auto document = nlohmann::json::parse(client.Get(SignedPlayUrl(900102, 64)));
    EXPECT_EQ(document["quality"], 64);
    ASSERT_EQ(document["durl"].size(), 3u);
    for (const auto& element : document["durl"]) {
        const int order = element["order"];
        EXPECT_EQ(element["url"], SegmentAddress(900102, 64, order));
        EXPECT_EQ(element["size"], static_cast<int64_t>(Segment(900102, 64, order).size()));
    }
    const std::string query = Site.Log().Requests(kPlayUrlPath).back().Query;
    EXPECT_EQ(query.substr(0, query.find("&sign=")), std::string("appkey=") + kAppKey + "&cid=900102&otype=json&qn=64");

    std::string tampered = SignedPlayUrl(900102, 64);
    tampered.back() = tampered.back() == '0' ? '1' : '0';
    EXPECT_EQ(client.Get(tampered).find("\"url\":\""), std::string::npos);
    EXPECT_EQ(client
                  .Get(std::string("https://") + kInterfaceHost + kPlayUrlPath + "?appkey=" + kAppKey +
                       "&cid=900102&otype=json&qn=64")
                  .find("\"url\":\""),
              std::string::npos);
}

TEST_F(SiteOverLoopback, SeriesPlayAddressesComeInsideResult) {
    TProgramClient client;
    const auto document = nlohmann::json::parse(
        client.Get(std::string("https://") + kApiHost + kPgcPlayUrlPath + "?otype=json&cid=900201&qn=80"));
    EXPECT_EQ(document["result"]["quality"], 32);
    EXPECT_EQ(document["result"]["durl"][0]["url"], SegmentAddress(900201, 32, 1));
}

TEST_F(SiteOverLoopback, ServicesAnswerOnlyOnTheirOwnHost) {
    TProgramClient client;
    client.Get(std::string("https://") + kApiHost + kPlayUrlPath + "?x=1");
    EXPECT_EQ(client.Http().StatusCode(), 404);
    client.Get(std::string("https://") + kInterfaceHost + kCommentPath + "?oid=900101");
    EXPECT_EQ(client.Http().StatusCode(), 404);
}

TEST_F(SiteOverLoopback, SegmentsWithTheSitesRefererRangesAndTheirHeaders) {
    TProgramClient client;
    const std::string whole = Segment(900101, 16, 1);
    EXPECT_TRUE(client.Get(SegmentUrl(900101, 16, 1)) == whole);
    const cl::TclHttpResponseHeader& header = client.Http().ResponseHeader();
    EXPECT_EQ(header.AcceptRanges(), "bytes");
    EXPECT_EQ(header.ContentLength(), std::to_string(whole.size()));
    EXPECT_EQ(header.ContentType(), "video/x-flv");
    EXPECT_FALSE(header.LastModified().empty());

    client.Request().Header().SetRange("bytes=100-199");
    EXPECT_EQ(client.Get(SegmentUrl(900101, 16, 1)), whole.substr(100, 100));
    EXPECT_EQ(client.Http().StatusCode(), 206);
    EXPECT_EQ(client.Http().ResponseHeader().ContentRange(), "bytes 100-199/" + std::to_string(whole.size()));

    client.Request().Header().SetRange("");
    client.Request().Header().SetReferer("");
    client.Get(SegmentUrl(900101, 16, 1));
    EXPECT_EQ(client.Http().StatusCode(), 403);
    client.Request().Header().SetReferer("https://elsewhere.example/vidsite.example/");
    client.Get(SegmentUrl(900101, 16, 1));
    EXPECT_EQ(client.Http().StatusCode(), 403);
}

TEST_F(SiteOverLoopback, CommentsAreRawDeflateUntilTheRefusal) {
    Site.SetCommentLimit(2, std::chrono::hours(1));
    TProgramClient client;
    EXPECT_EQ(Inflated(client.Get(CommentUrl(900101))), CommentDocument(900101));
    EXPECT_TRUE(client.Http().ResponseHeader().ContentEncoding().empty());
    client.Get(CommentUrl(900102));
    EXPECT_EQ(client.Http().StatusCode(), 200);
    client.Get(CommentUrl(900101));
    EXPECT_EQ(client.Http().StatusCode(), 412);
    EXPECT_EQ(Site.Log().Count(kCommentPath), 3);
}

TEST_F(SiteOverLoopback, AStalledAnswerEndsInTheClientsTimeOut) {
    Site.Faults().Set("/video/v9001/", {.Stall = true});
    TProgramClient client;
    client.Http().SetTimeOut(1000);
    EXPECT_ANY_THROW(client.Get(std::string("https://") + kMainHost + "/video/v9001/"));
}

// ---- curl ----

TEST_F(SiteOverLoopback, CurlFetchesEveryService) {
    const TSiteVideo video = *Site.Catalogue().FindPage("/play/s9002/");
    TCurlResult page = Curl(Site, {"--compressed", PageAddress(video)});
    EXPECT_EQ(page.Exit, 0);
    EXPECT_EQ(page.Body, VideoPage(video));

    TCurlResult play = Curl(Site, {SignedPlayUrl(900101, 80)});
    EXPECT_EQ(nlohmann::json::parse(play.Body)["durl"][0]["url"], SegmentAddress(900101, 80, 1));
    TCurlResult gzipped = Curl(Site, {"-H", "Accept-Encoding: gzip", SignedPlayUrl(900101, 80)});
    EXPECT_EQ(gzipped.Body.substr(0, 2), "\x1f\x8b");

    TCurlResult series =
        Curl(Site, {std::string("https://") + kApiHost + kPgcPlayUrlPath + "?otype=json&cid=900201&qn=16"});
    EXPECT_EQ(nlohmann::json::parse(series.Body)["result"]["quality"], 16);

    TCurlResult comments = Curl(Site, {"--compressed", CommentUrl(900201)});
    EXPECT_EQ(Inflated(comments.Body), CommentDocument(900201));

    TCurlResult segment = CurlSegment({"-r", "0-8"});
    EXPECT_EQ(segment.Status, "206");
    EXPECT_EQ(segment.Body, Segment(900101, 16, 1).substr(0, 9));
}

TEST_F(SiteOverLoopback, RangesPastTheEndAreClampedOrRefused) {
    const std::string whole = Segment(900101, 16, 1);
    const std::string size = std::to_string(whole.size());
    TCurlResult tail = CurlSegment({"-r", std::to_string(whole.size() - 10) + "-99999999"});
    EXPECT_EQ(tail.Status, "206");
    EXPECT_EQ(tail.Body, whole.substr(whole.size() - 10));
    TCurlResult past = CurlSegment({"-r", size + "-"});
    EXPECT_EQ(past.Status, "416");
    EXPECT_TRUE(past.Body.empty());
    TCurlResult several = CurlSegment({"-r", "0-1,5-6"});
    EXPECT_EQ(several.Status, "200");
    EXPECT_TRUE(several.Body == whole);
}

TEST_F(SiteOverLoopback, PlainHttpForDebuggingAndHeadWithoutABody) {
    TCurlResult page = Curl(Site, {"--compressed", std::string("http://") + kMainHost + "/video/v9001/"});
    EXPECT_EQ(page.Status, "200");
    EXPECT_EQ(page.Body, VideoPage(*Site.Catalogue().FindPage("/video/v9001/")));

    TCurlResult head = CurlSegment({"-I"});  // -I writes the header block as the output
    EXPECT_EQ(head.Status, "200");
    EXPECT_NE(head.Body.find("Content-Length: " + std::to_string(Segment(900101, 16, 1).size()) + "\r\n"),
              std::string::npos);
    EXPECT_NE(head.Body.find("Accept-Ranges: bytes\r\n"), std::string::npos);
    EXPECT_EQ(head.Body.find("FLV"), std::string::npos);
    EXPECT_EQ(Site.Log().Requests("/flv/900101-16-1.flv").back().RequestLine.substr(0, 5), "HEAD ");
}

// ---- Faults ----

TEST_F(SiteOverLoopback, ABodyThatStallsHalfWayEndsInTheClientsTimeOut) {
    Site.Faults().Set("/flv/900101-16-1.flv", {.StallAfterBytes = 5000});
    TProgramClient client;
    client.Http().SetTimeOut(1000);
    EXPECT_ANY_THROW(client.Get(SegmentUrl(900101, 16, 1)));
}

TEST_F(SiteOverLoopback, AnEndlessBodyRepeatsUntilTheClientLeaves) {
    Site.Faults().Set("/flv/900101-16-1.flv", {.RateBytesPerSecond = 256 * 1024, .EndlessBody = true});
    TCurlResult endless = CurlSegment({"--max-time", "1"});
    EXPECT_EQ(endless.Exit, 28);  // ended by curl's own limit
    const std::string whole = Segment(900101, 16, 1);
    ASSERT_GT(endless.Body.size(), whole.size());
    EXPECT_TRUE(endless.Body.substr(0, whole.size()) == whole);
    EXPECT_TRUE(endless.Body.substr(whole.size(), 100) == whole.substr(0, 100));
}

TEST_F(SiteOverLoopback, ADroppedConnectionEndsTheBodyShort) {
    const std::string path = "/flv/900101-16-1.flv";
    Site.Faults().Set(path, {.DropAfterBytes = 1000});
    TCurlResult dropped = CurlSegment({});
    EXPECT_EQ(dropped.Exit, 18);  // partial file
    EXPECT_TRUE(dropped.Body == Segment(900101, 16, 1).substr(0, 1000));

    TProgramClient client;
    EXPECT_ANY_THROW(client.Get(SegmentUrl(900101, 16, 1)));
}

TEST_F(SiteOverLoopback, WrongContentLengthsClaimMoreOrFewerBytesThanSent) {
    const std::string path = "/flv/900101-16-1.flv";
    const std::string whole = Segment(900101, 16, 1);
    Site.Faults().Set(path, {.LengthDelta = 500});
    TCurlResult longer = CurlSegment({});
    EXPECT_EQ(longer.Exit, 18);
    EXPECT_TRUE(longer.Body == whole);

    Site.Faults().Set(path, {.LengthDelta = -500});
    TCurlResult shorter = CurlSegment({});
    EXPECT_TRUE(shorter.Body == whole.substr(0, whole.size() - 500));
}

TEST_F(SiteOverLoopback, ServerErrorsForTheFirstRequestsThenTheAnswer) {
    Site.Faults().Set("/flv/900101-16-1.flv", {.ServerErrorCount = 2, .ServerErrorStatus = 502});
    EXPECT_EQ(CurlSegment({}).Status, "502");
    EXPECT_EQ(CurlSegment({}).Status, "502");
    EXPECT_TRUE(CurlSegment({}).Body == Segment(900101, 16, 1));
    EXPECT_EQ(Site.Log().Count("/flv/900101-16-1.flv"), 3);
}

TEST_F(SiteOverLoopback, ASlowRateStillDeliversEveryByte) {
    Site.Faults().Set("/flv/900101-16-1.flv", {.RateBytesPerSecond = 400 * 1024});
    TCurlResult slow = CurlSegment({});
    EXPECT_EQ(slow.Exit, 0);
    EXPECT_TRUE(slow.Body == Segment(900101, 16, 1));
}

TEST_F(SiteOverLoopback, CorruptSegmentsAndCommentsThatDoNotInflate) {
    Site.Faults().Set("/flv/900101-16-1.flv", {.CorruptBody = true});
    const std::string whole = Segment(900101, 16, 1);
    TCurlResult corrupt = CurlSegment({});
    EXPECT_EQ(corrupt.Body.size(), whole.size());
    EXPECT_FALSE(corrupt.Body == whole);
    EXPECT_GT(cl::flvtest::ParseFlv(cl::flvtest::Bytes(corrupt.Body.begin(), corrupt.Body.end())).trailingBytes, 0u);

    Site.Faults().Set(kCommentPath, {.CorruptBody = true});
    EXPECT_EQ(Inflated(Curl(Site, {CommentUrl(900101)}).Body), "(does not inflate)");
}

TEST(SiteCatalogues, EveryDemoAndOddCasePageIsServedWithItsTitleMarker) {
    TVidSiteOptions options;
    std::vector<TSiteVideo> edge = EdgeCaseCatalogue();
    options.Videos.insert(options.Videos.end(), edge.begin(), edge.end());
    TVidSite site(options);
    TSiteClientSettings settings(site);
    TProgramClient client;
    for (const TSiteVideo& video : site.Catalogue().Videos()) {
        const std::string page = client.Get(PageAddress(video));
        EXPECT_EQ(client.Http().StatusCode(), 200) << video.PagePath;
        EXPECT_NE(page.find("\"title\":\""), std::string::npos) << video.PagePath;
        EXPECT_EQ(page, VideoPage(video));
    }
    EXPECT_EQ(site.Catalogue().Videos().size(), 9u);
}
