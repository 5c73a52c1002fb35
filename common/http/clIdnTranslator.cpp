// Punycode encoder of RFC 3492 and the label-by-label host translation.
#include "http/clIdnTranslator.h"

#include <cstdint>
#include <limits>

#include "rtl/clCodeTexts.h"
#include "rtl/clStrUtils.h"

namespace cl {

namespace {

constexpr uint32_t kBase = 36;
constexpr uint32_t kTMin = 1;
constexpr uint32_t kTMax = 26;
constexpr uint32_t kSkew = 38;
constexpr uint32_t kDamp = 700;
constexpr uint32_t kInitialBias = 72;
constexpr uint32_t kInitialN = 128;
constexpr char kDelimiter = '-';
constexpr uint32_t kMaxInt = std::numeric_limits<uint32_t>::max();

constexpr TclCodeText kIdnMessages[] = {
    {idnBadInput, "Bad input value for the IDN translator"},
    {idnOverflow, "Input value needs wider integers to translate"},
};

[[noreturn]] void RaiseIdnError(TclIdnErrorCode ACode) { throw EclIdnError(IdnErrorText(ACode), ACode); }

// 0..25 are "a".."z", 26..35 are "0".."9".
char EncodeDigit(uint32_t ADigit) {
    if (ADigit > 35) RaiseIdnError(idnBadInput);
    return static_cast<char>(ADigit < 26 ? 'a' + ADigit : '0' + (ADigit - 26));
}

uint32_t Adapt(uint32_t ADelta, uint32_t ANumPoints, bool AFirstTime) {
    ADelta = AFirstTime ? ADelta / kDamp : ADelta / 2;
    ADelta += ADelta / ANumPoints;
    uint32_t k = 0;
    while (ADelta > ((kBase - kTMin) * kTMax) / 2) {
        ADelta /= kBase - kTMin;
        k += kBase;
    }
    return k + (kBase - kTMin + 1) * ADelta / (ADelta + kSkew);
}

// Code points of UTF-8 text; a surrogate pair is one code point, a lone
// surrogate stays its own value.
std::u32string CodePointsOf(const std::string& AText) {
    const std::u16string units = Utf8ToUtf16(AText);
    std::u32string r;
    r.reserve(units.size());
    for (size_t i = 0; i < units.size(); ++i) {
        const char32_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            r.push_back(0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else {
            r.push_back(u);
        }
    }
    return r;
}

}  // namespace

const char* IdnErrorText(TclIdnErrorCode ACode) {
    const char* text = FindCodeText(kIdnMessages, ACode);
    return text != nullptr ? text : "";
}

std::string TclIdnTranslator::Encode(std::u32string_view ACodePoints) {
    std::string output;
    for (char32_t c : ACodePoints) {
        if (c < 0x80) output.push_back(static_cast<char>(c));
    }
    const uint32_t basicCount = static_cast<uint32_t>(output.size());
    if (basicCount > 0) output.push_back(kDelimiter);

    uint32_t n = kInitialN;
    uint32_t delta = 0;
    uint32_t bias = kInitialBias;
    uint32_t handled = basicCount;
    const uint64_t total = ACodePoints.size();
    while (handled < total) {
        // The smallest code point not yet handled.
        uint32_t m = kMaxInt;
        for (char32_t c : ACodePoints) {
            if (c >= n && c < m) m = c;
        }
        if (m - n > (kMaxInt - delta) / (handled + 1)) RaiseIdnError(idnOverflow);
        delta += (m - n) * (handled + 1);
        n = m;
        for (char32_t c : ACodePoints) {
            if (c < n) {
                if (delta == kMaxInt) RaiseIdnError(idnOverflow);
                ++delta;
            }
            if (c == n) {
                uint32_t q = delta;
                for (uint32_t k = kBase;; k += kBase) {
                    const uint32_t t = k <= bias ? kTMin : (k >= bias + kTMax ? kTMax : k - bias);
                    if (q < t) break;
                    output.push_back(EncodeDigit(t + (q - t) % (kBase - t)));
                    q = (q - t) / (kBase - t);
                }
                output.push_back(EncodeDigit(q));
                bias = Adapt(delta, handled + 1, handled == basicCount);
                delta = 0;
                ++handled;
            }
        }
        if (delta == kMaxInt) RaiseIdnError(idnOverflow);
        ++delta;
        ++n;
    }
    return output;
}

bool TclIdnTranslator::IsBasic(std::string_view AInput) {
    for (char c : AInput) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

std::string TclIdnTranslator::GetAsciiText(const std::string& AInput) {
    if (IsBasic(AInput)) return AInput;
    return "xn--" + Encode(CodePointsOf(AInput));
}

std::string TclIdnTranslator::GetAscii(const std::string& AInput) {
    if (IsBasic(AInput)) return AInput;
    std::string r;
    size_t start = 0;
    for (;;) {
        const size_t dot = AInput.find('.', start);
        r += GetAsciiText(AInput.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos) break;
        r.push_back('.');
        start = dot + 1;
    }
    return r;
}

}  // namespace cl
