// http_bench: downloads of one large file from a local nginx, over plain
// HTTP and over TLS, with httpget (our HTTP client) and with curl.
//
//   http_bench [DOWNLOADS [ROUNDS [SIZE_MIB]]]      defaults: 5 5 64
//   http_bench --serve [SIZE_MIB]                   for profiling by hand
//
// It starts nginx on loopback ports the way the interoperability tests do
// (support/NginxServer). Per case, each round runs DOWNLOADS
// sequential downloads of a SIZE_MIB file by each tool, the tools taking
// turns (which one goes first alternates), each download under
// /usr/bin/time. On a shared machine the load changes from minute to minute,
// so the tools are compared round by round: it prints the median round time
// and CPU time (user + system) of both tools, the median of the per-round
// ratios httpget/curl, and the peak resident size of each. Every download
// is checked for its size and killed after a minute; a tool with a failed
// download gets no time and makes the exit status 1. Speed never makes it
// fail. Run it from a Release build: build/release/bench/http_bench
//
// --serve starts the server, prints both addresses of the large file and the
// CA file, and stops when a line (or the end of input) arrives, so that one
// download can be run under perf or callgrind.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "support/NginxServer.h"

extern char** environ;

namespace {

struct TRun {
    double Seconds = 0;     // wall time
    double CpuSeconds = 0;  // user + system
    long PeakKiB = 0;
};

struct TTool {
    std::string Name;
    // The command for one download of AUrl into AOutFile.
    std::vector<std::string> (*Command)(const std::string& AUrl, const std::string& ACaFile,
                                        const std::string& AOutFile);
};

std::vector<std::string> HttpgetCommand(const std::string& AUrl, const std::string& ACaFile,
                                        const std::string& AOutFile) {
    return {HTTPGET_PATH, "--cacert", ACaFile, "-o", AOutFile, AUrl};
}

std::vector<std::string> CurlCommand(const std::string& AUrl, const std::string& ACaFile, const std::string& AOutFile) {
    return {"curl", "-sS", "--fail", "--cacert", ACaFile, "-o", AOutFile, AUrl};
}

// Runs ACommand under /usr/bin/time, killed after a minute; false when it
// did not exit with 0.
bool RunTimed(const std::vector<std::string>& ACommand, const std::string& ATimeFile, TRun& ARun) {
    std::vector<std::string> args = {"/usr/bin/time", "-f", "%M %U %S", "-o", ATimeFile, "timeout", "-s", "KILL", "60"};
    args.insert(args.end(), ACommand.begin(), ACommand.end());
    std::vector<char*> argv;
    for (std::string& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
    int status = 0;
    waitpid(pid, &status, 0);
    ARun = TRun{};
    ARun.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (FILE* f = std::fopen(ATimeFile.c_str(), "r")) {
        double user = 0, system = 0;
        if (std::fscanf(f, "%ld %lf %lf", &ARun.PeakKiB, &user, &system) == 3) ARun.CpuSeconds = user + system;
        std::fclose(f);
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double Median(std::vector<double> AValues) {
    std::sort(AValues.begin(), AValues.end());
    const size_t n = AValues.size();
    return n % 2 ? AValues[n / 2] : (AValues[n / 2 - 1] + AValues[n / 2]) / 2;
}

// What one tool did over the rounds of one case.
struct TToolResult {
    std::vector<double> Seconds, CpuSeconds;
    long PeakKiB = 0;
    bool Failed = false;
};

int Serve(int64_t ASizeMiB) {
    cltest::TNginxOptions options;
    options.LargeSize = ASizeMiB << 20;
    cltest::TNginxServer server(options);
    std::printf("http:  %s/static/large.bin\nhttps: %s/static/large.bin\nCA:    %s\n", server.HttpBase().c_str(),
                server.HttpsBase().c_str(), server.CaFile().c_str());
    std::printf("serving %lld MiB; a line or the end of input stops the server\n", static_cast<long long>(ASizeMiB));
    std::fflush(stdout);
    std::string line;
    std::getline(std::cin, line);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--serve") == 0) return Serve(argc > 2 ? std::max(1, std::atoi(argv[2])) : 64);
    const int downloads = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    const int64_t sizeMiB = argc > 3 ? std::max(1, std::atoi(argv[3])) : 64;

    cltest::TNginxOptions options;
    options.LargeSize = sizeMiB << 20;
    cltest::TNginxServer server(options);
    const std::string work = server.Folder() + "/bench";
    std::filesystem::create_directories(work);
    const std::string outFile = work + "/download.bin";
    const std::string timeFile = work + "/time.txt";

    const TTool tools[] = {{"httpget", HttpgetCommand}, {"curl", CurlCommand}};
    std::printf("%d downloads of %lld MiB per round and tool, %d rounds, the tools taking turns\n", downloads,
                static_cast<long long>(sizeMiB), rounds);
    std::printf("%-6s %-8s %10s %10s %10s %14s\n", "case", "tool", "median s", "MiB/s", "CPU s", "peak RSS KiB");
    int failures = 0;
    for (const bool tls : {false, true}) {
        const std::string url = (tls ? server.HttpsBase() : server.HttpBase()) + "/static/large.bin";
        const char* caseName = tls ? "https" : "http";
        TToolResult results[2];
        for (int r = 0; r < rounds; ++r) {
            for (int turn = 0; turn < 2; ++turn) {
                const int t = (r + turn) % 2;
                TToolResult& result = results[t];
                if (result.Failed) continue;
                double seconds = 0, cpu = 0;
                for (int d = 0; d < downloads && !result.Failed; ++d) {
                    TRun run;
                    const bool ok = RunTimed(tools[t].Command(url, server.CaFile(), outFile), timeFile, run);
                    std::error_code ec;
                    const auto size = std::filesystem::file_size(outFile, ec);
                    result.Failed = !ok || ec || static_cast<int64_t>(size) != options.LargeSize;
                    std::filesystem::remove(outFile, ec);
                    seconds += run.Seconds;
                    cpu += run.CpuSeconds;
                    result.PeakKiB = std::max(result.PeakKiB, run.PeakKiB);
                }
                result.Seconds.push_back(seconds);
                result.CpuSeconds.push_back(cpu);
            }
        }
        for (int t = 0; t < 2; ++t) {
            const TToolResult& result = results[t];
            if (result.Failed) {
                // A failed tool has no time worth comparing; the others still run.
                std::printf("%-6s %-8s %10s   a download failed, timed out or has the wrong size\n", caseName,
                            tools[t].Name.c_str(), "-");
                ++failures;
                continue;
            }
            const double median = Median(result.Seconds);
            std::printf("%-6s %-8s %10.3f %10.1f %10.3f %14ld\n", caseName, tools[t].Name.c_str(), median,
                        static_cast<double>(sizeMiB * downloads) / median, Median(result.CpuSeconds), result.PeakKiB);
        }
        if (!results[0].Failed && !results[1].Failed) {
            std::vector<double> wall, cpu;
            for (int r = 0; r < rounds; ++r) {
                wall.push_back(results[0].Seconds[r] / results[1].Seconds[r]);
                cpu.push_back(results[0].CpuSeconds[r] / results[1].CpuSeconds[r]);
            }
            std::printf("%-6s ratio httpget/curl: %.2f (CPU time %.2f), rounds from %.2f to %.2f\n", caseName,
                        Median(wall), Median(cpu), *std::min_element(wall.begin(), wall.end()),
                        *std::max_element(wall.begin(), wall.end()));
        }
    }
    return failures == 0 ? 0 : 1;
}
