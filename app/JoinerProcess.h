// The joining tool as our own child process: started with an argument
// vector (no shell, so names with quotes, blanks or "$" pass unchanged),
// watched and ended through its process id. Only this child is ever
// signalled, never another process of the same name.
#pragma once

#include <sys/types.h>

#include <mutex>
#include <string>
#include <vector>

namespace bl {

class TJoinerProcess {
public:
    TJoinerProcess() = default;
    // Ends and reaps a child that still runs.
    ~TJoinerProcess();
    TJoinerProcess(const TJoinerProcess&) = delete;
    TJoinerProcess& operator=(const TJoinerProcess&) = delete;

    // Runs AProgram with AArguments (argv[0] is AProgram); its standard
    // streams go to /dev/null. False when it could not be started.
    bool Start(const std::string& AProgram, const std::vector<std::string>& AArguments);
    // True while the child has not ended; reaps it when it has.
    bool Running();
    // Kills the child when it still runs; from any thread.
    void Terminate();
    // Returns once the child has ended.
    void Wait();
    // The child ran and exited by itself with status 0.
    bool Succeeded();

private:
    std::mutex FLock;
    // 0 when no child is left to reap; a reaped id is never signalled.
    pid_t FPid = 0;
    bool FExited = false;
    int FExitStatus = -1;
};

}  // namespace bl
