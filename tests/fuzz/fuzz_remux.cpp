// Arbitrary bytes as the packets of a joined video for the seam mender
// (stream, decoding time, presentation offset), or as an FLV file for the
// whole conversion. The mender must keep every stream's decoding times
// rising and move packets forward only, never by less than it did before;
// a conversion that fails must leave nothing but its source behind.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Remux.h"
#include "SeamMender.h"

namespace {

void MendPackets(const uint8_t* AData, size_t ASize) {
    constexpr size_t kStreams = 2;
    remux::SeamMender mender(kStreams);
    std::vector<int64_t> last(kStreams, remux::SeamMender::kNone);
    int64_t shift = 0;
    for (size_t at = 0; at + 4 <= ASize; at += 4) {
        const size_t stream = AData[at] % kStreams;
        const int64_t sourceDts = int16_t(AData[at + 1] | AData[at + 2] << 8);
        const int64_t offset = AData[at + 3] % 8 * 40;  // B-frames' presentation delay
        int64_t dts = sourceDts;
        int64_t pts = sourceDts + offset;
        mender.Mend(stream, dts, pts);
        if (last[stream] != remux::SeamMender::kNone && dts <= last[stream]) std::abort();
        if (pts - dts != offset || dts - sourceDts < shift) std::abort();
        shift = dts - sourceDts;
        last[stream] = dts;
    }
}

void ConvertBytes(const uint8_t* AData, size_t ASize) {
    static const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("fuzz-remux-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string flv = (dir / "in.flv").string();
    std::ofstream(flv, std::ios::binary).write(reinterpret_cast<const char*>(AData), std::streamsize(ASize));
    const remux::Result result = remux::ConvertFile(flv, (dir / "out.mp4").string());
    size_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir)) ++files;
    if (files != (result.Ok() ? 2u : 1u) || (!result.Ok() && result.error.empty())) std::abort();
    std::filesystem::remove(dir / "out.mp4");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    if (ASize == 0) return 0;
    // The first byte chooses.
    if (AData[0] & 1) {
        MendPackets(AData + 1, ASize - 1);
    } else {
        ConvertBytes(AData + 1, ASize - 1);
    }
    return 0;
}
