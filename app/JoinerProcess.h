// The joining tool as our own child process: started with an argument
// vector (no shell, so names with quotes, blanks or "$" pass unchanged),
// watched and ended through its process id. Only this child is ever
// signalled, never another process of the same name.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

namespace bl {

class TJoinerProcess {
public:
    // How long an asked child has to end by itself before it is killed, and
    // how long a killed one is waited for. A child the system cannot end
    // (stuck in a device, say) is left behind rather than waited for.
    static constexpr std::chrono::milliseconds kEndGrace{1000};
    static constexpr std::chrono::milliseconds kKillWait{2000};

    TJoinerProcess() = default;
    // Ends a child that still runs (End).
    ~TJoinerProcess();
    TJoinerProcess(const TJoinerProcess&) = delete;
    TJoinerProcess& operator=(const TJoinerProcess&) = delete;

    // Runs AProgram with AArguments (argv[0] is AProgram); its standard
    // streams go to /dev/null. False when it could not be started.
    bool Start(const std::string& AProgram, const std::vector<std::string>& AArguments);
    // True while the child has not ended; reaps it when it has.
    bool Running();
    // Asks the child to end (SIGTERM) when it still runs; from any thread.
    void Terminate();
    // Kills the child (SIGKILL) when it still runs; from any thread.
    void Kill();
    // Returns once the child has ended (true) or ATimeOut has passed.
    bool WaitFor(std::chrono::milliseconds ATimeOut);
    // Asks the child to end, kills it after kEndGrace, and waits at most
    // kKillWait more. True when it has ended.
    bool End();
    // The child ran and exited by itself with status 0.
    bool Succeeded();
    // Once the child has been reaped: the status it exited with by itself
    // (-1 when a signal ended it), and the signal that ended it (0: none).
    int ExitStatus();
    int EndSignal();
    // Why the last Start failed: the system's error number (0: it started).
    int StartError();

private:
    void Signal(int ASignal);

    std::mutex FLock;
    // 0 when no child is left to reap; a reaped id is never signalled.
    pid_t FPid = 0;
    bool FExited = false;
    int FExitStatus = -1;
    int FEndSignal = 0;
    int FStartError = 0;
};

}  // namespace bl
