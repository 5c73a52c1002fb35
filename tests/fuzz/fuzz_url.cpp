// Feeds arbitrary text to the URL parser: splitting, resolving against a base,
// composing, percent-encoding, local file names and host encoding. The input
// is "base\nrelative"; the first byte picks the charset.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "http/clIdnTranslator.h"
#include "http/clUriUtils.h"

namespace {

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Encoded text holds printable ASCII only, and every "%" starts an escape.
void CheckEncoded(const std::string& AText) {
    for (size_t i = 0; i < AText.size(); ++i) {
        const auto c = static_cast<unsigned char>(AText[i]);
        if (c < 33 || c > 126) std::abort();
        if (c == '%' && !(i + 2 < AText.size() && IsHex(AText[i + 1]) && IsHex(AText[i + 2]))) std::abort();
    }
}

void CheckAscii(const std::string& AText) {
    if (!cl::TclIdnTranslator::IsBasic(AText)) std::abort();
}

void Compose(const cl::TclUrlParser& AUrl) {
    (void)AUrl.AbsolutePath();
    (void)AUrl.UrlType();
    try {
        (void)AUrl.AbsoluteUri();
        CheckAscii(cl::TclIdnTranslator::GetAscii(AUrl.Host()));
    } catch (const cl::EclIdnError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    static const char* const kCharSets[] = {"", "utf-8", "windows-1251", "us-ascii"};
    if (ASize == 0) return 0;
    const std::string charSet = kCharSets[AData[0] % 4];
    const std::string input(reinterpret_cast<const char*>(AData + 1), ASize - 1);
    const size_t nl = input.find('\n');
    const std::string base = input.substr(0, nl);
    const std::string relative = nl == std::string::npos ? std::string() : input.substr(nl + 1);

    cl::TclUrlParser url(charSet);
    url.Parse(input);
    Compose(url);

    url.Parse(base, relative);
    Compose(url);
    // A resolved address keeps no "." or ".." segment in its path.
    if (!url.Scheme().empty()) {
        const std::string path = url.Path() + "/";
        if (path.find("/./") != std::string::npos || path.find("/../") != std::string::npos) std::abort();
    }
    // A reference with its own scheme does not depend on the base.
    const size_t schemeEnd = relative.find("://");
    if (schemeEnd != std::string::npos && schemeEnd > 0 && schemeEnd < relative.find_first_of("?#") &&
        !relative.starts_with("//")) {
        cl::TclUrlParser alone(charSet);
        alone.Parse("x", relative);
        if (alone.AbsolutePath() != url.AbsolutePath() || alone.Scheme() != url.Scheme() ||
            alone.Host() != url.Host() || alone.Port() != url.Port()) {
            std::abort();
        }
    }

    cl::TclUrlParser copy;
    copy.Assign(url);
    Compose(copy);

    (void)url.GetLocalFileByURL(base, "/out");
    try {
        (void)url.GetURLByLocalFile(base, relative);
    } catch (const cl::EclIdnError&) {
    }

    // Encoding leaves only safe text, and encoding that again changes nothing.
    if (charSet.empty() || charSet == "utf-8") {
        const std::string once = cl::TclUrlParser::EncodeUrl(input, charSet);
        CheckEncoded(once);
        if (cl::TclUrlParser::EncodeUrl(once, charSet) != once) std::abort();
    }

    try {
        CheckAscii(cl::TclIdnTranslator::GetAscii(input));
    } catch (const cl::EclIdnError&) {
    }
    return 0;
}
