// The comment document reader: entries and skip counts, input split at any
// byte, and documents it must refuse.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CommentReader.h"

using namespace subtitles;

namespace {

// Everything the reader must get past: a declaration, a document type, XML
// comments, instructions, CDATA, entities and character references, other
// elements, attributes in either quotes, and each kind of entry it skips.
const std::string kDocument =
    "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE i [ <!ELEMENT i ANY> ]>\n"
    "<!-- a comment -- with dashes - -->\n"
    "<i><chatid>42</chatid><source a='k-v'>k-v</source>\n"
    "  <d p=\"12.5,1,25,16777215,1600000000,0,ab12cd34,400001\">&lt;b&gt; &amp; &quot;x&quot; &#20013;&#x1F600;</d>\n"
    "  <d p='3,5,36,16711680,0,0,0,0' extra=\"&amp;\">top/nline</d>\n"
    "  <d p=\"3,4,18,0,0,0,0,0\"><![CDATA[<raw> ]] ]]]>tail</d>\n"
    "  <d p=\"1,6,25,255\">back<?pi ?>ward<!-- x --></d>\n"
    "  <d p=\"4,7,25,0,0,0,0,0\">[0,0,\"positioned\"]</d>\n"
    "  <d p=\"5,8,25,0,0,0,0,0\">code()</d>\n"
    "  <d p=\"x,1,25,0,0,0,0,0\">bad time</d>\n"
    "  <d p=\"6,9,25,0,0,0,0,0\">unknown mode</d>\n"
    "  <d p=\"7,1,25\">three fields</d>\n"
    "  <d>no fields</d>\n"
    "  <d p=\"8,1,25,0\">  </d>\n"
    "  <d p=\"9,1,25,0\"/>\n"
    "</i>\n<!-- after -->\n";

struct Read {
    bool ok = false;
    ReadError fault = ReadError::None;
    std::vector<Comment> comments;
    SkipCounts skipped;
};

Read ReadPieces(const std::string& doc, const std::vector<size_t>& cuts) {
    CommentReader reader;
    Read r;
    size_t from = 0;
    bool going = true;
    for (size_t cut : cuts) {
        going = going && reader.Feed(std::string_view(doc).substr(from, cut - from));
        from = cut;
    }
    going = going && reader.Feed(std::string_view(doc).substr(from));
    r.ok = going && reader.Finish();
    r.fault = reader.Fault();
    r.comments = reader.Comments();
    r.skipped = reader.Skipped();
    return r;
}

bool SameComments(const Read& a, const Read& b) {
    if (a.comments.size() != b.comments.size() || a.skipped.Total() != b.skipped.Total() || a.ok != b.ok) return false;
    for (size_t i = 0; i < a.comments.size(); ++i) {
        const Comment &x = a.comments[i], &y = b.comments[i];
        if (x.text != y.text || x.seconds != y.seconds || x.mode != y.mode || x.size != y.size || x.colour != y.colour)
            return false;
    }
    return true;
}

}  // namespace

TEST(CommentReader, ReadsEntriesDecodesTextAndCountsWhatItSkips) {
    const Read r = ReadPieces(kDocument, {});
    ASSERT_TRUE(r.ok) << int(r.fault);
    ASSERT_EQ(r.comments.size(), 4u);
    EXPECT_EQ(r.comments[0].text, "<b> & \"x\" \xE4\xB8\xAD\xF0\x9F\x98\x80");
    EXPECT_EQ(r.comments[0].seconds, 12.5);
    EXPECT_EQ(r.comments[0].mode, Mode::ScrollLeft);
    EXPECT_EQ(r.comments[1].text, "top/nline");
    EXPECT_EQ(r.comments[1].mode, Mode::Top);
    EXPECT_EQ(r.comments[1].size, 36);
    EXPECT_EQ(r.comments[1].colour, 0xFF0000u);
    EXPECT_EQ(r.comments[2].text, "<raw> ]] ]tail");
    EXPECT_EQ(r.comments[2].mode, Mode::Bottom);
    EXPECT_EQ(r.comments[3].text, "backward");
    EXPECT_EQ(r.comments[3].mode, Mode::ScrollRight);
    EXPECT_EQ(r.skipped.positioned, 1u);
    EXPECT_EQ(r.skipped.code, 1u);
    EXPECT_EQ(r.skipped.unreadable, 4u);
    EXPECT_EQ(r.skipped.empty, 2u);
}

TEST(CommentReader, InputSplitAtAnyByteReadsAsTheWholeDocument) {
    const Read whole = ReadPieces(kDocument, {});
    for (size_t cut = 1; cut < kDocument.size(); ++cut)
        ASSERT_TRUE(SameComments(ReadPieces(kDocument, {cut}), whole)) << "split at " << cut;
    std::vector<size_t> everyByte;
    for (size_t cut = 1; cut < kDocument.size(); ++cut) everyByte.push_back(cut);
    EXPECT_TRUE(SameComments(ReadPieces(kDocument, everyByte), whole));
}

TEST(CommentReader, RefusesDocumentsThatAreNotWellFormedComments) {
    const struct {
        std::string doc;
        ReadError fault;
    } cases[] = {
        {"", ReadError::NotXml},
        {"  \n", ReadError::NotXml},
        {"{\"code\":-412}", ReadError::NotXml},
        {"<?xml version=\"1.0\"?>", ReadError::NotXml},
        {"<html><body>Forbidden</body></html>", ReadError::NotComments},
        {"<i><d p=\"1,1,25,0\">cut", ReadError::CutShort},
        {"<i><d p=\"1,1,25", ReadError::CutShort},
        {"<i><d p=\"1,1,25,0\">a</d><!-- x", ReadError::CutShort},
        {"<i><d p=\"1,1,25,0\">a</i>", ReadError::MismatchedTag},
        {"<i><d p=\"1,1,25,0\">&nbsp;</d></i>", ReadError::BadReference},
        {"<i><d p=\"1,1,25,0\">&#0;</d></i>", ReadError::BadReference},
        {"<i><d p=\"1,1,25,0\">a & b</d></i>", ReadError::BadReference},
        {"<i><d p=1>a</d></i>", ReadError::BadMarkup},
        {"<i><d p=\"<\">a</d></i>", ReadError::BadMarkup},
        {"<i></i><i></i>", ReadError::AfterRoot},
        {"<i></i>trailing", ReadError::AfterRoot},
    };
    for (const auto& c : cases) {
        const Read r = ReadPieces(c.doc, {});
        EXPECT_FALSE(r.ok) << c.doc;
        EXPECT_EQ(r.fault, c.fault) << c.doc;
    }
    // Every proper prefix of a good document is cut short.
    const size_t end = kDocument.rfind("</i>") + 4;
    for (size_t length = 1; length < end; ++length) {
        const Read r = ReadPieces(kDocument.substr(0, length), {});
        ASSERT_FALSE(r.ok) << length;
    }
    CommentReader reader;
    EXPECT_FALSE(reader.Feed("<i><d p=\"1,1,25,0\">a</x>"));
    EXPECT_NE(reader.Error().find("does not match"), std::string::npos);
    EXPECT_NE(reader.Error().find("at byte 23"), std::string::npos) << reader.Error();
}
