#include <gtest/gtest.h>

#include "http/clIdnTranslator.h"
#include "rtl/clStrUtils.h"

using namespace cl;

namespace {
std::string Utf8(std::u32string_view ACodePoints) {
    std::u16string units;
    for (char32_t c : ACodePoints) {
        if (c >= 0x10000) {
            units.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            units.push_back(static_cast<char16_t>(c));
        }
    }
    return Utf16ToUtf8(units);
}

struct Sample {
    const char* Name;
    std::u32string_view Input;
    const char* Punycode;
};

// The sample strings of RFC 3492, section 7.1; basic characters keep their case.
const Sample kSamples[] = {
    {"Arabic",
     U"\u0644\u064A\u0647\u0645\u0627\u0628\u062A\u0643\u0644\u0645\u0648\u0634\u0639\u0631\u0628\u064A\u061F",
     "egbpdaj6bu4bxfgehfvwxn"},
    {"ChineseSimplified", U"\u4ED6\u4EEC\u4E3A\u4EC0\u4E48\u4E0D\u8BF4\u4E2D\u6587", "ihqwcrb4cv8a8dqg056pqjye"},
    {"ChineseTraditional", U"\u4ED6\u5011\u7232\u4EC0\u9EBD\u4E0D\u8AAA\u4E2D\u6587", "ihqwctvzc91f659drss3x8bo0yb"},
    {"Czech", U"Pro\u010Dprost\u011Bnemluv\u00ED\u010Desky", "Proprostnemluvesky-uyb24dma41a"},
    {"Hebrew",
     U"\u05DC\u05DE\u05D4\u05D4\u05DD\u05E4\u05E9\u05D5\u05D8\u05DC\u05D0\u05DE\u05D3\u05D1\u05E8\u05D9\u05DD\u05E2"
     U"\u05D1\u05E8\u05D9\u05EA",
     "4dbcagdahymbxekheh6e0a7fei0b"},
    {"Hindi",
     U"\u092F\u0939\u0932\u094B\u0917\u0939\u093F\u0928\u094D\u0926\u0940\u0915\u094D\u092F\u094B\u0902\u0928\u0939"
     U"\u0940\u0902\u092C\u094B\u0932\u0938\u0915\u0924\u0947\u0939\u0948\u0902",
     "i1baa7eci9glrd9b2ae1bj0hfcgg6iyaf8o0a1dig0cd"},
    {"Japanese",
     U"\u306A\u305C\u307F\u3093\u306A\u65E5\u672C\u8A9E\u3092\u8A71\u3057\u3066\u304F\u308C\u306A\u3044\u306E\u304B",
     "n8jok5ay5dzabd5bym9f0cm5685rrjetr6pdxa"},
    {"Russian",
     U"\u043F\u043E\u0447\u0435\u043C\u0443\u0436\u0435\u043E\u043D\u0438\u043D\u0435\u0433\u043E\u0432\u043E\u0440"
     U"\u044F\u0442\u043F\u043E\u0440\u0443\u0441\u0441\u043A\u0438",
     "b1abfaaepdrnnbgefbadotcwatmq2g4l"},
    {"Spanish", U"Porqu\u00E9nopuedensimplementehablarenEspa\u00F1ol", "PorqunopuedensimplementehablarenEspaol-fmd56a"},
    {"Vietnamese", U"T\u1EA1isaoh\u1ECDkh\u00F4ngth\u1EC3ch\u1EC9n\u00F3iti\u1EBFngVi\u1EC7t",
     "TisaohkhngthchnitingVit-kjcr8268qyxafd2f1b9g"},
    {"3nenBgumi", U"3\u5E74B\u7D44\u91D1\u516B\u5148\u751F", "3B-ww4c5e180e575a65lsy2b"},
    {"SuperMonkeys", U"\u5B89\u5BA4\u5948\u7F8E\u6075-with-SUPER-MONKEYS", "-with-SUPER-MONKEYS-pc58ag80a8qai00g7n9n"},
    {"HelloAnotherWay", U"Hello-Another-Way-\u305D\u308C\u305E\u308C\u306E\u5834\u6240",
     "Hello-Another-Way--fc4qua05auwb3674vfr0b"},
    {"HitotsuYane", U"\u3072\u3068\u3064\u5C4B\u6839\u306E\u4E0B2", "2-u9tlzr9756bt3uc0v"},
    {"MajiKoi", U"Maji\u3067Koi\u3059\u308B5\u79D2\u524D", "MajiKoi5-783gue6qz075azm5e"},
    {"Pafii", U"\u30D1\u30D5\u30A3\u30FCde\u30EB\u30F3\u30D0", "de-jg4avhby1noc0d"},
    {"Sono", U"\u305D\u306E\u30B9\u30D4\u30FC\u30C9\u3067", "d9juau41awczczp"},
    {"AllBasic", U"-> $1.00 <-", "-> $1.00 <--"},
};
}  // namespace

TEST(IdnPunycode, EncodesTheRfcSampleStrings) {
    for (const auto& s : kSamples) {
        EXPECT_EQ(TclIdnTranslator::Encode(s.Input), s.Punycode) << s.Name;
        // The same label given as UTF-8 text.
        const std::string label = Utf8(s.Input);
        if (!TclIdnTranslator::IsBasic(label)) {
            EXPECT_EQ(TclIdnTranslator::GetAsciiText(label), std::string("xn--") + s.Punycode) << s.Name;
        }
    }
}

TEST(IdnPunycode, ACharacterOutsideTheBmpIsOneCodePoint) {
    EXPECT_EQ(TclIdnTranslator::GetAsciiText("\xf0\x9f\x98\x80"), "xn--e28h");
}

TEST(IdnPunycode, DeltaBeyond32BitsRaisesTheOverflowError) {
    // 3000 basic characters before U+10FFFF still fit; 4000 do not.
    std::u32string fits(3000, U'a');
    fits.push_back(U'\U0010FFFF');
    EXPECT_EQ(TclIdnTranslator::Encode(fits), std::string(3000, 'a') + "-7p74104y");

    std::u32string tooWide(4000, U'a');
    tooWide.push_back(U'\U0010FFFF');
    try {
        TclIdnTranslator::Encode(tooWide);
        FAIL() << "no error";
    } catch (const EclIdnError& e) {
        EXPECT_EQ(e.Message(), "Input value needs wider integers to translate");
        EXPECT_EQ(e.ErrorCode(), idnOverflow);
    }
    EXPECT_THROW(TclIdnTranslator::GetAscii("x." + Utf8(tooWide)), EclIdnError);
}

TEST(IdnPunycode, MessageTableHoldsBothTexts) {
    EXPECT_STREQ(IdnErrorText(idnBadInput), "Bad input value for the IDN translator");
    EXPECT_STREQ(IdnErrorText(idnOverflow), "Input value needs wider integers to translate");
}

TEST(IdnHostNames, OnlyNonAsciiLabelsAreEncodedAndCaseIsKept) {
    EXPECT_EQ(TclIdnTranslator::GetAscii("www.b\xc3\xbc"
                                         "cher.example"),
              "www.xn--bcher-kva.example");
    EXPECT_EQ(TclIdnTranslator::GetAscii("B\xc3\xbc"
                                         "cher"),
              "xn--Bcher-kva");
    EXPECT_EQ(TclIdnTranslator::GetAscii("www.Example.COM"), "www.Example.COM");
    // Empty labels survive the split and join.
    EXPECT_EQ(TclIdnTranslator::GetAscii("\xc3\xbc..a."), "xn--tda..a.");
    EXPECT_EQ(TclIdnTranslator::GetAscii(""), "");
}

TEST(IdnHostNames, IsBasicMeansEveryCharacterBelow128) {
    EXPECT_TRUE(TclIdnTranslator::IsBasic(""));
    EXPECT_TRUE(TclIdnTranslator::IsBasic(std::string("a\x7f", 2)));
    EXPECT_FALSE(TclIdnTranslator::IsBasic("a\xc3\xa9"));
}
