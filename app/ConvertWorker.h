// The conversion worker: one thread that copies a finished video's FLV file
// into an MP4 file beside it without re-encoding (the remux library), and
// deletes the FLV only once the MP4 was read back and checked. At most one
// exists; the merge queue owns it.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace bl {

// The status texts of a merge-queue row in its conversion step.
inline constexpr const char* kConverting = "正在转换";
inline constexpr const char* kConvertFailed = "转换失败";

// AFolder + ABaseName + ".mp4", or, when that is taken, ABaseName + "（k）"
// for the first k that is free: a conversion never overwrites a file.
std::string Mp4FileName(const std::string& AFolder, const std::string& ABaseName);

class TConvertWorker {
public:
    // AFlv: the finished video; AMp4: the file to make. AOnEnd runs on the
    // worker's thread as its last step. The worker starts at once and stops,
    // leaving no MP4 behind, when AClosing turns true.
    TConvertWorker(std::string AFlv, std::string AMp4, const std::atomic<bool>& AClosing, std::function<void()> AOnEnd);
    // Waits for the thread.
    ~TConvertWorker();
    TConvertWorker(const TConvertWorker&) = delete;
    TConvertWorker& operator=(const TConvertWorker&) = delete;

    // Waits for the thread to return (it has, or is about to, once AOnEnd ran).
    void WaitFor();

    // Valid once the thread was waited for: the MP4 is in place and the FLV
    // gone; else why not (empty when converted). ANote: what the user
    // should know of a conversion that went through (a source cut short).
    bool Converted() const { return FConverted; }
    const std::string& FailureReason() const { return FFailureReason; }
    const std::string& Note() const { return FNote; }

    const std::string Flv;
    const std::string Mp4;

private:
    void Execute();

    const std::atomic<bool>& FClosing;
    std::function<void()> FOnEnd;
    bool FConverted = false;
    std::string FFailureReason;
    std::string FNote;
    std::thread FThread;  // last: it starts once everything above exists
};

}  // namespace bl
