#include "support/LoopbackDaemon.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace cltest {

int FreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd >= 0) close(fd);
        throw std::runtime_error("no free loopback port");
    }
    close(fd);
    return ntohs(a.sin_port);
}

bool Accepts(int APort) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(APort));
    const bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (fd >= 0) close(fd);
    return ok;
}

void WriteFile(const std::string& AFileName, const std::string& AContent) {
    std::ofstream out(AFileName, std::ios::binary | std::ios::trunc);
    out << AContent;
    if (!out) throw std::runtime_error("cannot write " + AFileName);
}

std::string ReadFileIfAny(const std::string& AFileName) {
    std::ifstream in(AFileName, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool TLoopbackDaemon::Start(std::vector<std::string> AArguments, const std::string& AOutputFile,
                            const std::function<bool()>& AReady, const std::function<std::string()>& AErrorText,
                            std::string& AError) {
    Stop();
    std::vector<char*> argv;
    for (std::string& s : AArguments) argv.push_back(s.data());
    argv.push_back(nullptr);
    const int out = open(AOutputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const pid_t parent = getpid();
    FPid = fork();
    if (FPid < 0) {
        if (out >= 0) close(out);
        AError = "fork failed";
        return false;
    }
    if (FPid == 0) {
        // Only async-signal-safe calls from here on. The server dies with
        // the test process, even when that one crashes.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        // A group of its own: a server that signals its whole process
        // group when it stops (apache does) must not reach the test.
        setpgid(0, 0);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        }
        syscall(SYS_close_range, 3U, ~0U, 0U);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (out >= 0) close(out);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(FPid, &status, WNOHANG) == FPid) {
            FPid = -1;
            AError = "exit status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + "\n" +
                     AErrorText() + ReadFileIfAny(AOutputFile);
            return false;
        }
        if (AReady()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    AError = "no answer within 15 s\n" + AErrorText();
    Stop();
    return false;
}

void TLoopbackDaemon::Stop() {
    if (FPid <= 0) return;
    kill(FPid, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (waitpid(FPid, nullptr, WNOHANG) == FPid) {
            FPid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(FPid, SIGKILL);
    waitpid(FPid, nullptr, 0);
    FPid = -1;
}

}  // namespace cltest
