#include "ConvertWorker.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "Remux.h"

namespace bl {

std::string Mp4FileName(const std::string& AFolder, const std::string& ABaseName) {
    std::string name = AFolder + ABaseName + ".mp4";
    for (int k = 1; ::access(name.c_str(), F_OK) == 0; ++k) {
        name = AFolder + ABaseName + "（" + std::to_string(k) + "）.mp4";
    }
    return name;
}

TConvertWorker::TConvertWorker(std::string AFlv, std::string AMp4, const std::atomic<bool>& AClosing,
                               std::function<void()> AOnEnd)
    : Flv(std::move(AFlv)), Mp4(std::move(AMp4)), FClosing(AClosing), FOnEnd(std::move(AOnEnd)), FThread([this] {
          Execute();
          if (FOnEnd) FOnEnd();
      }) {}

TConvertWorker::~TConvertWorker() { WaitFor(); }

void TConvertWorker::WaitFor() {
    if (FThread.joinable()) FThread.join();
}

void TConvertWorker::Execute() {
    remux::Options options;
    options.stop = &FClosing;
    options.sync = true;  // the FLV goes next
    const remux::Result result = remux::ConvertFile(Flv, Mp4, options);
    if (!result.Ok()) {
        FFailureReason = result.error;
        return;
    }
    FNote = result.note;
    // The MP4 was read back and is on the disk: the FLV may go.
    if (::unlink(Flv.c_str()) != 0) {
        FNote += (FNote.empty() ? "" : "; ") + std::string("the FLV could not be deleted: ") + std::strerror(errno);
    }
    FConverted = true;
}

}  // namespace bl
