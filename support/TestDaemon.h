// Starting and stopping a real server program (nginx, a SOCKS daemon) for a
// test, and running a command-line tool to its end: a child that dies with the test process, optionally in a process
// group of its own and with files bind-mounted over system files in a mount
// namespace only it sees; and loopback port helpers for its configuration.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace cltest {

struct TDaemonSpawn {
    std::vector<std::string> Args;  // Args[0] is the program's path
    std::string OutputFile;         // standard output and error go here
    // The daemon and the children it forks in one group, stopped together.
    bool OwnProcessGroup = false;
    // (file, mount point): seen over the mount point by the daemon alone.
    std::vector<std::pair<std::string, std::string>> BindMounts;
};

// The exit status of a child whose bind mounts could not be set up.
constexpr int cDaemonMountFailed = 126;

// The child's process id, -1 when fork failed.
pid_t SpawnDaemon(const TDaemonSpawn& ASpawn);
// TERM, then KILL after 2 s; reaps the child and sets APid to -1.
void StopDaemon(pid_t& APid, bool AProcessGroup);
// The child's exit status once it has ended (APid then -1), or -1 while it runs.
int ExitStatusIfEnded(pid_t& APid);

struct TToolRun {
    int Status = -1;  // exit status; -1 when it did not start or was killed
    std::string Stderr;
};

// Runs AProgram with AArguments (no shell) to its end; standard output is
// dropped, standard error captured through the file AErrFile.
TToolRun RunTool(const std::string& AProgram, const std::vector<std::string>& AArguments, const std::string& AErrFile);

// A loopback port that was free a moment ago (a daemon binds it a little
// later, so another process may take it in between: retry then).
int FreeLoopbackPort();
// A blocking socket connected to 127.0.0.1:APort, -1 when refused.
int ConnectToLoopback(int APort);
// Whether 127.0.0.1:APort accepts a connection.
bool AcceptsOnLoopback(int APort);

// Waits up to 15 s until AReady() holds. False when the daemon ended first
// (AExitStatus: its status) or the time ran out (AExitStatus: -1).
bool WaitForDaemon(pid_t& APid, const std::function<bool()>& AReady, int& AExitStatus);

// Writes (replaces) a file; throws std::runtime_error when it cannot.
void WriteFile(const std::string& AFileName, const std::string& AContent);
// The whole content of a file, empty when there is none (a log not yet written).
std::string ReadFileIfAny(const std::string& AFileName);

// A server program run as a child in a process group of its own (a server
// that signals its whole group when it stops, as apache does, must not reach
// the test), with its output in AOutputFile. Start returns once AReady holds
// (true), or when the child exited or 15 s passed (false, with AError telling
// what happened and AErrorText() appended).
class TLoopbackDaemon {
public:
    TLoopbackDaemon() = default;
    ~TLoopbackDaemon() { Stop(); }
    TLoopbackDaemon(const TLoopbackDaemon&) = delete;
    TLoopbackDaemon& operator=(const TLoopbackDaemon&) = delete;

    bool Start(std::vector<std::string> AArguments, const std::string& AOutputFile, const std::function<bool()>& AReady,
               const std::function<std::string()>& AErrorText, std::string& AError);
    // TERM, then KILL after two seconds.
    void Stop() { StopDaemon(FPid, true); }

private:
    pid_t FPid = -1;
};

}  // namespace cltest
