// http_bench: downloads of one large file from a local nginx, over plain
// HTTP and over TLS, with httpget (our HTTP client) and with curl.
//
//   http_bench [DOWNLOADS [ROUNDS [SIZE_MIB]]]      defaults: 5 3 64
//
// It starts nginx on loopback ports the way the interoperability tests do
// (tests/support/NginxServer), then per case runs ROUNDS rounds of DOWNLOADS
// sequential downloads of a SIZE_MIB file by each tool, each one under
// /usr/bin/time -f %M, and prints the median round time of both tools, the
// ratio httpget/curl and the peak resident size of each. Every download is
// checked for its size and killed after a minute; a tool with a failed
// download gets no time and makes the exit status 1. Speed never makes it
// fail. Run it from a Release build: build/release/bench/http_bench
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/NginxServer.h"

extern char** environ;

namespace {

struct TRun {
    double Seconds = 0;
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

std::vector<std::string> CurlCommand(const std::string& AUrl, const std::string& ACaFile,
                                     const std::string& AOutFile) {
    return {"curl", "-sS", "--fail", "--cacert", ACaFile, "-o", AOutFile, AUrl};
}

// Runs ACommand under /usr/bin/time, killed after a minute; false when it
// did not exit with 0.
bool RunTimed(const std::vector<std::string>& ACommand, const std::string& ARssFile, long& APeakKiB) {
    std::vector<std::string> args = {"/usr/bin/time", "-f", "%M", "-o", ARssFile, "timeout", "-s", "KILL", "60"};
    args.insert(args.end(), ACommand.begin(), ACommand.end());
    std::vector<char*> argv;
    for (std::string& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
    int status = 0;
    waitpid(pid, &status, 0);
    APeakKiB = 0;
    if (FILE* f = std::fopen(ARssFile.c_str(), "r")) {
        if (std::fscanf(f, "%ld", &APeakKiB) != 1) APeakKiB = 0;
        std::fclose(f);
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double Median(std::vector<double> AValues) {
    std::sort(AValues.begin(), AValues.end());
    const size_t n = AValues.size();
    return n % 2 ? AValues[n / 2] : (AValues[n / 2 - 1] + AValues[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    const int downloads = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const int64_t sizeMiB = argc > 3 ? std::max(1, std::atoi(argv[3])) : 64;

    cltest::TNginxOptions options;
    options.LargeSize = sizeMiB << 20;
    cltest::TNginxServer server(options);
    const std::string work = server.Folder() + "/bench";
    std::filesystem::create_directories(work);
    const std::string outFile = work + "/download.bin";
    const std::string rssFile = work + "/rss.txt";

    const TTool tools[] = {{"httpget", HttpgetCommand}, {"curl", CurlCommand}};
    std::printf("%d downloads of %lld MiB per round, median of %d rounds\n", downloads,
                static_cast<long long>(sizeMiB), rounds);
    std::printf("%-6s %-8s %10s %12s %14s\n", "case", "tool", "median s", "MiB/s", "peak RSS KiB");
    int failures = 0;
    for (const bool tls : {false, true}) {
        const std::string url = (tls ? server.HttpsBase() : server.HttpBase()) + "/static/large.bin";
        const char* caseName = tls ? "https" : "http";
        double median[2] = {0, 0};
        for (int t = 0; t < 2; ++t) {
            std::vector<double> times;
            long peak = 0;
            bool failed = false;
            for (int r = 0; r < rounds && !failed; ++r) {
                const auto start = std::chrono::steady_clock::now();
                for (int d = 0; d < downloads && !failed; ++d) {
                    long rss = 0;
                    const bool ok = RunTimed(tools[t].Command(url, server.CaFile(), outFile), rssFile, rss);
                    std::error_code ec;
                    const auto size = std::filesystem::file_size(outFile, ec);
                    failed = !ok || ec || static_cast<int64_t>(size) != options.LargeSize;
                    std::filesystem::remove(outFile, ec);
                    peak = std::max(peak, rss);
                }
                times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            }
            if (failed) {
                // A failed tool has no time worth comparing; the others still run.
                std::printf("%-6s %-8s %10s   a download failed, timed out or has the wrong size\n", caseName,
                            tools[t].Name.c_str(), "-");
                ++failures;
                continue;
            }
            median[t] = Median(times);
            std::printf("%-6s %-8s %10.3f %12.1f %14ld\n", caseName, tools[t].Name.c_str(), median[t],
                        static_cast<double>(sizeMiB * downloads) / median[t], peak);
        }
        if (median[0] > 0 && median[1] > 0) {
            std::printf("%-6s ratio httpget/curl: %.2f\n", caseName, median[0] / median[1]);
        }
    }
    return failures == 0 ? 0 : 1;
}
