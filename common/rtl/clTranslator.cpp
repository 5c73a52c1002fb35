#include "rtl/clTranslator.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>

#include "rtl/clStrUtils.h"

namespace cl {

namespace {

// --- The fallback table ---

struct TclCharSetMap {
    const char* Name;
    std::array<uint8_t, 256> From;  // charset byte -> Windows code page byte
    std::array<uint8_t, 256> To;    // Windows code page byte -> charset byte
};

const TclCharSetMap kCharSetMaps[12] = {
#include "rtl/clTranslatorTables.inc"
};

const TclCharSetMap* FindCharSetMap(const std::string& ACharSet) {
    for (const auto& m : kCharSetMaps) {
        if (SameText(m.Name, ACharSet)) return &m;
    }
    return nullptr;
}

// --- Windows-1252, the system's 8-bit code page, done by hand: it is the
// default of every text operation and must map all 256 bytes as Windows does
// (the five unassigned bytes stand for the C1 controls of the same value). ---

constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char16_t Cp1252ToUnit(uint8_t AByte) {
    return (AByte >= 0x80 && AByte < 0xA0) ? kCp1252High[AByte - 0x80] : static_cast<char16_t>(AByte);
}

// -1 when the unit has no byte in the code page.
int UnitToCp1252(char16_t AUnit) {
    if (AUnit < 0x80 || (AUnit >= 0xA0 && AUnit <= 0xFF)) return AUnit;
    for (int i = 0; i < 32; ++i) {
        if (kCp1252High[i] == AUnit) return 0x80 + i;
    }
    return -1;
}

std::vector<uint8_t> EncodeAnsi(const std::u16string& AUnits) {
    std::vector<uint8_t> out;
    out.reserve(AUnits.size());
    for (size_t i = 0; i < AUnits.size(); ++i) {
        const char16_t u = AUnits[i];
        // A surrogate pair is one character: one replacement mark.
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < AUnits.size() && AUnits[i + 1] >= 0xDC00 && AUnits[i + 1] <= 0xDFFF) {
            ++i;
        }
        const int b = UnitToCp1252(u);
        out.push_back(b < 0 ? '?' : static_cast<uint8_t>(b));
    }
    return out;
}

std::u16string DecodeAnsi(const uint8_t* ABytes, size_t ACount) {
    std::u16string out(ACount, u'\0');
    for (size_t i = 0; i < ACount; ++i) out[i] = Cp1252ToUnit(ABytes[i]);
    return out;
}

// --- Choosing the encoding ---

enum class TclEncodingKind { Ansi, Utf8, Iconv };

struct TclEncoding {
    TclEncodingKind Kind = TclEncodingKind::Ansi;
    std::string IconvName;
};

// MIME names that iconv spells differently, or whose Windows meaning differs
// from iconv's reading of the same name.
const char* IconvAlias(const std::string& ALower) {
    static const std::pair<const char*, const char*> kAliases[] = {
        {"utf-16", "UTF-16LE"},      {"unicode", "UTF-16LE"},
        {"unicodefffe", "UTF-16BE"}, {"x-mac-cyrillic", "MAC-CYRILLIC"},
        {"ks_c_5601-1987", "CP949"}, {"x-sjis", "SHIFT_JIS"},
        {"x-euc-jp", "EUC-JP"},      {"x-gbk", "GBK"},
    };
    for (const auto& [mime, iconvName] : kAliases) {
        if (ALower == mime) return iconvName;
    }
    return nullptr;
}

struct IconvCloser {
    void operator()(void* h) const { iconv_close(static_cast<iconv_t>(h)); }
};
using TclIconvHandle = std::unique_ptr<void, IconvCloser>;

TclIconvHandle OpenIconv(const std::string& ATo, const std::string& AFrom) {
    iconv_t h = iconv_open(ATo.c_str(), AFrom.c_str());
    if (h == reinterpret_cast<iconv_t>(-1)) return nullptr;
    return TclIconvHandle(h);
}

TclEncoding ChooseEncoding(const std::string& ACharSet) {
    const std::string name = LowerCase(Trim(ACharSet));
    if (name.empty() || name == "windows-1252" || name == "cp1252") return {};
    if (name == "utf-8" || name == "utf8") return {TclEncodingKind::Utf8, {}};
    const char* alias = IconvAlias(name);
    std::string iconvName = alias ? alias : UpperCase(name);
    if (!OpenIconv(iconvName, "UTF-8")) return {};  // an unrecognised name: the ANSI code page
    return {TclEncodingKind::Iconv, iconvName};
}

// Raised by our encoders the way the platform encoding raises its encoding
// error: only for text that is no sequence of characters (a lone surrogate).
struct EEncodingError {};

// Length of the well-formed sequence at ABytes[i], 0 when there is none.
// AStrict also refuses the encoded surrogates (0xED 0xA0..0xBF).
int SequenceLength(const uint8_t* ABytes, int ACount, int i, bool AStrict) {
    auto in = [&](int k, uint8_t lo, uint8_t hi) {
        return i + k < ACount && ABytes[i + k] >= lo && ABytes[i + k] <= hi;
    };
    const uint8_t b = ABytes[i];
    if (b < 0x80) return 1;
    if (b >= 0xC2 && b <= 0xDF) return in(1, 0x80, 0xBF) ? 2 : 0;
    if (b == 0xE0) return in(1, 0xA0, 0xBF) && in(2, 0x80, 0xBF) ? 3 : 0;
    if (b == 0xED && AStrict) return in(1, 0x80, 0x9F) && in(2, 0x80, 0xBF) ? 3 : 0;
    if (b >= 0xE1 && b <= 0xEF) return in(1, 0x80, 0xBF) && in(2, 0x80, 0xBF) ? 3 : 0;
    if (b == 0xF0) return in(1, 0x90, 0xBF) && in(2, 0x80, 0xBF) && in(3, 0x80, 0xBF) ? 4 : 0;
    if (b >= 0xF1 && b <= 0xF3) return in(1, 0x80, 0xBF) && in(2, 0x80, 0xBF) && in(3, 0x80, 0xBF) ? 4 : 0;
    if (b == 0xF4) return in(1, 0x80, 0x8F) && in(2, 0x80, 0xBF) && in(3, 0x80, 0xBF) ? 4 : 0;
    return 0;
}

bool AllSequencesWellFormed(const uint8_t* ABytes, int ACount, int AStart, bool AStrict) {
    for (int i = AStart; i < ACount;) {
        const int len = SequenceLength(ABytes, ACount, i, AStrict);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

// Text is a sequence of characters unless it carries a lone surrogate or
// bytes that form no character.
bool IsWellFormedText(const std::string& AText) {
    return AllSequencesWellFormed(reinterpret_cast<const uint8_t*>(AText.data()), static_cast<int>(AText.size()), 0,
                                  true);
}

// Runs iconv over the whole input; unconvertible characters of well-formed
// input become AReplacement. Returns false when the input is malformed.
bool RunIconv(iconv_t AHandle, const char* AIn, size_t ACount, const std::string& AReplacement, std::string& AOut) {
    AOut.clear();
    char* in = const_cast<char*>(AIn);
    size_t inLeft = ACount;
    std::string buf(std::max<size_t>(64, ACount * 4 + 16), '\0');
    while (inLeft > 0) {
        char* out = buf.data();
        size_t outLeft = buf.size();
        const size_t r = iconv(AHandle, &in, &inLeft, &out, &outLeft);
        AOut.append(buf.data(), buf.size() - outLeft);
        if (r != static_cast<size_t>(-1)) continue;
        if (errno == E2BIG) continue;
        if (errno == EILSEQ && !AReplacement.empty()) {
            AOut += AReplacement;
            // Skip the one UTF-8 character the charset cannot hold.
            const auto lead = static_cast<uint8_t>(*in);
            const size_t skip = std::min<size_t>(lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1, inLeft);
            in += skip;
            inLeft -= skip;
            continue;
        }
        return false;  // malformed or cut-off input
    }
    char* out = buf.data();
    size_t outLeft = buf.size();
    iconv(AHandle, nullptr, nullptr, &out, &outLeft);  // flush shift state
    AOut.append(buf.data(), buf.size() - outLeft);
    return true;
}

std::vector<uint8_t> EncodeText(const std::string& AText, const TclEncoding& AEncoding) {
    if (!IsWellFormedText(AText)) throw EEncodingError{};
    switch (AEncoding.Kind) {
        case TclEncodingKind::Ansi:
            return EncodeAnsi(Utf8ToUtf16(AText));
        case TclEncodingKind::Utf8:
            return {AText.begin(), AText.end()};
        case TclEncodingKind::Iconv:
            break;
    }
    TclIconvHandle h = OpenIconv(AEncoding.IconvName, "UTF-8");
    std::string mark;
    if (h) RunIconv(static_cast<iconv_t>(h.get()), "?", 1, std::string(), mark);
    std::string out;
    if (!h || !RunIconv(static_cast<iconv_t>(h.get()), AText.data(), AText.size(), mark, out)) {
        return EncodeAnsi(Utf8ToUtf16(AText));
    }
    return {out.begin(), out.end()};
}

// Empty text when the decoder refuses the input.
std::string DecodeBytes(const uint8_t* ABytes, size_t ACount, const TclEncoding& AEncoding) {
    switch (AEncoding.Kind) {
        case TclEncodingKind::Ansi:
            return Utf16ToUtf8(DecodeAnsi(ABytes, ACount));
        case TclEncodingKind::Utf8:
            if (!TclTranslator::IsUtf8(ABytes, static_cast<int>(ACount)) &&
                std::any_of(ABytes, ABytes + ACount, [](uint8_t b) { return b >= 0x80; })) {
                return std::string();
            }
            return std::string(reinterpret_cast<const char*>(ABytes), ACount);
        case TclEncodingKind::Iconv:
            break;
    }
    TclIconvHandle h = OpenIconv("UTF-8", AEncoding.IconvName);
    std::string out;
    if (!h ||
        !RunIconv(static_cast<iconv_t>(h.get()), reinterpret_cast<const char*>(ABytes), ACount, std::string(), out)) {
        return std::string();
    }
    return out;
}

std::string DecodeAscii(const uint8_t* ABytes, size_t ACount) {
    std::string out(ACount, '?');
    for (size_t i = 0; i < ACount; ++i) {
        if (ABytes[i] < 0x80) out[i] = static_cast<char>(ABytes[i]);
    }
    return out;
}

std::string AnsiRoundTrip(const std::string& AText) {
    const std::vector<uint8_t> ansi = EncodeAnsi(Utf8ToUtf16(AText));
    return Utf16ToUtf8(DecodeAnsi(ansi.data(), ansi.size()));
}

std::string TranslateBytes(const std::string& ABytes, const std::array<uint8_t, 256>& AMap) {
    std::string out(ABytes);
    for (char& c : out) c = static_cast<char>(AMap[static_cast<uint8_t>(c)]);
    return out;
}

void TranslateStream(TStream& ASource, TStream& ADestination, const TclCharSetMap* AMap, bool ATo) {
    const int64_t srcPos = ASource.GetPosition();
    const int64_t dstPos = ADestination.GetPosition();
    ASource.SetPosition(0);
    ADestination.SetPosition(0);
    std::string buf(64 * 1024, '\0');
    for (;;) {
        const int64_t n = ASource.Read(buf.data(), static_cast<int64_t>(buf.size()));
        if (n <= 0) break;
        std::string chunk = buf.substr(0, static_cast<size_t>(n));
        if (AMap) chunk = TranslateBytes(chunk, ATo ? AMap->To : AMap->From);
        ADestination.WriteBuffer(chunk);
    }
    ASource.SetPosition(srcPos);
    ADestination.SetPosition(dstPos);
}

std::string AnsiBytesOf(const std::string& AText) {
    const std::vector<uint8_t> b = EncodeAnsi(Utf8ToUtf16(AText));
    return std::string(b.begin(), b.end());
}

}  // namespace

// --- Text to bytes ---

std::vector<uint8_t> TclTranslator::GetBytes(const std::string& AText, const std::string& ACharSet) {
    const TclEncoding encoding = ChooseEncoding(ACharSet);
    try {
        return EncodeText(AText, encoding);
    } catch (const EEncodingError&) {
        if (SameText(Trim(ACharSet), "utf-8")) return GetUtf8Bytes(AnsiRoundTrip(AText));
        const std::string translated = TranslateTo(ACharSet, AText);
        return {translated.begin(), translated.end()};
    }
}

int TclTranslator::GetBytes(const std::string& AText, uint8_t* ABytes, int AByteCount, const std::string& ACharSet) {
    const std::vector<uint8_t> all = GetBytes(AText, ACharSet);
    const int n = std::min<int>(std::max(AByteCount, 0), static_cast<int>(all.size()));
    std::copy_n(all.begin(), n, ABytes);
    return n;
}

int TclTranslator::GetByteCount(const std::string& AText, const std::string& ACharSet) {
    return static_cast<int>(GetBytes(AText, ACharSet).size());
}

// --- Bytes to text ---

std::string TclTranslator::GetString(const uint8_t* ABytes, int ACount, const std::string& ACharSet) {
    if (ACount <= 0 || ABytes == nullptr) return std::string();
    if (ABytes[ACount - 1] == 0) --ACount;
    if (ACount == 0) return std::string();
    const std::string text = DecodeBytes(ABytes, static_cast<size_t>(ACount), ChooseEncoding(ACharSet));
    if (text.empty()) return DecodeAscii(ABytes, static_cast<size_t>(ACount));
    return text;
}

std::string TclTranslator::GetString(const std::vector<uint8_t>& ABytes, const std::string& ACharSet) {
    return GetString(ABytes.data(), static_cast<int>(ABytes.size()), ACharSet);
}

std::string TclTranslator::GetString(const std::vector<uint8_t>& ABytes, int AIndex, int ACount,
                                     const std::string& ACharSet) {
    if (AIndex < 0 || ACount <= 0 || AIndex >= static_cast<int>(ABytes.size())) return std::string();
    ACount = std::min(ACount, static_cast<int>(ABytes.size()) - AIndex);
    return GetString(ABytes.data() + AIndex, ACount, ACharSet);
}

// --- Fallback byte translation ---

void TclTranslator::TranslateTo(const std::string& ACharSet, TStream& ASource, TStream& ADestination) {
    TranslateStream(ASource, ADestination, FindCharSetMap(ACharSet), true);
}

void TclTranslator::TranslateFrom(const std::string& ACharSet, TStream& ASource, TStream& ADestination) {
    TranslateStream(ASource, ADestination, FindCharSetMap(ACharSet), false);
}

std::string TclTranslator::TranslateTo(const std::string& ACharSet, const std::string& AText) {
    const TclCharSetMap* map = FindCharSetMap(ACharSet);
    const std::string bytes = AnsiBytesOf(AText);
    return map ? TranslateBytes(bytes, map->To) : bytes;
}

std::string TclTranslator::TranslateFrom(const std::string& ACharSet, const std::string& AText) {
    const TclCharSetMap* map = FindCharSetMap(ACharSet);
    const std::string bytes = AnsiBytesOf(AText);
    return map ? TranslateBytes(bytes, map->From) : bytes;
}

// --- Fallback UTF-8 codec ---

std::vector<uint8_t> TclTranslator::GetUtf8Bytes(const std::string& AText) {
    const std::u16string units = Utf8ToUtf16(AText);
    std::vector<uint8_t> out(units.size() * 3);
    size_t n = 0;
    for (const char16_t u : units) {
        if (u < 0x80) {
            out[n++] = static_cast<uint8_t>(u);
        } else if (u < 0x800) {
            out[n++] = static_cast<uint8_t>(0xC0 | (u >> 6));
            out[n++] = static_cast<uint8_t>(0x80 | (u & 0x3F));
        } else {
            out[n++] = static_cast<uint8_t>(0xE0 | (u >> 12));
            out[n++] = static_cast<uint8_t>(0x80 | ((u >> 6) & 0x3F));
            out[n++] = static_cast<uint8_t>(0x80 | (u & 0x3F));
        }
    }
    out.resize(n);
    return out;
}

int TclTranslator::GetUtf8ByteCount(const std::string& AText) { return static_cast<int>(GetUtf8Bytes(AText).size()); }

std::string TclTranslator::TranslateToUtf8(const std::string& AText) {
    const std::vector<uint8_t> b = GetUtf8Bytes(AText);
    return std::string(b.begin(), b.end());
}

std::string TclTranslator::GetStringFromUtf8(const std::vector<uint8_t>& ABytes) {
    std::u16string out;
    const size_t n = ABytes.size();
    // A continuation byte that is not 10xxxxxx stands for the euro sign,
    // except a space, which stays a space.
    auto continuation = [&](size_t k) -> int {
        const uint8_t b = ABytes[k];
        if ((b & 0xC0) == 0x80) return b & 0x3F;
        return -1 - b;
    };
    size_t i = 0;
    while (i < n) {
        const uint8_t lead = ABytes[i];
        if (lead < 0x80) {
            out += static_cast<char16_t>(lead);
            ++i;
            continue;
        }
        const size_t need = (lead & 0x20) ? 2 : 1;
        if (i + need >= n) {
            if (need == 2) return std::string();  // a cut-off three-byte sequence empties the result
            // A cut-off two-byte sequence is one broken character.
            out += u'\u20AC';
            break;
        }
        uint32_t value = lead & (need == 2 ? 0x0F : 0x1F);
        bool broken = false;
        for (size_t k = 1; k <= need; ++k) {
            const int c = continuation(i + k);
            if (c < 0) {
                out += (ABytes[i + k] == ' ') ? u' ' : u'\u20AC';
                broken = true;
                break;
            }
            value = (value << 6) | static_cast<uint32_t>(c);
        }
        if (!broken) out += static_cast<char16_t>(value);
        i += need + 1;
    }
    return Utf16ToUtf8(out);
}

std::string TclTranslator::TranslateFromUtf8(const std::string& AUtf8) {
    return GetStringFromUtf8(std::vector<uint8_t>(AUtf8.begin(), AUtf8.end()));
}

// --- Well-formedness ---

bool TclTranslator::IsUtf8(const uint8_t* ABytes, int ACount) {
    if (ABytes == nullptr || ACount <= 0) return false;
    int i = 0;
    while (i < ACount && ABytes[i] < 0x80) ++i;
    if (i == ACount) return false;
    return AllSequencesWellFormed(ABytes, ACount, i, false);
}

bool TclTranslator::IsUtf8(const std::vector<uint8_t>& ABytes, int AIndex, int ACount) {
    if (AIndex < 0 || ACount <= 0 || AIndex >= static_cast<int>(ABytes.size())) return false;
    ACount = std::min(ACount, static_cast<int>(ABytes.size()) - AIndex);
    return IsUtf8(ABytes.data() + AIndex, ACount);
}

bool TclTranslator::IsUtf8(TStream& AStream) {
    const int64_t pos = AStream.GetPosition();
    const int64_t size = AStream.GetSize();
    std::vector<uint8_t> bytes(static_cast<size_t>(std::max<int64_t>(0, size - pos)));
    if (!bytes.empty()) AStream.ReadBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    AStream.SetPosition(pos);
    return IsUtf8(bytes.data(), static_cast<int>(bytes.size()));
}

}  // namespace cl
