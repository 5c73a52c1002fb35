#include "support/TestDaemon.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <spawn.h>
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

pid_t SpawnDaemon(const TDaemonSpawn& ASpawn) {
    // Everything the child needs is made before fork: after it only
    // async-signal-safe calls are allowed.
    std::vector<std::string> args = ASpawn.Args;
    std::vector<char*> argv;
    for (std::string& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);
    const int out = open(ASpawn.OutputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0) {
        if (out >= 0) close(out);
        return pid;
    }
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    if (ASpawn.OwnProcessGroup) setpgid(0, 0);
    if (!ASpawn.BindMounts.empty()) {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            _exit(cDaemonMountFailed);
        }
        for (const auto& [file, target] : ASpawn.BindMounts) {
            if (mount(file.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) _exit(cDaemonMountFailed);
        }
    }
    if (out >= 0) {
        dup2(out, 1);
        dup2(out, 2);
    }
    syscall(SYS_close_range, 3U, ~0U, 0U);
    execv(argv[0], argv.data());
    _exit(127);
}

void StopDaemon(pid_t& APid, bool AProcessGroup) {
    if (APid <= 0) return;
    const pid_t target = AProcessGroup ? -APid : APid;
    kill(target, SIGTERM);
    bool ended = false;
    for (int i = 0; i < 200 && !ended; ++i) {
        ended = waitpid(APid, nullptr, WNOHANG) == APid;
        if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!ended) {
        kill(target, SIGKILL);
        waitpid(APid, nullptr, 0);
    }
    // Children the daemon forked may outlive it for a moment.
    if (AProcessGroup) kill(target, SIGKILL);
    APid = -1;
}

int ExitStatusIfEnded(pid_t& APid) {
    int status = 0;
    if (APid <= 0 || waitpid(APid, &status, WNOHANG) != APid) return -1;
    APid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TToolRun RunTool(const std::string& AProgram, const std::vector<std::string>& AArguments, const std::string& AErrFile) {
    std::vector<std::string> args{AProgram};
    args.insert(args.end(), AArguments.begin(), AArguments.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, AErrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    TToolRun run;
    if (posix_spawn(&pid, AProgram.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    std::ifstream in(AErrFile, std::ios::binary);
    std::ostringstream text;
    if (in) text << in.rdbuf();
    run.Stderr = text.str();
    return run;
}

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

int ConnectToLoopback(int APort) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(APort));
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool AcceptsOnLoopback(int APort) {
    const int fd = ConnectToLoopback(APort);
    if (fd < 0) return false;
    close(fd);
    return true;
}

bool WaitForDaemon(pid_t& APid, const std::function<bool()>& AReady, int& AExitStatus) {
    AExitStatus = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
        AExitStatus = ExitStatusIfEnded(APid);
        if (AExitStatus >= 0) return false;
        if (AReady()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
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
    TDaemonSpawn spawn;
    spawn.Args = std::move(AArguments);
    spawn.OutputFile = AOutputFile;
    spawn.OwnProcessGroup = true;
    FPid = SpawnDaemon(spawn);
    if (FPid < 0) {
        AError = "fork failed";
        return false;
    }
    int status = -1;
    if (WaitForDaemon(FPid, AReady, status)) return true;
    if (status >= 0) {
        AError = "exit status " + std::to_string(status) + "\n" + AErrorText() + ReadFileIfAny(AOutputFile);
        return false;
    }
    AError = "no answer within 15 s\n" + AErrorText();
    Stop();
    return false;
}

}  // namespace cltest
