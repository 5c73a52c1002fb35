#include "rtl/clException.h"

#include <cstring>

namespace cl {

EAssertionFailed::EAssertionFailed(std::string ASource, int ALine)
    : EAssertionFailed(std::move(ASource), ALine, "Assertion failure") {}

EAssertionFailed::EAssertionFailed(std::string ASource, int ALine, std::string AMessage)
    : Exception(std::move(AMessage)), FSource(std::move(ASource)), FLine(ALine) {
    FFullText = FMessage + " (" + FSource + ", line " + std::to_string(FLine) + ")";
}

void ClAssert(bool ACondition, const char* AModule, int ALine) {
    if (!ACondition) {
        throw EAssertionFailed(std::string("common\\") + AModule, ALine);
    }
}

std::string SysErrorMessage(int AErrno) {
    char buf[256];
    // GNU strerror_r returns the text, which may or may not live in buf.
    return strerror_r(AErrno, buf, sizeof(buf));
}

}  // namespace cl
