#include "GatThread.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
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
        ::close(fd);
        if (!synced) return false;
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
    if (FCount < 1) return;
    const std::string joined = JoinedFileName(Ftmpath, FJoinedName);
    std::vector<std::string> arguments{joined};
    for (int k = 1; k <= FCount; ++k) arguments.push_back(SegmentFileName(Ftmpath, FFileName, FCount, k));
    if (!FJoiner.Start(FJoinerProgram, arguments)) return;
    if (!WaitForJoiner() || Stopping()) return;
    // The segments are the only copy of the video until the joined file holds
    // all of them.
    if (!FJoiner.Succeeded() || !FileExists(joined)) return;
    for (int k = 1; k <= FCount; ++k) {
        if (!SegmentIsWhole(arguments[static_cast<size_t>(k)], [this] { return Stopping(); })) return;
    }
    if (!SyncToDisk(joined, Ftmpath)) return;
    for (int k = 1; k <= FCount; ++k) {
        std::error_code error;
        std::filesystem::remove(std::filesystem::path(arguments[static_cast<size_t>(k)]), error);
    }
    FJoined = true;
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
