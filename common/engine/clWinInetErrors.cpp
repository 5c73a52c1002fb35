// The internet library's errors: the calling thread's last error and last
// server reply, and the library's message table with a text for each code.
#include "engine/clWinInetErrors.h"

#include "engine/clWinInet.h"
#include "rtl/clCodeTexts.h"

namespace cl {

namespace {

thread_local uint32_t tLastError = 0;
thread_local std::string tLastResponse;

constexpr TclCodeText kErrorTexts[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_TOO_MANY_OPEN_FILES, "Too many open files."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_NO_MORE_FILES, "There are no more files."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {WAIT_TIMEOUT, "The wait operation timed out."},
    {ERROR_IO_PENDING, "Overlapped I/O operation is in progress."},
    {ERROR_INTERNET_OUT_OF_HANDLES, "No more handles could be generated at this time."},
    {ERROR_INTERNET_TIMEOUT, "The operation timed out."},
    {ERROR_INTERNET_EXTENDED_ERROR, "An extended error was returned from the server."},
    {ERROR_INTERNET_INTERNAL_ERROR, "An internal error occurred."},
    {ERROR_INTERNET_INVALID_URL, "The URL is invalid."},
    {ERROR_INTERNET_UNRECOGNIZED_SCHEME, "The URL does not use a recognized protocol."},
    {ERROR_INTERNET_NAME_NOT_RESOLVED, "The server name or address could not be resolved."},
    {ERROR_INTERNET_INVALID_OPTION, "The option is invalid."},
    {ERROR_INTERNET_LOGIN_FAILURE, "The login request was denied."},
    {ERROR_INTERNET_OPERATION_CANCELLED, "The operation was canceled."},
    {ERROR_INTERNET_INCORRECT_HANDLE_TYPE, "The handle is of the wrong type for this operation."},
    {ERROR_INTERNET_INCORRECT_HANDLE_STATE, "The handle is in the wrong state for this operation."},
    {ERROR_INTERNET_CANNOT_CONNECT, "A connection with the server could not be established."},
    {ERROR_INTERNET_CONNECTION_ABORTED, "The connection with the server was terminated abnormally."},
    {ERROR_INTERNET_CONNECTION_RESET, "The connection with the server was reset."},
    {ERROR_INTERNET_FORCE_RETRY, "The request must be sent again."},
    {ERROR_INTERNET_SEC_CERT_DATE_INVALID, "The server certificate has expired or is not yet valid."},
    {ERROR_INTERNET_SEC_CERT_CN_INVALID, "The server certificate does not match the host name."},
    {ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED, "The server requires a client certificate."},
    {ERROR_INTERNET_INVALID_CA, "The server certificate was issued by an authority that is not trusted."},
    {ERROR_INTERNET_SECURITY_CHANNEL_ERROR, "An error occurred in the secure channel support."},
    {ERROR_INTERNET_INVALID_OPERATION, "The operation is not valid for this handle."},
    {ERROR_FTP_TRANSFER_IN_PROGRESS, "A file transfer is already in progress on this connection."},
    {ERROR_FTP_DROPPED, "The FTP operation was not completed because the session was aborted."},
    {ERROR_HTTP_HEADER_NOT_FOUND, "The requested header could not be found."},
    {ERROR_HTTP_INVALID_SERVER_RESPONSE, "The server response could not be parsed."},
    {ERROR_HTTP_REDIRECT_FAILED, "The redirection failed."},
};

}  // namespace

namespace wininet {

bool Fail(uint32_t ACode) {
    tLastError = ACode;
    return false;
}

std::string& LastResponse() { return tLastResponse; }

}  // namespace wininet

uint32_t GetLastError() { return tLastError; }
void SetLastError(uint32_t ACode) { tLastError = ACode; }

std::string InternetErrorMessage(uint32_t ACode) {
    const char* text = FindCodeText(kErrorTexts, ACode);
    return text ? text : std::string();
}

}  // namespace cl
