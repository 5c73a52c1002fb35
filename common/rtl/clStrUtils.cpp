#include "rtl/clStrUtils.h"

#include <charconv>

namespace cl {

namespace {
char LowerChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
char UpperChar(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

template <typename T>
T ParseIntDef(std::string_view AText, T ADefault) {
    if (!AText.empty() && AText.front() == '+') AText.remove_prefix(1);
    if (AText.empty()) return ADefault;
    T value{};
    const auto [end, ec] = std::from_chars(AText.data(), AText.data() + AText.size(), value);
    if (ec != std::errc() || end != AText.data() + AText.size()) return ADefault;
    return value;
}
}  // namespace

std::string LowerCase(std::string_view AText) {
    std::string r(AText);
    for (char& c : r) c = LowerChar(c);
    return r;
}

std::string UpperCase(std::string_view AText) {
    std::string r(AText);
    for (char& c : r) c = UpperChar(c);
    return r;
}

int CompareText(std::string_view A, std::string_view B) {
    const size_t n = A.size() < B.size() ? A.size() : B.size();
    for (size_t i = 0; i < n; ++i) {
        const auto a = static_cast<unsigned char>(LowerChar(A[i]));
        const auto b = static_cast<unsigned char>(LowerChar(B[i]));
        if (a != b) return a < b ? -1 : 1;
    }
    if (A.size() == B.size()) return 0;
    return A.size() < B.size() ? -1 : 1;
}

bool SameText(std::string_view A, std::string_view B) { return A.size() == B.size() && CompareText(A, B) == 0; }

std::string TrimLeft(std::string_view AText) {
    size_t i = 0;
    while (i < AText.size() && IsBlank(AText[i])) ++i;
    return std::string(AText.substr(i));
}

std::string TrimRight(std::string_view AText) {
    size_t n = AText.size();
    while (n > 0 && IsBlank(AText[n - 1])) --n;
    return std::string(AText.substr(0, n));
}

std::string Trim(std::string_view AText) { return TrimLeft(TrimRight(AText)); }

bool StartsText(std::string_view APrefix, std::string_view AText) {
    return AText.size() >= APrefix.size() && SameText(AText.substr(0, APrefix.size()), APrefix);
}

bool EndsText(std::string_view ASuffix, std::string_view AText) {
    return AText.size() >= ASuffix.size() && SameText(AText.substr(AText.size() - ASuffix.size()), ASuffix);
}

size_t FindText(std::string_view ASub, std::string_view AText, size_t AStart) {
    if (ASub.size() > AText.size()) return std::string_view::npos;
    for (size_t i = AStart; i + ASub.size() <= AText.size(); ++i) {
        if (SameText(AText.substr(i, ASub.size()), ASub)) return i;
    }
    return std::string_view::npos;
}

int StrToIntDef(std::string_view AText, int ADefault) { return ParseIntDef<int>(AText, ADefault); }

int64_t StrToInt64Def(std::string_view AText, int64_t ADefault) { return ParseIntDef<int64_t>(AText, ADefault); }

std::string LowerHex(const uint8_t* AData, size_t ACount) {
    static const char kDigits[] = "0123456789abcdef";
    std::string result;
    result.reserve(ACount * 2);
    for (size_t i = 0; i < ACount; ++i) {
        result += kDigits[AData[i] >> 4];
        result += kDigits[AData[i] & 0xF];
    }
    return result;
}

bool IsHexDigit(uint8_t AChar) {
    return (AChar >= '0' && AChar <= '9') || (AChar >= 'a' && AChar <= 'f') || (AChar >= 'A' && AChar <= 'F');
}

std::string IntToHex(uint64_t AValue, int ADigits) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string r;
    do {
        r.insert(r.begin(), kDigits[AValue & 0xF]);
        AValue >>= 4;
    } while (AValue != 0);
    while (static_cast<int>(r.size()) < ADigits) r.insert(r.begin(), '0');
    return r;
}

std::string StringReplaceAll(std::string_view AText, std::string_view AFrom, std::string_view ATo) {
    if (AFrom.empty()) return std::string(AText);
    std::string r;
    size_t start = 0;
    for (;;) {
        const size_t i = AText.find(AFrom, start);
        if (i == std::string_view::npos) break;
        r.append(AText.substr(start, i - start));
        r.append(ATo);
        start = i + AFrom.size();
    }
    r.append(AText.substr(start));
    return r;
}

}  // namespace cl

namespace cl {

void AppendUtf8(std::string& AOut, uint32_t ACode) {
    if (ACode < 0x80) {
        AOut += static_cast<char>(ACode);
    } else if (ACode < 0x800) {
        AOut += static_cast<char>(0xC0 | (ACode >> 6));
        AOut += static_cast<char>(0x80 | (ACode & 0x3F));
    } else if (ACode < 0x10000) {
        AOut += static_cast<char>(0xE0 | (ACode >> 12));
        AOut += static_cast<char>(0x80 | ((ACode >> 6) & 0x3F));
        AOut += static_cast<char>(0x80 | (ACode & 0x3F));
    } else {
        AOut += static_cast<char>(0xF0 | (ACode >> 18));
        AOut += static_cast<char>(0x80 | ((ACode >> 12) & 0x3F));
        AOut += static_cast<char>(0x80 | ((ACode >> 6) & 0x3F));
        AOut += static_cast<char>(0x80 | (ACode & 0x3F));
    }
}

std::u16string Utf8ToUtf16(std::string_view AText) {
    std::u16string out;
    out.reserve(AText.size());
    const auto* p = reinterpret_cast<const unsigned char*>(AText.data());
    const size_t n = AText.size();
    size_t i = 0;
    auto cont = [&](size_t k) { return i + k < n && (p[i + k] & 0xC0) == 0x80; };
    while (i < n) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            out += static_cast<char16_t>(c);
            ++i;
        } else if (c >= 0xC2 && c <= 0xDF && cont(1)) {
            out += static_cast<char16_t>(((c & 0x1F) << 6) | (p[i + 1] & 0x3F));
            i += 2;
        } else if (c >= 0xE0 && c <= 0xEF && cont(1) && cont(2) && !(c == 0xE0 && p[i + 1] < 0xA0)) {
            out += static_cast<char16_t>(((c & 0x0F) << 12) | ((p[i + 1] & 0x3F) << 6) | (p[i + 2] & 0x3F));
            i += 3;
        } else if (c >= 0xF0 && c <= 0xF4 && cont(1) && cont(2) && cont(3) && !(c == 0xF0 && p[i + 1] < 0x90) &&
                   !(c == 0xF4 && p[i + 1] > 0x8F)) {
            const uint32_t cp =
                ((c & 0x07u) << 18) | ((p[i + 1] & 0x3Fu) << 12) | ((p[i + 2] & 0x3Fu) << 6) | (p[i + 3] & 0x3Fu);
            out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
            i += 4;
        } else {
            out += u'\uFFFD';
            ++i;
        }
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view AText) {
    std::string out;
    out.reserve(AText.size());
    for (size_t i = 0; i < AText.size(); ++i) {
        const uint32_t u = AText[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < AText.size() && AText[i + 1] >= 0xDC00 && AText[i + 1] <= 0xDFFF) {
            AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (AText[i + 1] - 0xDC00u));
            ++i;
        } else {
            AppendUtf8(out, u);
        }
    }
    return out;
}

}  // namespace cl
