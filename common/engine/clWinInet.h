// The internet library of the download engine: the operations the engine
// needs (open, connect, request, headers, send, query, position test, read,
// close, options, status callback, FTP files) over libcurl's multi interface.
// Handles are opaque values; a failed call returns false (or a null handle)
// and leaves its error code in the calling thread's last error.
//
// Closing a handle makes a call blocked on it, or on a handle derived from it,
// return with a failure at once, from any thread. Nothing above this module
// knows libcurl.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace cl {

// An opaque handle of this library; 0 is none.
using HINTERNET = uintptr_t;

// The last error of the calling thread (a code of the table below, or 0).
uint32_t GetLastError();
void SetLastError(uint32_t ACode);

// --- open, connect, request ---
constexpr uint32_t INTERNET_OPEN_TYPE_PRECONFIG = 0;
constexpr uint32_t INTERNET_OPEN_TYPE_DIRECT = 1;
constexpr uint32_t INTERNET_OPEN_TYPE_PROXY = 3;

constexpr uint32_t INTERNET_SERVICE_FTP = 1;
constexpr uint32_t INTERNET_SERVICE_HTTP = 3;

constexpr uint32_t INTERNET_FLAG_RELOAD = 0x80000000;
constexpr uint32_t INTERNET_FLAG_SECURE = 0x00800000;
constexpr uint32_t INTERNET_FLAG_KEEP_CONNECTION = 0x00400000;
constexpr uint32_t INTERNET_FLAG_PASSIVE = 0x08000000;
constexpr uint32_t INTERNET_FLAG_OFFLINE = 0x01000000;
constexpr uint32_t INTERNET_FLAG_TRANSFER_BINARY = 0x00000002;

constexpr uint32_t HTTP_ADDREQ_FLAG_ADD_IF_NEW = 0x10000000;
constexpr uint32_t HTTP_ADDREQ_FLAG_ADD = 0x20000000;
constexpr uint32_t HTTP_ADDREQ_FLAG_REPLACE = 0x80000000;

constexpr uint32_t GENERIC_READ = 0x80000000;

constexpr uint16_t INTERNET_DEFAULT_FTP_PORT = 21;
constexpr uint16_t INTERNET_DEFAULT_HTTP_PORT = 80;
constexpr uint16_t INTERNET_DEFAULT_HTTPS_PORT = 443;

// --- queries ---
constexpr uint32_t HTTP_QUERY_STATUS_CODE = 19;
constexpr uint32_t HTTP_QUERY_STATUS_TEXT = 20;
constexpr uint32_t HTTP_QUERY_RAW_HEADERS = 21;
constexpr uint32_t HTTP_QUERY_RAW_HEADERS_CRLF = 22;
constexpr uint32_t HTTP_QUERY_FLAG_NUMBER = 0x20000000;

// --- options ---
constexpr uint32_t INTERNET_OPTION_USERNAME = 28;
constexpr uint32_t INTERNET_OPTION_PASSWORD = 29;
constexpr uint32_t INTERNET_OPTION_SECURITY_FLAGS = 31;
constexpr uint32_t INTERNET_OPTION_END_BROWSER_SESSION = 42;
constexpr uint32_t INTERNET_OPTION_PROXY_USERNAME = 43;
constexpr uint32_t INTERNET_OPTION_PROXY_PASSWORD = 44;
constexpr uint32_t INTERNET_OPTION_HTTP_DECODING = 65;
constexpr uint32_t INTERNET_OPTION_MAX_CONNS_PER_SERVER = 73;
constexpr uint32_t INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER = 74;
constexpr uint32_t INTERNET_OPTION_CLIENT_CERT_CONTEXT = 84;

// Security flags (option 31): the checks a request skips.
constexpr uint32_t SECURITY_FLAG_IGNORE_REVOCATION = 0x00000080;
constexpr uint32_t SECURITY_FLAG_IGNORE_UNKNOWN_CA = 0x00000100;
constexpr uint32_t SECURITY_FLAG_IGNORE_WRONG_USAGE = 0x00000200;
constexpr uint32_t SECURITY_FLAG_IGNORE_CERT_CN_INVALID = 0x00001000;
constexpr uint32_t SECURITY_FLAG_IGNORE_CERT_DATE_INVALID = 0x00002000;

// --- status callback codes ---
constexpr uint32_t INTERNET_STATUS_RESOLVING_NAME = 10;
constexpr uint32_t INTERNET_STATUS_NAME_RESOLVED = 11;
constexpr uint32_t INTERNET_STATUS_CONNECTING_TO_SERVER = 20;
constexpr uint32_t INTERNET_STATUS_CONNECTED_TO_SERVER = 21;
constexpr uint32_t INTERNET_STATUS_SENDING_REQUEST = 30;
constexpr uint32_t INTERNET_STATUS_REQUEST_SENT = 31;
constexpr uint32_t INTERNET_STATUS_RECEIVING_RESPONSE = 40;
constexpr uint32_t INTERNET_STATUS_RESPONSE_RECEIVED = 41;
constexpr uint32_t INTERNET_STATUS_CONNECTION_CLOSED = 51;
constexpr uint32_t INTERNET_STATUS_HANDLE_CREATED = 60;
constexpr uint32_t INTERNET_STATUS_HANDLE_CLOSING = 70;
constexpr uint32_t INTERNET_STATUS_REQUEST_COMPLETE = 100;
constexpr uint32_t INTERNET_STATUS_REDIRECT = 110;

// --- error codes (the last error) ---
constexpr uint32_t ERROR_SUCCESS = 0;
constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
// No descriptor left for a socket (the process or the system is at its limit).
constexpr uint32_t ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr uint32_t ERROR_INVALID_HANDLE = 6;
constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
constexpr uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
constexpr uint32_t ERROR_NO_MORE_FILES = 18;
constexpr uint32_t WAIT_TIMEOUT = 258;
constexpr uint32_t ERROR_INTERNET_OUT_OF_HANDLES = 12001;
constexpr uint32_t ERROR_INTERNET_TIMEOUT = 12002;
constexpr uint32_t ERROR_INTERNET_EXTENDED_ERROR = 12003;
constexpr uint32_t ERROR_INTERNET_INTERNAL_ERROR = 12004;
constexpr uint32_t ERROR_INTERNET_INVALID_URL = 12005;
constexpr uint32_t ERROR_INTERNET_UNRECOGNIZED_SCHEME = 12006;
constexpr uint32_t ERROR_INTERNET_NAME_NOT_RESOLVED = 12007;
constexpr uint32_t ERROR_INTERNET_INVALID_OPTION = 12009;
constexpr uint32_t ERROR_INTERNET_LOGIN_FAILURE = 12015;
constexpr uint32_t ERROR_INTERNET_INVALID_OPERATION = 12016;
constexpr uint32_t ERROR_INTERNET_OPERATION_CANCELLED = 12017;
constexpr uint32_t ERROR_INTERNET_INCORRECT_HANDLE_TYPE = 12018;
constexpr uint32_t ERROR_INTERNET_INCORRECT_HANDLE_STATE = 12019;
constexpr uint32_t ERROR_INTERNET_CANNOT_CONNECT = 12029;
constexpr uint32_t ERROR_INTERNET_CONNECTION_ABORTED = 12030;
constexpr uint32_t ERROR_INTERNET_CONNECTION_RESET = 12031;
constexpr uint32_t ERROR_INTERNET_FORCE_RETRY = 12032;
constexpr uint32_t ERROR_INTERNET_SEC_CERT_DATE_INVALID = 12037;
constexpr uint32_t ERROR_INTERNET_SEC_CERT_CN_INVALID = 12038;
constexpr uint32_t ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED = 12044;
constexpr uint32_t ERROR_INTERNET_INVALID_CA = 12045;
constexpr uint32_t ERROR_INTERNET_SECURITY_CHANNEL_ERROR = 12157;
constexpr uint32_t ERROR_FTP_TRANSFER_IN_PROGRESS = 12110;
constexpr uint32_t ERROR_FTP_DROPPED = 12111;
constexpr uint32_t ERROR_HTTP_HEADER_NOT_FOUND = 12150;
constexpr uint32_t ERROR_HTTP_INVALID_SERVER_RESPONSE = 12152;
constexpr uint32_t ERROR_HTTP_REDIRECT_FAILED = 12156;

// The library's own text for an error code (as a system message table
// would give it, possibly with a trailing period); empty when it has none.
std::string InternetErrorMessage(uint32_t ACode);

// --- handles ---

// The root handle: agent text, access type (PRECONFIG, DIRECT or PROXY with a
// "scheme=url:port" proxy list and a bypass list). AFlags 0 or OFFLINE-free.
HINTERNET InternetOpenA(const std::string& AAgent, uint32_t AAccessType, const std::string& AProxy,
                        const std::string& AProxyBypass, uint32_t AFlags);
// A server connection of AInternet. AUserName and APassword answer the
// server's challenge only (FTP: they log in). AContext is passed to the
// status callback for this handle and the handles derived from it.
HINTERNET InternetConnectA(HINTERNET AInternet, const std::string& AServerName, uint16_t APort,
                           const std::string& AUserName, const std::string& APassword, uint32_t AService,
                           uint32_t AFlags, uintptr_t AContext);
// One HTTP request: verb (empty: GET), object name (path and query), version
// and referrer (empty: none), accepted types (empty: none).
HINTERNET HttpOpenRequestA(HINTERNET AConnect, const std::string& AVerb, const std::string& AObjectName,
                           const std::string& AVersion, const std::string& AReferrer, const std::string& AAcceptTypes,
                           uint32_t AFlags, uintptr_t AContext);
// Header lines separated by CR LF. With ADD_IF_NEW a line whose name is
// already present is left out.
bool HttpAddRequestHeadersA(HINTERNET ARequest, const std::string& AHeaders, uint32_t AModifiers);
// Sends the request (with AHeaders added, and an optional body) and returns
// once the final response's header block has arrived.
bool HttpSendRequestA(HINTERNET ARequest, const std::string& AHeaders, const void* AOptional, uint32_t AOptionalLength);
// Levels 19, 20, 21, 22 (optionally with HTTP_QUERY_FLAG_NUMBER). ABuffer
// null or too small: false with ERROR_INSUFFICIENT_BUFFER and the needed
// length (with the terminating zero) in ABufferLength. On success
// ABufferLength is the length without the terminating zero.
bool HttpQueryInfoA(HINTERNET ARequest, uint32_t AInfoLevel, void* ABuffer, uint32_t* ABufferLength, uint32_t* AIndex);
// Only the random-access test is supported: distance 0 from the end
// (method 2). Returns the body length, or UINT32_MAX with the last error set
// when the response cannot be positioned.
constexpr uint32_t FILE_BEGIN = 0;
constexpr uint32_t FILE_CURRENT = 1;
constexpr uint32_t FILE_END = 2;
constexpr uint32_t INVALID_SET_FILE_POINTER = 0xFFFFFFFF;
uint32_t InternetSetFilePointer(HINTERNET AFile, int32_t ADistanceToMove, int32_t* ADistanceToMoveHigh,
                                uint32_t AMoveMethod, uintptr_t AContext);
// Up to ANumberOfBytesToRead bytes of the body; 0 bytes read means the end.
bool InternetReadFile(HINTERNET AFile, void* ABuffer, uint32_t ANumberOfBytesToRead, uint32_t* ANumberOfBytesRead);
// The same, but never blocks: false with the last error ERROR_IO_PENDING when
// no byte (and no end) is available yet.
constexpr uint32_t ERROR_IO_PENDING = 997;
bool InternetReadFileNoWait(HINTERNET AFile, void* ABuffer, uint32_t ANumberOfBytesToRead,
                            uint32_t* ANumberOfBytesRead);
// The same, but waits on the calling thread for the first byte (or the end)
// until AWakeFd becomes readable or ATimeOutMs passed (-1: no limit); those
// two end it with ERROR_IO_PENDING, nothing read.
bool InternetReadFileUntil(HINTERNET AFile, void* ABuffer, uint32_t ANumberOfBytesToRead, uint32_t* ANumberOfBytesRead,
                           int AWakeFd, int ATimeOutMs);
// Takes in what the network has already sent for AFile, without waiting
// and within the file's buffer; a read later finds it there.
void InternetReadAhead(HINTERNET AFile);
// Where the send of ARequest stands with the per-server connection limit:
// still waiting for a free connection, or using one since InUseSince (a
// steady-clock time; the epoch when the request has not been sent). A caller
// that times the send counts from InUseSince, not from the call.
struct TclConnectionWait {
    bool Waiting = false;
    std::chrono::steady_clock::time_point InUseSince{};
};
TclConnectionWait HttpQueryConnectionWait(HINTERNET ARequest);
// Closes AInternet; calls blocked on it or on handles derived from it fail.
bool InternetCloseHandle(HINTERNET AInternet);

// Option values: DWORD options take a uint32_t buffer; the credential options
// take text; option 84 takes a `const TclCertificate*` (the certificate and
// its key are copied); 73 and 74 are process-wide (no handle).
bool InternetQueryOptionA(HINTERNET AInternet, uint32_t AOption, void* ABuffer, uint32_t* ABufferLength);
bool InternetSetOptionA(HINTERNET AInternet, uint32_t AOption, const void* ABuffer, uint32_t ABufferLength);

// The server's last response text on the calling thread (FTP, for 12003).
bool InternetGetLastResponseInfoA(uint32_t* AError, char* ABuffer, uint32_t* ABufferLength);
std::string InternetGetLastResponseText();

// Status notifications of AInternet and of the handles derived from it
// created afterwards. Runs on the thread that drives the call.
using INTERNET_STATUS_CALLBACK = void (*)(HINTERNET AInternet, uintptr_t AContext, uint32_t AInternetStatus,
                                          const void* AStatusInformation, uint32_t AStatusInformationLength);
// Returns the callback set before (null: none).
INTERNET_STATUS_CALLBACK InternetSetStatusCallback(HINTERNET AInternet, INTERNET_STATUS_CALLBACK ACallback);

// --- FTP ---
constexpr uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr uint32_t FILE_ATTRIBUTE_NORMAL = 0x80;

// A directory entry; times are seconds since 1970 (UTC), 0 when unknown.
struct WIN32_FIND_DATAW {
    uint32_t dwFileAttributes = 0;
    int64_t ftLastWriteTime = 0;
    int64_t nFileSize = 0;
    std::u16string cFileName;
};

// A remote file opened for reading (GENERIC_READ, binary transfer).
HINTERNET FtpOpenFileA(HINTERNET AConnect, const std::string& AFileName, uint32_t AAccess, uint32_t AFlags,
                       uintptr_t AContext);
// The size of an open file: low part returned, high part in AFileSizeHigh.
uint32_t FtpGetFileSize(HINTERNET AFile, uint32_t* AFileSizeHigh);
// The first entry matching ASearchFile (a path); the handle lists the rest.
HINTERNET FtpFindFirstFileW(HINTERNET AConnect, const std::u16string& ASearchFile, WIN32_FIND_DATAW* AFindData,
                            uint32_t AFlags, uintptr_t AContext);
bool InternetFindNextFileW(HINTERNET AFind, WIN32_FIND_DATAW* AFindData);
bool FtpDeleteFileA(HINTERNET AConnect, const std::string& AFileName);
bool FtpRemoveDirectoryA(HINTERNET AConnect, const std::string& ADirectory);

}  // namespace cl
