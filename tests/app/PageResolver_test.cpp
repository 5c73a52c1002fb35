#include "PageResolver.h"

#include <gtest/gtest.h>

#include <QStringList>

#include "http/clHttp.h"
#include "support/GzipTestData.h"
#include "support/ScriptedHttpServer.h"

using namespace bl;
using cltest::HttpReply;
using cltest::TScriptedHttpServer;
using cltest::TScriptedReply;

namespace {

struct TEntry {
    QString Name;
    QString Cid;
    bool operator==(const TEntry&) const = default;
};

void PrintTo(const TEntry& AEntry, std::ostream* AOut) {
    *AOut << '{' << AEntry.Name.toStdString() << ", " << AEntry.Cid.toStdString() << '}';
}

// Parses a page text and keeps what was reported.
struct TParse {
    explicit TParse(const QString& APage) : Resolver(Http) {
        Resolver.OnEntry = [this](const QString& AName, const QString& ACid) { Entries.push_back({AName, ACid}); };
        State = Resolver.ParsePage(APage);
    }
    cl::TclHttp Http;
    TPageResolver Resolver;
    TParseState State = psNone;
    std::vector<TEntry> Entries;
};

QString Page(const char* AState) {
    return QStringLiteral("<html><head><script>window.__PAGE_STATE__=") + QString::fromUtf8(AState) +
           QStringLiteral(";</script></head><body></body></html>");
}

TEST(PageAddress, NeedsTheDomainLabelBetweenDots) {
    EXPECT_TRUE(TPageResolver::IsSiteAddress("https://www.vidsite.example/video/v1/"));
    EXPECT_TRUE(TPageResolver::IsSiteAddress("www.vidsite.example"));
    EXPECT_TRUE(TPageResolver::IsSiteAddress("ftp://x.vidsite.y"));  // nothing else is examined
    EXPECT_FALSE(TPageResolver::IsSiteAddress("https://vidsite.example/video/"));
    EXPECT_FALSE(TPageResolver::IsSiteAddress("https://www.myvidsite.example/"));
    EXPECT_FALSE(TPageResolver::IsSiteAddress("https://www.vidsites.example/"));
    EXPECT_FALSE(TPageResolver::IsSiteAddress(""));
}

TEST(UnescapeJsonText, ResolvesUnicodeEscapesAndSlashesOnly) {
    EXPECT_EQ(TPageResolver::UnescapeJsonText(QStringLiteral("\\u7b2c1\\u96c6")), QStringLiteral("第1集"));
    EXPECT_EQ(TPageResolver::UnescapeJsonText(QStringLiteral("\\u4e0a\\/\\u4e0b")), QStringLiteral("上/下"));
    // Each half of a surrogate pair is its own escape.
    EXPECT_EQ(TPageResolver::UnescapeJsonText(QStringLiteral("\\ud83d\\ude00")), QString::fromUtf8("\xF0\x9F\x98\x80"));
    // Upper-case digits, and the same escape repeated.
    EXPECT_EQ(TPageResolver::UnescapeJsonText(QStringLiteral("\\u00C9t\\u00C9")), QString::fromUtf8("ÉtÉ"));
    EXPECT_EQ(TPageResolver::UnescapeJsonText(QStringLiteral("a\\\"b\\\\c\\n")), QStringLiteral("a\\\"b\\\\c\\n"));
}

TEST(UnescapeJsonText, LeavesMalformedEscapesAndResolvesTheRest) {
    EXPECT_EQ(TPageResolver::UnescapeJsonText(QStringLiteral("\\uZZZZ\\u4e2d")), QStringLiteral("\\uZZZZ中"));
    EXPECT_EQ(TPageResolver::UnescapeJsonText(QStringLiteral("\\u12")), QStringLiteral("\\u12"));
    EXPECT_EQ(TPageResolver::UnescapeJsonText(QStringLiteral("end\\u")), QStringLiteral("end\\u"));
    EXPECT_EQ(TPageResolver::UnescapeJsonText(QStringLiteral("\\u+123\\u-1\\u 1 2")),
              QStringLiteral("\\u+123\\u-1\\u 1 2"));
}

TEST(ParsePage, NormalVideoListsEveryPartInPageOrder) {
    TParse parse(Page(R"({"videoInfo":{"title":"Title A","pages":[{"cid":111,"page":1,"part":"one"},)"
                      R"({"cid":222,"page":2,"part":"two"},{"cid":333,"page":3,"part":"three"}],"x":1},)"
                      R"("related":[{"cid":999,"part":"not a part"}]})"));
    EXPECT_EQ(parse.State, psPages);
    EXPECT_EQ(parse.Resolver.Title(), "Title A");
    EXPECT_EQ(parse.Entries, (std::vector<TEntry>{{"one", "111"}, {"two", "222"}, {"three", "333"}}));
}

TEST(ParsePage, SeriesJoinsNumberingAndLongTitle) {
    TParse parse(Page(R"({"seriesInfo":{"title":"\u5267\u96c6"},"epList":[)"
                      R"({"cid":5001,"titleFormat":"\u7b2c1\u8bdd","longTitle":"\u5f00\u59cb"},)"
                      R"({"cid":5002,"titleFormat":"","longTitle":""},)"
                      R"({"cid":5003,"titleFormat":"PV","longTitle":""}]})"));
    EXPECT_EQ(parse.State, psEpisodes);
    EXPECT_EQ(parse.Resolver.Title(), QStringLiteral("剧集"));
    EXPECT_EQ(parse.Entries,
              (std::vector<TEntry>{
                  {QStringLiteral("第1话 开始"), "5001"}, {QStringLiteral("剧集"), "5002"}, {"PV ", "5003"}}));
}

TEST(ParsePage, AnEpisodeListAfterThePartListMakesASeries) {
    TParse parse(Page(R"({"title":"t","pages":[{"cid":1,"part":"p"}],"epList":[{"cid":2,"titleFormat":"e",)"
                      R"("longTitle":"l"}]})"));
    EXPECT_EQ(parse.State, psEpisodes);
    EXPECT_EQ(parse.Entries, (std::vector<TEntry>{{"e l", "2"}}));
}

TEST(ParsePage, EmptyNamesFallBackToTheTitleThenTheCid) {
    TParse titled(Page(R"({"title":"Video","pages":[{"cid":7,"part":""},{"cid":8,"part":"named"}]})"));
    EXPECT_EQ(titled.Entries, (std::vector<TEntry>{{"Video", "7"}, {"named", "8"}}));

    TParse untitled(Page(R"({"pages":[{"cid":7,"part":""}],"epList":[{"cid":9,"titleFormat":"",)"
                         R"("longTitle":""}]})"));
    EXPECT_EQ(untitled.Resolver.Title(), "");
    EXPECT_EQ(untitled.Entries, (std::vector<TEntry>{{"9", "9"}}));
}

TEST(ParsePage, NamesAreUnescapedOnlyWhenTheyCarryUnicodeEscapes) {
    TParse parse(Page(R"({"title":"a\/b","pages":[{"cid":1,"part":"\u4e0a\/\u4e0b"},{"cid":2,"part":"x\/y"}]})"));
    EXPECT_EQ(parse.Resolver.Title(), "a\\/b");
    EXPECT_EQ(parse.Entries, (std::vector<TEntry>{{QStringLiteral("上/下"), "1"}, {"x\\/y", "2"}}));
}

TEST(ParsePage, ReportsNoListAndListsWithoutEntries) {
    TParse none(Page(R"({"title":"t","videoInfo":{"parts":[{"cid":1}]}})"));
    EXPECT_EQ(none.State, psNone);
    EXPECT_TRUE(none.Entries.empty());

    TParse noCid(Page(R"({"title":"t","pages":[{"page":1,"part":"p"}],"other":{"cid":5,"part":"q"}})"));
    EXPECT_EQ(noCid.State, psPages);
    EXPECT_TRUE(noCid.Entries.empty());

    TParse unclosed(Page(R"({"title":"t","pages":[{"cid":1,"part":"p"})"));
    EXPECT_EQ(unclosed.State, psPages);
    EXPECT_TRUE(unclosed.Entries.empty());
}

TEST(ParsePage, EntriesWithMissingMarkersAreSkippedOrNamedAfterTheTitle) {
    // A cid without its comma inside the entry is skipped; a part without a
    // name marker, or with an unterminated name, takes the title.
    TParse parse(Page(R"({"title":"T","pages":[{"cid":1,"part":"ok"},{"page":2,"cid":2},{"cid":3,"page":3}]})"));
    EXPECT_EQ(parse.Entries, (std::vector<TEntry>{{"ok", "1"}, {"T", "3"}}));

    TParse truncated(QStringLiteral("\"title\":\"T\",\"pages\":[{\"cid\":4,\"part\":\"no end}]"));
    EXPECT_EQ(truncated.Entries, (std::vector<TEntry>{{"T", "4"}}));

    TParse noTitleEnd(QStringLiteral("\"title\":\"T,\"pages\":[{\"cid\":4,\"part\":\"\"}]"));
    EXPECT_EQ(noTitleEnd.Resolver.Title(), "T,");
}

// --- Fetching over HTTP ---------------------------------------------------

struct TFetch {
    explicit TFetch(std::vector<TScriptedReply> AScript) : Server(std::move(AScript)), Resolver(Http) {
        Http.SetTimeOut(2000);
    }
    QString Get(const std::string& APath = "/video/1/") {
        return Resolver.FetchPage(QString::fromStdString("http://127.0.0.1:" + std::to_string(Server.Port()) + APath));
    }
    TScriptedHttpServer Server;
    cl::TclHttp Http;
    TPageResolver Resolver;
};

std::string GzipText(const std::string& AText) {
    const cltest::Bytes packed = cltest::Gzip(cltest::Bytes(AText.begin(), AText.end()));
    return std::string(packed.begin(), packed.end());
}

TEST(FetchPage, DecodesAGzipBodyAsUtf8) {
    const std::string body = "{\"title\":\"\xE4\xB8\xAD\xE6\x96\x87\"}";
    TFetch fetch({HttpReply("HTTP/1.1 200 OK", "Content-Encoding: gzip\r\n", GzipText(body))});
    EXPECT_EQ(fetch.Get(), QStringLiteral("{\"title\":\"中文\"}"));
}

TEST(FetchPage, EveryFailureReadsAsNoPage) {
    TFetch notFound({HttpReply("HTTP/1.1 404 Not Found", "", "missing")});
    EXPECT_EQ(notFound.Get(), "");

    TFetch serverError({HttpReply("HTTP/1.1 503 Service Unavailable", "", "busy")});
    EXPECT_EQ(serverError.Get(), "");

    // Content-Length promises more than arrives before the connection closes.
    TFetch dropped({TScriptedReply("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n{\"title\":", {}, true)});
    EXPECT_EQ(dropped.Get(), "");

    TFetch corrupt({HttpReply("HTTP/1.1 200 OK", "Content-Encoding: gzip\r\n", "not gzip at all")});
    EXPECT_EQ(corrupt.Get(), "");

    TFetch stalled({TScriptedReply::Stalled()});
    stalled.Http.SetTimeOut(300);
    EXPECT_EQ(stalled.Get(), "");
}

TEST(FetchPage, ABodyPastTheLimitIsRefusedInsteadOfFillingMemory) {
    TFetch endless({HttpReply("HTTP/1.1 200 OK", "", std::string(4 << 20, 'x'))});
    endless.Resolver.SetMaxPageBytes(1 << 20);
    EXPECT_EQ(endless.Get(), "");

    TFetch within({HttpReply("HTTP/1.1 200 OK", "", std::string(1 << 20, 'y'))});
    within.Resolver.SetMaxPageBytes(1 << 20);
    EXPECT_EQ(within.Get().size(), 1 << 20);
}

TEST(FetchPage, AnUnreachableServerReadsAsNoPage) {
    cl::TclHttp http;
    http.SetTimeOut(1000);
    TPageResolver resolver(http);
    int port = 0;
    {
        TScriptedHttpServer closed({});
        port = closed.Port();
    }
    EXPECT_EQ(resolver.FetchPage(QString("http://127.0.0.1:%1/").arg(port)), "");
}

}  // namespace
