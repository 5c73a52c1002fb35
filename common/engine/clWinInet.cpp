// The operations of the internet library over libcurl. Every request (and
// every FTP file, listing or command) is one transfer: an easy handle in a
// multi handle of its own, driven by the thread that makes the call
// (clWinInetTransfer). The body goes through a bounded ring; while the reader
// does not take the bytes the transfer is paused, so memory stays flat for
// any body size.
//
// Handles are numbers in a process-wide table mapping to shared objects
// (clWinInetHandles), so that a handle closed on one thread while another
// thread is blocked on it (or on a handle derived from it) wakes that thread,
// which then fails the call; the object goes away with the last thread that
// uses it. The other pieces: clWinInetErrors (last error, message table),
// clWinInetLimits, clWinInetShare, clWinInetCookies and clWinInetGlobal
// (process-wide state), clWinInetProxy (proxy, host overrides, URL text),
// clWinInetTls, clWinInetRing, clWinInetHttp, clWinInetFtp and
// clWinInetFtpListing.
#include "engine/clWinInet.h"

#include <fnmatch.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "engine/clWinInetFtp.h"
#include "engine/clWinInetGlobal.h"
#include "engine/clWinInetHttp.h"
#include "rtl/clStrUtils.h"
#include "transport/clCertificate.h"

namespace cl {

using namespace wininet;

HINTERNET InternetOpenA(const std::string& AAgent, uint32_t AAccessType, const std::string& AProxy,
                        const std::string& AProxyBypass, uint32_t /*AFlags*/) {
    if (AAccessType != INTERNET_OPEN_TYPE_PRECONFIG && AAccessType != INTERNET_OPEN_TYPE_DIRECT &&
        AAccessType != INTERNET_OPEN_TYPE_PROXY) {
        Fail(ERROR_INVALID_PARAMETER);
        return 0;
    }
    TGlobal::Get();
    auto root = std::make_shared<TRoot>(AAgent, AAccessType, AProxy, AProxyBypass);
    return THandleTable::Get().Add(root);
}

HINTERNET InternetConnectA(HINTERNET AInternet, const std::string& AServerName, uint16_t APort,
                           const std::string& AUserName, const std::string& APassword, uint32_t AService,
                           uint32_t AFlags, uintptr_t AContext) {
    auto root = FindHandle<TRoot>(AInternet, {hkRoot});
    if (!root) return 0;
    if (root->IsClosed()) return Fail(ERROR_INTERNET_OPERATION_CANCELLED), 0;
    if (AServerName.empty()) return Fail(ERROR_INTERNET_INVALID_URL), 0;
    if (AService != INTERNET_SERVICE_HTTP && AService != INTERNET_SERVICE_FTP) return Fail(ERROR_INVALID_PARAMETER), 0;
    auto connect = std::make_shared<TConnect>(root, AContext);
    connect->Server = AServerName;
    connect->Port = APort;
    connect->Service = AService;
    connect->Passive = (AFlags & INTERNET_FLAG_PASSIVE) != 0;
    connect->Options().UserName = AUserName;
    connect->Options().Password = APassword;
    connect->AttachToParent();
    // An FTP connection logs in now, as the session it stands for would.
    if (AService == INTERNET_SERVICE_FTP && !RunFtpCommand(connect, std::string())) return 0;
    const HINTERNET handle = THandleTable::Get().Add(connect);
    connect->Notify(handle, INTERNET_STATUS_HANDLE_CREATED, &handle, sizeof(handle));
    return handle;
}

HINTERNET HttpOpenRequestA(HINTERNET AConnect, const std::string& AVerb, const std::string& AObjectName,
                           const std::string& AVersion, const std::string& AReferrer, const std::string& AAcceptTypes,
                           uint32_t AFlags, uintptr_t AContext) {
    auto connect = FindHandle<TConnect>(AConnect, {hkConnect});
    if (!connect) return 0;
    if (connect->Service != INTERNET_SERVICE_HTTP) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE), 0;
    if (connect->IsClosed()) return Fail(ERROR_INTERNET_OPERATION_CANCELLED), 0;
    // The verb goes onto the request line as it is: letters only.
    if (!std::all_of(AVerb.begin(), AVerb.end(), [](char c) { return std::isalpha(static_cast<unsigned char>(c)); }))
        return Fail(ERROR_INVALID_PARAMETER), 0;
    auto request = std::make_shared<TRequest>(connect, AContext);
    if (!request->Transfer.Valid()) return Fail(ERROR_INTERNET_OUT_OF_HANDLES), 0;
    request->Verb = AVerb;
    request->ObjectName = AObjectName;
    request->Version = AVersion;
    request->Referrer = AReferrer;
    request->Secure = (AFlags & INTERNET_FLAG_SECURE) != 0;
    if (!AAcceptTypes.empty()) AddHeaderLines(request->Headers, "Accept: " + AAcceptTypes, HTTP_ADDREQ_FLAG_ADD);
    const HINTERNET handle = THandleTable::Get().Add(request);
    request->Notify(handle, INTERNET_STATUS_HANDLE_CREATED, &handle, sizeof(handle));
    return handle;
}

bool HttpAddRequestHeadersA(HINTERNET ARequest, const std::string& AHeaders, uint32_t AModifiers) {
    auto request = FindHandle<TRequest>(ARequest, {hkRequest});
    if (!request) return false;
    return AddHeaderLines(request->Headers, AHeaders, AModifiers);
}

bool HttpSendRequestA(HINTERNET ARequest, const std::string& AHeaders, const void* AOptional,
                      uint32_t AOptionalLength) {
    auto request = FindHandle<TRequest>(ARequest, {hkRequest});
    if (!request) return false;
    if (request->IsClosed()) return Fail(ERROR_INTERNET_OPERATION_CANCELLED);
    const auto* body = static_cast<const uint8_t*>(AOptional);
    request->Body.assign(body, body + (body ? AOptionalLength : 0));
    if (!StartHttp(*request, AHeaders)) return false;
    TTransfer& t = request->Transfer;
    if (t.Drive(true, [&] { return t.HeadersDone(); }) == TDrive::Closed)
        return Fail(ERROR_INTERNET_OPERATION_CANCELLED);
    if (!t.HeadersDone()) return Fail(t.FailureCode());
    return true;
}

bool HttpQueryInfoA(HINTERNET ARequest, uint32_t AInfoLevel, void* ABuffer, uint32_t* ABufferLength,
                    uint32_t* /*AIndex*/) {
    auto request = FindHandle<TRequest>(ARequest, {hkRequest});
    if (!request) return false;
    if (ABufferLength == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    TTransfer& t = request->Transfer;
    if (!t.HeadersDone() || t.RawHeaders().empty()) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    const std::string& raw = t.RawHeaders();
    const std::string statusLine = raw.substr(0, raw.find("\r\n"));
    const uint32_t level = AInfoLevel & 0xFFFF;
    const bool asNumber = (AInfoLevel & HTTP_QUERY_FLAG_NUMBER) != 0;

    if (level == HTTP_QUERY_STATUS_CODE && asNumber) {
        if (t.Status() <= 0) return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
        if (ABuffer == nullptr || *ABufferLength < sizeof(uint32_t)) {
            *ABufferLength = sizeof(uint32_t);
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        }
        const uint32_t status = static_cast<uint32_t>(t.Status());
        std::memcpy(ABuffer, &status, sizeof(status));
        *ABufferLength = sizeof(status);
        return true;
    }
    std::string text;
    switch (level) {
        case HTTP_QUERY_RAW_HEADERS_CRLF:
            text = raw + "\r\n";
            break;
        case HTTP_QUERY_RAW_HEADERS:
            text = StringReplaceAll(raw, "\r\n", std::string(1, '\0'));
            text += '\0';
            break;
        case HTTP_QUERY_STATUS_CODE:
            if (t.Status() <= 0) return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
            text = std::to_string(t.Status());
            break;
        case HTTP_QUERY_STATUS_TEXT: {
            const size_t first = statusLine.find(' ');
            const size_t second = first == std::string::npos ? std::string::npos : statusLine.find(' ', first + 1);
            text = second == std::string::npos ? std::string() : statusLine.substr(second + 1);
            break;
        }
        default:
            return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
    }
    if (ABuffer == nullptr || *ABufferLength < text.size() + 1) {
        *ABufferLength = static_cast<uint32_t>(text.size() + 1);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(ABuffer, text.data(), text.size());
    static_cast<char*>(ABuffer)[text.size()] = '\0';
    *ABufferLength = static_cast<uint32_t>(text.size());
    return true;
}

uint32_t InternetSetFilePointer(HINTERNET AFile, int32_t ADistanceToMove, int32_t* ADistanceToMoveHigh,
                                uint32_t AMoveMethod, uintptr_t /*AContext*/) {
    auto request = FindHandle<TRequest>(AFile, {hkRequest, hkFtpFile});
    if (!request) return INVALID_SET_FILE_POINTER;
    if (request->Kind() != hkRequest || AMoveMethod != FILE_END || ADistanceToMove != 0 ||
        (ADistanceToMoveHigh && *ADistanceToMoveHigh != 0)) {
        Fail(ERROR_INTERNET_INVALID_OPERATION);
        return INVALID_SET_FILE_POINTER;
    }
    TTransfer& t = request->Transfer;
    if (!t.HeadersDone()) {
        Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
        return INVALID_SET_FILE_POINTER;
    }
    // A body can be positioned when it came as a range, or when its length
    // is known and the server takes byte ranges.
    const std::string& raw = t.RawHeaders();
    bool acceptsBytes = false;
    size_t pos = 0;
    while ((pos = raw.find("\r\n", pos)) != std::string::npos) {
        pos += 2;
        const size_t end = std::min(raw.find("\r\n", pos), raw.size());
        const std::string line = raw.substr(pos, end - pos);
        const size_t colon = line.find(':');
        if (colon != std::string::npos && SameText(Trim(line.substr(0, colon)), "Accept-Ranges") &&
            FindText("bytes", line.substr(colon + 1)) != std::string::npos)
            acceptsBytes = true;
    }
    const curl_off_t length = t.ContentLength();
    if (t.Status() != 206 && !(acceptsBytes && length >= 0)) {
        Fail(ERROR_INTERNET_INVALID_OPERATION);
        return INVALID_SET_FILE_POINTER;
    }
    const uint64_t size = length > 0 ? static_cast<uint64_t>(length) : 0;
    if (ADistanceToMoveHigh) *ADistanceToMoveHigh = static_cast<int32_t>(size >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<uint32_t>(size & 0xFFFFFFFF);
}

namespace {
std::shared_ptr<TTransferHandle> ReadableHandle(HINTERNET AFile, void* ABuffer, uint32_t ACount, uint32_t* ARead) {
    if (ARead == nullptr || (ABuffer == nullptr && ACount > 0)) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    *ARead = 0;
    return FindHandle<TTransferHandle>(AFile, {hkRequest, hkFtpFile});
}

bool ReadFileImpl(HINTERNET AFile, void* ABuffer, uint32_t ACount, uint32_t* ARead, bool ABlocking) {
    auto handle = ReadableHandle(AFile, ABuffer, ACount, ARead);
    if (!handle) return false;
    return handle->Transfer.Read(static_cast<uint8_t*>(ABuffer), ACount, ARead, ABlocking);
}
}  // namespace

bool InternetReadFile(HINTERNET AFile, void* ABuffer, uint32_t ANumberOfBytesToRead, uint32_t* ANumberOfBytesRead) {
    return ReadFileImpl(AFile, ABuffer, ANumberOfBytesToRead, ANumberOfBytesRead, true);
}

bool InternetReadFileNoWait(HINTERNET AFile, void* ABuffer, uint32_t ANumberOfBytesToRead,
                            uint32_t* ANumberOfBytesRead) {
    return ReadFileImpl(AFile, ABuffer, ANumberOfBytesToRead, ANumberOfBytesRead, false);
}

bool InternetReadFileUntil(HINTERNET AFile, void* ABuffer, uint32_t ANumberOfBytesToRead, uint32_t* ANumberOfBytesRead,
                           int AWakeFd, int ATimeOutMs) {
    auto handle = ReadableHandle(AFile, ABuffer, ANumberOfBytesToRead, ANumberOfBytesRead);
    if (!handle) return false;
    return handle->Transfer.ReadUntil(static_cast<uint8_t*>(ABuffer), ANumberOfBytesToRead, ANumberOfBytesRead, AWakeFd,
                                      ATimeOutMs);
}

void InternetReadAhead(HINTERNET AFile) {
    std::shared_ptr<THandle> handle = THandleTable::Get().Find(AFile);
    if (handle && (handle->Kind() == hkRequest || handle->Kind() == hkFtpFile))
        static_cast<TTransferHandle&>(*handle).Transfer.ReadAhead();
}

TclConnectionWait HttpQueryConnectionWait(HINTERNET ARequest) {
    std::shared_ptr<THandle> handle = THandleTable::Get().Find(ARequest);
    if (!handle || handle->Kind() != hkRequest) return {};
    return static_cast<TTransferHandle&>(*handle).Transfer.ConnectionWait();
}

bool InternetCloseHandle(HINTERNET AInternet) {
    std::shared_ptr<THandle> handle = THandleTable::Get().Remove(AInternet);
    if (!handle) return Fail(ERROR_INVALID_HANDLE);
    // A request that no other call holds may keep its connection.
    if (handle->Kind() == hkRequest && handle.use_count() == 1)
        static_cast<TTransferHandle&>(*handle).Transfer.DrainForReuse();
    handle->Notify(AInternet, INTERNET_STATUS_HANDLE_CLOSING, &AInternet, sizeof(AInternet));
    handle->Close();
    return true;
}

bool InternetQueryOptionA(HINTERNET AInternet, uint32_t AOption, void* ABuffer, uint32_t* ABufferLength) {
    if (ABufferLength == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    auto putNumber = [&](uint32_t AValue) {
        if (ABuffer == nullptr || *ABufferLength < sizeof(AValue)) {
            *ABufferLength = sizeof(AValue);
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        }
        std::memcpy(ABuffer, &AValue, sizeof(AValue));
        *ABufferLength = sizeof(AValue);
        return true;
    };
    auto putText = [&](const std::string& AText) {
        if (ABuffer == nullptr || *ABufferLength < AText.size() + 1) {
            *ABufferLength = static_cast<uint32_t>(AText.size() + 1);
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        }
        std::memcpy(ABuffer, AText.c_str(), AText.size() + 1);
        *ABufferLength = static_cast<uint32_t>(AText.size());
        return true;
    };
    if (AOption == INTERNET_OPTION_MAX_CONNS_PER_SERVER || AOption == INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER)
        return putNumber(TGlobal::Get().Limits.Max(AOption));
    auto handle = FindHandle<THandle>(AInternet, {hkRoot, hkConnect, hkRequest, hkFtpFile, hkFtpFind});
    if (!handle) return false;
    const TOptions& options = handle->Options();
    switch (AOption) {
        case INTERNET_OPTION_SECURITY_FLAGS:
            return putNumber(options.SecurityFlags);
        case INTERNET_OPTION_HTTP_DECODING:
            return putNumber(options.Decoding ? 1 : 0);
        case INTERNET_OPTION_USERNAME:
            return putText(options.UserName);
        case INTERNET_OPTION_PASSWORD:
            return putText(options.Password);
        case INTERNET_OPTION_PROXY_USERNAME:
            return putText(options.ProxyUserName);
        case INTERNET_OPTION_PROXY_PASSWORD:
            return putText(options.ProxyPassword);
        default:
            return Fail(ERROR_INTERNET_INVALID_OPTION);
    }
}

bool InternetSetOptionA(HINTERNET AInternet, uint32_t AOption, const void* ABuffer, uint32_t ABufferLength) {
    auto number = [&](uint32_t& AValue) {
        if (ABuffer == nullptr || ABufferLength < 1) return Fail(ERROR_INVALID_PARAMETER);
        AValue = 0;
        std::memcpy(&AValue, ABuffer, std::min<uint32_t>(ABufferLength, sizeof(AValue)));
        return true;
    };
    if (AOption == INTERNET_OPTION_MAX_CONNS_PER_SERVER || AOption == INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER) {
        uint32_t value = 0;
        if (!number(value) || value == 0) return Fail(ERROR_INVALID_PARAMETER);
        TGlobal::Get().Limits.SetMax(AOption, value);
        return true;
    }
    if (AOption == INTERNET_OPTION_END_BROWSER_SESSION) {
        TGlobal::Get().Cookies.FlushSession();
        return true;
    }
    auto handle = FindHandle<THandle>(AInternet, {hkRoot, hkConnect, hkRequest, hkFtpFile, hkFtpFind});
    if (!handle) return false;
    TOptions& options = handle->Options();
    auto text = [&](std::string& AValue) {
        AValue = ABuffer ? std::string(static_cast<const char*>(ABuffer),
                                       strnlen(static_cast<const char*>(ABuffer), ABufferLength))
                         : std::string();
        return true;
    };
    switch (AOption) {
        case INTERNET_OPTION_SECURITY_FLAGS:
            return number(options.SecurityFlags);
        case INTERNET_OPTION_HTTP_DECODING: {
            uint32_t value = 0;
            if (!number(value)) return false;
            options.Decoding = value != 0;
            return true;
        }
        case INTERNET_OPTION_USERNAME:
            return text(options.UserName);
        case INTERNET_OPTION_PASSWORD:
            return text(options.Password);
        case INTERNET_OPTION_PROXY_USERNAME:
            return text(options.ProxyUserName);
        case INTERNET_OPTION_PROXY_PASSWORD:
            return text(options.ProxyPassword);
        case INTERNET_OPTION_CLIENT_CERT_CONTEXT: {
            const auto* certificate = static_cast<const TclCertificate*>(ABuffer);
            if (certificate == nullptr || certificate->Context() == nullptr) return Fail(ERROR_INVALID_PARAMETER);
            options.ClientCertificate =
                std::make_shared<TClientCertificate>(certificate->Context(), certificate->Key());
            return true;
        }
        default:
            return Fail(ERROR_INTERNET_INVALID_OPTION);
    }
}

bool InternetGetLastResponseInfoA(uint32_t* AError, char* ABuffer, uint32_t* ABufferLength) {
    if (ABufferLength == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    const std::string& response = LastResponse();
    if (AError) *AError = response.empty() ? 0 : ERROR_INTERNET_EXTENDED_ERROR;
    if (ABuffer == nullptr || *ABufferLength < response.size() + 1) {
        *ABufferLength = static_cast<uint32_t>(response.size() + 1);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(ABuffer, response.c_str(), response.size() + 1);
    *ABufferLength = static_cast<uint32_t>(response.size());
    return true;
}

std::string InternetGetLastResponseText() { return LastResponse(); }

INTERNET_STATUS_CALLBACK InternetSetStatusCallback(HINTERNET AInternet, INTERNET_STATUS_CALLBACK ACallback) {
    auto handle = FindHandle<THandle>(AInternet, {hkRoot, hkConnect, hkRequest, hkFtpFile, hkFtpFind});
    if (!handle) return nullptr;
    const INTERNET_STATUS_CALLBACK previous = handle->Callback();
    handle->SetCallback(ACallback);
    return previous;
}

HINTERNET FtpOpenFileA(HINTERNET AConnect, const std::string& AFileName, uint32_t AAccess, uint32_t /*AFlags*/,
                       uintptr_t AContext) {
    auto connect = FindHandle<TConnect>(AConnect, {hkConnect});
    if (!connect) return 0;
    if (connect->Service != INTERNET_SERVICE_FTP) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE), 0;
    if (AAccess != GENERIC_READ) return Fail(ERROR_INVALID_PARAMETER), 0;
    auto file = std::make_shared<TTransferHandle>(hkFtpFile, connect, AContext, true);
    file->AttachToParent();
    if (!PrepareFtp(file->Transfer, *connect, AFileName)) return 0;
    if (!StartFtp(file->Transfer, *connect)) return 0;
    // Open means the server accepted the retrieval: data flows, or it ended.
    TTransfer& t = file->Transfer;
    if (t.Drive(true, [&] { return t.BodyStarted(); }) == TDrive::Closed)
        return Fail(ERROR_INTERNET_OPERATION_CANCELLED), 0;
    if (t.Done() && !t.Succeeded()) return Fail(t.FailureCode()), 0;
    return THandleTable::Get().Add(file);
}

uint32_t FtpGetFileSize(HINTERNET AFile, uint32_t* AFileSizeHigh) {
    auto file = FindHandle<TTransferHandle>(AFile, {hkFtpFile});
    if (!file) return UINT32_MAX;
    const curl_off_t length = file->Transfer.ContentLength();
    const uint64_t size = length > 0 ? static_cast<uint64_t>(length) : 0;
    if (AFileSizeHigh) *AFileSizeHigh = static_cast<uint32_t>(size >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<uint32_t>(size & 0xFFFFFFFF);
}

HINTERNET FtpFindFirstFileW(HINTERNET AConnect, const std::u16string& ASearchFile, WIN32_FIND_DATAW* AFindData,
                            uint32_t /*AFlags*/, uintptr_t AContext) {
    auto connect = FindHandle<TConnect>(AConnect, {hkConnect});
    if (!connect) return 0;
    if (connect->Service != INTERNET_SERVICE_FTP) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE), 0;
    const std::string search = Utf16ToUtf8(ASearchFile);
    const size_t slash = search.rfind('/');
    const std::string directory = slash == std::string::npos ? std::string() : search.substr(0, slash + 1);
    std::string pattern = slash == std::string::npos ? search : search.substr(slash + 1);
    if (pattern.empty() || pattern == "*.*") pattern = "*";
    std::vector<WIN32_FIND_DATAW> all;
    if (!ListDirectory(connect, directory, all)) return 0;
    auto find = std::make_shared<TFindHandle>(connect, AContext);
    for (auto& entry : all)
        if (fnmatch(pattern.c_str(), Utf16ToUtf8(entry.cFileName).c_str(), 0) == 0)
            find->Entries.push_back(std::move(entry));
    if (find->Entries.empty()) return Fail(ERROR_NO_MORE_FILES), 0;
    if (AFindData) *AFindData = find->Entries[0];
    find->Next = 1;
    return THandleTable::Get().Add(find);
}

bool InternetFindNextFileW(HINTERNET AFind, WIN32_FIND_DATAW* AFindData) {
    auto find = FindHandle<TFindHandle>(AFind, {hkFtpFind});
    if (!find) return false;
    if (find->Next >= find->Entries.size()) return Fail(ERROR_NO_MORE_FILES);
    if (AFindData) *AFindData = find->Entries[find->Next];
    ++find->Next;
    return true;
}

namespace {
bool FtpCommand(HINTERNET AConnect, const std::string& AVerb, const std::string& APath) {
    auto connect = FindHandle<TConnect>(AConnect, {hkConnect});
    if (!connect) return false;
    if (connect->Service != INTERNET_SERVICE_FTP) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    if (APath.empty() || APath.find_first_of("\r\n") != std::string::npos) return Fail(ERROR_INVALID_PARAMETER);
    return RunFtpCommand(connect, AVerb + " " + APath);
}
}  // namespace

bool FtpDeleteFileA(HINTERNET AConnect, const std::string& AFileName) {
    return FtpCommand(AConnect, "DELE", AFileName);
}

bool FtpRemoveDirectoryA(HINTERNET AConnect, const std::string& ADirectory) {
    return FtpCommand(AConnect, "RMD", ADirectory);
}

}  // namespace cl
