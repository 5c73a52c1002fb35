#include <gtest/gtest.h>

#include "http/clHttpHeader.h"

using namespace cl;

TEST(HttpHeader, ResponseFieldsAndContentTypeItemsAreParsed) {
    TclHttpResponseHeader h;
    h.ParseHeader(TStringList{"HTTP/1.1 200 OK", "Content-Type: text/html; charset=gbk", "Content-Length: 12",
                              "WWW-Authenticate: Basic realm=\"a\"", "www-authenticate: Digest x=1", "Set-Cookie: a=1",
                              "Accept-Ranges: bytes", "", "ignored: yes"});
    EXPECT_EQ(h.ContentType(), "text/html");
    EXPECT_EQ(h.CharSet(), "gbk");
    EXPECT_EQ(h.Boundary(), "");
    EXPECT_EQ(h.ContentLength(), "12");
    EXPECT_EQ(h.AcceptRanges(), "bytes");
    ASSERT_EQ(h.Authenticate().Count(), 2);
    EXPECT_EQ(h.Authenticate()[1], "Digest x=1");
    EXPECT_EQ(h.ExtraFields().Text(), "Set-Cookie: a=1\r\n");

    h.ParseHeader(TStringList{"Server: s"});
    EXPECT_EQ(h.ContentType(), "");
    EXPECT_EQ(h.CharSet(), "");
    EXPECT_EQ(h.Authenticate().Count(), 0);
}

TEST(HttpHeader, RequestHeaderWritesFieldsInItsOrderThenExtraFields) {
    TclHttpRequestHeader h;
    EXPECT_EQ(h.Accept(), "*/*");
    h.SetReferer("https://www.vidsite.example/");
    h.SetUserAgent("UA");
    h.SetContentType("application/x-www-form-urlencoded");
    h.SetCharSet("utf-8");
    h.SetContentLength("9");
    h.SetConnection("close");
    h.ExtraFields().Add("X-Thing: 1");
    TStringList out{"GET / HTTP/1.1"};
    h.AssignHeader(out);
    EXPECT_EQ(out.Text(),
              "GET / HTTP/1.1\r\nAccept: */*\r\nReferer: https://www.vidsite.example/\r\nUser-Agent: UA\r\n"
              "Content-Length: 9\r\nContent-Type: application/x-www-form-urlencoded; charset=utf-8\r\n"
              "Connection: close\r\nX-Thing: 1\r\n");
}

TEST(HttpHeader, BoundaryAndCharsetAreWrittenOnlyWithAContentType) {
    TclHttpRequestHeader h;
    h.SetAccept("");
    h.SetBoundary("B");
    h.SetCharSet("utf-8");
    TStringList out;
    h.AssignHeader(out);
    EXPECT_EQ(out.Count(), 0);
    h.SetContentType("multipart/form-data");
    h.AssignHeader(out);
    EXPECT_EQ(out.Text(), "Content-Type: multipart/form-data; boundary=B; charset=utf-8\r\n");
}

TEST(HttpHeader, UnknownFieldsRoundTripAndAcceptIsOnlyWhatWasParsed) {
    TclHttpRequestHeader h;
    h.ParseHeader(TStringList{"X-Thing: 1", "Host: h"});
    EXPECT_EQ(h.Accept(), "");
    TStringList out;
    h.AssignHeader(out);
    EXPECT_EQ(out.Text(), "Host: h\r\nX-Thing: 1\r\n");
}

TEST(HttpHeader, ResponseHeaderWritesAuthenticateLinesInOrder) {
    TclHttpResponseHeader h;
    h.SetLocation("/x");
    h.Authenticate().Add("Basic a");
    h.Authenticate().Add("Digest b");
    h.ProxyAuthenticate().Add("Basic p");
    h.SetDate("d");
    TStringList out;
    h.AssignHeader(out);
    EXPECT_EQ(out.Text(),
              "Location: /x\r\nWWW-Authenticate: Basic a\r\nWWW-Authenticate: Digest b\r\n"
              "Proxy-Authenticate: Basic p\r\nDate: d\r\n");
}

TEST(HttpHeader, ChangesNotifyOnceInABracketAndOnlyWhenAValueChanges) {
    TclHttpRequestHeader h;
    int changes = 0;
    h.OnChanged = [&](TObject* sender) {
        EXPECT_EQ(sender, &h);
        ++changes;
    };
    h.SetHost("a");
    h.SetHost("a");
    EXPECT_EQ(changes, 1);
    h.BeginUpdate();
    h.SetHost("b");
    h.SetRange("bytes=0-");
    h.ExtraFields().Add("X: 1");
    EXPECT_EQ(changes, 1);
    h.EndUpdate();
    EXPECT_EQ(changes, 2);
    h.ParseHeader(TStringList{"Host: c", "X: 2"});
    EXPECT_EQ(changes, 3);
    h.EndUpdate();  // unbalanced: count stays at 0
    EXPECT_EQ(changes, 4);
}

TEST(HttpHeader, AssignCopiesEntityFieldsAlwaysAndOwnFieldsFromTheSameClass) {
    TclHttpResponseHeader src;
    src.ParseHeader(TStringList{"Content-Type: text/plain", "Server: s", "X: 1", "WWW-Authenticate: Basic"});
    TclHttpResponseHeader same;
    same.Assign(src);
    EXPECT_EQ(same.Server(), "s");
    EXPECT_EQ(same.Authenticate().Count(), 1);
    EXPECT_EQ(same.ExtraFields().Text(), "X: 1\r\n");
    TclHttpRequestHeader other;
    other.SetHost("keep");
    other.Assign(src);
    EXPECT_EQ(other.ContentType(), "text/plain");
    EXPECT_EQ(other.Host(), "keep");
    EXPECT_EQ(other.ExtraFields().Text(), "X: 1\r\n");
}

TEST(HttpHeader, ClearEmptiesEverythingButTheRequestsAccept) {
    TclHttpRequestHeader h;
    h.ParseHeader(TStringList{"Accept: text/html", "Host: h", "X: 1"});
    h.Clear();
    EXPECT_EQ(h.Accept(), "*/*");
    EXPECT_EQ(h.Host(), "");
    EXPECT_EQ(h.ExtraFields().Count(), 0);
    EXPECT_GE(h.KnownFields().IndexOf("user-agent"), 0);
    EXPECT_GE(h.KnownFields().IndexOf("content-type"), 0);
    EXPECT_LT(h.KnownFields().IndexOf("set-cookie"), 0);
}
