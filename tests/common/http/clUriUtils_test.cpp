#include <gtest/gtest.h>

#include "http/clIdnTranslator.h"
#include "http/clUriUtils.h"

using namespace cl;

namespace {
TclUrlParser Parsed(const std::string& AUrl) {
    TclUrlParser p;
    p.Parse(AUrl);
    return p;
}
std::string Resolve(const std::string& ABase, const std::string& ARelative) {
    TclUrlParser p;
    p.Parse(ABase, ARelative);
    return p.AbsoluteUri();
}
}  // namespace

TEST(UrlSplitting, TakesEveryPartAndKeepsTheHostsCase) {
    const TclUrlParser p = Parsed("HTTPS://Host:8443/a/b?x=1#top");
    EXPECT_EQ(p.Scheme(), "https");
    EXPECT_EQ(p.Host(), "Host");
    EXPECT_EQ(p.Port(), 8443);
    EXPECT_EQ(p.Path(), "/a/b");
    EXPECT_EQ(p.QueryString(), "?x=1");
    EXPECT_EQ(p.Fragment(), "#top");
    EXPECT_EQ(p.AbsolutePath(), "/a/b?x=1#top");
    EXPECT_EQ(p.UrlType(), utHTTPS);
}

TEST(UrlSplitting, UserInformationEndsAtTheFirstAtSign) {
    const TclUrlParser p = Parsed("http://user:pw@h/");
    EXPECT_EQ(p.UserName(), "user");
    EXPECT_EQ(p.Password(), "pw");
    EXPECT_EQ(p.AbsoluteUri(), "http://user:pw@h/");
    const TclUrlParser q = Parsed("ftp://anon@h/p@q");
    EXPECT_EQ(q.UserName(), "anon");
    EXPECT_EQ(q.Password(), "");
    EXPECT_EQ(q.Host(), "h");
    EXPECT_EQ(q.Path(), "/p@q");
}

TEST(UrlSplitting, FragmentIsCutBeforeTheQuery) {
    const TclUrlParser p = Parsed("http://h/a#f?not-a-query");
    EXPECT_EQ(p.Fragment(), "#f?not-a-query");
    EXPECT_EQ(p.QueryString(), "");
    const TclUrlParser q = Parsed("http://h/a?u=ftp://x/y");
    EXPECT_EQ(q.Scheme(), "http");
    EXPECT_EQ(q.QueryString(), "?u=ftp://x/y");
}

TEST(UrlSplitting, BadPortsBecomeTheDefault) {
    EXPECT_EQ(Parsed("http://h:abc/").Port(), 80);
    EXPECT_EQ(Parsed("http://h:/").Port(), 80);
    EXPECT_EQ(Parsed("http://h:99999/").Port(), 80);
    EXPECT_EQ(Parsed("https://h:-1/").Port(), 443);
    EXPECT_EQ(Parsed("http://h:abc/").Host(), "h");
}

TEST(UrlSplitting, DotPathsAndMailtoStayWhole) {
    EXPECT_EQ(Parsed("../a").Path(), "../a");
    EXPECT_EQ(Parsed("../a").Host(), "");
    EXPECT_EQ(Parsed("./a").Path(), "./a");
    const TclUrlParser m = Parsed("MailTo:someone@example.org");
    EXPECT_EQ(m.Scheme(), "mailto");
    EXPECT_EQ(m.UserName(), "someone");
    EXPECT_EQ(m.Host(), "example.org");
    EXPECT_EQ(m.UrlType(), utMAILTO);
    EXPECT_EQ(m.AbsoluteUri(), "mailto:someone@example.org");
}

TEST(UrlSplitting, Ipv6LiteralKeepsItsColonsAndBrackets) {
    const TclUrlParser p = Parsed("http://[::1]:8080/x");
    EXPECT_EQ(p.Host(), "[::1]");
    EXPECT_EQ(p.Port(), 8080);
    EXPECT_EQ(p.AbsoluteUri(), "http://[::1]:8080/x");
    EXPECT_EQ(Parsed("http://[::1]/").Port(), 80);
}

TEST(UrlDefaults, SchemeGivesPortAndType) {
    const TclUrlParser p = Parsed("host/p");
    EXPECT_EQ(p.Scheme(), "http");
    EXPECT_EQ(p.Port(), 80);
    EXPECT_EQ(Parsed("ftp://h").Port(), 21);
    EXPECT_EQ(Parsed("gopher://h").Port(), 70);
    EXPECT_EQ(Parsed("news://h").Port(), 0);
    EXPECT_EQ(Parsed("news://h").UrlType(), utNEWS);
    EXPECT_EQ(Parsed("file://h/x").UrlType(), utFILE);
    EXPECT_EQ(Parsed("gopher://h").UrlType(), utGOPHER);
    EXPECT_EQ(Parsed("ftp://h").UrlType(), utFTP);
    EXPECT_EQ(Parsed("webcal://h").UrlType(), utUnknown);
    // The type is read from the scheme exactly as it stands.
    TclUrlParser q;
    q.SetScheme("HTTP");
    EXPECT_EQ(q.UrlType(), utUnknown);
    EXPECT_EQ(GetDefaultPort("HTTPS"), 443);
    // No host: no scheme is made up.
    EXPECT_EQ(Parsed("/only/path").Scheme(), "");
}

TEST(UrlComposing, DefaultPortIsLeftOutAndEmptyPathIsRoot) {
    EXPECT_EQ(Parsed("http://h").AbsolutePath(), "/");
    EXPECT_EQ(Parsed("http://h:80/x").AbsoluteUri(), "http://h/x");
    EXPECT_EQ(Parsed("http://h:81/x").AbsoluteUri(), "http://h:81/x");
    EXPECT_EQ(Parsed("https://h:80/x").AbsoluteUri(), "https://h:80/x");
}

TEST(UrlComposing, SettersFillInTheSeparators) {
    TclUrlParser p;
    p.SetScheme("http");
    p.SetHost("h");
    p.SetPath("a b");
    p.SetQueryString("q=1");
    p.SetFragment("frag ment");
    EXPECT_EQ(p.AbsoluteUri(), "http://h/a%20b?q=1#frag%20ment");
    p.SetHost("*");
    EXPECT_EQ(p.AbsolutePath(), "*");
    p.SetPort(-5);
    p.SetPort(70000);
    EXPECT_EQ(p.Port(), 0);
}

TEST(UrlComposing, NonAsciiHostIsEncodedOnlyInAbsoluteUri) {
    const TclUrlParser p = Parsed(
        "http://www.b\xc3\xbc"
        "cher.example/x");
    EXPECT_EQ(p.Host(),
              "www.b\xc3\xbc"
              "cher.example");
    EXPECT_EQ(p.AbsoluteUri(), "http://www.xn--bcher-kva.example/x");
    EXPECT_EQ(p.AbsolutePath(), "/x");
}

TEST(UrlEncoding, UnsafeBytesBecomeUpperCaseEscapes) {
    EXPECT_EQ(TclUrlParser::EncodeUrl("/a b{c}", ""), "/a%20b%7Bc%7D");
    EXPECT_EQ(TclUrlParser::EncodeUrl("~<>\"#|\\^[]`", ""), "%7E%3C%3E%22%23%7C%5C%5E%5B%5D%60");
    EXPECT_EQ(TclUrlParser::EncodeUrl(std::string("\x01\x1f\x7f", 3), ""), "%01%1F%7F");
    EXPECT_EQ(TclUrlParser::EncodeUrl("/?&=:@+;,$!*'()", ""), "/?&=:@+;,$!*'()");
    EXPECT_EQ(TclUrlParser::EncodeUrl("", ""), "");
}

TEST(UrlEncoding, ExistingEscapesStayAndLonePercentIsEscaped) {
    EXPECT_EQ(TclUrlParser::EncodeUrl("/a%2fb%2F", ""), "/a%2fb%2F");
    EXPECT_EQ(TclUrlParser::EncodeUrl("100%", ""), "100%25");
    EXPECT_EQ(TclUrlParser::EncodeUrl("%4", ""), "%254");
    EXPECT_EQ(TclUrlParser::EncodeUrl("%zz", ""), "%25zz");
}

TEST(UrlEncoding, BytesComeFromTheCharSet) {
    EXPECT_EQ(TclUrlParser::EncodeUrl("/\xc3\xa9", ""), "/%E9");
    EXPECT_EQ(TclUrlParser::EncodeUrl("/\xc3\xa9", "utf-8"), "/%C3%A9");
    EXPECT_EQ(TclUrlParser::EncodeUrl("/\xd0\x90", "windows-1251"), "/%C0");
    TclUrlParser p("utf-8");
    p.Parse("http://h/\xc3\xa9?q=\xc3\xa9");
    EXPECT_EQ(p.AbsolutePath(), "/%C3%A9?q=%C3%A9");
}

TEST(UrlEncoding, CharactersTheCodePageLacksAreEscapedFromUtf8NotTurnedIntoQuestionMarks) {
    // A question mark would move the rest of the path into the query.
    EXPECT_EQ(TclUrlParser::EncodeUrl("/\xe8\xa7\x86?\xc3\xa9", ""), "/%E8%A7%86?%E9");
    EXPECT_EQ(TclUrlParser::EncodeUrl("/\xe8\xa7\x86", "us-ascii"), "/%E8%A7%86");
}

// RFC 3986, section 5.4, against its base; only the examples where the
// resolution rules here agree with it.
TEST(UrlResolving, AgreesWithRfc3986Examples) {
    const std::string base = "http://a/b/c/d;p?q";
    const std::pair<const char*, const char*> kCases[] = {
        {"g", "http://a/b/c/g"},
        {"./g", "http://a/b/c/g"},
        {"g/", "http://a/b/c/g/"},
        {"/g", "http://a/g"},
        {"//g", "http://g/"},
        {"g?y", "http://a/b/c/g?y"},
        {"g#s", "http://a/b/c/g#s"},
        {"g?y#s", "http://a/b/c/g?y#s"},
        {";x", "http://a/b/c/;x"},
        {"g;x", "http://a/b/c/g;x"},
        {"g;x?y#s", "http://a/b/c/g;x?y#s"},
        {".", "http://a/b/c/"},
        {"./", "http://a/b/c/"},
        {"..", "http://a/b/"},
        {"../", "http://a/b/"},
        {"../g", "http://a/b/g"},
        {"../..", "http://a/"},
        {"../../", "http://a/"},
        {"../../g", "http://a/g"},
        {"/./g", "http://a/g"},
        {"g.", "http://a/b/c/g."},
        {".g", "http://a/b/c/.g"},
        {"g..", "http://a/b/c/g.."},
        {"..g", "http://a/b/c/..g"},
        {"./../g", "http://a/b/g"},
        {"./g/.", "http://a/b/c/g/"},
        {"g/./h", "http://a/b/c/g/h"},
        {"g/../h", "http://a/b/c/h"},
        {"g;x=1/./y", "http://a/b/c/g;x=1/y"},
        {"g;x=1/../y", "http://a/b/c/y"},
        {"g?y/./x", "http://a/b/c/g?y/./x"},
        {"g?y/../x", "http://a/b/c/g?y/../x"},
        {"g#s/./x", "http://a/b/c/g#s/./x"},
        {"g#s/../x", "http://a/b/c/g#s/../x"},
    };
    for (const auto& [rel, want] : kCases) EXPECT_EQ(Resolve(base, rel), want) << rel;
}

TEST(UrlResolving, QueryAndFragmentNeverComeFromTheBase) {
    // Unlike RFC 3986, an empty path drops the base's file name and query.
    EXPECT_EQ(Resolve("http://h/a/b.html", "?q=1"), "http://h/a/?q=1");
    EXPECT_EQ(Resolve("http://a/b/c/d;p?q", "#s"), "http://a/b/c/#s");
    EXPECT_EQ(Resolve("http://a/b/c/d;p?q", ""), "http://a/b/c/");
}

TEST(UrlResolving, ClimbingAboveTheRootLeavesAnEmptyPath) {
    TclUrlParser p;
    p.Parse("http://h/a/b", "../../../x");
    EXPECT_EQ(p.Path(), "");
    EXPECT_EQ(p.AbsolutePath(), "/");
    EXPECT_EQ(Resolve("http://a/b/c/d;p?q", "/../g"), "http://a/");
}

TEST(UrlResolving, PageLinksAndRedirects) {
    const std::string base = "http://h/a/b/c.html";
    EXPECT_EQ(Resolve(base, "../d.html"), "http://h/a/d.html");
    EXPECT_EQ(Resolve(base, "images/x.png"), "http://h/a/b/images/x.png");
    EXPECT_EQ(Resolve(base, "/r"), "http://h/r");
    EXPECT_EQ(Resolve(base, "http://other/z"), "http://other/z");
    EXPECT_EQ(Resolve(base, "https://other"), "https://other/");
    EXPECT_EQ(Resolve(base, "mailto:x@y"), "mailto:x@y");
    EXPECT_EQ(Resolve("https://h:8443/a/b", "c?x=1"), "https://h:8443/a/c?x=1");
    EXPECT_EQ(Resolve("https://u:p@h/a/b", "/c"), "https://u:p@h/c");
    EXPECT_EQ(Resolve("https://h/a/", "//cdn.example:81/z"), "https://cdn.example:81/z");
}

TEST(UrlResolving, FirstSegmentOfARelativePathIsKeptAsWritten) {
    EXPECT_EQ(Resolve("http://h/u/", "@me/p"), "http://h/u/@me/p");
    EXPECT_EQ(Resolve("http://h/u/", "a:b/c"), "http://h/u/a:b/c");
    EXPECT_EQ(Resolve("http://h/u/", "x./y"), "http://h/u/x./y");
}

TEST(UrlResolving, WithoutABaseSchemeTheReferenceStandsAlone) {
    EXPECT_EQ(Resolve("", "host/p"), "http://host/p");
    TclUrlParser p;
    p.Parse("", "../x");
    EXPECT_EQ(p.Path(), "../x");
    p.Parse("", "");
    EXPECT_EQ(p.AbsoluteUri(), "");
}

TEST(UrlParser, ClearAndAssignLeaveTheCharSet) {
    TclUrlParser a("utf-8");
    a.Parse("http://u:p@h:81/x?q#f");
    TclUrlParser b("koi8-r");
    b.Assign(a);
    EXPECT_EQ(b.AbsoluteUri(), "http://u:p@h:81/x?q#f");
    EXPECT_EQ(b.CharSet(), "koi8-r");
    b.Clear();
    EXPECT_EQ(b.AbsoluteUri(), "");
    EXPECT_EQ(b.Port(), 0);
    EXPECT_EQ(b.CharSet(), "koi8-r");
}

TEST(UrlLocalFiles, FileNameIsTheLastPathSegmentWithoutQuery) {
    TclUrlParser p;
    EXPECT_EQ(p.GetLocalFileByURL("http://h/dir/file.flv?x=1", "/out"), "/out/file.flv");
    EXPECT_EQ(p.GetLocalFileByURL("http://h/dir/a%20b.flv", "/out/"), "/out/a%20b.flv");
    EXPECT_EQ(p.GetLocalFileByURL("http://h", "/out"), "/out/");
    EXPECT_EQ(p.GetLocalFileByURL("", "/out"), "/out");
    EXPECT_EQ(p.GetLocalFileByURL("http://h/a.flv", ""), "a.flv");
}

TEST(UrlLocalFiles, UrlTakesTheLocalFileName) {
    TclUrlParser p;
    EXPECT_EQ(p.GetURLByLocalFile("http://h/dir/old.flv?x=1", "/tmp/new.flv"), "http://h/dir/new.flv?x=1");
    EXPECT_EQ(p.GetURLByLocalFile("http://h", "/tmp/x/y.flv"), "http://h/y.flv");
    EXPECT_EQ(p.GetURLByLocalFile("http://h/d/", "plain"), "http://h/d/plain");
}
