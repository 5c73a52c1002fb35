#include <gtest/gtest.h>

#include "rtl/clTranslator.h"
#include "rtl/clStrUtils.h"

using namespace cl;

namespace {
std::vector<uint8_t> B(std::initializer_list<int> AValues) {
    std::vector<uint8_t> r;
    for (int v : AValues) r.push_back(static_cast<uint8_t>(v));
    return r;
}
std::vector<uint8_t> B(const std::string& AText) { return {AText.begin(), AText.end()}; }
}  // namespace

TEST(TranslatorEncode, AsciiReplacesWhatItCannotHoldWithAQuestionMark) {
    EXPECT_EQ(TclTranslator::GetBytes("abc", "us-ascii"), B({0x61, 0x62, 0x63}));
    EXPECT_EQ(TclTranslator::GetBytes("a\xc3\xa9z", "us-ascii"), B("a?z"));
    // A character outside the BMP is one character, one mark.
    EXPECT_EQ(TclTranslator::GetBytes("\xf0\x9f\x98\x80", "us-ascii"), B("?"));
    EXPECT_EQ(TclTranslator::GetBytes("\xf0\x9f\x98\x80", ""), B("?"));
}

TEST(TranslatorEncode, NamedCharSetsRoundTripThroughIconv) {
    const std::string russian = "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82";  // Privet
    for (const char* cs : {"windows-1251", "koi8-r", "iso-8859-5", "utf-16", " UTF-8 "}) {
        const auto bytes = TclTranslator::GetBytes(russian, cs);
        EXPECT_EQ(TclTranslator::GetString(bytes, cs), russian) << cs;
    }
    EXPECT_EQ(TclTranslator::GetBytes(russian, "windows-1251")[0], 0xCF);
    EXPECT_EQ(TclTranslator::GetBytes("\xe4\xb8\xad", "gb2312"), B({0xD6, 0xD0}));
    EXPECT_EQ(TclTranslator::GetString(B({0xD6, 0xD0}), "gbk"), "\xe4\xb8\xad");
    EXPECT_EQ(TclTranslator::GetBytes("A", "utf-16"), B({0x41, 0x00}));
}

TEST(TranslatorEncode, EmptyAndUnknownNamesMeanTheAnsiCodePage) {
    const std::string text = "\xe2\x82\xac\xc3\xa9";  // euro sign, e acute
    EXPECT_EQ(TclTranslator::GetBytes(text, ""), B({0x80, 0xE9}));
    EXPECT_EQ(TclTranslator::GetBytes(text, "no-such-charset"), B({0x80, 0xE9}));
    EXPECT_EQ(TclTranslator::GetBytes(text, kAnsiCharSet), B({0x80, 0xE9}));
    EXPECT_EQ(TclTranslator::GetString(B({0x80, 0x81, 0xE9}), "bogus"), "\xe2\x82\xac\xc2\x81\xc3\xa9");
    EXPECT_EQ(TclTranslator::GetByteCount(text, "utf-8"), 5);
    EXPECT_EQ(TclTranslator::GetByteCount(text), 2);
}

TEST(TranslatorEncode, BufferFormCopiesAtMostTheCapacity) {
    uint8_t buf[4] = {0, 0, 0, 0};
    EXPECT_EQ(TclTranslator::GetBytes("abcdef", buf, 3, "us-ascii"), 3);
    EXPECT_EQ(buf[2], 'c');
    EXPECT_EQ(buf[3], 0);
    EXPECT_EQ(TclTranslator::GetBytes("ab", buf, 4, "us-ascii"), 2);
}

TEST(TranslatorEncode, ALoneSurrogateTakesTheFallbackPaths) {
    const std::string lone = "a\xed\xa0\x80z";  // a, U+D800 alone, z
    // utf-8: through the ANSI code page (the surrogate becomes "?"), then the fallback encoder.
    EXPECT_EQ(TclTranslator::GetBytes(lone, "utf-8"), B("a?z"));
    // other names: through the table translation of the ANSI bytes.
    EXPECT_EQ(TclTranslator::GetBytes(lone, "koi8-r"), B("a?z"));
}

TEST(TranslatorDecode, OneTrailingZeroIsDropped) {
    EXPECT_EQ(TclTranslator::GetString(B({0x61, 0x62, 0x00})), "ab");
    EXPECT_EQ(TclTranslator::GetString(B({0x61, 0x00, 0x62})), std::string("a\0b", 3));
    EXPECT_EQ(TclTranslator::GetString(B({0x61, 0x00, 0x00})), std::string("a\0", 2));
    EXPECT_EQ(TclTranslator::GetString(B({0x00})), "");
    EXPECT_EQ(TclTranslator::GetString(B({0x61}), 0, 0), "");
    EXPECT_EQ(TclTranslator::GetString(B("hello"), 1, 3), "ell");
    EXPECT_EQ(TclTranslator::GetString(B("hello"), 3, 100), "lo");
}

TEST(TranslatorDecode, MalformedUtf8GivesTheAsciiReadingNotEmptyText) {
    EXPECT_EQ(TclTranslator::GetString(B({0x61, 0xC3, 0x28, 0x62}), "utf-8"), "a?(b");
    EXPECT_EQ(TclTranslator::GetString(B({0x61, 0xE4, 0xB8}), "utf-8"), "a??");  // cut off
    EXPECT_EQ(TclTranslator::GetString(B({0xC3, 0xA9}), "utf-8"), "\xc3\xa9");
    // iconv decoders refusing their input take the same road.
    EXPECT_EQ(TclTranslator::GetString(B({0x41, 0xFF, 0xFF}), "shift_jis"), "A??");
}

TEST(FallbackTable, MapsBetweenTheCharSetAndTheWindowsCodePageOfItsScript) {
    EXPECT_EQ(TclTranslator::TranslateTo("koi8-r", "\xc3\x80"), "\xE1");  // byte 0xC0 of Windows-1251 in ANSI text
    EXPECT_EQ(TclTranslator::TranslateTo("IBM866", std::string("\xc3\x80")), "\x80");
    EXPECT_EQ(TclTranslator::TranslateFrom("KOI8-R", "\xc3\xa1"), "\xC0");
    // Identities and unknown names copy the bytes.
    EXPECT_EQ(TclTranslator::TranslateTo("Latin1", "\xc3\x80"), "\xC0");
    EXPECT_EQ(TclTranslator::TranslateTo("nothing", "\xc3\x80"), "\xC0");
}

TEST(FallbackTable, EveryMapIsAPermutationSoRoundTripsLoseNothing) {
    std::string all(256, '\0');
    for (int i = 0; i < 256; ++i) all[static_cast<size_t>(i)] = static_cast<char>(i);
    for (const char* cs : {"ISO-8859-1", "ISO-8859-2", "Windows-1250", "ibm866", "ISO-8859-5", "koi8-r", "koi8-u",
                           "KOI8-WIN", "WIN-KOI8", "Windows-1251", "x-mac-cyrillic", "Latin1"}) {
        TMemoryStream src, mid, back;
        src.WriteBuffer(all);
        TclTranslator::TranslateTo(cs, src, mid);
        TclTranslator::TranslateFrom(cs, mid, back);
        EXPECT_EQ(std::string(back.Bytes().begin(), back.Bytes().end()), all) << cs;
        EXPECT_EQ(std::string(mid.Bytes().begin(), mid.Bytes().begin() + 128), all.substr(0, 128)) << cs;
    }
}

TEST(FallbackTable, StreamFormsWorkFromTheStartAndPutBothPositionsBack) {
    TMemoryStream src, dst;
    src.WriteBuffer(std::string("\xC0\xC1"));
    dst.WriteBuffer(std::string("zzzz"));
    src.SetPosition(1);
    dst.SetPosition(3);
    TclTranslator::TranslateTo("koi8-r", src, dst);
    EXPECT_EQ(src.GetPosition(), 1);
    EXPECT_EQ(dst.GetPosition(), 3);
    EXPECT_EQ(std::string(dst.Bytes().begin(), dst.Bytes().end()), "\xE1\xE2zz");
}

TEST(FallbackUtf8, EncodesEachUtf16UnitOnItsOwn) {
    EXPECT_EQ(TclTranslator::GetUtf8Bytes("a\xc3\xa9\xe4\xb8\xad"), B("a\xc3\xa9\xe4\xb8\xad"));
    // A surrogate pair becomes two three-byte sequences.
    EXPECT_EQ(TclTranslator::GetUtf8Bytes("\xf0\x9f\x98\x80"), B("\xed\xa0\xbd\xed\xb8\x80"));
    EXPECT_EQ(TclTranslator::GetUtf8ByteCount("\xf0\x9f\x98\x80"), 6);
    EXPECT_EQ(TclTranslator::TranslateToUtf8("\xc3\xa9"), "\xc3\xa9");
}

TEST(FallbackUtf8, DecodesWithTheEuroSignForBrokenSequences) {
    EXPECT_EQ(TclTranslator::GetStringFromUtf8(B("a\xc3\xa9\xe4\xb8\xad")), "a\xc3\xa9\xe4\xb8\xad");
    EXPECT_EQ(TclTranslator::GetStringFromUtf8(B({0xC3, 0x41})), "\xe2\x82\xac");
    EXPECT_EQ(TclTranslator::GetStringFromUtf8(B({0xC3, 0x20, 0x62})), " b");
    // A three-byte sequence cut off by the end empties the whole result.
    EXPECT_EQ(TclTranslator::GetStringFromUtf8(B({0x61, 0xE4, 0xB8})), "");
    // Two encoded surrogates decode back to the pair they came from.
    EXPECT_EQ(TclTranslator::TranslateFromUtf8("\xed\xa0\xbd\xed\xb8\x80"), "\xf0\x9f\x98\x80");
}

TEST(IsUtf8, FollowsTheWellFormednessTable) {
    auto is = [](std::initializer_list<int> v) {
        const auto b = B(v);
        return TclTranslator::IsUtf8(b, 0, static_cast<int>(b.size()));
    };
    EXPECT_FALSE(is({}));
    EXPECT_FALSE(is({0x61, 0x62}));  // all ASCII
    EXPECT_TRUE(is({0x61, 0xC3, 0xA9}));
    EXPECT_FALSE(is({0xC0, 0x80}));  // overlong
    EXPECT_FALSE(is({0xC1, 0xBF}));
    EXPECT_FALSE(is({0xE0, 0x80, 0x80}));
    EXPECT_TRUE(is({0xE0, 0xA0, 0x80}));
    EXPECT_TRUE(is({0xED, 0xA0, 0x80}));  // 0xED without the narrower range
    EXPECT_FALSE(is({0xF0, 0x8F, 0xBF, 0xBF}));
    EXPECT_TRUE(is({0xF0, 0x90, 0x80, 0x80}));
    EXPECT_TRUE(is({0xF4, 0x8F, 0xBF, 0xBF}));
    EXPECT_FALSE(is({0xF4, 0x90, 0x80, 0x80}));
    EXPECT_FALSE(is({0xF5, 0x80, 0x80, 0x80}));
    EXPECT_FALSE(is({0xC3}));              // cut off
    EXPECT_FALSE(is({0xC3, 0xA9, 0x80}));  // stray continuation
}

TEST(IsUtf8, StreamFormReadsFromThePositionAndPutsItBack) {
    TMemoryStream m;
    m.WriteBuffer(
        std::string("\xff"
                    "abc\xc3\xa9"));
    m.SetPosition(1);
    EXPECT_TRUE(TclTranslator::IsUtf8(m));
    EXPECT_EQ(m.GetPosition(), 1);
    m.SetPosition(0);
    EXPECT_FALSE(TclTranslator::IsUtf8(m));
}

TEST(Utf16Conversion, LoneSurrogatesRoundTripThroughText) {
    const std::u16string units = {u'a', 0xD800, u'b', 0xD83D, 0xDE00, 0xDC00};
    EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(units)), units);
    EXPECT_EQ(Utf8ToUtf16("\xff"), std::u16string(1, u'\uFFFD'));
}

TEST(Translator, OffersNoCharSetNames) {
    TStringList l{"x"};
    TclTranslator::GetSupportedCharSets(l);
    EXPECT_EQ(l.Count(), 0);
}
