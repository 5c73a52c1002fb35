// libcurl's callbacks of one transfer: header lines (HTTP header blocks,
// FTP replies), body pieces into the ring or the collected listing, and the
// socket and connection notifications.
#include "engine/clWinInetTransfer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "engine/clWinInetGlobal.h"
#include "rtl/clStrUtils.h"

namespace cl::wininet {

void TTransfer::FinishHeaders(const std::string& ABlock) {
    if (FCookieEngine) TGlobal::Get().Cookies.Export(Easy(), FCookieSync);
    FRawHeaders = ABlock;
    if (!FRawHeaders.empty()) FRawHeaders += "\r\n";
    FHeadersDone = true;
    NotifyCount(INTERNET_STATUS_RESPONSE_RECEIVED, static_cast<uint32_t>(FRawHeaders.size()));
}

bool TTransfer::BlockHas(const char* AName) const {
    size_t pos = 0;
    const size_t length = std::strlen(AName);
    while ((pos = FBlock.find("\r\n", pos)) != std::string::npos) {
        pos += 2;
        if (FBlock.size() >= pos + length + 1 && SameText(std::string_view(FBlock).substr(pos, length), AName) &&
            FBlock[pos + length] == ':')
            return true;
    }
    return false;
}

bool TTransfer::BlockIsFinal() {
    if (FStatus >= 100 && FStatus < 200) return false;
    if ((FStatus == 301 || FStatus == 302 || FStatus == 303 || FStatus == 307 || FStatus == 308) &&
        BlockHas("Location") && FRedirects < kMaxRedirects) {
        ++FRedirects;
        return false;
    }
    if (FStatus == 401 && FHasCredentials && !FAuthAnswered && BlockHas("WWW-Authenticate")) {
        FAuthAnswered = true;
        return false;
    }
    if (FStatus == 407 && FHasProxyCredentials && !FProxyAuthAnswered && BlockHas("Proxy-Authenticate")) {
        FProxyAuthAnswered = true;
        return false;
    }
    return true;
}

void TTransfer::HttpHeaderLine(std::string_view ALine) {
    if (FHeadersDone) return;  // trailers
    if (ALine.substr(0, 5) == "HTTP/") {
        if (FBlock.empty() && FStatus == 0) {
            Notify(INTERNET_STATUS_REQUEST_SENT, std::string());
            Notify(INTERNET_STATUS_RECEIVING_RESPONSE, std::string());
        }
        FBlock.assign(ALine.data(), ALine.size());
        while (!FBlock.empty() && (FBlock.back() == '\r' || FBlock.back() == '\n')) FBlock.pop_back();
        const size_t space = FBlock.find(' ');
        FStatus = space == std::string::npos ? 0 : StrToIntDef(FBlock.substr(space + 1, 3), 0);
        return;
    }
    if (ALine == "\r\n" || ALine == "\n") {
        if (BlockIsFinal()) {
            FinishHeaders(FBlock);
        } else if (FStatus >= 300 && FStatus < 400) {
            Notify(INTERNET_STATUS_REDIRECT, std::string());
        }
        return;
    }
    std::string_view line = ALine;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    FBlock += "\r\n";
    FBlock.append(line.data(), line.size());
}

void TTransfer::FtpResponseLine(std::string_view ALine) {
    std::string_view line = ALine;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    if (!FPendingResponse.empty()) FPendingResponse += "\r\n";
    FPendingResponse.append(line.data(), line.size());
    const bool lastLine = line.size() >= 4 && std::isdigit(static_cast<unsigned char>(line[0])) &&
                          std::isdigit(static_cast<unsigned char>(line[1])) &&
                          std::isdigit(static_cast<unsigned char>(line[2])) && line[3] == ' ';
    if (lastLine) {
        FLastResponse = std::move(FPendingResponse);
        FPendingResponse.clear();
    }
}

size_t TTransfer::HeaderCallback(char* AData, size_t ASize, size_t ACount, void* AUser) {
    auto* self = static_cast<TTransfer*>(AUser);
    const std::string_view line(AData, ASize * ACount);
    if (self->FIsFtp)
        self->FtpResponseLine(line);
    else
        self->HttpHeaderLine(line);
    return ASize * ACount;
}

size_t TTransfer::WriteCallback(char* AData, size_t ASize, size_t ACount, void* AUser) {
    auto* self = static_cast<TTransfer*>(AUser);
    const size_t count = ASize * ACount;
    if (!self->FBodyStarted) {
        self->FBodyStarted = true;
        if (!self->FHeadersDone) self->FinishHeaders(self->FBlock);
    }
    if (self->FDraining) return count;
    if (self->FCollect) {
        if (self->FCollected.size() + count > kMaxListing) return 0;  // fails the transfer
        self->FCollected.append(AData, count);
        return count;
    }
    if (!self->FBodyWanted && self->ContentLength() > static_cast<curl_off_t>(kRingCapacity)) {
        // Nobody has read yet, and the body would not fit: it waits for the
        // first read. A request closed unread (the information request) then
        // does not take in bytes only to throw them away.
        self->FPaused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    const auto* data = reinterpret_cast<const uint8_t*>(AData);
    size_t rest = count;
    TDirectTarget& direct = self->FDirect;
    if (direct.Data != nullptr && self->FRing.Size() == 0) {
        // A read waits with the ring empty: its bytes skip the ring.
        const size_t n = std::min(rest, direct.Room - direct.Got);
        std::memcpy(direct.Data + direct.Got, data, n);
        direct.Got += n;
        data += n;
        rest -= n;
    }
    if (rest > self->FRing.Free()) {
        if (self->FRing.Size() > 0) {
            self->FPaused = true;
            return CURL_WRITEFUNC_PAUSE;
        }
        self->FRing.Reserve(rest);  // a piece larger than the ring
    }
    self->FRing.Put(data, rest);
    self->NotifyCount(INTERNET_STATUS_RESPONSE_RECEIVED, static_cast<uint32_t>(count));
    return count;
}

curl_socket_t TTransfer::OpenSocketCallback(void* AUser, curlsocktype, curl_sockaddr* AAddress) {
    auto* self = static_cast<TTransfer*>(AUser);
    char text[64] = {0};
    if (AAddress->family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&AAddress->addr)->sin_addr, text, sizeof(text));
    else if (AAddress->family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&AAddress->addr)->sin6_addr, text, sizeof(text));
    self->Notify(INTERNET_STATUS_NAME_RESOLVED, text);
    self->Notify(INTERNET_STATUS_CONNECTING_TO_SERVER, text);
    const curl_socket_t fd = socket(AAddress->family, AAddress->socktype | SOCK_CLOEXEC, AAddress->protocol);
    if (fd == CURL_SOCKET_BAD) self->FSocketErrno = errno;
    return fd;
}

int TTransfer::PrereqCallback(void* AUser, char* AServerIp, char*, int, int) {
    auto* self = static_cast<TTransfer*>(AUser);
    self->Notify(INTERNET_STATUS_CONNECTED_TO_SERVER, AServerIp ? AServerIp : "");
    self->Notify(INTERNET_STATUS_SENDING_REQUEST, std::string());
    return CURL_PREREQFUNC_OK;
}

}  // namespace cl::wininet
