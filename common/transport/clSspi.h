// The security provider session's base: the provider statuses and the
// results they map to, the provider error with its message table, and the
// provider's one-time initialisation. Everything TLS-specific lives in
// clSspiTls; nothing here knows sockets.
#pragma once

#include <cstdint>
#include <string>

#include "rtl/clException.h"

namespace cl {

// What a provider call asks its caller to do next.
enum TclSspiReturnCode : uint8_t {
    rcOK,
    rcError,
    rcReAuthNeeded,
    rcAuthContinueNeeded,
    rcAuthDataNeeded,
    rcAuthMoreDataNeeded,
    rcCompleteNeeded,
    rcContinueNeeded,
    rcClosingNeeded,
    rcMoreDataNeeded,
    rcEncodeNeeded,
    rcContinueAndMoreDataNeeded,
    rcCredentialNeeded,
};

// Provider statuses (the values callers and stored codes rely on).
namespace SspiStatus {
constexpr int32_t OK = 0;
constexpr int32_t ContinueNeeded = 0x00090312;
constexpr int32_t CompleteNeeded = 0x00090313;
constexpr int32_t ContextExpired = 0x00090317;         // the peer closed the session
constexpr int32_t IncompleteCredentials = 0x00090320;  // the server asks for a client certificate
constexpr int32_t Renegotiate = 0x00090321;
constexpr int32_t InvalidHandle = static_cast<int32_t>(0x80090301);
constexpr int32_t Unsupported = static_cast<int32_t>(0x80090302);
constexpr int32_t SecPkgNotFound = static_cast<int32_t>(0x80090305);
constexpr int32_t InvalidToken = static_cast<int32_t>(0x80090308);
constexpr int32_t NoCredentials = static_cast<int32_t>(0x8009030E);
constexpr int32_t IncompleteMessage = static_cast<int32_t>(0x80090318);
constexpr int32_t IllegalMessage = static_cast<int32_t>(0x80090326);
constexpr int32_t DecryptFailure = static_cast<int32_t>(0x80090330);
constexpr int32_t AlgorithmMismatch = static_cast<int32_t>(0x80090331);
// Certificate policy errors.
constexpr int32_t CertSignature = static_cast<int32_t>(0x80096004);
constexpr int32_t CertExpired = static_cast<int32_t>(0x800B0101);
constexpr int32_t CertRole = static_cast<int32_t>(0x800B0103);
constexpr int32_t CertPathLenConst = static_cast<int32_t>(0x800B0104);
constexpr int32_t CertCritical = static_cast<int32_t>(0x800B0105);
constexpr int32_t CertPurpose = static_cast<int32_t>(0x800B0106);
constexpr int32_t CertIssuerChaining = static_cast<int32_t>(0x800B0107);
constexpr int32_t CertMalformed = static_cast<int32_t>(0x800B0108);
constexpr int32_t CertUntrustedRoot = static_cast<int32_t>(0x800B0109);
constexpr int32_t CertChaining = static_cast<int32_t>(0x800B010A);
constexpr int32_t TrustFail = static_cast<int32_t>(0x800B010B);
constexpr int32_t CertRevoked = static_cast<int32_t>(0x800B010C);
constexpr int32_t CertRevocationFailure = static_cast<int32_t>(0x800B010E);
constexpr int32_t CertCnNoMatch = static_cast<int32_t>(0x800B010F);
constexpr int32_t CertWrongUsage = static_cast<int32_t>(0x800B0110);
}  // namespace SspiStatus

// The system's own codes of the message table.
namespace SspiCode {
constexpr int32_t OutOfMemory = 20;
constexpr int32_t LoadLibrary = -1;
constexpr int32_t GetInitRoutine = -2;
constexpr int32_t InitPackage = -3;
constexpr int32_t AcquireCredentials = -4;
constexpr int32_t NoPackage = -5;
constexpr int32_t QueryPackage = -6;
constexpr int32_t QueryLocalCertificate = -9;
constexpr int32_t AuthenticateServer = -11;
constexpr int32_t NotSupported = -12;
}  // namespace SspiCode

class EclSSPIError : public Exception {
public:
    EclSSPIError(std::string AErrorMsg, int32_t AErrorCode, bool ADummy = false)
        : Exception(std::move(AErrorMsg), AErrorCode) {
        (void)ADummy;
    }
};

// The message for a code: the table's entry, else "The unknown error was
// occured: %x" with the code in upper-case hexadecimal.
std::string GetSspiErrorText(int32_t ACode);
// True when the table has an entry of its own for the code.
bool HasSspiErrorText(int32_t ACode);

// Raises EclSSPIError for AStatus; a status without a table entry takes the
// message of AFallback when one is given (non-zero). ErrorCode is always
// AStatus.
[[noreturn]] void RaiseSspiError(int32_t AStatus, int32_t AFallback = 0);

// Maps a provider status to its result; any status outside the mapped six
// raises as RaiseSspiError(AStatus, AFallback).
TclSspiReturnCode MapSspiStatus(int32_t AStatus, int32_t AFallback = 0);

// The provider: initialised once per process on first use.
class TclSspi {
public:
    TclSspi();
    virtual ~TclSspi() = default;
    TclSspi(const TclSspi&) = delete;
    TclSspi& operator=(const TclSspi&) = delete;
};

}  // namespace cl
