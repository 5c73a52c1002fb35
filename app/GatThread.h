// The joining worker: one thread per join that runs the joining tool on the
// segments of one part, waits for it to end and deletes the segments only
// when the joined file was made. At most one exists; the window owns it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "JoinerProcess.h"

namespace bl {

// The status texts of a merge-queue row.
inline constexpr const char* kMergeWaiting = "等待";
inline constexpr const char* kMerging = "正在合并";
inline constexpr const char* kMergeFailed = "合并失败";

// The files of one join: Folder + Base + ".flv" made from the segments
// Folder + Base + " n-k.flv", k = 1..n.
std::string JoinedFileName(const std::string& AFolder, const std::string& ABaseName);
std::string SegmentFileName(const std::string& AFolder, const std::string& ABaseName, int ACount, int AIndex);

class GatFlv {
public:
    // sFtmpath: the segments' folder with its trailing "/"; sFileName: the
    // base name; _FCount: the number of segments. aOnTerminate runs on the
    // worker's thread as its last step (the window posts it to its own
    // thread). The worker starts at once and stops waiting when AClosing
    // turns true. AJoinedName: the joined file's base name, when a file of
    // the video's own base name exists already.
    GatFlv(std::string sFtmpath, std::string sFileName, int _FCount, std::function<void()> aOnTerminate,
           std::string AJoinerProgram, const std::atomic<bool>& AClosing, std::string AJoinedName = {});
    // Ends the tool when it still runs and waits for the thread.
    ~GatFlv();
    GatFlv(const GatFlv&) = delete;
    GatFlv& operator=(const GatFlv&) = delete;

    // True while our joining tool runs.
    bool IsJoinerRunning() { return FJoiner.Running(); }
    // Asks our joining tool to end (never another process of that name); the
    // worker, once stopping, kills it if it does not.
    void TerminateJoinerProcesses() { FJoiner.Terminate(); }
    // Valid once aOnTerminate has run: the tool exited with 0, the joined
    // file exists, is on the disk, and the segments are deleted.
    bool Joined() const { return FJoined.load(); }
    // Waits for the thread to return (it has, or is about to, once
    // aOnTerminate ran).
    void WaitFor();
    // Valid once the thread was waited for: why the video was not joined
    // (empty when it was), and the status the tool exited with by itself
    // (-1 when it did not run or did not exit by itself).
    const std::string& FailureReason() const { return FFailureReason; }
    int JoinerExitStatus() const { return FJoinerExitStatus; }

    const std::string Ftmpath;
    const std::string FFileName;
    const int32_t FCount;
    // The joined file: Ftmpath + FJoinedName + ".flv".
    const std::string FJoinedName;

private:
    // The join; returns why the video was not joined, or an empty text.
    std::string Join();
    void Execute();
    // Waits until the tool has ended; false when the wait was cut short by
    // closing (the tool is then ended).
    bool WaitForJoiner();
    bool Stopping() const { return FClosing.load() || FAbort.load(); }

    std::function<void()> FOnTerminate;
    const std::string FJoinerProgram;
    const std::atomic<bool>& FClosing;
    std::atomic<bool> FAbort{false};
    std::atomic<bool> FJoined{false};
    // Written by the thread before it ends, read after it was joined.
    std::string FFailureReason;
    int FJoinerExitStatus = -1;
    TJoinerProcess FJoiner;
    std::thread FThread;  // last: it starts once everything above exists
};

}  // namespace bl
