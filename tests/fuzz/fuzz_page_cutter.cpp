// Arbitrary text as a video page: the title and the video or episode list
// are cut out by their markers, and every name goes through the JSON
// unescaping. Every entry has a cid without a comma and a name that is not
// empty; nothing is reported for a page without a list; unescaping never
// grows a text and leaves no complete \uXXXX escape behind.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <QString>

#include "PageResolver.h"
#include "http/clHttp.h"

namespace {

bool IsHex(QChar AChar) {
    const char16_t u = AChar.unicode();
    return (u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F');
}

void CheckUnescaped(const QString& AInput) {
    const QString text = bl::TPageResolver::UnescapeJsonText(AInput);
    if (text.size() > AInput.size()) std::abort();
    const QString escape = QStringLiteral("\\u");
    for (qsizetype at = text.indexOf(escape); at >= 0; at = text.indexOf(escape, at + 1)) {
        if (at + 6 > text.size()) break;
        if (IsHex(text[at + 2]) && IsHex(text[at + 3]) && IsHex(text[at + 4]) && IsHex(text[at + 5])) std::abort();
    }
    if (!AInput.contains(QLatin1Char('\\')) && text != AInput) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    static cl::TclHttp http;
    const QString page = QString::fromUtf8(reinterpret_cast<const char*>(AData), static_cast<qsizetype>(ASize));
    bl::TPageResolver resolver(http);
    int entries = 0;
    resolver.OnEntry = [&entries](const QString& AName, const QString& ACid) {
        ++entries;
        if (ACid.isEmpty() || ACid.contains(QLatin1Char(','))) std::abort();
        if (AName.isEmpty()) std::abort();
    };
    const bl::TParseState state = resolver.ParsePage(page);
    if (state == bl::psNone && entries > 0) std::abort();
    CheckUnescaped(page);
    return 0;
}
