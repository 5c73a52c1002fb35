// Provider statuses, their mapping and the message table.
#include "transport/clSspi.h"

#include <openssl/ssl.h>

#include <cstdio>

#include "rtl/clCodeTexts.h"

namespace cl {

namespace {

constexpr int32_t H(uint32_t AValue) { return static_cast<int32_t>(AValue); }

constexpr TclCodeText kSspiMessages[] = {
    {20, "Out of memory"},
    {H(0x80090301), "The handle specified is invalid"},
    {H(0x80090302), "The function requested is not supported"},
    {H(0x80090303), "The specified target is unknown or unreachable"},
    {H(0x80090304), "The Local Security Authority cannot be contacted"},
    {H(0x80090305), "The requested security package does not exist"},
    {H(0x80090306), "The caller is not the owner of the desired credentials"},
    {H(0x80090307), "The security package failed to initialize, and cannot be installed"},
    {H(0x80090308), "The token supplied to the function is invalid"},
    {H(0x80090309), "The security package is not able to marshall the logon buffer, so the logon attempt has failed"},
    {H(0x8009030A), "The per-message Quality of Protection is not supported by the security package"},
    {H(0x8009030B), "The security context does not allow impersonation of the client"},
    {H(0x8009030C), "The logon attempt failed"},
    {H(0x8009030D), "The credentials supplied to the package were not recognized"},
    {H(0x8009030E), "No credentials are available in the security package"},
    {H(0x8009030F), "The message supplied for verification has been altered"},
    {H(0x80090310), "The message supplied for verification is out of sequence"},
    {H(0x80090311), "No authority could be contacted for authentication"},
    {H(0x80090316), "The requested security package does not exist"},
    {H(0x80090330), "The specified data could not be decrypted"},
    {H(0x80090331), "The client and server cannot communicate because they do not possess a common algorithm"},
    {H(0x80096004), "The signature of the certificate cannot be verified"},
    {H(0x800B0101),
     "A required certificate is not within its validity period when verifying against the current system "
     "clock or the timestamp in the signed file"},
    {H(0x800B0102), "The validity periods of the certification chain do not nest correctly"},
    {H(0x800B0103), "A certificate that can only be used as an end-entity is being used as a CA or visa versa"},
    {H(0x800B0104), "A path length constraint in the certification chain has been violated"},
    {H(0x800B0105), "A certificate contains an unknown extension that is marked 'critical'"},
    {H(0x800B0106), "A certificate being used for a purpose other than the ones specified by its CA"},
    {H(0x800B0107), "A parent of a given certificate in fact did not issue that child certificate"},
    {H(0x800B0108),
     "A certificate is missing or has an empty value for an important field, such as a subject or issuer name"},
    {H(0x800B0109),
     "A certificate chain processed correctly, but terminated in a root certificate which is not trusted by "
     "the trust provider"},
    {H(0x800B010A), "An internal certificate chaining error has occurred"},
    {H(0x800B010B), "Generic trust failure"},
    {H(0x800B010C), "A certificate was explicitly revoked by its issuer"},
    {H(0x800B010D),
     "The certification path terminates with the test root which is not trusted with the current "
     "policy settings"},
    {H(0x800B010E), "The revocation process could not continue - the certificate(s) could not be checked"},
    {H(0x800B010F), "The certificate's CN name does not match the passed value"},
    {H(0x800B0110), "The certificate is not valid for the requested usage"},
    {-1, "Could not load the dll (schannel.dll, security.dll or secur32.dll)"},
    {-2, "Could not get security initialization routine"},
    {-3, "Could not initialize the security package"},
    {-4, "AcquireCredentials failed"},
    {-5, "None of needed security package was found"},
    {-6, "Could not query package information"},
    {-9, "Error querying local certificate"},
    {-11, "Error occured when authenticating server credentials"},
    {-12, "Not supported"},
};

const char* FindText(int32_t ACode) { return FindCodeText(kSspiMessages, ACode); }

}  // namespace

bool HasSspiErrorText(int32_t ACode) { return FindText(ACode) != nullptr; }

std::string GetSspiErrorText(int32_t ACode) {
    if (const char* text = FindText(ACode)) return text;
    char buf[64];
    std::snprintf(buf, sizeof buf, "The unknown error was occured: %X", static_cast<uint32_t>(ACode));
    return buf;
}

void RaiseSspiError(int32_t AStatus, int32_t AFallback) {
    const int32_t textCode = (AFallback != 0 && !HasSspiErrorText(AStatus)) ? AFallback : AStatus;
    throw EclSSPIError(GetSspiErrorText(textCode), AStatus);
}

TclSspiReturnCode MapSspiStatus(int32_t AStatus, int32_t AFallback) {
    switch (AStatus) {
        case SspiStatus::OK:
            return rcOK;
        case SspiStatus::ContinueNeeded:
            return rcContinueNeeded;
        case SspiStatus::CompleteNeeded:
            return rcCompleteNeeded;
        case SspiStatus::ContextExpired:
            return rcClosingNeeded;
        case SspiStatus::Renegotiate:
            return rcReAuthNeeded;
        case SspiStatus::IncompleteMessage:
            return rcMoreDataNeeded;
        default:
            RaiseSspiError(AStatus, AFallback);
    }
}

TclSspi::TclSspi() {
    // The TLS engine initialises itself once per process; a failure means the
    // package cannot be used at all.
    if (OPENSSL_init_ssl(0, nullptr) != 1) RaiseSspiError(SspiCode::InitPackage);
}

}  // namespace cl
