// download_bench: one large file from a local nginx, over plain HTTP and
// over TLS, with mdl (the download component, five connections), curl (one
// connection) and aria2c (five connections), all in the same run.
//
//   download_bench [SIZE_MIB [ROUNDS]]      defaults: 256 1
//
// nginx is started on loopback ports the way the interoperability tests do
// (tests/support/NginxServer). Every download runs under /usr/bin/time and
// is killed after two minutes; its bytes are compared with the served file.
// Per case and tool it prints the median wall time, its ratio to curl's,
// the CPU seconds (user + system) and the peak resident size. A failed or
// wrong download makes the exit status 1; speed never does. Run it from a
// Release build: build/release/bench/download_bench
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/NginxServer.h"

extern char** environ;

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
    std::vector<std::string> (*Command)(const std::string& AUrl, const std::string& ACaFile,
                                        const std::string& AFolder, const std::string& AFileName);
};

std::vector<std::string> MdlCommand(const std::string& AUrl, const std::string& ACaFile,
                                    const std::string& AFolder, const std::string&) {
    return {MDL_PATH, "-x", "5", "-d", AFolder, "--cacert", ACaFile, AUrl};
}

std::vector<std::string> CurlCommand(const std::string& AUrl, const std::string& ACaFile,
                                     const std::string& AFolder, const std::string& AFileName) {
    return {"curl", "-sS", "--fail", "--cacert", ACaFile, "-o", AFolder + "/" + AFileName, AUrl};
}

std::vector<std::string> Aria2Command(const std::string& AUrl, const std::string& ACaFile,
                                      const std::string& AFolder, const std::string& AFileName) {
    return {"aria2c", "-q", "-x", "5", "-s", "5", "--ca-certificate=" + ACaFile, "--allow-overwrite=true",
            "--auto-file-renaming=false", "-d", AFolder, "-o", AFileName, AUrl};
}

// Runs ACommand under /usr/bin/time (killed after two minutes); false when
// it did not exit with 0.
bool RunMeasured(const std::vector<std::string>& ACommand, const std::string& ATimeFile, TMeasure& AMeasure) {
    std::vector<std::string> args = {"/usr/bin/time", "-f", "%e %U %S %M", "-o", ATimeFile,
                                     "timeout",       "-s", "KILL",        "120"};
    args.insert(args.end(), ACommand.begin(), ACommand.end());
    std::vector<char*> argv;
    for (std::string& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return false;
    int status = 0;
    waitpid(pid, &status, 0);
    double user = 0;
    double system = 0;
    AMeasure = {};
    if (FILE* f = std::fopen(ATimeFile.c_str(), "r")) {
        // A killed command leaves a first line about its signal.
        char line[256];
        while (std::fgets(line, sizeof line, f)) {
            if (std::sscanf(line, "%lf %lf %lf %ld", &AMeasure.Wall, &user, &system, &AMeasure.PeakKiB) == 4) break;
        }
        std::fclose(f);
    }
    AMeasure.Cpu = user + system;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
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

TMeasure Median(std::vector<TMeasure> AValues) {
    std::sort(AValues.begin(), AValues.end(), [](const TMeasure& A, const TMeasure& B) { return A.Wall < B.Wall; });
    return AValues[AValues.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int64_t sizeMiB = argc > 1 ? std::max(1, std::atoi(argv[1])) : 256;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1;

    cltest::TNginxOptions options;
    options.LargeSize = sizeMiB << 20;
    cltest::TNginxServer server(options);
    const std::string served = server.FileOf("/static/large.bin");
    const std::string folder = server.Folder() + "/bench";
    fs::create_directories(folder);
    const std::string timeFile = folder + "/time.txt";
    const std::string fileName = "large.bin";

    const TTool tools[] = {{"mdl -x5", MdlCommand}, {"curl", CurlCommand}, {"aria2c -x5", Aria2Command}};
    std::printf("one %lld MiB file, median of %d rounds\n", static_cast<long long>(sizeMiB), rounds);
    std::printf("%-6s %-11s %9s %9s %10s %8s %14s\n", "case", "tool", "wall s", "MiB/s", "/ curl", "CPU s",
                "peak RSS KiB");
    int failures = 0;
    for (const bool tls : {false, true}) {
        const std::string url = (tls ? server.HttpsBase() : server.HttpBase()) + "/static/large.bin";
        const char* caseName = tls ? "https" : "http";
        std::vector<TMeasure> results(std::size(tools));
        std::vector<bool> ok(std::size(tools), true);
        for (size_t t = 0; t < std::size(tools); ++t) {
            std::vector<TMeasure> runs;
            for (int r = 0; r < rounds && ok[t]; ++r) {
                const std::string out = folder + "/" + fileName;
                std::error_code ec;
                fs::remove(out, ec);
                TMeasure m;
                ok[t] = RunMeasured(tools[t].Command(url, server.CaFile(), folder, fileName), timeFile, m) &&
                        SameBytes(out, served);
                fs::remove(out, ec);
                runs.push_back(m);
            }
            if (ok[t]) results[t] = Median(runs);
            else ++failures;
        }
        const double curlWall = ok[1] ? results[1].Wall : 0;
        for (size_t t = 0; t < std::size(tools); ++t) {
            if (!ok[t]) {
                std::printf("%-6s %-11s %9s   failed, timed out or wrong bytes\n", caseName, tools[t].Name, "-");
                continue;
            }
            const TMeasure& m = results[t];
            std::printf("%-6s %-11s %9.3f %9.1f %10.2f %8.2f %14ld\n", caseName, tools[t].Name, m.Wall,
                        m.Wall > 0 ? static_cast<double>(sizeMiB) / m.Wall : 0.0,
                        curlWall > 0 ? m.Wall / curlWall : 0.0, m.Cpu, m.PeakKiB);
        }
    }
    return failures == 0 ? 0 : 1;
}
