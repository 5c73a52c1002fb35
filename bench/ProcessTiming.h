// Timing a tool as a whole process, as the benchmarks compare one tool with
// a well-known peer: wall and CPU time of one run, the peak resident memory
// of one run (as /usr/bin/time reports it), and the median of a round.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

extern char** environ;

namespace clbench {

struct TTiming {
    double seconds = 0;
    double cpuSeconds = 0;  // user + system
    int status = -1;
};

// Runs AArgs (argv[0] looked up on the PATH) with standard output into
// AStdoutFile; a tool that cannot be started ends the benchmark.
inline TTiming RunTimed(const std::vector<std::string>& AArgs, const std::string& AStdoutFile = "/dev/null") {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, AStdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    for (const std::string& a : AArgs) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        std::fprintf(stderr, "cannot start %s: %s\n", argv[0], std::strerror(rc));
        std::exit(1);
    }
    int wstatus = 0;
    struct rusage usage {};
    while (::wait4(pid, &wstatus, 0, &usage) < 0 && errno == EINTR) {
    }
    TTiming t;
    t.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto seconds = [](const timeval& v) { return double(v.tv_sec) + double(v.tv_usec) / 1e6; };
    t.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    t.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    return t;
}

// Peak resident memory of one run in KiB, as /usr/bin/time reports it (the
// rusage of a child started with posix_spawn would include this process's
// own memory before the exec); -1 without /usr/bin/time. ADir holds the
// report for a moment.
inline long MaxRssKiB(const std::vector<std::string>& AArgs, const std::string& AStdoutFile,
                      const std::filesystem::path& ADir) {
    if (!std::filesystem::exists("/usr/bin/time")) return -1;
    const std::string report = (ADir / "rss.txt").string();
    std::vector<std::string> timed = {"/usr/bin/time", "-f", "%M", "-o", report};
    timed.insert(timed.end(), AArgs.begin(), AArgs.end());
    if (RunTimed(timed, AStdoutFile).status != 0) return -1;
    long kib = -1;
    if (FILE* f = std::fopen(report.c_str(), "r")) {
        if (std::fscanf(f, "%ld", &kib) != 1) kib = -1;
        std::fclose(f);
    }
    std::filesystem::remove(report);
    return kib;
}

inline double Median(std::vector<double> AValues) {
    std::sort(AValues.begin(), AValues.end());
    return AValues[AValues.size() / 2];
}

// The rounds of a tool timed against its peer, one pair a round.
struct TPairedRounds {
    std::vector<double> PeerSeconds, ToolSeconds, PeerCpu, ToolCpu, Ratios;  // Ratios: tool / peer

    void Add(const TTiming& APeer, const TTiming& ATool) {
        PeerSeconds.push_back(APeer.seconds);
        ToolSeconds.push_back(ATool.seconds);
        PeerCpu.push_back(APeer.cpuSeconds);
        ToolCpu.push_back(ATool.cpuSeconds);
        Ratios.push_back(ATool.seconds / APeer.seconds);
    }
    double LowestRatio() const { return *std::min_element(Ratios.begin(), Ratios.end()); }
    double HighestRatio() const { return *std::max_element(Ratios.begin(), Ratios.end()); }
    // A row each for the peer and the tool: median wall and CPU seconds
    // (ADigits decimals) and the peak resident memory.
    void PrintRows(const char* APeer, long APeerRssKiB, const char* ATool, long AToolRssKiB, int ADigits) const {
        std::printf("  %-16s %.*f s  CPU %.*f s  max RSS %ld KiB\n", APeer, ADigits, Median(PeerSeconds), ADigits,
                    Median(PeerCpu), APeerRssKiB);
        std::printf("  %-16s %.*f s  CPU %.*f s  max RSS %ld KiB\n", ATool, ADigits, Median(ToolSeconds), ADigits,
                    Median(ToolCpu), AToolRssKiB);
    }
    // "  ratio TOOL / PEER: ..." with the medians, the spread and the goal.
    void PrintRatio(const char* ATool, const char* APeer, double AGoal) const {
        std::printf("  ratio %s / %s: %.2fx, CPU time %.2fx, per round from %.2fx to %.2fx (goal: at most %.1fx)\n",
                    ATool, APeer, Median(Ratios), Median(ToolCpu) / std::max(1e-6, Median(PeerCpu)), LowestRatio(),
                    HighestRatio(), AGoal);
    }
};

// ARounds rounds of APeer and ATool taking turns, after one untimed run of
// each (it warms the page cache); false, with both exit statuses on standard
// error, as soon as either fails. ABeforeEach runs before every timed run
// (to remove what the last run wrote, say); then what a run wrote is flushed
// to the disk, so that no run pays for the other's writeback.
inline bool RunPairedRounds(const std::vector<std::string>& APeer, const std::vector<std::string>& ATool, int ARounds,
                            TPairedRounds& ARoundsOut, const std::function<void()>& ABeforeEach = {}) {
    RunTimed(APeer);
    RunTimed(ATool);
    const auto prepare = [&] {
        if (ABeforeEach) ABeforeEach();
        ::sync();
    };
    for (int round = 0; round < ARounds; ++round) {
        prepare();
        const TTiming peer = RunTimed(APeer);
        prepare();
        const TTiming tool = RunTimed(ATool);
        if (peer.status != 0 || tool.status != 0) {
            std::fprintf(stderr, "%s exited %d, %s exited %d\n", APeer[0].c_str(), peer.status, ATool[0].c_str(),
                         tool.status);
            return false;
        }
        ARoundsOut.Add(peer, tool);
    }
    return true;
}

}  // namespace clbench
