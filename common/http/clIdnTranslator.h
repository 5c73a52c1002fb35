// Host names with non-ASCII labels to their ASCII form: every such label
// becomes "xn--" followed by its Punycode encoding (RFC 3492), without case
// folding or other normalisation before encoding.
#pragma once

#include <string>
#include <string_view>

#include "rtl/clException.h"

namespace cl {

class EclIdnError : public Exception {
public:
    using Exception::Exception;
};

// Codes and texts of EclIdnError.
enum TclIdnErrorCode { idnBadInput = 1, idnOverflow = 2 };
const char* IdnErrorText(TclIdnErrorCode ACode);

class TclIdnTranslator {
public:
    TclIdnTranslator() = delete;

    // Label by label, split at "."; empty labels stay empty.
    static std::string GetAscii(const std::string& AInput);
    // One label: unchanged when basic, else "xn--" + Punycode.
    static std::string GetAsciiText(const std::string& AInput);
    // Whether every character is below 128.
    static bool IsBasic(std::string_view AInput);
    // The Punycode form of a sequence of code points, without the "xn--"
    // prefix: the basic code points, "-" when there was one, then the deltas.
    static std::string Encode(std::u32string_view ACodePoints);
};

}  // namespace cl
