// download_bench: one large file from a local nginx, over plain HTTP and
// over TLS, with mdl (the download component, five connections and one, and
// five with the window's 8 KiB reads for reference), curl (one connection)
// and aria2c (five connections), all in the same run.
// Then the straggler case: a 64 MiB file from a server of the benchmark's
// own that sends the first response to one range (the first request whose
// range does not start the file) at 256 KiB/s and everything else at full
// speed; mdl -x5 against aria2c -x5 on it, and against mdl's own time when
// no range is slowed.
//
// Then three items of five connections at once from the nginx (the window's
// default), mdl -j3 -x5 against aria2c -j3 -x5 and curl --parallel.
//
// Then many small files: 200 files of 256 KiB from the nginx, over HTTP and
// over TLS, with mdl -j10 -x2, aria2c -j10 -x2 and curl --parallel
// --parallel-max 10 (each one process for all the files), where the cost
// per file (information request, connection set-up, threads) rules rather
// than the bytes; the ratios are to aria2c's time.
//
//   download_bench [SIZE_MIB [ROUNDS]]      defaults: 256 1
//   download_bench straggler [ROUNDS]       the straggler case alone
//   download_bench many [ROUNDS]            the many-files case alone
//
// nginx is started on loopback ports the way the interoperability tests do
// (support/NginxServer), with two worker processes. Every download runs
// under /usr/bin/time and is killed after two minutes; its bytes are
// compared with the served file.
// The tools take turns within each round. Per case and tool it prints the
// median wall time, the median over the rounds of its ratio to the
// reference tool's wall time in the same round, the CPU seconds (user +
// system) and their ratio likewise, and the peak resident size. A failed or
// wrong download makes the exit status 1; speed never does. Run it from a
// Release build: build/release/bench/download_bench

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ProcessTiming.h"
#include "support/NginxServer.h"
#include "support/clLoopbackServer.h"

namespace {

namespace fs = std::filesystem;

struct TMeasure {
    double Wall = 0;
    double Cpu = 0;
    long PeakKiB = 0;
};

struct TTool {
    const char* Name;
    // The command that downloads AUrl into AFolder/AFileName.
    std::vector<std::string> (*Command)(const std::string& AUrl, const std::string& ACaFile, const std::string& AFolder,
                                        const std::string& AFileName);
};

std::vector<std::string> MdlCommandWith(const char* AThreads, const std::string& AUrl, const std::string& ACaFile,
                                        const std::string& AFolder, const char* ABatch = nullptr) {
    std::vector<std::string> command = {MDL_PATH, "-x", AThreads, "-d", AFolder};
    if (ABatch) command.insert(command.end(), {"--batch", ABatch});
    if (!ACaFile.empty()) command.insert(command.end(), {"--cacert", ACaFile});
    command.push_back(AUrl);
    return command;
}

std::vector<std::string> MdlCommand(const std::string& AUrl, const std::string& ACaFile, const std::string& AFolder,
                                    const std::string&) {
    return MdlCommandWith("5", AUrl, ACaFile, AFolder);
}

// The window's reads of 8 KiB instead of mdl's 64 KiB: eight times the data
// events, each a handoff to the starting thread and back. For reference.
std::vector<std::string> MdlWindowBatchCommand(const std::string& AUrl, const std::string& ACaFile,
                                               const std::string& AFolder, const std::string&) {
    return MdlCommandWith("5", AUrl, ACaFile, AFolder, "8192");
}

// One connection: the engine's cost per byte alone, against curl's.
std::vector<std::string> MdlOneCommand(const std::string& AUrl, const std::string& ACaFile, const std::string& AFolder,
                                       const std::string&) {
    return MdlCommandWith("1", AUrl, ACaFile, AFolder);
}

std::vector<std::string> CurlCommand(const std::string& AUrl, const std::string& ACaFile, const std::string& AFolder,
                                     const std::string& AFileName) {
    return {"curl", "-sS", "--fail", "--cacert", ACaFile, "-o", AFolder + "/" + AFileName, AUrl};
}

std::vector<std::string> Aria2Command(const std::string& AUrl, const std::string& ACaFile, const std::string& AFolder,
                                      const std::string& AFileName) {
    std::vector<std::string> command = {
        "aria2c", "-q",    "-x", "5",       "-s", "5", "--allow-overwrite=true", "--auto-file-renaming=false",
        "-d",     AFolder, "-o", AFileName, AUrl};
    if (!ACaFile.empty()) command.insert(command.begin() + 6, "--ca-certificate=" + ACaFile);
    return command;
}

// Runs ACommand killed after two minutes; wall and CPU time from the steady
// clock and the children's resource usage, the peak resident size from
// /usr/bin/time around it. False when it did not exit with 0.
bool RunMeasured(const std::vector<std::string>& ACommand, const std::string& ATimeFile, TMeasure& AMeasure) {
    std::vector<std::string> args = {"/usr/bin/time", "-f", "%M", "-o", ATimeFile, "timeout", "-s", "KILL", "120"};
    args.insert(args.end(), ACommand.begin(), ACommand.end());
    const clbench::TTiming timing = clbench::RunTimed(args);
    AMeasure = {timing.seconds, timing.cpuSeconds, 0};
    if (FILE* f = std::fopen(ATimeFile.c_str(), "r")) {
        // A killed command leaves a first line about its signal.
        char line[256];
        while (std::fgets(line, sizeof line, f)) {
            if (std::sscanf(line, "%ld", &AMeasure.PeakKiB) == 1) break;
        }
        std::fclose(f);
    }
    return timing.status == 0;
}

bool SameBytes(const std::string& AFile1, const std::string& AFile2) {
    std::ifstream a(AFile1, std::ios::binary);
    std::ifstream b(AFile2, std::ios::binary);
    if (!a || !b) return false;
    std::vector<char> bufA(1 << 20);
    std::vector<char> bufB(1 << 20);
    for (;;) {
        a.read(bufA.data(), static_cast<std::streamsize>(bufA.size()));
        b.read(bufB.data(), static_cast<std::streamsize>(bufB.size()));
        if (a.gcount() != b.gcount()) return false;
        if (a.gcount() == 0) return true;
        if (!std::equal(bufA.begin(), bufA.begin() + a.gcount(), bufB.begin())) return false;
    }
}

// The runs of several cases over rounds, the cases taking turns within each
// round so that a slower or busier spell of the machine falls on all of them
// alike. A case stops at its first failure and then has no result.
class TRounds {
public:
    // ARunOnce(case, measure) runs a case once and says whether it succeeded
    // (exit status and bytes).
    TRounds(size_t ACases, int ARounds, const std::function<bool(size_t, TMeasure&)>& ARunOnce)
        : FRuns(ACases), FFailed(ACases, false), FMedians(ACases) {
        for (int r = 0; r < ARounds; ++r) {
            for (size_t c = 0; c < ACases; ++c) {
                if (FFailed[c]) continue;
                TMeasure m;
                FFailed[c] = !ARunOnce(c, m);
                FRuns[c].push_back(m);
            }
        }
        for (size_t c = 0; c < ACases; ++c) {
            if (FFailed[c] || FRuns[c].empty()) continue;
            std::vector<TMeasure> sorted = FRuns[c];
            std::sort(sorted.begin(), sorted.end(),
                      [](const TMeasure& A, const TMeasure& B) { return A.Wall < B.Wall; });
            FMedians[c] = sorted[sorted.size() / 2];
        }
    }

    // The run of median wall time of case AC, none when it failed.
    const std::optional<TMeasure>& operator[](size_t AC) const { return FMedians[AC]; }
    // The median over the rounds of case AC's wall (or CPU) time against
    // case AReference's in the same round; 0 when either failed.
    double WallRatio(size_t AC, size_t AReference) const { return PairedRatio(AC, AReference, &TMeasure::Wall); }
    double CpuRatio(size_t AC, size_t AReference) const { return PairedRatio(AC, AReference, &TMeasure::Cpu); }
    int Failed() const { return static_cast<int>(std::count(FFailed.begin(), FFailed.end(), true)); }

private:
    double PairedRatio(size_t AC, size_t AReference, double TMeasure::*AField) const {
        if (!FMedians[AC] || !FMedians[AReference]) return 0.0;
        std::vector<double> ratios;
        for (size_t r = 0; r < FRuns[AC].size(); ++r) {
            const double reference = FRuns[AReference][r].*AField;
            if (reference > 0) ratios.push_back(FRuns[AC][r].*AField / reference);
        }
        return ratios.empty() ? 0.0 : clbench::Median(std::move(ratios));
    }

    std::vector<std::vector<TMeasure>> FRuns;
    std::vector<bool> FFailed;
    std::vector<std::optional<TMeasure>> FMedians;
};

// A row of a table by case and tool: wall time, AUnits per second, wall and
// CPU time against the reference case's, CPU time and peak memory; or that
// the run failed.
void PrintToolRow(const char* ACase, const char* ATool, const TRounds& AResults, size_t AC, size_t AReference,
                  double AUnits) {
    if (!AResults[AC]) {
        std::printf("%-6s %-16s %9s   failed, timed out or wrong bytes\n", ACase, ATool, "-");
        return;
    }
    const TMeasure& m = *AResults[AC];
    std::printf("%-6s %-16s %9.3f %10.1f %10.2f %8.2f %8.2f %14ld\n", ACase, ATool, m.Wall,
                m.Wall > 0 ? AUnits / m.Wall : 0.0, AResults.WallRatio(AC, AReference), m.Cpu,
                AResults.CpuRatio(AC, AReference), m.PeakKiB);
}

// Plain HTTP/1.1 with keep-alive and byte ranges, one file held in memory.
// While slowing is on, the first response to a range that does not start
// at 0 goes at 256 KiB/s (8 KiB every 31.25 ms); all others at full speed.
class TStragglerServer {
public:
    explicit TStragglerServer(std::string ABody) : FBody(std::move(ABody)), FServer([this](int AFd) { Serve(AFd); }) {}

    std::string Url() const { return "http://127.0.0.1:" + std::to_string(FServer.Port()) + "/straggler.bin"; }
    // Slows the next first range again (or, false, none).
    void SetSlow(bool AValue) { FSlowDone = !AValue; }

private:
    void Serve(int AFd) {
        std::string pending;
        char buf[4096];
        while (!FServer.Stopping()) {
            const size_t end = pending.find("\r\n\r\n");
            if (end == std::string::npos) {
                const ssize_t n = recv(AFd, buf, sizeof buf, 0);
                if (n <= 0) return;
                pending.append(buf, static_cast<size_t>(n));
                continue;
            }
            std::string head = pending.substr(0, end);
            pending.erase(0, end + 4);
            for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (!Answer(AFd, head)) return;
        }
    }

    // False when the connection is gone.
    bool Answer(int AFd, const std::string& ALowerHead) {
        const int64_t size = static_cast<int64_t>(FBody.size());
        int64_t first = 0;
        int64_t last = size - 1;
        const std::string rangeField = "\r\nrange: bytes=";
        const size_t at = ALowerHead.find(rangeField);
        const bool ranged = at != std::string::npos;
        if (ranged) {
            char* next = nullptr;
            first = std::strtoll(ALowerHead.c_str() + at + rangeField.size(), &next, 10);
            if (*next == '-' && std::isdigit(static_cast<unsigned char>(next[1]))) {
                last = std::min<int64_t>(last, std::strtoll(next + 1, nullptr, 10));
            }
        }
        bool expected = false;
        const bool slow = ranged && first > 0 && FSlowDone.compare_exchange_strong(expected, true);
        std::string reply = ranged ? "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(first) +
                                         "-" + std::to_string(last) + "/" + std::to_string(size) + "\r\n"
                                   : std::string("HTTP/1.1 200 OK\r\n");
        reply +=
            "Content-Type: application/octet-stream\r\nAccept-Ranges: bytes\r\n"
            "Last-Modified: Tue, 03 Feb 2026 04:05:06 GMT\r\nContent-Length: " +
            std::to_string(last - first + 1) + "\r\n\r\n";
        cltest::TLoopbackServer::SendAll(AFd, reply);
        const int64_t piece = slow ? 8192 : 1 << 20;
        for (int64_t pos = first; pos <= last && !FServer.Stopping(); pos += piece) {
            const size_t count = static_cast<size_t>(std::min(piece, last + 1 - pos));
            if (send(AFd, FBody.data() + pos, count, MSG_NOSIGNAL) != static_cast<ssize_t>(count)) return false;
            if (slow) std::this_thread::sleep_for(std::chrono::microseconds(31250));
        }
        return true;
    }

    std::string FBody;
    std::atomic<bool> FSlowDone{true};
    cltest::TLoopbackServer FServer;  // last: its threads use the fields above
};

// mdl -x5 and aria2c -x5 on a file with one straggling range, and mdl on the
// same file with none; false when a download failed or came out wrong.
bool RunStragglerCase(const std::string& AFolder, int ARounds) {
    constexpr int64_t cSizeMiB = 64;
    std::string body(static_cast<size_t>(cSizeMiB << 20), '\0');
    std::mt19937_64 random(30);
    for (size_t i = 0; i + 8 <= body.size(); i += 8) {
        const uint64_t r = random();
        std::memcpy(body.data() + i, &r, 8);
    }
    const std::string source = AFolder + "/straggler-source.bin";
    std::ofstream(source, std::ios::binary).write(body.data(), static_cast<std::streamsize>(body.size()));
    TStragglerServer server(std::move(body));
    const std::string timeFile = AFolder + "/time.txt";
    const std::string fileName = "straggler.bin";

    struct TCase {
        const char* Name;
        TTool Tool;
        bool Slow;
    };
    const TCase cases[] = {{"mdl -x5", {"mdl", MdlCommand}, true},
                           {"aria2c -x5", {"aria2c", Aria2Command}, true},
                           {"mdl -x5, none slow", {"mdl", MdlCommand}, false}};
    std::printf(
        "\nstraggler: one %lld MiB file over HTTP, one range's first response at 256 KiB/s, median of %d rounds\n",
        static_cast<long long>(cSizeMiB), ARounds);
    std::printf("%-20s %9s %12s %10s %8s\n", "tool", "wall s", "/ none slow", "/ aria2c", "CPU s");
    const TRounds results(std::size(cases), ARounds, [&](size_t c, TMeasure& m) {
        const std::string out = AFolder + "/" + fileName;
        std::error_code ec;
        fs::remove(out, ec);
        server.SetSlow(cases[c].Slow);
        const bool ok = RunMeasured(cases[c].Tool.Command(server.Url(), "", AFolder, fileName), timeFile, m) &&
                        SameBytes(out, source);
        fs::remove(out, ec);
        return ok;
    });
    for (size_t c = 0; c < std::size(cases); ++c) {
        if (!results[c]) {
            std::printf("%-20s %9s   failed, timed out or wrong bytes\n", cases[c].Name, "-");
            continue;
        }
        const TMeasure& m = *results[c];
        std::printf("%-20s %9.3f %12.2f %10.2f %8.2f\n", cases[c].Name, m.Wall, results.WallRatio(c, 2),
                    results.WallRatio(c, 1), m.Cpu);
    }
    std::error_code ec;
    fs::remove(source, ec);
    return results.Failed() == 0;
}

// Three items of five connections from one server at once, as the window
// runs them (fifteen ranges against the per-server limit of ten): mdl -j3
// -x5, aria2c -j3 -x5 and curl fetching the three in parallel, over HTTP.
// The three files are links to the served large file. False when a
// download failed or came out wrong.
int RunThreeItemsCase(const cltest::TNginxServer& AServer, const std::string& AFolder, int64_t ASizeMiB, int ARounds) {
    const std::string served = AServer.FileOf("/static/large.bin");
    std::vector<std::string> names;
    std::vector<std::string> urls;
    for (int i = 1; i <= 3; ++i) {
        names.push_back("three-" + std::to_string(i) + ".bin");
        const std::string link = AServer.FileOf("/static/" + names.back());
        std::error_code ec;
        fs::remove(link, ec);
        fs::create_hard_link(served, link);
        urls.push_back(AServer.HttpBase() + "/static/" + names.back());
    }
    std::vector<std::string> mdl = {MDL_PATH, "-j", "3", "-x", "5", "-d", AFolder};
    mdl.insert(mdl.end(), urls.begin(), urls.end());
    // -Z: each address is a file of its own, not a mirror of one file.
    std::vector<std::string> aria2 = {
        "aria2c", "-q",   "-Z", "-j", "3", "-x", "5", "-s", "5", "--allow-overwrite=true", "--auto-file-renaming=false",
        "-d",     AFolder};
    aria2.insert(aria2.end(), urls.begin(), urls.end());
    std::vector<std::string> curl = {"curl",           "-sS", "--no-progress-meter", "--fail", "--parallel",
                                     "--parallel-max", "3"};
    for (size_t i = 0; i < urls.size(); ++i) {
        curl.insert(curl.end(), {"-o", AFolder + "/" + names[i], urls[i]});
    }
    struct TCase {
        const char* Name;
        std::vector<std::string> Command;
    };
    // curl first: the ratios are to its time.
    const TCase cases[] = {{"curl --parallel", curl}, {"mdl -j3 -x5", mdl}, {"aria2c -j3 -x5", aria2}};
    std::printf("\nthree items: three %lld MiB files from one server at once over HTTP, median of %d rounds\n",
                static_cast<long long>(ASizeMiB), ARounds);
    std::printf("%-16s %9s %9s %10s %8s\n", "tool", "wall s", "/ curl", "/ aria2c", "CPU s");
    const std::string timeFile = AFolder + "/time.txt";
    const TRounds results(std::size(cases), ARounds, [&](size_t c, TMeasure& m) {
        bool ok = RunMeasured(cases[c].Command, timeFile, m);
        for (const std::string& name : names) {
            ok = ok && SameBytes(AFolder + "/" + name, served);
            std::error_code ec;
            fs::remove(AFolder + "/" + name, ec);
        }
        return ok;
    });
    for (size_t c = 0; c < std::size(cases); ++c) {
        if (!results[c]) {
            std::printf("%-16s %9s   failed, timed out or wrong bytes\n", cases[c].Name, "-");
            continue;
        }
        const TMeasure& m = *results[c];
        std::printf("%-16s %9.3f %9.2f %10.2f %8.2f\n", cases[c].Name, m.Wall, results.WallRatio(c, 0),
                    results.WallRatio(c, 2), m.Cpu);
    }
    for (const std::string& name : names) {
        std::error_code ec;
        fs::remove(AServer.FileOf("/static/" + name), ec);
    }
    return results.Failed();
}

constexpr int cManyCount = 200;
constexpr int64_t cManySize = 256 << 10;

// The commands that fetch every one of AUrls into AFolder under its own name.
std::vector<std::string> MdlManyCommand(const std::vector<std::string>& AUrls, const std::string& ACaFile,
                                        const std::string& AFolder) {
    std::vector<std::string> command = {MDL_PATH, "-j", "10", "-x", "2", "-d", AFolder, "--cacert", ACaFile};
    command.insert(command.end(), AUrls.begin(), AUrls.end());
    return command;
}

std::vector<std::string> Aria2ManyCommand(const std::vector<std::string>& AUrls, const std::string& ACaFile,
                                          const std::string& AFolder) {
    std::vector<std::string> command = {"aria2c",
                                        "-q",
                                        "-j",
                                        "10",
                                        "-x",
                                        "2",
                                        "--allow-overwrite=true",
                                        "--auto-file-renaming=false",
                                        "--ca-certificate=" + ACaFile,
                                        "-d",
                                        AFolder,
                                        "-Z"};
    command.insert(command.end(), AUrls.begin(), AUrls.end());
    return command;
}

std::vector<std::string> CurlManyCommand(const std::vector<std::string>& AUrls, const std::string& ACaFile,
                                         const std::string& AFolder) {
    std::vector<std::string> command = {"curl",     "-sS",          "--no-progress-meter",
                                        "--fail",   "--parallel",   "--parallel-max",
                                        "10",       "--output-dir", AFolder,
                                        "--cacert", ACaFile,        "--remote-name-all"};
    command.insert(command.end(), AUrls.begin(), AUrls.end());
    return command;
}

// 200 files of 256 KiB over HTTP and over TLS with aria2c, mdl and curl,
// each tool fetching all of them in one run; every file is compared with
// the served one. The number of failed cases.
int RunManyCase(const cltest::TNginxServer& AServer, int ARounds) {
    const std::string folder = AServer.Folder() + "/many-out";
    const std::string timeFile = AServer.Folder() + "/many-time.txt";
    struct TManyTool {
        const char* Name;
        std::vector<std::string> (*Command)(const std::vector<std::string>&, const std::string&, const std::string&);
    };
    // aria2c first: the ratios are to its time.
    const TManyTool tools[] = {
        {"aria2c -j10 -x2", Aria2ManyCommand}, {"mdl -j10 -x2", MdlManyCommand}, {"curl -Z 10", CurlManyCommand}};
    std::printf("\nmany: %d files of %lld KiB from one server, median of %d rounds\n", cManyCount,
                static_cast<long long>(cManySize >> 10), ARounds);
    std::printf("%-6s %-16s %9s %10s %10s %8s %8s %14s\n", "case", "tool", "wall s", "files/s", "/ aria2c", "CPU s",
                "/ aria2c", "peak RSS KiB");
    int failures = 0;
    for (const bool tls : {false, true}) {
        std::vector<std::string> urls;
        for (int i = 0; i < cManyCount; ++i)
            urls.push_back((tls ? AServer.HttpsBase() : AServer.HttpBase()) + cltest::TNginxServer::ManyPath(i));
        const char* caseName = tls ? "https" : "http";
        const TRounds results(std::size(tools), ARounds, [&](size_t t, TMeasure& m) {
            std::error_code ec;
            fs::remove_all(folder, ec);
            fs::create_directories(folder);
            bool ok = RunMeasured(tools[t].Command(urls, AServer.CaFile(), folder), timeFile, m);
            for (int i = 0; i < cManyCount && ok; ++i) {
                const std::string path = cltest::TNginxServer::ManyPath(i);
                ok = SameBytes(folder + "/" + fs::path(path).filename().string(), AServer.FileOf(path));
            }
            return ok;
        });
        failures += results.Failed();
        for (size_t t = 0; t < std::size(tools); ++t) PrintToolRow(caseName, tools[t].Name, results, t, 0, cManyCount);
    }
    std::error_code ec;
    fs::remove_all(folder, ec);
    return failures;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "many") {
        cltest::TNginxOptions options;
        options.LargeSize = 1;
        options.WorkerProcesses = 2;
        options.ManyCount = cManyCount;
        options.ManySize = cManySize;
        cltest::TNginxServer server(options);
        return RunManyCase(server, argc > 2 ? std::max(1, std::atoi(argv[2])) : 1) == 0 ? 0 : 1;
    }
    if (argc > 1 && std::string(argv[1]) == "straggler") {
        char folder[] = "/tmp/download-bench-XXXXXX";
        if (!mkdtemp(folder)) return 1;
        const bool ok = RunStragglerCase(folder, argc > 2 ? std::max(1, std::atoi(argv[2])) : 1);
        std::error_code ec;
        fs::remove_all(folder, ec);
        return ok ? 0 : 1;
    }
    const int64_t sizeMiB = argc > 1 ? std::max(1, std::atoi(argv[1])) : 256;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1;

    cltest::TNginxOptions options;
    options.LargeSize = sizeMiB << 20;
    // A content server uses every core; one worker would cap the connections
    // of mdl and aria2c at one core while curl's single one is not capped.
    options.WorkerProcesses = 2;
    options.ManyCount = cManyCount;
    options.ManySize = cManySize;
    cltest::TNginxServer server(options);
    const std::string served = server.FileOf("/static/large.bin");
    const std::string folder = server.Folder() + "/bench";
    fs::create_directories(folder);
    const std::string timeFile = folder + "/time.txt";
    const std::string fileName = "large.bin";

    // curl second: the ratios are to its time.
    const TTool tools[] = {{"mdl -x5", MdlCommand},
                           {"curl", CurlCommand},
                           {"aria2c -x5", Aria2Command},
                           {"mdl -x1", MdlOneCommand},
                           {"mdl -x5 b8K", MdlWindowBatchCommand}};
    std::printf("one %lld MiB file, median of %d rounds\n", static_cast<long long>(sizeMiB), rounds);
    std::printf("%-6s %-16s %9s %10s %10s %8s %8s %14s\n", "case", "tool", "wall s", "MiB/s", "/ curl", "CPU s",
                "/ curl", "peak RSS KiB");
    int failures = 0;
    for (const bool tls : {false, true}) {
        const std::string url = (tls ? server.HttpsBase() : server.HttpBase()) + "/static/large.bin";
        const char* caseName = tls ? "https" : "http";
        const TRounds results(std::size(tools), rounds, [&](size_t t, TMeasure& m) {
            const std::string out = folder + "/" + fileName;
            std::error_code ec;
            fs::remove(out, ec);
            const bool ok = RunMeasured(tools[t].Command(url, server.CaFile(), folder, fileName), timeFile, m) &&
                            SameBytes(out, served);
            fs::remove(out, ec);
            return ok;
        });
        failures += results.Failed();
        for (size_t t = 0; t < std::size(tools); ++t)
            PrintToolRow(caseName, tools[t].Name, results, t, 1, static_cast<double>(sizeMiB));
    }
    failures += RunThreeItemsCase(server, folder, sizeMiB, rounds);
    if (!RunStragglerCase(folder, rounds)) ++failures;
    failures += RunManyCase(server, rounds);
    return failures == 0 ? 0 : 1;
}
