#include "JoinerProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

extern char** environ;

namespace bl {

namespace {

// The attributes and file actions of one spawn, released on every path.
class TSpawnSetup {
public:
    TSpawnSetup() {
        FActionsOk = posix_spawn_file_actions_init(&FActions) == 0;
        FAttrOk = posix_spawnattr_init(&FAttr) == 0;
    }
    ~TSpawnSetup() {
        if (FActionsOk) posix_spawn_file_actions_destroy(&FActions);
        if (FAttrOk) posix_spawnattr_destroy(&FAttr);
    }
    TSpawnSetup(const TSpawnSetup&) = delete;
    TSpawnSetup& operator=(const TSpawnSetup&) = delete;

    // Quiet standard streams and default signal handling in the child.
    // Returns 0, or the system's error number of the step that failed.
    int Prepare() {
        if (!FActionsOk || !FAttrOk) return ENOMEM;
        for (int fd = 0; fd <= 2; ++fd) {
            const int flags = fd == 0 ? O_RDONLY : O_WRONLY;
            if (const int error = posix_spawn_file_actions_addopen(&FActions, fd, "/dev/null", flags, 0)) return error;
        }
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
        // The program's sockets and files are none of the tool's business.
        if (const int error = posix_spawn_file_actions_addclosefrom_np(&FActions, 3)) return error;
#endif
        sigset_t none;
        sigemptyset(&none);
        sigset_t all;
        sigfillset(&all);
        if (const int error = posix_spawnattr_setsigmask(&FAttr, &none)) return error;
        if (const int error = posix_spawnattr_setsigdefault(&FAttr, &all)) return error;
        return posix_spawnattr_setflags(&FAttr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    const posix_spawn_file_actions_t* Actions() const { return &FActions; }
    const posix_spawnattr_t* Attributes() const { return &FAttr; }

private:
    posix_spawn_file_actions_t FActions{};
    posix_spawnattr_t FAttr{};
    bool FActionsOk = false;
    bool FAttrOk = false;
};

constexpr auto kReapPoll = std::chrono::milliseconds(10);

}  // namespace

TJoinerProcess::~TJoinerProcess() { End(); }

bool TJoinerProcess::Start(const std::string& AProgram, const std::vector<std::string>& AArguments) {
    std::lock_guard<std::mutex> lock(FLock);
    if (FPid != 0) return false;
    TSpawnSetup setup;
    FStartError = setup.Prepare();
    if (FStartError != 0) return false;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(AProgram.c_str()));
    for (const std::string& argument : AArguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    FStartError = posix_spawn(&pid, AProgram.c_str(), setup.Actions(), setup.Attributes(), argv.data(), environ);
    if (FStartError != 0) return false;
    FPid = pid;
    FExited = false;
    FExitStatus = -1;
    FEndSignal = 0;
    return true;
}

bool TJoinerProcess::Running() {
    std::lock_guard<std::mutex> lock(FLock);
    if (FPid == 0) return false;
    int status = 0;
    const pid_t done = waitpid(FPid, &status, WNOHANG);
    if (done == 0) return true;
    if (done == FPid) {
        FExited = WIFEXITED(status);
        FExitStatus = FExited ? WEXITSTATUS(status) : -1;
        FEndSignal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
    if (done < 0 && errno == EINTR) return true;
    // Reaped now, or no longer our child (ECHILD): nothing left to signal.
    FPid = 0;
    return false;
}

void TJoinerProcess::Signal(int ASignal) {
    std::lock_guard<std::mutex> lock(FLock);
    // Not reaped yet, so the id still names our child (a zombie at worst).
    if (FPid != 0) kill(FPid, ASignal);
}

void TJoinerProcess::Terminate() { Signal(SIGTERM); }

void TJoinerProcess::Kill() { Signal(SIGKILL); }

bool TJoinerProcess::WaitFor(std::chrono::milliseconds ATimeOut) {
    const auto deadline = std::chrono::steady_clock::now() + ATimeOut;
    while (Running()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kReapPoll);
    }
    return true;
}

bool TJoinerProcess::End() {
    if (!Running()) return true;
    Terminate();
    if (WaitFor(kEndGrace)) return true;
    Kill();
    return WaitFor(kKillWait);
}

bool TJoinerProcess::Succeeded() {
    std::lock_guard<std::mutex> lock(FLock);
    return FPid == 0 && FExited && FExitStatus == 0;
}

int TJoinerProcess::ExitStatus() {
    std::lock_guard<std::mutex> lock(FLock);
    return FPid == 0 && FExited ? FExitStatus : -1;
}

int TJoinerProcess::EndSignal() {
    std::lock_guard<std::mutex> lock(FLock);
    return FPid == 0 ? FEndSignal : 0;
}

int TJoinerProcess::StartError() {
    std::lock_guard<std::mutex> lock(FLock);
    return FStartError;
}

}  // namespace bl
