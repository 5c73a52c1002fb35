#include <gtest/gtest.h>

#include "http/clCookieManager.h"
#include "http/clHttpDate.h"

using namespace cl;

namespace {

// Cookies of one response header for a request to AHost and APath.
void Receive(TclCookieManager& AManager, std::initializer_list<std::string> ALines, const std::string& AHost = "x.y.z",
             const std::string& APath = "/a?b=1", int APort = 80) {
    TclCookieList received;
    received.GetResponseCookies(TStringList(ALines), AHost, APath, APort);
    AManager.AddCookies(received);
}

std::string CookieLine(TclCookieManager& AManager, const std::string& AHost, const std::string& APath, int APort = 80,
                       bool ASecure = false) {
    TclCookieList list;
    AManager.GetCookies(list, AHost, APath, APort, ASecure);
    TStringList lines;
    list.SetRequestCookies(lines);
    return lines.Count() == 0 ? std::string() : lines[0];
}

TclCookieItem ParseOne(const std::string& ALine, const std::string& AHost = "x.y.z",
                       const std::string& APath = "/a?b=1", int APort = 80) {
    TclCookieList list;
    list.GetResponseCookies(TStringList{"HTTP/1.1 200 OK", ALine}, AHost, APath, APort);
    EXPECT_EQ(list.Count(), 1);
    TclCookieItem c;
    if (list.Count() > 0) c.Assign(list[0]);
    return c;
}

}  // namespace

TEST(CookieList, SetCookieAttributesAndDefaults) {
    TclCookieItem c = ParseOne("Set-Cookie: sid=abc; Path=/; Secure");
    EXPECT_EQ(c.Name, "sid");
    EXPECT_EQ(c.Value, "abc");
    EXPECT_EQ(c.Domain, ".x.y.z");
    EXPECT_EQ(c.Path, "/");
    EXPECT_TRUE(c.Secure);
    EXPECT_EQ(c.Format, cfNetscape);
    EXPECT_EQ(c.CookieData, "sid=abc; Path=/; Secure");
    EXPECT_FALSE(c.IsPersistent());

    c = ParseOne("Set-Cookie: k=\"quoted v\"; Domain=y.z; Version=1; Comment=c; HttpOnly");
    EXPECT_EQ(c.Value, "quoted v");
    EXPECT_EQ(c.Domain, ".y.z");
    EXPECT_EQ(c.Path, "/");  // the folder of "/a?b=1"
    EXPECT_EQ(c.Format, cfRFC2109);
    EXPECT_EQ(c.Comment, "c");

    c = ParseOne("Set-Cookie2: k=v; Version=1; Port", "h", "/", 8080);
    EXPECT_EQ(c.Port, "8080");
    EXPECT_EQ(c.Format, cfRFC2965);

    c = ParseOne("Set-Cookie: flag");
    EXPECT_EQ(c.Name, "flag");
    EXPECT_EQ(c.Value, "");
    c = ParseOne("Set-Cookie: k=v; Max-Age=abc; Version=x");
    EXPECT_EQ(c.MaxAge(), -1);
    EXPECT_EQ(c.Version, 0);
}

TEST(CookieList, SecureIsReadFromEveryAttributeOtherFlagsAtTheirFirstOccurrence) {
    EXPECT_TRUE(ParseOne("Set-Cookie: m=insecure; Secure").Secure);
    EXPECT_TRUE(ParseOne("Set-Cookie: a=b;secure;x").Secure);
    EXPECT_FALSE(ParseOne("Set-Cookie: secure=1; x=secure").Secure);
    EXPECT_FALSE(HasCookieFlag("secure; a=b", "secure"));
    EXPECT_TRUE(HasCookieFlag("a=b, discard", "discard"));
}

TEST(CookieList, ExpiryDatesMaxAgeAndTheirOrder) {
    EXPECT_EQ(GetCookieExpires("k=v; expires=Wed, 09-Jun-2021 10:18:14 GMT; path=/"), "Wed, 09 Jun 2021 10:18:14 GMT");
    const TDateTime now = NowDateTime();
    TclCookieItem c = ParseOne("Set-Cookie: k=v; Max-Age=60");
    EXPECT_TRUE(c.IsPersistent());
    EXPECT_NEAR(c.Expires, now + 60.0 / 86400.0, 5.0 / 86400.0);
    c = ParseOne("Set-Cookie: k=v; Expires=Thu, 01 Jan 2099 00:00:00 GMT; Max-Age=60");
    EXPECT_NEAR(c.Expires, ParseHttpDate("Thu, 01 Jan 2099 00:00:00 GMT"), 1e-6);
    // A broken date is swallowed; Max-Age then sets the expiry.
    c = ParseOne("Set-Cookie: k=v; Expires=Thu, 31 Feb 2099 00:00:00 GMT; Max-Age=60");
    EXPECT_NEAR(c.Expires, now + 60.0 / 86400.0, 5.0 / 86400.0);
    c = ParseOne("Set-Cookie: k=v; Expires=Wed, 09-Jun-21 10:18:14 GMT");
    EXPECT_TRUE(c.IsExpired());  // 1921
}

TEST(CookieManager, SecureCookiesGoOnlyOverSecureRequests) {
    TclCookieManager m;
    Receive(m, {"Set-Cookie: sid=abc; Path=/; Secure"});
    EXPECT_EQ(CookieLine(m, "x.y.z", "/any", 443, true), "Cookie: sid=abc");
    EXPECT_EQ(CookieLine(m, "x.y.z", "/any", 80, false), "");
}

TEST(CookieManager, DomainsMatchByLabelsAndPathsByFolders) {
    TclCookieManager m;
    Receive(m, {"Set-Cookie: p=1"}, "x.y.z", "/shop/cart?item=1");
    EXPECT_EQ(m.Cookies()[0].Path, "/shop");
    EXPECT_EQ(CookieLine(m, "x.y.z", "/shop"), "Cookie: p=1");
    EXPECT_EQ(CookieLine(m, "x.y.z", "/shop/list?a=1"), "Cookie: p=1");
    EXPECT_EQ(CookieLine(m, "x.y.z", "/shopping"), "");
    EXPECT_EQ(CookieLine(m, "x.y.z", "/other/shop"), "");
    EXPECT_TRUE(IsPathMatch("/", "/anything"));
    EXPECT_TRUE(IsPathMatch("/a/", "/a/b"));
    EXPECT_FALSE(IsPathMatch("/a/b", "/a"));

    EXPECT_TRUE(IsDomainMatch(".y.z", "x.y.z"));
    EXPECT_TRUE(IsDomainMatch("y.z", "y.z"));
    EXPECT_FALSE(IsDomainMatch(".y.z", "q.y.z.w"));
    EXPECT_FALSE(IsDomainMatch(".y.z", "xy.z"));
    EXPECT_FALSE(IsDomainMatch(".z", "a.z"));
    EXPECT_FALSE(IsDomainMatch(".y.z", "x.y.q"));
    EXPECT_FALSE(IsDomainMatch("..y.z", "a..y.z"));
    EXPECT_FALSE(IsDomainMatch(".y.", "x.y."));
    EXPECT_FALSE(IsDomainMatch(".0.1", "127.0.0.1"));
    EXPECT_FALSE(IsDomainMatch(".local", "anything"));
    EXPECT_TRUE(IsDomainMatch(".local", "localhost"));
    EXPECT_TRUE(IsPortMatch("80, 8080", 80));
    EXPECT_FALSE(IsPortMatch("80, 8080", 8080));
    EXPECT_TRUE(IsPortMatch("", 1));
}

TEST(CookieManager, ADomainAttributeMustCoverTheHostAndAHostOnlyCookieStaysWithItsHost) {
    TclCookieManager m;
    Receive(m,
            {"Set-Cookie: wide=1; Domain=y.z; Path=/", "Set-Cookie: other=1; Domain=vidsite.example; Path=/",
             "Set-Cookie: tld=1; Domain=.z; Path=/", "Set-Cookie: below=1; Domain=w.x.y.z; Path=/",
             "Set-Cookie: own=1; Path=/"},
            "x.y.z", "/");
    ASSERT_EQ(m.Cookies().Count(), 2);
    EXPECT_EQ(CookieLine(m, "x.y.z", "/"), "Cookie: own=1; wide=1");
    EXPECT_EQ(CookieLine(m, "q.y.z", "/"), "Cookie: wide=1");
    EXPECT_EQ(CookieLine(m, "a.x.y.z", "/"), "Cookie: wide=1");
    EXPECT_EQ(CookieLine(m, "evilx.y.z", "/"), "Cookie: wide=1");
    EXPECT_EQ(CookieLine(m, "x.y.z.evil", "/"), "");
    EXPECT_TRUE(IsDomainAttributeAllowed("x.y.z", "x.y.z"));
    EXPECT_FALSE(IsDomainAttributeAllowed("z", "x.y.z"));
    EXPECT_FALSE(IsDomainAttributeAllowed("y.z", "xy.z"));
}

TEST(CookieManager, ASecureCookieNeverTravelsOverPlainHttpEvenWhenAHandlerAllowsIt) {
    TclCookieManager m;
    m.OnAcceptCookie = [](TObject*, TclCookieItem&, const std::string&, const std::string&, int, bool, bool& Allow) {
        Allow = true;
    };
    Receive(m, {"Set-Cookie: sid=1; HttpOnly; Secure; Path=/"});
    EXPECT_EQ(CookieLine(m, "x.y.z", "/", 443, true), "Cookie: sid=1");
    EXPECT_EQ(CookieLine(m, "x.y.z", "/", 80, false), "");
}

TEST(CookieManager, TheStoreIsBoundedPerDomainAndInAllAndRefusesHugeCookies) {
    TclCookieManager m;
    for (int i = 0; i < kMaxCookiesPerDomain + 10; ++i) {
        Receive(m, {"Set-Cookie: c" + std::to_string(i) + "=v; Path=/"});
    }
    EXPECT_EQ(m.Cookies().Count(), kMaxCookiesPerDomain);
    EXPECT_EQ(m.Cookies()[0].Name, "c10") << "the oldest made room";
    for (int d = 0; m.Cookies().Count() < kMaxCookies; ++d) {
        Receive(m, {"Set-Cookie: a=v; Path=/"}, "h" + std::to_string(d) + ".example");
    }
    Receive(m, {"Set-Cookie: last=v; Path=/"}, "last.example");
    EXPECT_EQ(m.Cookies().Count(), kMaxCookies);
    EXPECT_EQ(CookieLine(m, "last.example", "/"), "Cookie: last=v");
    Receive(m, {"Set-Cookie: huge=" + std::string(kMaxCookieSize, 'x') + "; Path=/"}, "big.example");
    EXPECT_EQ(CookieLine(m, "big.example", "/"), "");
}

TEST(CookieManager, SameNameDomainAndPathUpdatesAndAnExpiredOneDeletes) {
    TclCookieManager m;
    Receive(m, {"Set-Cookie: k=v1; path=/"});
    Receive(m, {"Set-Cookie: K=v2; path=/"});
    EXPECT_EQ(m.Cookies().Count(), 1);
    EXPECT_EQ(m.Cookies()[0].Value, "v2");
    Receive(m, {"Set-Cookie: k=v; Max-Age=0; path=/"});
    EXPECT_EQ(m.Cookies().Count(), 0);
    // With nothing to delete, it is stored and gone at the next selection.
    Receive(m, {"Set-Cookie: gone=v; Max-Age=0; path=/"});
    EXPECT_EQ(m.Cookies().Count(), 1);
    EXPECT_EQ(CookieLine(m, "x.y.z", "/"), "");
    EXPECT_EQ(m.Cookies().Count(), 0);
}

TEST(CookieManager, CookiesAreSentByNameThenLongerPathFirst) {
    TclCookieManager m;
    Receive(m, {"Set-Cookie: a=root; path=/", "Set-Cookie: B=b; path=/", "Set-Cookie: a=deep; path=/x"});
    EXPECT_EQ(CookieLine(m, "x.y.z", "/x/1"), "Cookie: a=deep; a=root; B=b");
}

TEST(CookieManager, OwnCookieFieldReplacesTheCallersLines) {
    TclCookieManager m;
    Receive(m, {"Set-Cookie: s=1; path=/"});
    TclCookieList list;
    m.GetCookies(list, "x.y.z", "/", 80, false);
    TStringList lines{"Accept: */*", "Cookie: old=1", "cookie: older=2"};
    list.SetRequestCookies(lines);
    EXPECT_EQ(lines.Text(), "Accept: */*\r\nCookie: s=1\r\n");
    TclCookieList none;
    none.SetRequestCookies(lines);
    EXPECT_EQ(lines.Text(), "Accept: */*\r\n");
}

TEST(CookieManager, HandlersCanVetoEveryChange) {
    TclCookieManager m;
    bool allowAdd = false, allowDelete = false, allowAccept = false;
    m.OnAddCookie = [&](TObject*, TclCookieItem&, bool& Allow) { Allow = allowAdd; };
    m.OnDeleteCookie = [&](TObject*, TclCookieItem&, bool& Allow) { Allow = allowDelete; };
    m.OnUpdateCookie = [&](TObject*, TclCookieItem& AOld, TclCookieItem& ANew, bool& Allow) {
        EXPECT_EQ(AOld.Value, "1");
        EXPECT_EQ(ANew.Value, "2");
        Allow = false;
    };
    m.OnAcceptCookie = [&](TObject*, TclCookieItem&, const std::string& ADomain, const std::string&, int APort, bool,
                           bool& Allow) {
        EXPECT_EQ(ADomain, "x.y.z");
        EXPECT_EQ(APort, 80);
        if (!allowAccept) Allow = false;
    };
    Receive(m, {"Set-Cookie: k=1; path=/"});
    EXPECT_EQ(m.Cookies().Count(), 0);
    allowAdd = true;
    Receive(m, {"Set-Cookie: k=1; path=/"});
    Receive(m, {"Set-Cookie: k=2; path=/"});
    EXPECT_EQ(m.Cookies()[0].Value, "1");
    EXPECT_EQ(CookieLine(m, "x.y.z", "/"), "");
    allowAccept = true;
    EXPECT_EQ(CookieLine(m, "x.y.z", "/"), "Cookie: k=1");
    m.Clear();
    EXPECT_EQ(m.Cookies().Count(), 1);
    allowDelete = true;
    m.ClearNonPersistent();
    EXPECT_EQ(m.Cookies().Count(), 0);
}

TEST(CookieList, AddFromUrlAndLookupByName) {
    TclCookieList list;
    TclCookieItem& c = list.Add("n", "v", "http://LocalHost:8080");
    EXPECT_EQ(c.Domain, ".local");
    EXPECT_EQ(c.Path, "/");
    list.Add("N", "w", "https://www.vidsite.example/video/v1?p=2");
    EXPECT_EQ(list[1].Domain, ".www.vidsite.example");
    EXPECT_EQ(list.CookieByName("n", 1), &list[1]);
    EXPECT_EQ(list.CookieByName("n", 5), nullptr);
}

TEST(CookieList, SaveAndLoadRoundTripEveryField) {
    TclCookieList list;
    TclCookieItem& a = list.Add("name", "值 value", ".x.y", "/p");
    a.Expires = 45000.5;
    a.Secure = true;
    a.Comment = std::string(300, 'c');
    a.SetMaxAge(int64_t(1) << 40);
    a.Version = 1000;
    a.Port = "80,8080";
    a.CookieData = "é \xff\xfe raw";
    a.Format = cfRFC2965;
    list.Add();
    TMemoryStream s;
    list.Save(s);
    // The two-byte count of 2, then the first cookie's format tag and value.
    EXPECT_EQ(s.Bytes()[0], 2);
    EXPECT_EQ(s.Bytes()[1], 2);
    s.SetPosition(0);
    TclCookieList back;
    back.Load(s);
    ASSERT_EQ(back.Count(), 2);
    const TclCookieItem& b = back[0];
    EXPECT_EQ(b.Name, "name");
    EXPECT_EQ(b.Value, "值 value");
    EXPECT_EQ(b.Expires, 45000.5);
    EXPECT_TRUE(b.Secure);
    EXPECT_EQ(b.Comment, a.Comment);
    EXPECT_EQ(b.MaxAge(), int64_t(1) << 40);
    EXPECT_EQ(b.Version, 1000);
    EXPECT_EQ(b.Port, "80,8080");
    EXPECT_EQ(b.CookieData, "é \xff\xfe raw");  // bytes that are not UTF-8 survive
    EXPECT_EQ(b.Format, cfRFC2965);
    EXPECT_EQ(back[1].Expires, -1.0);
    EXPECT_EQ(back[1].MaxAge(), -1);

    TMemoryStream bad;
    bad.WriteBuffer(std::string("\x02\x01\x07", 3));
    bad.SetPosition(0);
    try {
        back.Load(bad);
        FAIL();
    } catch (const EReadError& e) {
        EXPECT_EQ(e.Message(), "Invalid property value");
    }
    TMemoryStream cut;
    cut.WriteBuffer(s.Bytes().data(), 20);
    cut.SetPosition(0);
    try {
        back.Load(cut);
        FAIL();
    } catch (const EReadError& e) {
        EXPECT_EQ(e.Message(), "Stream read error");
    }
    EXPECT_EQ(back.Count(), 1);
}
