#include "transport/clWinSock2.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "rtl/clException.h"

namespace cl {

namespace {

struct TErrnoPair {
    int Errno;
    int Wsa;
};

// errno values with a socket library number of their own.
const TErrnoPair cErrnoMap[] = {
    {EINTR, WSAEINTR},
    {EACCES, WSAEACCES},
    {EPERM, WSAEACCES},
    {EFAULT, WSAEFAULT},
    {EINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE},
    {EWOULDBLOCK, WSAEWOULDBLOCK},
    {EINPROGRESS, WSAEWOULDBLOCK},  // a non-blocking connect under way
    {EALREADY, WSAEALREADY},
    {ENOTSOCK, WSAENOTSOCK},
    {EBADF, WSAENOTSOCK},
    {EDESTADDRREQ, WSAEDESTADDRREQ},
    {EMSGSIZE, WSAEMSGSIZE},
    {EPROTOTYPE, WSAEPROTOTYPE},
    {ENOPROTOOPT, WSAENOPROTOOPT},
    {EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},
    {EOPNOTSUPP, WSAEOPNOTSUPP},
    {EPFNOSUPPORT, WSAEPFNOSUPPORT},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN},
    {ENETUNREACH, WSAENETUNREACH},
    {ENETRESET, WSAENETRESET},
    {ECONNABORTED, WSAECONNABORTED},
    {EPIPE, WSAECONNABORTED},  // sending on a connection the peer has dropped
    {ECONNRESET, WSAECONNRESET},
    {ENOBUFS, WSAENOBUFS},
    {EISCONN, WSAEISCONN},
    {ENOTCONN, WSAENOTCONN},
    {ESHUTDOWN, WSAESHUTDOWN},
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
    {EHOSTDOWN, WSAEHOSTDOWN},
    {EHOSTUNREACH, WSAEHOSTUNREACH},
};

struct TGaiPair {
    int Gai;
    int Wsa;
};

const TGaiPair cGaiMap[] = {
    {EAI_NONAME, WSAHOST_NOT_FOUND},    {EAI_AGAIN, WSATRY_AGAIN},    {EAI_FAIL, WSANO_RECOVERY},
    {EAI_NODATA, WSANO_DATA},           {EAI_ADDRFAMILY, WSANO_DATA}, {EAI_FAMILY, WSAEAFNOSUPPORT},
    {EAI_SOCKTYPE, WSAESOCKTNOSUPPORT}, {EAI_SERVICE, WSAEINVAL},     {EAI_BADFLAGS, WSAEINVAL},
    {EAI_MEMORY, WSAENOBUFS},
};

thread_local int gLastError = 0;

int Fail() {
    gLastError = WsaErrorFromErrno(errno);
    return SOCKET_ERROR;
}

}  // namespace

int WsaErrorFromErrno(int AErrno) {
    for (const TErrnoPair& pair : cErrnoMap) {
        if (pair.Errno == AErrno) {
            return pair.Wsa;
        }
    }
    return AErrno;
}

int WsaErrorFromGai(int AGaiError, int AErrno) {
    if (AGaiError == 0) {
        return 0;
    }
    if (AGaiError == EAI_SYSTEM) {
        return WsaErrorFromErrno(AErrno);
    }
    for (const TGaiPair& pair : cGaiMap) {
        if (pair.Gai == AGaiError) {
            return pair.Wsa;
        }
    }
    return WSANO_RECOVERY;
}

std::string WsaErrorText(int ACode) {
    for (const TGaiPair& pair : cGaiMap) {
        if (pair.Wsa == ACode && ACode >= WSAHOST_NOT_FOUND) {
            return gai_strerror(pair.Gai);
        }
    }
    // The first errno with this number is its canonical one (EAGAIN before
    // EINPROGRESS, ENOTSOCK before EBADF).
    for (const TErrnoPair& pair : cErrnoMap) {
        if (pair.Wsa == ACode) {
            return SysErrorMessage(pair.Errno);
        }
    }
    if (ACode > 0 && ACode < WSABASEERR) {
        return SysErrorMessage(ACode);
    }
    return std::string();
}

int WSAGetLastError() { return gLastError; }

bool IsIpV6Capable() { return true; }

TSocket ClSocket(int AFamily, int AType, int AProtocol) {
    TSocket s = socket(AFamily, AType | SOCK_NONBLOCK | SOCK_CLOEXEC, AProtocol);
    if (s < 0) {
        return Fail();
    }
    return s;
}

int ClCloseSocket(TSocket ASocket) { return close(ASocket) == 0 ? 0 : Fail(); }

int ClShutdown(TSocket ASocket, int AHow) { return shutdown(ASocket, AHow) == 0 ? 0 : Fail(); }

int ClConnect(TSocket ASocket, const sockaddr* AAddr, socklen_t ALen) {
    int rc;
    do {
        rc = connect(ASocket, AAddr, ALen);
    } while (rc < 0 && errno == EINTR);
    return rc == 0 ? 0 : Fail();
}

int ClBind(TSocket ASocket, const sockaddr* AAddr, socklen_t ALen) {
    return bind(ASocket, AAddr, ALen) == 0 ? 0 : Fail();
}

int ClGetSockName(TSocket ASocket, sockaddr_storage& AAddr) {
    socklen_t len = sizeof(AAddr);
    std::memset(&AAddr, 0, sizeof(AAddr));
    return getsockname(ASocket, reinterpret_cast<sockaddr*>(&AAddr), &len) == 0 ? 0 : Fail();
}

int ClBytesAvailable(TSocket ASocket) {
    int available = 0;
    return ioctl(ASocket, FIONREAD, &available) == 0 ? available : 0;
}

int ClRecv(TSocket ASocket, void* ABuffer, int ALength) {
    ssize_t n;
    do {
        n = recv(ASocket, ABuffer, static_cast<size_t>(ALength), 0);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? Fail() : static_cast<int>(n);
}

int ClSend(TSocket ASocket, const void* ABuffer, int ALength) {
    ssize_t n;
    do {
        n = send(ASocket, ABuffer, static_cast<size_t>(ALength), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? Fail() : static_cast<int>(n);
}

int ClSetSockOpt(TSocket ASocket, int ALevel, int AName, int AValue) {
    return setsockopt(ASocket, ALevel, AName, &AValue, sizeof(AValue)) == 0 ? 0 : Fail();
}

int ClSocketError(TSocket ASocket) {
    int error = 0;
    socklen_t len = sizeof(error);
    if (getsockopt(ASocket, SOL_SOCKET, SO_ERROR, &error, &len) != 0) {
        return WsaErrorFromErrno(errno);
    }
    return error == 0 ? 0 : WsaErrorFromErrno(error);
}

int ClGetAddrInfo(const char* ANode, const addrinfo* AHints, addrinfo** AResult) {
    *AResult = nullptr;
    errno = 0;
    const int rc = getaddrinfo(ANode, nullptr, AHints, AResult);
    const int code = WsaErrorFromGai(rc, errno);
    if (code != 0) {
        gLastError = code;
    }
    return code;
}

void ClFreeAddrInfo(addrinfo* AInfo) {
    if (AInfo) {
        freeaddrinfo(AInfo);
    }
}

std::string ClGetHostName() {
    char name[257] = {};
    if (gethostname(name, 256) != 0) {
        return std::string();
    }
    return name;
}

}  // namespace cl
