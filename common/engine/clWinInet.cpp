#include "engine/clWinInet.h"

namespace cl {

namespace {
thread_local uint32_t tLastError = 0;
}

uint32_t GetLastError() { return tLastError; }
void SetLastError(uint32_t ACode) { tLastError = ACode; }

std::string InternetErrorMessage(uint32_t) { return std::string(); }
HINTERNET InternetOpenA(const std::string&, uint32_t, const std::string&, const std::string&, uint32_t) {
    SetLastError(ERROR_INTERNET_INTERNAL_ERROR);
    return 0;
}
HINTERNET InternetConnectA(HINTERNET, const std::string&, uint16_t, const std::string&, const std::string&, uint32_t,
                           uint32_t, uintptr_t) {
    SetLastError(ERROR_INTERNET_INTERNAL_ERROR);
    return 0;
}
HINTERNET HttpOpenRequestA(HINTERNET, const std::string&, const std::string&, const std::string&, const std::string&,
                           const std::string&, uint32_t, uintptr_t) {
    SetLastError(ERROR_INTERNET_INTERNAL_ERROR);
    return 0;
}
bool HttpAddRequestHeadersA(HINTERNET, const std::string&, uint32_t) { return false; }
bool HttpSendRequestA(HINTERNET, const std::string&, const void*, uint32_t) { return false; }
bool HttpQueryInfoA(HINTERNET, uint32_t, void*, uint32_t*, uint32_t*) { return false; }
uint32_t InternetSetFilePointer(HINTERNET, int32_t, int32_t*, uint32_t, uintptr_t) { return INVALID_SET_FILE_POINTER; }
bool InternetReadFile(HINTERNET, void*, uint32_t, uint32_t*) { return false; }
bool InternetReadFileNoWait(HINTERNET, void*, uint32_t, uint32_t*) { return false; }
bool InternetCloseHandle(HINTERNET) { return false; }
bool InternetQueryOptionA(HINTERNET, uint32_t, void*, uint32_t*) { return false; }
bool InternetSetOptionA(HINTERNET, uint32_t, const void*, uint32_t) { return false; }
bool InternetGetLastResponseInfoA(uint32_t*, char*, uint32_t*) { return false; }
std::string InternetGetLastResponseText() { return std::string(); }
INTERNET_STATUS_CALLBACK InternetSetStatusCallback(HINTERNET, INTERNET_STATUS_CALLBACK) { return nullptr; }
HINTERNET FtpOpenFileA(HINTERNET, const std::string&, uint32_t, uint32_t, uintptr_t) { return 0; }
uint32_t FtpGetFileSize(HINTERNET, uint32_t*) { return 0; }
HINTERNET FtpFindFirstFileW(HINTERNET, const std::u16string&, WIN32_FIND_DATAW*, uint32_t, uintptr_t) { return 0; }
bool InternetFindNextFileW(HINTERNET, WIN32_FIND_DATAW*) { return false; }
bool FtpDeleteFileA(HINTERNET, const std::string&) { return false; }
bool FtpRemoveDirectoryA(HINTERNET, const std::string&) { return false; }

}  // namespace cl
