// The exception base of the library: a message text and an integer ErrorCode,
// from which every Ecl... exception derives; and the internal assertion.
#pragma once

#include <exception>
#include <string>

namespace cl {

class Exception : public std::exception {
public:
    explicit Exception(std::string AMessage, int AErrorCode = 0)
        : FMessage(std::move(AMessage)), FErrorCode(AErrorCode) {}

    const char* what() const noexcept override { return FMessage.c_str(); }
    const std::string& Message() const noexcept { return FMessage; }
    int ErrorCode() const noexcept { return FErrorCode; }

protected:
    std::string FMessage;
    int FErrorCode;
};

// A programming error inside the library. Message() is "Assertion failure";
// Source() names the module as "common\" plus the module name.
class EAssertionFailed : public Exception {
public:
    EAssertionFailed(std::string ASource, int ALine);
    // An assertion with its own message ("Not implemented").
    EAssertionFailed(std::string ASource, int ALine, std::string AMessage);

    const char* what() const noexcept override { return FFullText.c_str(); }
    const std::string& Source() const noexcept { return FSource; }
    int Line() const noexcept { return FLine; }

private:
    std::string FSource;
    int FLine;
    std::string FFullText;
};

// Fails with EAssertionFailed unless ACondition holds. AModule is the bare
// module name ("clSocket"); ALine the line the module reports.
void ClAssert(bool ACondition, const char* AModule, int ALine);

// Stream and file failures of the runtime.
class EStreamError : public Exception {
public:
    using Exception::Exception;
};
class EFOpenError : public EStreamError {
public:
    using EStreamError::EStreamError;
};
class EFCreateError : public EStreamError {
public:
    using EStreamError::EStreamError;
};
class EReadError : public EStreamError {
public:
    using EStreamError::EStreamError;
};
class EWriteError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

// A stream used against its nature (seeking a write-only decoder, say).
class EclStreamError : public Exception {
public:
    using Exception::Exception;
};

// The system's text for an errno value.
std::string SysErrorMessage(int AErrno);

}  // namespace cl
