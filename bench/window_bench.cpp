// window_bench: how late a 10 ms timer of the window's thread fires while
// the download component runs there on the Qt message pump, as the program
// runs it, with three items of five connections each from a local nginx.
//
//   window_bench [SIZE_MIB [ROUNDS [http|https|both]]]     defaults: 256 3 http
//
// Each round and case downloads three SIZE_MIB files at once:
//   - the component on the Qt pump of a QApplication's main thread, with a
//     precise 10 ms QTimer there (re-armed at each tick) and a data handler
//     that sets a list row's progress texts, as the window's does;
//   - the same without the timer (the throughput the timer may cost);
//   - mdl -x5 -j3 (the component on the plain pump, a process of its own,
//     with the window's 8 KiB reads);
//   - curl with the three transfers in parallel (-Z), the peer.
// It prints the timer's ticks and lateness (median, 99th percentile, max, in
// ms, over every tick of every round) and per tool the median wall time, the
// throughput and the ratio to curl's time. Every file is checked for its
// size and its status; a failed or short download makes the exit status 1,
// speed never does. Run it from a Release build: build/release/bench/window_bench
#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ProcessTiming.h"
#include "engine/clMultiDownLoader.h"
#include "qtpump/clQtMessagePump.h"
#include "support/NginxServer.h"
#include "transport/clCertificate.h"

namespace {

namespace fs = std::filesystem;
using TClock = std::chrono::steady_clock;

constexpr int cItems = 3;
constexpr int cThreads = 5;
constexpr int cTickMs = 10;

double SecondsSince(TClock::time_point AStart) { return std::chrono::duration<double>(TClock::now() - AStart).count(); }

double Percentile(std::vector<double> AValues, double AFraction) {
    if (AValues.empty()) return 0;
    std::sort(AValues.begin(), AValues.end());
    const size_t at =
        std::min(AValues.size() - 1, static_cast<size_t>(AFraction * static_cast<double>(AValues.size())));
    return AValues[at];
}

// ACommand under a time limit, its output dropped; true when it exited with 0.
bool RunCommand(const std::vector<std::string>& ACommand) {
    std::vector<std::string> args = {"timeout", "-s", "KILL", "300"};
    args.insert(args.end(), ACommand.begin(), ACommand.end());
    return clbench::RunTimed(args).status == 0;
}

// The window's download list: a row per item whose progress and speed
// texts the data handler sets, as the window does per data event.
class TRows {
public:
    explicit TRows(int ACount) {
        FView.setColumnCount(3);
        for (int i = 0; i < ACount; ++i) FView.addTopLevelItem(new QTreeWidgetItem(&FView));
        FView.show();
    }
    void Update(int ARow, const cl::TclResourceStateList& AState) {
        QTreeWidgetItem* item = FView.topLevelItem(ARow);
        const int64_t size = AState.ResourceSize();
        if (!item || size <= 0) return;
        item->setText(0, QString::number(size));
        item->setText(
            1, QString::number(100.0 * static_cast<double>(AState.BytesProceed()) / static_cast<double>(size), 'f', 1));
        item->setText(2, QString::number(AState.Speed() / (1024 * 1024), 'f', 2));
    }

private:
    QTreeWidget FView;
};

// The component on the calling (Qt) thread: three items, the event loop
// until the last one ended (each ASize bytes). With ATicks, a 10 ms timer records each tick's
// lateness in ms. False when an item did not succeed.
bool RunOnQtPump(const std::vector<std::string>& AUrls, const std::string& AFolder, int64_t ASize,
                 std::vector<double>* ATicks) {
    cl::TclMultiDownLoader loader;
    loader.SetLocalFolder(AFolder);
    loader.SetMaxStartedItems(cItems);
    TRows rows(static_cast<int>(AUrls.size()));
    int64_t bytesSeen = 0;
    int ended = 0;
    loader.OnDataItemProceed = [&](cl::TObject*, cl::TclInternetItem* AItem, cl::TclResourceInfo*,
                                   cl::TclResourceStateItem*, const uint8_t*, int ASize) {
        bytesSeen += ASize;
        rows.Update(loader.DownLoadList().IndexOf(AItem), AItem->ResourceState());
    };
    loader.OnProcessCompleted = [&](cl::TObject*, cl::TclInternetItem*) {
        if (++ended == static_cast<int>(AUrls.size())) QCoreApplication::quit();
    };
    for (size_t i = 0; i < AUrls.size(); ++i) {
        cl::TclDownLoadItem& item = loader.DownLoadList().Add();
        item.SetThreadCount(cThreads);
        item.SetURL(AUrls[i]);
        item.SetLocalFile(AFolder + "/item" + std::to_string(i + 1) + ".bin");
    }

    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setSingleShot(true);
    TClock::time_point due{};
    QObject::connect(&timer, &QTimer::timeout, [&] {
        const auto now = TClock::now();
        ATicks->push_back(std::chrono::duration<double, std::milli>(now - due).count());
        due = now + std::chrono::milliseconds(cTickMs);
        timer.start(cTickMs);
    });
    if (ATicks) {
        due = TClock::now() + std::chrono::milliseconds(cTickMs);
        timer.start(cTickMs);
    }
    loader.Start(nullptr, true);
    QApplication::exec();
    timer.stop();
    // Every byte went through a data event.
    bool ok = bytesSeen >= ASize * static_cast<int64_t>(AUrls.size());
    for (int i = 0; i < loader.DownLoadList().Count(); ++i) {
        ok = ok && loader.DownLoadList().Items(i).ResourceState().LastStatus() == cl::psSuccess;
    }
    return ok;
}

// Every downloaded file has the served size; they are removed.
bool CheckAndRemove(const std::vector<std::string>& AFiles, uintmax_t ASize) {
    bool ok = true;
    for (const std::string& file : AFiles) {
        std::error_code ec;
        ok = ok && fs::file_size(file, ec) == ASize && !ec;
        fs::remove(file, ec);
    }
    return ok;
}

struct TCaseResult {
    std::vector<double> Times;
    bool Ok = true;
};

}  // namespace

int main(int argc, char** argv) {
    const int64_t sizeMiB = argc > 1 ? std::max(1, std::atoi(argv[1])) : 256;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const std::string which = argc > 3 ? argv[3] : "http";
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // The window's platform without a display.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);

    int qtArgc = 1;
    char qtName[] = "window_bench";
    char* qtArgv[] = {qtName, nullptr};
    QApplication app(qtArgc, qtArgv);
    // As the program does: every wait of the library serves this thread.
    cl::TclMessagePump::Install(std::make_shared<cl::TclQtMessagePump>());

    int failures = 0;
    {
        cltest::TNginxOptions options;
        options.LargeSize = sizeMiB << 20;
        cltest::TNginxServer server(options);
        cl::AddTrustAnchorsPem(server.CaPem());
        // Three names for the one served file, so that every tool saves three files.
        const std::string served = server.FileOf("/static/large.bin");
        for (int i = 1; i <= cItems; ++i) {
            fs::create_hard_link(served, server.FileOf("/static/large" + std::to_string(i) + ".bin"));
        }
        // On disk, as the window saves: on tmpfs, reserving an item's size
        // allocates its memory on the starting thread, a stall of its own.
        const std::string folder = server.Folder() + "/bench";
        fs::create_directories(folder);
        const uintmax_t size = fs::file_size(served);
        const double totalMiB = static_cast<double>(sizeMiB * cItems);

        std::printf("%d items of %d connections, %lld MiB each, median of %d rounds\n", cItems, cThreads,
                    static_cast<long long>(sizeMiB), rounds);
        for (const bool tls : {false, true}) {
            if (which != "both" && (which == "https") != tls) continue;
            const char* caseName = tls ? "https" : "http";
            const std::string base = (tls ? server.HttpsBase() : server.HttpBase()) + "/static/large";
            std::vector<std::string> urls;
            std::vector<std::string> files;
            for (int i = 1; i <= cItems; ++i) {
                urls.push_back(base + std::to_string(i) + ".bin");
                files.push_back(folder + "/item" + std::to_string(i) + ".bin");
            }
            std::vector<std::string> mdlFiles;
            std::vector<std::string> mdl = {
                MDL_PATH, "-x",       std::to_string(cThreads), "-j", std::to_string(cItems), "-d",
                folder,   "--cacert", server.CaFile()};
            mdl.insert(mdl.end(), {"--batch", "8192"});  // the window's reads, not mdl's
            std::vector<std::string> curl = {"curl", "-sS",      "--no-progress-meter", "--fail",
                                             "-Z",   "--cacert", server.CaFile()};
            for (int i = 1; i <= cItems; ++i) {
                mdl.push_back(urls[static_cast<size_t>(i - 1)]);
                mdlFiles.push_back(folder + "/large" + std::to_string(i) + ".bin");
                curl.insert(curl.end(), {"-o", mdlFiles.back(), urls[static_cast<size_t>(i - 1)]});
            }

            enum { cTimer, cNoTimer, cMdl, cCurl, cCount };
            const char* names[cCount] = {"Qt pump, 10 ms timer", "Qt pump, no timer", "mdl (plain pump)", "curl -Z"};
            TCaseResult results[cCount];
            std::vector<double> ticks;
            for (int r = 0; r < rounds; ++r) {
                for (int c = 0; c < cCount; ++c) {
                    if (!results[c].Ok) continue;
                    const auto start = TClock::now();
                    bool ok = false;
                    if (c == cTimer || c == cNoTimer) {
                        ok = RunOnQtPump(urls, folder, static_cast<int64_t>(size), c == cTimer ? &ticks : nullptr);
                    } else {
                        ok = RunCommand(c == cMdl ? mdl : curl);
                    }
                    results[c].Times.push_back(SecondsSince(start));
                    results[c].Ok = CheckAndRemove(c == cTimer || c == cNoTimer ? files : mdlFiles, size) && ok;
                }
            }
            const double curlTime = results[cCurl].Ok ? Percentile(results[cCurl].Times, 0.5) : 0;
            std::printf("%-6s %-22s %9s %9s %8s\n", caseName, "tool", "wall s", "MiB/s", "/ curl");
            for (int c = 0; c < cCount; ++c) {
                if (!results[c].Ok) {
                    std::printf("%-6s %-22s   failed, timed out or wrong size\n", caseName, names[c]);
                    ++failures;
                    continue;
                }
                const double wall = Percentile(results[c].Times, 0.5);
                std::printf("%-6s %-22s %9.3f %9.1f %8.2f\n", caseName, names[c], wall, totalMiB / wall,
                            curlTime > 0 ? wall / curlTime : 0.0);
            }
            std::printf("%-6s timer: %zu ticks, late by median %.2f ms, p99 %.2f ms, max %.2f ms\n", caseName,
                        ticks.size(), Percentile(ticks, 0.5), Percentile(ticks, 0.99),
                        ticks.empty() ? 0.0 : *std::max_element(ticks.begin(), ticks.end()));
        }
        cl::ClearTrustAnchors();
    }
    cl::TclMessagePump::Uninstall();
    return failures == 0 ? 0 : 1;
}
