// Joins four FLV segments of about 64 MiB each with the joining tool and
// copies the same files into one with `cat`, in the same run, and prints the
// time ratio and the peak memory of both. The tool reports success only once
// the joined file is on the disk, so `cat` is followed by `sync -d` of its
// output: both then pay for writing the file out. The two take turns round by round;
// besides the wall time it prints the CPU time (user + system) of each, which
// another developer's build on a shared machine disturbs less.
// Usage: joiner_bench [folder]
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "ProcessTiming.h"

namespace fs = std::filesystem;

namespace {

constexpr int kSegments = 4;
constexpr uint64_t kSegmentBytes = 64ull << 20;
constexpr int kRounds = 9;
size_t gLargestTag = 0;  // bytes, header and PreviousTagSize included

void Put24(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(uint8_t(v >> 16));
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v));
}

void AppendTag(std::vector<uint8_t>& out, uint8_t type, uint32_t ms, size_t size, uint8_t first, std::mt19937& rng) {
    gLargestTag = std::max(gLargestTag, size + 15);
    out.push_back(type);
    Put24(out, uint32_t(size));
    Put24(out, ms & 0xFFFFFF);
    out.push_back(uint8_t(ms >> 24));
    Put24(out, 0);
    out.push_back(first);
    for (size_t i = 1; i < size; ++i) out.push_back(uint8_t(rng()));
    uint32_t prev = uint32_t(size + 11);
    out.push_back(uint8_t(prev >> 24));
    Put24(out, prev);
}

// A segment of H.264 video at 25 frames per second (a key frame every two
// seconds) and AAC audio every 23 ms, as a video site serves them.
void WriteSegment(const std::string& name, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<size_t> inter(4000, 40000), keyframe(80000, 160000), audio(280, 420);
    std::vector<uint8_t> out = {'F', 'L', 'V', 1, 5, 0, 0, 0, 9, 0, 0, 0, 0};
    uint32_t frame = 0, audioMs = 0;
    FILE* f = std::fopen(name.c_str(), "wb");
    if (!f) {
        std::perror(name.c_str());
        std::exit(1);
    }
    uint64_t written = 0;
    while (written + out.size() < kSegmentBytes) {
        uint32_t videoMs = frame * 40;
        while (audioMs <= videoMs) {
            AppendTag(out, 8, audioMs, audio(rng), 0xAF, rng);
            audioMs += 23;
        }
        bool key = frame % 50 == 0;
        AppendTag(out, 9, videoMs, key ? keyframe(rng) : inter(rng), key ? 0x17 : 0x27, rng);
        ++frame;
        if (out.size() > (4u << 20)) {
            written += std::fwrite(out.data(), 1, out.size(), f);
            out.clear();
        }
    }
    written += std::fwrite(out.data(), 1, out.size(), f);
    std::fclose(f);
}

}  // namespace

using clbench::MaxRssKiB;
using clbench::Median;
using clbench::RunTimed;
using clbench::TTiming;

int main(int argc, char** argv) {
    fs::path dir = fs::path(argc > 1 ? argv[1] : fs::temp_directory_path().string()) / "joiner-bench";
    fs::create_directories(dir);
    std::vector<std::string> sources;
    uint64_t total = 0;
    for (int i = 0; i < kSegments; ++i) {
        std::string name = (dir / ("segment-" + std::to_string(i + 1) + ".flv")).string();
        WriteSegment(name, 1234u + uint32_t(i));
        // On disk before timing starts, so that no write-back of the
        // segments runs during the rounds.
        if (FILE* f = std::fopen(name.c_str(), "rb")) {
            ::fsync(fileno(f));
            std::fclose(f);
        }
        sources.push_back(name);
        total += fs::file_size(name);
    }
    const std::string joined = (dir / "joined.flv").string(), catOut = (dir / "cat.flv").string();
    const std::string quiet = (dir / "stdout.txt").string();

    std::vector<std::string> catArgs = {"sh", "-c", "cat \"$@\" && sync -d \"$0\"", catOut};
    catArgs.insert(catArgs.end(), sources.begin(), sources.end());
    std::vector<std::string> joinArgs = {RUVEROV_PATH, joined};
    joinArgs.insert(joinArgs.end(), sources.begin(), sources.end());

    // One untimed run of each first: it warms the page cache, and the first
    // large files written after the segments were made are often slower for
    // both tools alike.
    RunTimed(catArgs, catOut);
    RunTimed(joinArgs, quiet);
    clbench::TPairedRounds rounds;
    for (int round = 0; round < kRounds; ++round) {
        fs::remove(catOut);
        TTiming c = RunTimed(catArgs, catOut);
        fs::remove(joined);
        TTiming j = RunTimed(joinArgs, quiet);
        if (c.status != 0 || j.status != 0) {
            std::fprintf(stderr, "cat exited %d, joiner exited %d\n", c.status, j.status);
            return 1;
        }
        rounds.Add(c, j);
    }
    fs::remove(catOut);
    const long catRss = MaxRssKiB(catArgs, catOut, dir);
    fs::remove(joined);
    const long joinRss = MaxRssKiB(joinArgs, quiet, dir);
    double catS = Median(rounds.PeerSeconds), joinS = Median(rounds.ToolSeconds);
    std::printf("joiner_bench: %d segments, %.1f MiB in all, median of %d rounds\n", kSegments, total / 1048576.0,
                kRounds);
    std::printf("  cat+sync %.3f s  CPU %.3f s  max RSS %ld KiB\n", catS, Median(rounds.PeerCpu), catRss);
    std::printf("  RuvErov  %.3f s  CPU %.3f s  max RSS %ld KiB  (joined %.1f MiB)\n", joinS, Median(rounds.ToolCpu),
                joinRss, fs::file_size(joined) / 1048576.0);
    std::printf(
        "  ratio RuvErov / cat+sync: %.2fx, CPU time %.2fx, per round from %.2fx to %.2fx (goal: at most 2.0x)\n",
        Median(rounds.Ratios), Median(rounds.ToolCpu) / Median(rounds.PeerCpu), rounds.LowestRatio(),
        rounds.HighestRatio());
    std::printf("  largest tag %zu KiB\n", gLargestTag / 1024);
    fs::remove(catOut);
    fs::remove(joined);
    fs::remove(quiet);
    for (const std::string& s : sources) fs::remove(s);
    return 0;
}
