// Converts a joined FLV video of 256 MiB (H.264 and AAC, made by ffmpeg and
// joined by the joining tool, so that it has the seams the program's files
// have) into an MP4 file with flv2mp4, and with
// `ffmpeg -i IN.flv -c copy -movflags +faststart OUT.mp4`, in the same run,
// taking turns round by round. Prints the median wall and CPU times, their
// ratio and the peak memory of both.
// Usage: remux_bench [folder]
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "ProcessTiming.h"

namespace fs = std::filesystem;

namespace {

constexpr uintmax_t kSourceBytes = 256u << 20;
constexpr int kRounds = 5;

// A 20-second segment with large pictures (about 12 MiB), then as many
// copies of it joined as make 256 MiB. Empty when a tool fails.
std::string MakeSource(const fs::path& dir) {
    const std::string segment = (dir / "segment.flv").string();
    const clbench::TTiming made = clbench::RunTimed({"ffmpeg",
                                                     "-nostdin",
                                                     "-v",
                                                     "error",
                                                     "-y",
                                                     "-f",
                                                     "lavfi",
                                                     "-i",
                                                     "testsrc2=size=1280x720:rate=25:duration=20",
                                                     "-f",
                                                     "lavfi",
                                                     "-i",
                                                     "sine=frequency=440:sample_rate=44100:duration=19.95",
                                                     "-c:v",
                                                     "libx264",
                                                     "-preset",
                                                     "ultrafast",
                                                     "-qp",
                                                     "12",
                                                     "-g",
                                                     "25",
                                                     "-pix_fmt",
                                                     "yuv420p",
                                                     "-c:a",
                                                     "aac",
                                                     "-b:a",
                                                     "128k",
                                                     "-f",
                                                     "flv",
                                                     segment});
    if (made.status != 0) return {};
    const uintmax_t copies = (kSourceBytes + fs::file_size(segment) - 1) / fs::file_size(segment);
    const std::string joined = (dir / "source.flv").string();
    std::vector<std::string> join = {RUVEROV_PATH, joined};
    for (uintmax_t i = 0; i < copies; ++i) join.push_back(segment);
    if (clbench::RunTimed(join).status != 0) return {};
    fs::remove(segment);
    return joined;
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path dir = fs::path(argc > 1 ? argv[1] : fs::temp_directory_path().string()) / "remux-bench";
    fs::create_directories(dir);
    const std::string flv = MakeSource(dir);
    if (flv.empty()) {
        std::fprintf(stderr, "remux_bench: ffmpeg or the joining tool could not make the source\n");
        return 1;
    }
    const std::string byPeer = (dir / "ffmpeg.mp4").string(), byTool = (dir / "flv2mp4.mp4").string();
    const std::vector<std::string> peer = {"ffmpeg", "-nostdin", "-v",   "error",     "-y",         "-i",
                                           flv,      "-c",       "copy", "-movflags", "+faststart", byPeer};
    const std::vector<std::string> tool = {FLV2MP4_PATH, "-f", flv, byTool};
    clbench::TPairedRounds rounds;
    // Each writes a new file, as the program does.
    const auto removeOutputs = [&] {
        fs::remove(byPeer);
        fs::remove(byTool);
    };
    if (!clbench::RunPairedRounds(peer, tool, kRounds, rounds, removeOutputs)) return 1;
    const long peerRss = clbench::MaxRssKiB(peer, "/dev/null", dir);
    const long toolRss = clbench::MaxRssKiB(tool, "/dev/null", dir);
    std::printf("remux_bench: %.1f MiB of FLV, MP4 %.1f MiB (ffmpeg) and %.1f MiB (flv2mp4), median of %d rounds\n",
                fs::file_size(flv) / 1048576.0, fs::file_size(byPeer) / 1048576.0, fs::file_size(byTool) / 1048576.0,
                kRounds);
    rounds.PrintRows("ffmpeg -c copy", peerRss, "flv2mp4", toolRss, 3);
    rounds.PrintRatio("flv2mp4", "ffmpeg", 1.0);
    fs::remove_all(dir);
    return 0;
}
