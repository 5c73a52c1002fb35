// flv2mp4: copies the video and audio of an FLV file into an MP4 file
// without re-encoding them. Exit status 0 when converted, 1 when not
// (failed, not convertible, or stopped), 2 on bad usage.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "Remux.h"

namespace {

const char kUsage[] =
    "usage: flv2mp4 [-f] IN.flv [OUT.mp4]\n"
    "Copies the H.264 video and AAC or MP3 audio of IN.flv into OUT.mp4 (IN.mp4\n"
    "by default) without re-encoding them, with the index in front. Other codecs\n"
    "are refused. An existing OUT.mp4 is kept unless -f is given.\n";

std::atomic<bool> gStop{false};

void StopOnSignal(int) { gStop = true; }

int Usage(const std::string& problem) {
    std::fprintf(stderr, "flv2mp4: %s\n%s", problem.c_str(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    remux::Options options;
    std::vector<std::string> files;
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnd || arg.size() < 2 || arg[0] != '-')
            files.push_back(arg);
        else if (arg == "--")
            optionsEnd = true;
        else if (arg == "-f" || arg == "--force")
            options.replace = true;
        else if (arg == "-h" || arg == "--help")
            return std::fputs(kUsage, stdout), 0;
        else
            return Usage("unknown option " + arg);
    }
    if (files.empty()) return Usage("no FLV file given");
    if (files.size() > 2) return Usage("one FLV file and at most one MP4 file");
    const std::string& flv = files[0];
    const std::string mp4 = files.size() == 2 ? files[1] : remux::Mp4PathFor(flv);
    if (mp4 == flv) return Usage("the MP4 file would replace the FLV file");

    // Ctrl-C ends the conversion without leaving a half-written file.
    std::signal(SIGINT, StopOnSignal);
    std::signal(SIGTERM, StopOnSignal);
    options.stop = &gStop;
    const remux::Result result = remux::ConvertFile(flv, mp4, options);
    if (!result.Ok()) {
        const char* what = result.outcome == remux::Outcome::NotConvertible ? "not converted: " : "";
        std::fprintf(stderr, "flv2mp4: %s: %s%s\n", flv.c_str(), what, result.error.c_str());
        return 1;
    }
    std::printf("%s: %.1f s, %lld packets copied", mp4.c_str(), result.mp4Seconds,
                static_cast<long long>(result.packets));
    if (result.seams > 0)
        std::printf(", %lld seam%s mended", static_cast<long long>(result.seams), result.seams == 1 ? "" : "s");
    std::printf("\n");
    if (result.cutShort) std::fprintf(stderr, "flv2mp4: %s: %s\n", flv.c_str(), result.note.c_str());
    return 0;
}
