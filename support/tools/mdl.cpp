// mdl: the download component from the command line, a downloader in its
// own right and what download_bench times.
//
//   mdl [-x THREADS] [-j MAXITEMS] [-d DIR] [--batch BYTES] [--cacert FILE]
//       [--connect-to HOST:PORT:ADDR:PORT] URL...
//
// Every URL is one item with THREADS connections (default 5), saved in DIR
// (default the current folder); at most MAXITEMS items run at once (default
// 5). A read takes BYTES at most (default 64 KiB; the window reads 8 KiB).
// On a terminal a progress line per running item is redrawn in place. At the
// end one line per item (status, local file, bytes, seconds) and a total.
// Interrupted (SIGINT, SIGTERM), it stops the items and reports them.
// Exit status: 0 when every item succeeded, 1 otherwise, 2 on bad usage.
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include <chrono>
#include <cstdio>
#include <exception>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "flvdl/CommandLine.h"
#include "engine/clDCUtils.h"
#include "engine/clMultiDownLoader.h"
#include "http/clUriUtils.h"
#include "transport/clCertificate.h"
#include "transport/clIpAddress.h"
#include "transport/clMessagePump.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* Usage =
    "usage: mdl [-x THREADS] [-j MAXITEMS] [-d DIR] [--batch BYTES] [--cacert FILE] "
    "[--connect-to HOST:PORT:ADDR:PORT] URL...\n";

struct TOptions {
    int Threads = 5;
    int MaxItems = 5;
    std::string Folder = ".";
    int BatchSize = clcmdline::kBatchSize;
    std::vector<std::string> CaFiles;
    std::vector<cl::TclHostOverride> ConnectTo;
    std::vector<std::string> Urls;
};

using clcmdline::ParseConnectTo;
using clcmdline::ParseNumber;

bool ParseArguments(int argc, char** argv, TOptions& AOptions) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "-x" && hasValue) {
            if (!ParseNumber(argv[++i], 1, 10, AOptions.Threads)) return false;
        } else if (arg == "-j" && hasValue) {
            if (!ParseNumber(argv[++i], 0, 1000, AOptions.MaxItems)) return false;
        } else if (arg == "-d" && hasValue) {
            AOptions.Folder = argv[++i];
        } else if (arg == "--batch" && hasValue) {
            if (!ParseNumber(argv[++i], 1, 64 << 20, AOptions.BatchSize)) return false;
        } else if (arg == "--cacert" && hasValue) {
            AOptions.CaFiles.emplace_back(argv[++i]);
        } else if (arg == "--connect-to" && hasValue) {
            cl::TclHostOverride entry;
            if (!ParseConnectTo(argv[++i], entry)) return false;
            AOptions.ConnectTo.push_back(entry);
        } else if (!arg.empty() && arg[0] != '-') {
            AOptions.Urls.push_back(arg);
        } else {
            return false;
        }
    }
    return !AOptions.Urls.empty() && !AOptions.Folder.empty();
}

const char* StatusText(cl::TclProcessStatus AStatus) {
    switch (AStatus) {
        case cl::psUnknown:
            return "unknown";
        case cl::psSuccess:
            return "success";
        case cl::psFailed:
            return "failed";
        case cl::psErrors:
            return "errors";
        case cl::psProcess:
            return "running";
        case cl::psTerminated:
            return "stopped";
    }
    return "?";
}

double Seconds(Clock::duration ADuration) { return std::chrono::duration<double>(ADuration).count(); }

// Set while a run waits; the signal handler wakes it (an eventfd write is
// safe in a handler).
cl::TclEvent* GInterrupt = nullptr;

void OnInterrupt(int) {
    const int saved = errno;
    if (GInterrupt) GInterrupt->Signal();
    errno = saved;
}

// What the run keeps per item for its progress line and its result.
struct TItemRun {
    Clock::time_point Started{};
    Clock::time_point Ended{};
    std::string LastError;
};

class TDownloadRun {
public:
    explicit TDownloadRun(const TOptions& AOptions) : FOptions(AOptions), FShowProgress(::isatty(1) != 0) {}

    int Execute() {
        cl::TclMultiDownLoader loader;
        loader.SetLocalFolder(FOptions.Folder);
        loader.SetMaxStartedItems(FOptions.MaxItems);
        loader.SetBatchSize(FOptions.BatchSize);
        loader.OnStatusChanged = [this](cl::TObject*, cl::TclInternetItem* AItem, cl::TclProcessStatus AStatus) {
            if (AStatus == cl::psProcess) FRuns[AItem].Started = Clock::now();
        };
        loader.OnError = [this](cl::TObject*, cl::TclInternetItem* AItem, const std::string& AError, int ACode) {
            FRuns[AItem].LastError = AError + " (code " + std::to_string(ACode) + ")";
        };
        loader.OnProcessCompleted = [this](cl::TObject*, cl::TclInternetItem* AItem) {
            FRuns[AItem].Ended = Clock::now();
        };
        for (const std::string& url : FOptions.Urls) {
            cl::TclDownLoadItem& item = loader.DownLoadList().Add();
            item.SetThreadCount(FOptions.Threads);
            item.SetURL(url);
            // The component names no file for an address with a query or a
            // fragment: take the last segment of its path then, and a
            // numbered name for an address without one.
            if (item.LocalFile().empty()) item.SetLocalFile(LocalFileOfPath(url));
            const std::string name = cl::ExtractFileName(item.LocalFile());
            if (name.empty() || name == "." || name == "..") {
                item.SetLocalFile(cl::IncludeTrailingPathDelimiter(FOptions.Folder) + "download-" +
                                  std::to_string(loader.DownLoadList().Count()));
            }
        }
        cl::TclEvent interrupt;
        GInterrupt = &interrupt;
        struct sigaction action {};
        action.sa_handler = OnInterrupt;
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
        const Clock::time_point start = Clock::now();
        loader.Start(nullptr, true);
        const auto pump = cl::TclMessagePump::Current();
        Clock::time_point lastDraw{};
        // Running or queued items keep the loader busy until the last one ends.
        while (loader.IsBusy() || loader.DelayedItemCount() > 0) {
            if (pump->WaitFor(std::span<cl::TclWaitFd>(), &interrupt, FShowProgress ? 200 : -1) ==
                cl::TclWaitResult::wrAbort) {
                loader.Stop();
            }
            if (FShowProgress && Clock::now() - lastDraw >= std::chrono::milliseconds(200)) {
                DrawProgress(loader);
                lastDraw = Clock::now();
            }
        }
        GInterrupt = nullptr;
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        ClearProgress();
        return Report(loader, Seconds(Clock::now() - start));
    }

private:
    void DrawProgress(cl::TclMultiDownLoader& ALoader) {
        ClearProgress();
        std::string text;
        for (int i = 0; i < ALoader.DownLoadList().Count(); ++i) {
            cl::TclDownLoadItem& item = ALoader.DownLoadList().Items(i);
            if (!item.IsBusy()) continue;
            const cl::TclResourceStateList& state = item.ResourceState();
            const int64_t done = state.BytesProceed();
            const int64_t size = state.ResourceSize();
            char line[512];
            std::snprintf(line, sizeof line, "%-40.40s %12lld B %5.1f%% %8.2f MiB/s\n",
                          cl::ExtractFileName(item.LocalFile()).c_str(), static_cast<long long>(done),
                          size > 0 ? 100.0 * static_cast<double>(done) / static_cast<double>(size) : 0.0,
                          state.Speed() / (1024.0 * 1024.0));
            text += line;
            ++FDrawnLines;
        }
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
    }

    // Moves the cursor back over the lines drawn last time and clears them.
    void ClearProgress() {
        for (; FDrawnLines > 0; --FDrawnLines) std::fputs("\033[1A\033[2K", stdout);
    }

    int Report(cl::TclMultiDownLoader& ALoader, double ASeconds) {
        int succeeded = 0;
        int failed = 0;
        int64_t total = 0;
        for (int i = 0; i < ALoader.DownLoadList().Count(); ++i) {
            cl::TclDownLoadItem& item = ALoader.DownLoadList().Items(i);
            const TItemRun& run = FRuns[&item];
            const cl::TclProcessStatus status = item.ResourceState().LastStatus();
            const int64_t bytes = item.ResourceState().BytesProceed();
            const bool ok = status == cl::psSuccess;
            ok ? ++succeeded : ++failed;
            if (ok) total += bytes;
            const double seconds = run.Started == Clock::time_point{} ? 0.0 : Seconds(run.Ended - run.Started);
            std::printf("%s %s %lld %.2f%s%s\n", StatusText(status), item.LocalFile().c_str(),
                        static_cast<long long>(bytes), seconds, run.LastError.empty() ? "" : " ",
                        run.LastError.c_str());
        }
        const double mib = static_cast<double>(total) / (1024.0 * 1024.0);
        std::printf("%d succeeded, %d failed, %lld bytes in %.2f s (%.2f MiB/s)\n", succeeded, failed,
                    static_cast<long long>(total), ASeconds, ASeconds > 0 ? mib / ASeconds : 0.0);
        return failed == 0 ? 0 : 1;
    }

    std::string LocalFileOfPath(const std::string& AUrl) const {
        cl::TclUrlParser parser;
        return parser.GetLocalFileByURL(AUrl.substr(0, AUrl.find_first_of("?#")), FOptions.Folder);
    }

    const TOptions& FOptions;
    const bool FShowProgress;
    std::map<const cl::TclInternetItem*, TItemRun> FRuns;
    int FDrawnLines = 0;
};

}  // namespace

int main(int argc, char** argv) {
    TOptions options;
    if (!ParseArguments(argc, argv, options)) {
        std::fputs(Usage, stderr);
        return 2;
    }
    try {
        clcmdline::ApplyNetworkOptions(options.CaFiles, options.ConnectTo);
        TDownloadRun run(options);
        return run.Execute();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mdl: %s\n", e.what());
        return 1;
    }
}
