// The socket library binding: a thin seam over POSIX sockets, getaddrinfo and
// poll, so that nothing above it touches errno or the system headers' quirks.
// Error codes leave this module as the socket library's own numbers
// (10035 would block, 10038 not a socket, 10053 connection aborted, 10054
// reset, 10060 timed out, 10061 refused, 11001 host not found, ...) so that
// callers test one set of codes; a system error without such a number keeps
// its errno value. The text of any code is the system's text (strerror, or
// gai_strerror for the lookup codes).
#pragma once

#include <netdb.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>

namespace cl {

using TSocket = int;
constexpr TSocket INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

// Socket library error numbers used by the transport.
enum : int {
    WSABASEERR = 10000,
    WSAEINTR = 10004,
    WSAEACCES = 10013,
    WSAEFAULT = 10014,
    WSAEINVAL = 10022,
    WSAEMFILE = 10024,
    WSAEWOULDBLOCK = 10035,
    WSAEINPROGRESS = 10036,
    WSAEALREADY = 10037,
    WSAENOTSOCK = 10038,
    WSAEDESTADDRREQ = 10039,
    WSAEMSGSIZE = 10040,
    WSAEPROTOTYPE = 10041,
    WSAENOPROTOOPT = 10042,
    WSAEPROTONOSUPPORT = 10043,
    WSAESOCKTNOSUPPORT = 10044,
    WSAEOPNOTSUPP = 10045,
    WSAEPFNOSUPPORT = 10046,
    WSAEAFNOSUPPORT = 10047,
    WSAEADDRINUSE = 10048,
    WSAEADDRNOTAVAIL = 10049,
    WSAENETDOWN = 10050,
    WSAENETUNREACH = 10051,
    WSAENETRESET = 10052,
    WSAECONNABORTED = 10053,
    WSAECONNRESET = 10054,
    WSAENOBUFS = 10055,
    WSAEISCONN = 10056,
    WSAENOTCONN = 10057,
    WSAESHUTDOWN = 10058,
    WSAETIMEDOUT = 10060,
    WSAECONNREFUSED = 10061,
    WSAEHOSTDOWN = 10064,
    WSAEHOSTUNREACH = 10065,
    WSAHOST_NOT_FOUND = 11001,
    WSATRY_AGAIN = 11002,
    WSANO_RECOVERY = 11003,
    WSANO_DATA = 11004,
};

// Network events of a socket, as the transport's passes consume them.
enum : int {
    FD_READ = 1,
    FD_WRITE = 2,
    FD_CONNECT = 16,
    FD_CLOSE = 32,
};

// The socket library's number for an errno value (the value itself when it has none).
int WsaErrorFromErrno(int AErrno);
// The number for a getaddrinfo result (EAI_SYSTEM gives the errno's number).
int WsaErrorFromGai(int AGaiError, int AErrno);
// The system's text for a code of this module, or for a plain errno value.
std::string WsaErrorText(int ACode);
// The last socket error of this thread, as a socket library number.
int WSAGetLastError();

// Whether addresses and lookups go through getaddrinfo (always here).
bool IsIpV6Capable();

// The calls. Sockets are created non-blocking and close-on-exec; send never
// raises SIGPIPE. Each returns what the system call returned; on failure the
// reason is in WSAGetLastError().
TSocket ClSocket(int AFamily, int AType, int AProtocol);
int ClCloseSocket(TSocket ASocket);
int ClShutdown(TSocket ASocket, int AHow);
int ClConnect(TSocket ASocket, const sockaddr* AAddr, socklen_t ALen);
int ClBind(TSocket ASocket, const sockaddr* AAddr, socklen_t ALen);
int ClGetSockName(TSocket ASocket, sockaddr_storage& AAddr);
int ClRecv(TSocket ASocket, void* ABuffer, int ALength);
// Bytes that a receive would return at once (FIONREAD); 0 on any failure.
int ClBytesAvailable(TSocket ASocket);
int ClSend(TSocket ASocket, const void* ABuffer, int ALength);
int ClSetSockOpt(TSocket ASocket, int ALevel, int AName, int AValue);
// The pending error of a socket (SO_ERROR) as a socket library number; 0 for none.
int ClSocketError(TSocket ASocket);
// getaddrinfo with the result mapped to a socket library number (0 for success).
int ClGetAddrInfo(const char* ANode, const addrinfo* AHints, addrinfo** AResult);
void ClFreeAddrInfo(addrinfo* AInfo);
// The machine's host name, at most 256 bytes.
std::string ClGetHostName();

}  // namespace cl
