#include <gtest/gtest.h>

#include "http/clHttpUtils.h"
#include "rtl/clException.h"

using namespace cl;

namespace {
std::string Decode(const std::string& ABody, const std::vector<size_t>& ASplits, bool* ACompleted = nullptr) {
    TMemoryStream out;
    TclChunkedStream chunked(&out);
    size_t start = 0;
    std::vector<size_t> cuts = ASplits;
    cuts.push_back(ABody.size());
    for (const size_t cut : cuts) {
        EXPECT_EQ(chunked.Write(ABody.data() + start, static_cast<int64_t>(cut - start)),
                  static_cast<int64_t>(cut - start));
        start = cut;
    }
    if (ACompleted) *ACompleted = chunked.IsCompleted();
    return std::string(out.Bytes().begin(), out.Bytes().end());
}
}  // namespace

TEST(ChunkedStream, EverySplitPointGivesTheSameBodyAndCompletion) {
    const std::string body = "1a;name=value\r\nabcdefghijklmnopqrstuvwxyz\r\n5 \r\n01234\r\n0\r\nTrailer: x\r\n\r\n";
    const std::string expected = "abcdefghijklmnopqrstuvwxyz01234";
    for (size_t i = 0; i <= body.size(); ++i) {
        for (size_t j = i; j <= body.size(); j += 7) {
            bool done = false;
            EXPECT_EQ(Decode(body, {i, j}, &done), expected) << i << "," << j;
            EXPECT_TRUE(done) << i << "," << j;
        }
    }
}

TEST(ChunkedStream, AnExtensionSplitAcrossWritesDoesNotAddToTheSize) {
    // "5;ab" then "cd..." must not read as the size 5abcd.
    const std::string body = "5;abcd\r\nhello\r\n0\r\n\r\n";
    EXPECT_EQ(Decode(body, {3}), "hello");
    EXPECT_EQ(Decode(body, {1}), "hello");
}

TEST(ChunkedStream, CompletesAtTheEmptyLineThatEndsTheTrailerAndDropsTheRest) {
    bool done = false;
    EXPECT_EQ(Decode("3\r\nabc\r\n0\r\n\r\nGARBAGE", {}, &done), "abc");
    EXPECT_TRUE(done);
    EXPECT_EQ(Decode("3\r\nabc\r\n0\r\n", {}, &done), "abc");
    EXPECT_FALSE(done);
    // Trailer fields are read through, not taken for the end of the body.
    EXPECT_EQ(Decode("3\r\nabc\r\n0;last\r\nX-One: 1\r\nX-Two: 2\r\n", {}, &done), "abc");
    EXPECT_FALSE(done);
    EXPECT_EQ(Decode("3\r\nabc\r\n0;last\r\nX-One: 1\r\nX-Two: 2\r\n\r\n", {20, 31}, &done), "abc");
    EXPECT_TRUE(done);
    // Bare LF line ends are accepted too.
    EXPECT_EQ(Decode("3\nabc\n0\nX: y\n\n", {}, &done), "abc");
    EXPECT_TRUE(done);
}

TEST(ChunkedStream, SizesBeyond31BitsAreRefused) {
    TMemoryStream out;
    TclChunkedStream chunked(&out);
    EXPECT_NO_THROW(chunked.Write("0007fffffff\r\n", 13));
    TclChunkedStream big(&out);
    EXPECT_THROW(big.Write("80000000\r\n", 10), EclStreamError);
    TclChunkedStream longer(&out);
    EXPECT_THROW(longer.Write("100000000\r\n", 11), EclStreamError);
}

TEST(ChunkedStream, LeadingZerosAreFreeButEndlessSizeDigitsAreRefusedBeforeTheLineEnds) {
    EXPECT_EQ(Decode(std::string(5000, '0') + "3\r\nabc\r\n0\r\n\r\n", {1000, 4999}), "abc");
    TMemoryStream out;
    TclChunkedStream endless(&out);
    EXPECT_NO_THROW(endless.Write("1234", 4));
    EXPECT_NO_THROW(endless.Write("5678", 4));
    EXPECT_THROW(endless.Write("9", 1), EclStreamError);
}

TEST(ChunkedStream, IsWriteOnlyAndSeeksOnlyToItsEnd) {
    TMemoryStream out;
    TclChunkedStream chunked(&out);
    chunked.Write("2\r\nab", 5);
    char c;
    EXPECT_EQ(chunked.Read(&c, 1), 0);
    EXPECT_EQ(chunked.Seek(0, soEnd), 5);
    EXPECT_EQ(chunked.Seek(5, soBeginning), 5);
    EXPECT_EQ(chunked.GetPosition(), 5);
    try {
        chunked.Seek(0, soBeginning);
        FAIL();
    } catch (const EclStreamError& e) {
        EXPECT_EQ(e.Message(), "Invalid Stream operation");
    }
}
