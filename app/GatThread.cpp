#include "GatThread.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

#include "flvTagReader.h"

namespace bl {

namespace {

constexpr auto kJoinerPoll = std::chrono::milliseconds(100);

bool FileExists(const std::string& AName) {
    std::error_code error;
    return std::filesystem::is_regular_file(std::filesystem::path(AName), error);
}

// Every tag of the segment reads completely up to its end. The tool ends a
// source quietly at a tag it cannot read whole and still succeeds, so the
// joined file would lack the rest of that segment. Gives up (false) as soon
// as AStopping holds: a long segment must not hold up the window's close.
template <class TStopping>
bool SegmentIsWhole(const std::string& AName, TStopping AStopping) {
    std::error_code error;
    const auto size = std::filesystem::file_size(std::filesystem::path(AName), error);
    if (error) return false;
    cl::flv::TagReader reader;
    FlvHeader header{};
    if (!reader.Open(AName) || !reader.ReadHeader(header)) return false;
    uintmax_t end = uintmax_t{header.dataOffset} + cl::flv::kPrevTagSizeSize;
    while (cl::flv::TagPtr tag = reader.ReadTag(false)) {
        if (AStopping()) return false;
        end += tag->dataSize + cl::flv::kTagHeaderSize + cl::flv::kPrevTagSizeSize;
    }
    return !reader.Failed() && end == size;
}

// The file's data and its folder entry are on the disk, so that a power loss
// cannot leave an empty joined file once its segments are gone.
bool SyncToDisk(const std::string& AFile, const std::string& AFolder) {
    for (const auto& [path, flags] : {std::pair{AFile, O_RDONLY}, std::pair{AFolder, O_RDONLY | O_DIRECTORY}}) {
        const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
        if (fd < 0) return false;
        const bool synced = ::fsync(fd) == 0;
        const int error = errno;
        ::close(fd);
        if (!synced) {
            errno = error;  // the reason told of the failure
            return false;
        }
    }
    return true;
}

}  // namespace

std::string JoinedFileName(const std::string& AFolder, const std::string& ABaseName) {
    return AFolder + ABaseName + ".flv";
}

std::string SegmentFileName(const std::string& AFolder, const std::string& ABaseName, int ACount, int AIndex) {
    return AFolder + ABaseName + " " + std::to_string(ACount) + "-" + std::to_string(AIndex) + ".flv";
}

GatFlv::GatFlv(std::string sFtmpath, std::string sFileName, int _FCount, std::function<void()> aOnTerminate,
               std::string AJoinerProgram, const std::atomic<bool>& AClosing, std::string AJoinedName)
    : Ftmpath(std::move(sFtmpath)),
      FFileName(std::move(sFileName)),
      FCount(_FCount),
      FJoinedName(AJoinedName.empty() ? FFileName : std::move(AJoinedName)),
      FOnTerminate(std::move(aOnTerminate)),
      FJoinerProgram(std::move(AJoinerProgram)),
      FClosing(AClosing),
      FThread([this] {
          Execute();
          if (FOnTerminate) FOnTerminate();
      }) {}

GatFlv::~GatFlv() {
    FAbort = true;
    FJoiner.Terminate();
    WaitFor();
}

void GatFlv::WaitFor() {
    if (FThread.joinable()) FThread.join();
}

void GatFlv::Execute() {
    FFailureReason = Join();
    FJoinerExitStatus = FJoiner.ExitStatus();
    FJoined = FFailureReason.empty();
}

std::string GatFlv::Join() {
    const std::string stopped = "the join was stopped";
    if (FCount < 1) return "there is no segment to join";
    const std::string joined = JoinedFileName(Ftmpath, FJoinedName);
    std::vector<std::string> arguments{joined};
    for (int k = 1; k <= FCount; ++k) arguments.push_back(SegmentFileName(Ftmpath, FFileName, FCount, k));
    if (!FJoiner.Start(FJoinerProgram, arguments)) {
        return "the joining tool could not be started: " + std::generic_category().message(FJoiner.StartError());
    }
    if (!WaitForJoiner() || Stopping()) return stopped;
    // The segments are the only copy of the video until the joined file holds
    // all of them.
    if (!FJoiner.Succeeded()) {
        if (const int signal = FJoiner.EndSignal(); signal != 0) {
            return "the joining tool was ended by signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
        }
        return "the joining tool exited with status " + std::to_string(FJoiner.ExitStatus());
    }
    if (!FileExists(joined)) return "the joining tool exited with status 0 but made no joined file";
    for (int k = 1; k <= FCount; ++k) {
        const std::string& segment = arguments[static_cast<size_t>(k)];
        if (!SegmentIsWhole(segment, [this] { return Stopping(); })) {
            if (Stopping()) return stopped;
            return "the segment " + std::filesystem::path(segment).filename().string() +
                   " does not read whole to its end";
        }
    }
    if (!SyncToDisk(joined, Ftmpath)) {
        return "the joined file could not be written to the disk: " + std::generic_category().message(errno);
    }
    for (int k = 1; k <= FCount; ++k) {
        std::error_code error;
        std::filesystem::remove(std::filesystem::path(arguments[static_cast<size_t>(k)]), error);
    }
    return {};
}

bool GatFlv::WaitForJoiner() {
    while (FJoiner.Running()) {
        if (Stopping()) {
            FJoiner.End();
            return false;
        }
        std::this_thread::sleep_for(kJoinerPoll);
    }
    return true;
}

}  // namespace bl
