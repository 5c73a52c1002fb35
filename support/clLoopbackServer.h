// A small TCP test server on loopback (127.0.0.1 or ::1, a free port): every
// accepted connection runs AHandler(fd) on its own thread. The destructor
// stops accepting, shuts the open connections down and joins every thread,
// so a test never leaves it running. Header-only, for any test executable.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace cltest {

class TLoopbackServer {
public:
    using THandler = std::function<void(int AFd)>;

    // AIPv6: listen on ::1. Throws when the address cannot be bound.
    explicit TLoopbackServer(THandler AHandler, bool AIPv6 = false) : FHandler(std::move(AHandler)) {
        FListen = socket(AIPv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (FListen < 0) {
            throw std::runtime_error("socket failed");
        }
        int one = 1;
        setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_storage addr{};
        socklen_t len;
        if (AIPv6) {
            auto& a6 = reinterpret_cast<sockaddr_in6&>(addr);
            a6.sin6_family = AF_INET6;
            a6.sin6_addr = in6addr_loopback;
            len = sizeof(a6);
        } else {
            auto& a4 = reinterpret_cast<sockaddr_in&>(addr);
            a4.sin_family = AF_INET;
            a4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            len = sizeof(a4);
        }
        if (bind(FListen, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(FListen, 16) != 0) {
            close(FListen);
            throw std::runtime_error("bind failed");
        }
        getsockname(FListen, reinterpret_cast<sockaddr*>(&addr), &len);
        FPort = AIPv6 ? ntohs(reinterpret_cast<sockaddr_in6&>(addr).sin6_port)
                      : ntohs(reinterpret_cast<sockaddr_in&>(addr).sin_port);
        FAcceptThread = std::thread([this] { AcceptLoop(); });
    }

    ~TLoopbackServer() {
        FStopping = true;
        FAcceptThread.join();
        {
            std::lock_guard<std::mutex> guard(FLock);
            for (int fd : FOpen) {
                shutdown(fd, SHUT_RDWR);
            }
        }
        for (std::thread& t : FWorkers) {
            t.join();
        }
        close(FListen);
    }

    int Port() const { return FPort; }
    int Accepted() const { return FAccepted.load(); }
    bool Stopping() const { return FStopping.load(); }

    // True when ::1 can be bound on this machine.
    static bool HasIPv6Loopback() {
        int fd = socket(AF_INET6, SOCK_STREAM, 0);
        if (fd < 0) {
            return false;
        }
        sockaddr_in6 a6{};
        a6.sin6_family = AF_INET6;
        a6.sin6_addr = in6addr_loopback;
        const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a6), sizeof(a6)) == 0;
        close(fd);
        return ok;
    }

    // Helpers for handlers (blocking fds).
    static void SendAll(int AFd, const std::string& AData) {
        size_t done = 0;
        while (done < AData.size()) {
            ssize_t n = send(AFd, AData.data() + done, AData.size() - done, MSG_NOSIGNAL);
            if (n <= 0) {
                return;
            }
            done += static_cast<size_t>(n);
        }
    }
    // Reads exactly ACount bytes (fewer when the peer closes).
    static std::string RecvCount(int AFd, size_t ACount) {
        std::string data;
        char buf[65536];
        while (data.size() < ACount) {
            ssize_t n = recv(AFd, buf, std::min(sizeof(buf), ACount - data.size()), 0);
            if (n <= 0) {
                break;
            }
            data.append(buf, static_cast<size_t>(n));
        }
        return data;
    }
    // Reads until the peer closes or AStop is set (checked every 50 ms).
    static std::string RecvAll(int AFd, const std::atomic<bool>* AStop = nullptr) {
        std::string data;
        char buf[65536];
        for (;;) {
            pollfd p{AFd, POLLIN, 0};
            int rc = poll(&p, 1, 50);
            if (rc == 0) {
                if (AStop && *AStop) {
                    break;
                }
                continue;
            }
            ssize_t n = recv(AFd, buf, sizeof(buf), 0);
            if (n <= 0) {
                break;
            }
            data.append(buf, static_cast<size_t>(n));
        }
        return data;
    }

private:
    void AcceptLoop() {
        while (!FStopping) {
            pollfd p{FListen, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) {
                continue;
            }
            int fd = accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                continue;
            }
            ++FAccepted;
            std::lock_guard<std::mutex> guard(FLock);
            FOpen.push_back(fd);
            FWorkers.emplace_back([this, fd] {
                FHandler(fd);
                std::lock_guard<std::mutex> g(FLock);
                for (int& open : FOpen) {
                    if (open == fd) {
                        open = -1;
                    }
                }
                close(fd);
            });
        }
    }

    THandler FHandler;
    int FListen = -1;
    int FPort = 0;
    std::atomic<bool> FStopping{false};
    std::atomic<int> FAccepted{0};
    std::thread FAcceptThread;
    std::mutex FLock;
    std::vector<int> FOpen;
    std::vector<std::thread> FWorkers;
};

}  // namespace cltest
