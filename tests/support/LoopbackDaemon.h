// What the fixtures that run a real server program on loopback share: free
// ports, a probe that a port accepts, writing their generated files, and a
// child process that dies with the test and is stopped by its owner.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace cltest {

// A loopback port that was free a moment ago. The server binds it a little
// later, so another process may take it in between; starts are retried.
int FreeLoopbackPort();
bool Accepts(int APort);
// Writes (replaces) a file; throws std::runtime_error when it cannot.
void WriteFile(const std::string& AFileName, const std::string& AContent);
// The whole content of a file, empty when there is none (a log not yet written).
std::string ReadFileIfAny(const std::string& AFileName);

// A server program run as a child with its output in AOutputFile. Start
// returns once AReady holds (true), or when the child exited or 15 s passed
// (false, with AError telling what happened and AErrorText() appended).
class TLoopbackDaemon {
public:
    TLoopbackDaemon() = default;
    ~TLoopbackDaemon() { Stop(); }
    TLoopbackDaemon(const TLoopbackDaemon&) = delete;
    TLoopbackDaemon& operator=(const TLoopbackDaemon&) = delete;

    bool Start(std::vector<std::string> AArguments, const std::string& AOutputFile,
               const std::function<bool()>& AReady, const std::function<std::string()>& AErrorText,
               std::string& AError);
    // TERM, then KILL after two seconds.
    void Stop();

private:
    pid_t FPid = -1;
};

}  // namespace cltest
