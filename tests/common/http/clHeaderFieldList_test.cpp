#include <gtest/gtest.h>

#include "http/clHeaderFieldList.h"
#include "rtl/clException.h"

using namespace cl;

namespace {

struct Header {
    TStringList Lines;
    TclHeaderFieldList List;
    explicit Header(std::initializer_list<std::string> ALines) : Lines(ALines) { List.Parse(0, Lines); }
};

}  // namespace

TEST(HeaderFieldList, ParseSkipsNonFieldLinesAndStopsAtTheEmptyLine) {
    Header h{"HTTP/1.1 200 OK", "Content-Type: text/html", "\tcontinued", "Server: x", "", "Body: no"};
    EXPECT_EQ(h.List.HeaderEnd(), 4);
    ASSERT_EQ(h.List.FieldList().Count(), 2);
    EXPECT_EQ(h.List.FieldList()[0], "content-type");
    EXPECT_EQ(h.List.GetFieldStart(1), 3);
    EXPECT_EQ(h.List.GetFieldIndex("body"), -1);
}

TEST(HeaderFieldList, NamesMatchIgnoringCaseButKeepSpacesBeforeTheColon) {
    Header h{"content-type: text/plain", "Content-Length : 5"};
    EXPECT_EQ(h.List.GetFieldValue("Content-Type"), "text/plain");
    EXPECT_EQ(h.List.GetFieldValue("Content-Length"), "");
    EXPECT_EQ(h.List.GetFieldName(1), "Content-Length ");
    EXPECT_EQ(h.List.GetFieldStart("Missing"), -1);
    EXPECT_EQ(h.List.GetFieldEnd("Missing"), -1);
}

TEST(HeaderFieldList, ContinuationLinesJoinWithoutTheTabButKeepASpace) {
    Header h{"X-A: one", "\ttwo", " three", "X-B:  b  "};
    EXPECT_EQ(h.List.GetFieldValue("X-A"), "onetwo three");
    EXPECT_EQ(h.List.GetFieldEnd("X-A"), 2);
    EXPECT_EQ(h.List.GetFieldValue("X-B"), "b");
    TStringList src;
    h.List.GetFieldSource("x-a", src);
    EXPECT_EQ(src.Count(), 3);
}

TEST(HeaderFieldList, RepeatedFieldsAreAllListedAndNameLookupTakesTheFirst) {
    Header h{"Set-Cookie: a=1", "Set-Cookie: b=2"};
    EXPECT_EQ(h.List.GetFieldValue("Set-Cookie"), "a=1");
    EXPECT_EQ(h.List.GetFieldValue(1), "b=2");
}

TEST(HeaderFieldList, ItemLookupQuirksAndQuotes) {
    TclHeaderFieldList l;
    const std::string cd = "attachment; filename='a b.txt'";
    EXPECT_EQ(l.GetFieldValueItem(cd, "filename"), "a b.txt");
    EXPECT_EQ(l.GetFieldValueItem(cd, "name"), "a b.txt");  // found inside "filename="
    EXPECT_EQ(l.GetFieldValueItem(cd, ""), "attachment");
    EXPECT_EQ(l.GetFieldValueItem("a='x;y'; b=2", "a"), "x;y");
    EXPECT_EQ(l.GetFieldValueItem("a='x;y'; b=2", "b"), "2");
    EXPECT_EQ(l.GetFieldValueItem("text/html; charset='utf-8'", "charset"), "utf-8");
    EXPECT_EQ(l.GetFieldValueItem("realm, x = 5 ,y", "x"), "5");
    // An occurrence not followed by "=" is passed over.
    EXPECT_EQ(l.GetFieldValueItem("charset; charset=gbk", "charset"), "gbk");
    EXPECT_EQ(l.GetFieldValueItem("a=1", "b"), "");
    EXPECT_EQ(l.GetFieldValueItem("", ""), "");
}

TEST(HeaderFieldList, AddedFieldsGoBeforeTheEmptyLineInOrder) {
    Header h{"GET / HTTP/1.1", "Host: h", "", "body"};
    h.List.AddField("Accept", "*/*");
    h.List.AddField("Empty", "");
    h.List.AddEmptyField("X-Empty");
    h.List.AddFieldIfNotExist("host", "other");
    h.List.InsertField(-5, "First", "1");
    EXPECT_EQ(h.Lines.Text(), "First: 1\r\nGET / HTTP/1.1\r\nHost: h\r\nAccept: */*\r\nX-Empty:\r\n\r\nbody\r\n");
    EXPECT_EQ(h.List.HeaderEnd(), 5);
}

TEST(HeaderFieldList, ArrayFieldsPutOneValuePerLineWithCommas) {
    Header h{};
    h.List.AddArrayField("Allow", std::vector<std::string>{"GET", "", "HEAD", "PUT"});
    EXPECT_EQ(h.Lines.Text(), "Allow: GET,\r\n\tHEAD,\r\n\tPUT\r\n");
    EXPECT_EQ(h.List.GetFieldValue("Allow"), "GET,HEAD,PUT");
    Header one{};
    one.List.AddArrayField("Allow", std::vector<std::string>{"GET"});
    EXPECT_EQ(one.Lines.Text(), "Allow: GET\r\n");
}

TEST(HeaderFieldList, FieldItemsAreAppendedWithTheDelimiter) {
    Header h{"Content-Type: multipart/form-data"};
    h.List.AddFieldItem("Content-Type", "boundary", "X");
    h.List.AddFieldItem("Content-Type", "charset", "  ");
    h.List.AddQuotedFieldItem("Content-Type", "name", "a b");
    h.List.AddQuotedFieldItem("Content-Type", "q", "\"x\"");
    EXPECT_EQ(h.Lines[0], "Content-Type: multipart/form-data; boundary=X; name=\"a b\"; q=\"x\"");
    h.List.AddEmptyFieldItem(0, "flag", true);
    EXPECT_EQ(h.Lines.Text(), "Content-Type: multipart/form-data; boundary=X; name=\"a b\"; q=\"x\";\r\n\tflag=\r\n");

    Header e{"Digest:"};
    e.List.SetItemDelimiter(',');
    e.List.AddFieldItem(0, "realm", "r");
    e.List.AddFieldItem(0, "nonce", "n");
    EXPECT_EQ(e.Lines[0], "Digest: realm=r, nonce=n");
}

TEST(HeaderFieldList, RemovingItemsTakesTheirDelimiterAndSpacing) {
    Header h{"X: a=1; b=2; c=3"};
    h.List.RemoveFieldItem("X", "b");
    EXPECT_EQ(h.Lines[0], "X: a=1; c=3");
    h.List.RemoveFieldItem("X", "c");
    EXPECT_EQ(h.Lines[0], "X: a=1");
    h.List.ClearFieldItem("X", "a");
    EXPECT_EQ(h.Lines[0], "X: a=");
    h.List.RemoveFieldItem("X", "zzz");
    EXPECT_EQ(h.Lines[0], "X: a=");

    Header folded{"X: a=1;", "\tb=2", "Y: 1"};
    folded.List.RemoveFieldItem("X", "b");
    EXPECT_EQ(folded.Lines.Text(), "X: a=1\r\nY: 1\r\n");
    // The first, unnamed item is cleared in the value, never in the name.
    Header first{"Content-Type: text/html; charset=x"};
    first.List.ClearFieldItem("Content-Type", "");
    EXPECT_EQ(first.Lines[0], "Content-Type:; charset=x");
}

TEST(HeaderFieldList, RemoveFieldTakesContinuationLinesAndEndOfHeaderIsAddedOnce) {
    Header h{"A: 1", "\t2", "B: 3", "", "x"};
    h.List.RemoveField("a");
    h.List.RemoveField("nothing");
    EXPECT_EQ(h.Lines.Text(), "B: 3\r\n\r\nx\r\n");
    h.List.AddEndOfHeader();
    EXPECT_EQ(h.Lines.Count(), 3);
    Header open{"A: 1"};
    open.List.AddEndOfHeader();
    open.List.AddEndOfHeader();
    EXPECT_EQ(open.Lines.Text(), "A: 1\r\n\r\n");
}

TEST(HeaderFieldList, FoldingSplitsLongLinesAndKeepsTheFieldReadable) {
    Header h{"Host: h"};
    h.List.SetCharsPerLine(10);
    h.List.AddField("X-Long", "abcdefghijklmnopqrstuvwxyz");
    ASSERT_GT(h.Lines.Count(), 2);
    EXPECT_EQ(h.Lines[1].rfind("X-Long", 0), 0u);  // the field line itself is not indented
    EXPECT_EQ(h.List.GetFieldIndex("x-long"), 1);
    for (int i = 2; i < h.Lines.Count(); ++i) EXPECT_EQ(h.Lines[i].substr(0, 2), "\t ");
    h.List.AddNonFoldedField("X-Flat", "abcdefghijklmnopqrstuvwxyz");
    EXPECT_EQ(h.List.GetFieldValue("X-Flat"), "abcdefghijklmnopqrstuvwxyz");
}

TEST(HeaderFieldList, EditingUnboundOrInsertingLineBreaksIsAnAssertion) {
    TclHeaderFieldList unbound;
    EXPECT_THROW(unbound.AddField("A", "1"), EAssertionFailed);
    EXPECT_EQ(unbound.GetFieldValue("A"), "");
    Header h{"A: 1"};
    try {
        h.List.AddField("B", "x\r\nInjected: 1");
        FAIL();
    } catch (const EAssertionFailed& e) {
        EXPECT_EQ(e.Message(), "Assertion failure");
        EXPECT_EQ(e.Source(), "common\\clHeaderFieldList");
    }
    EXPECT_THROW(h.List.AddFieldItem("A", "b", "1\n2"), EAssertionFailed);
    EXPECT_EQ(h.Lines.Text(), "A: 1\r\n");
}

TEST(HeaderFieldList, ClassHelpersFormatPairs) {
    EXPECT_EQ(TclHeaderFieldList::GetNameValuePair("A", ""), "A:");
    EXPECT_EQ(TclHeaderFieldList::GetNameValuePair("A", "b"), "A: b");
    EXPECT_EQ(TclHeaderFieldList::GetItemNameValuePair("n", "v"), "n=v");
    EXPECT_EQ(TclHeaderFieldList::GetItemNameValuePair("n=", "v"), "n=v");
    EXPECT_EQ(TclHeaderFieldList::GetItemNameValuePair("", "v"), "v");
}
