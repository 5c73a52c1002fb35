// inet_bench: the read path of the internet connection layer against curl,
// and the calls per second of the synchronizer.
//
//   inet_bench [ROUNDS [SIZE_MIB [CALLS]]]      defaults: 5 256 200000
//
// The first half starts nginx on loopback (support/NginxServer) and, over
// plain HTTP and over TLS, downloads one SIZE_MIB file per round through the
// actions of this layer (open, connect, request, send, then reads of 8 KiB
// into a file, as a download worker does) and with curl into another file;
// the two files are compared byte for byte. It prints the median round time
// of each and the ratio layer/curl.
//
// The second half measures one base thread serving synchronized calls from five
// workers (CALLS each): on the plain pump while the base thread waits, and
// on the Qt pump, idle in its event loop. Speed never makes it fail; a failed
// or differing download makes the exit status 1. Run it from a Release build.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/clInternetConnection.h"
#include "engine/clSyncUtils.h"
#include "qtpump/clQtMessagePump.h"
#include "support/NginxServer.h"
#include "transport/clCertificate.h"

extern char** environ;

using namespace cl;

namespace {

using TClock = std::chrono::steady_clock;

double SecondsSince(TClock::time_point AStart) { return std::chrono::duration<double>(TClock::now() - AStart).count(); }

double Median(std::vector<double> AValues) {
    std::sort(AValues.begin(), AValues.end());
    const size_t n = AValues.size();
    return n % 2 ? AValues[n / 2] : (AValues[n / 2 - 1] + AValues[n / 2]) / 2;
}

bool RunCurl(const std::string& AUrl, const std::string& ACaFile, const std::string& AOutFile) {
    std::vector<std::string> args = {"timeout", "-s",       "KILL",  "120", "curl",   "-sS",
                                     "--fail",  "--cacert", ACaFile, "-o",  AOutFile, AUrl};
    std::vector<char*> argv;
    for (std::string& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// One download through the layer's actions; false on any failure.
bool RunLayer(int APort, bool ATls, const std::string& AOutFile) {
    const int out = open(AOutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) return false;
    bool ok = false;
    try {
        TclInternetConnection connection;
        auto* openAction =
            new TclInternetOpenAction(&connection, "inet_bench", INTERNET_OPEN_TYPE_PRECONFIG, "", "", 0);
        openAction->FireAction(-1);
        auto* connect = new TclConnectAction(&connection, openAction->hResource(), "127.0.0.1",
                                             static_cast<uint16_t>(APort), "", "", INTERNET_SERVICE_HTTP, 0);
        connect->FireAction(5000);
        auto* request = new TclHttpOpenRequestAction(&connection, openAction->hResource(), connect->hResource(), "GET",
                                                     "/static/large.bin", "", "", "",
                                                     INTERNET_FLAG_RELOAD | (ATls ? INTERNET_FLAG_SECURE : 0));
        request->FireAction(5000);
        TclHttpSendRequestAction send(&connection, openAction->hResource(), request->hResource(), "");
        send.FireAction(5000);
        std::vector<char> buffer(8192 + 1);
        TclInternetReadFileAction read(&connection, openAction->hResource(), request->hResource(), buffer.data());
        for (;;) {
            read.dwNumberOfBytesToRead = 8192;
            read.FireAction(5000);
            if (read.lpdwNumberOfBytesRead == 0) break;
            if (write(out, buffer.data(), read.lpdwNumberOfBytesRead) !=
                static_cast<ssize_t>(read.lpdwNumberOfBytesRead))
                throw EclInternetError("write failed", errno);
        }
        ok = true;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "layer download failed: %s\n", e.what());
    }
    close(out);
    return ok;
}

bool SameFiles(const std::string& A, const std::string& B) {
    std::ifstream a(A, std::ios::binary);
    std::ifstream b(B, std::ios::binary);
    std::vector<char> x(1 << 20);
    std::vector<char> y(1 << 20);
    for (;;) {
        a.read(x.data(), static_cast<std::streamsize>(x.size()));
        b.read(y.data(), static_cast<std::streamsize>(y.size()));
        if (a.gcount() != b.gcount()) return false;
        if (!std::equal(x.begin(), x.begin() + a.gcount(), y.begin())) return false;
        if (a.gcount() == 0) return a.eof() && b.eof();
    }
}

// Five workers send ACalls calls each to the calling thread, which waits
// through its pump (AWait) until they are done; calls per second.
template <class W>
double SynchronizedCallsPerSecond(int ACalls, W AWait) {
    TclThreadSynchronizer synchronizer;
    std::atomic<int> running{5};
    TclEvent done;
    long served = 0;
    const auto start = TClock::now();
    std::vector<std::thread> workers;
    for (int w = 0; w < 5; ++w)
        workers.emplace_back([&] {
            for (int i = 0; i < ACalls; ++i) synchronizer.Synchronize([&] { ++served; });
            if (--running == 0) done.Signal();
        });
    AWait(done);
    const double seconds = SecondsSince(start);
    for (auto& t : workers) t.join();
    return static_cast<double>(served) / seconds;
}

void PumpUntil(TclEvent& AEvent) {
    auto pump = TclMessagePump::Current();
    TclWaitFd fd{AEvent.Handle(), POLLIN, 0};
    while (!AEvent.TryReset()) pump->WaitFor(std::span<TclWaitFd>(&fd, 1), nullptr, -1);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const int64_t sizeMiB = argc > 2 ? std::max(1, std::atoi(argv[2])) : 256;
    const int calls = argc > 3 ? std::max(1, std::atoi(argv[3])) : 200000;
    int failures = 0;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    // On a thread of its own: the main thread's pump is to be Qt's.
    std::thread([&] {
        cltest::TNginxOptions options;
        options.LargeSize = sizeMiB << 20;
        cltest::TNginxServer server(options);
        AddTrustAnchorsPem(server.CaPem());
        // Both outputs go to memory-backed files, so that disk writes do not
        // drown the difference between the two readers.
        const std::string shm = "/dev/shm/inet_bench." + std::to_string(getpid());
        std::filesystem::create_directories(shm);
        const std::string layerFile = shm + "/layer.bin";
        const std::string curlFile = shm + "/curl.bin";
        std::printf("read path: %lld MiB in 8 KiB reads, median of %d rounds\n", static_cast<long long>(sizeMiB),
                    rounds);
        std::printf("%-6s %-7s %10s %10s\n", "case", "tool", "median s", "MiB/s");
        for (const bool tls : {false, true}) {
            const char* name = tls ? "https" : "http";
            const std::string url = (tls ? server.HttpsBase() : server.HttpBase()) + "/static/large.bin";
            std::vector<double> layerTimes;
            std::vector<double> curlTimes;
            bool failed = false;
            for (int r = 0; r < rounds && !failed; ++r) {
                // Who goes first alternates, so that neither always meets a warm cache.
                for (int turn = 0; turn < 2; ++turn) {
                    const auto start = TClock::now();
                    if ((turn == 0) == (r % 2 == 0)) {
                        failed = !RunLayer(tls ? server.HttpsPort() : server.HttpPort(), tls, layerFile) || failed;
                        layerTimes.push_back(SecondsSince(start));
                    } else {
                        failed = !RunCurl(url, server.CaFile(), curlFile) || failed;
                        curlTimes.push_back(SecondsSince(start));
                    }
                }
                if (!failed && !SameFiles(layerFile, curlFile)) {
                    std::printf("%-6s the layer's bytes differ from curl's\n", name);
                    failed = true;
                }
            }
            std::error_code ec;
            std::filesystem::remove(layerFile, ec);
            std::filesystem::remove(curlFile, ec);
            if (tls) std::filesystem::remove_all(shm, ec);
            if (failed) {
                std::printf("%-6s a download failed\n", name);
                ++failures;
                continue;
            }
            const double layer = Median(layerTimes);
            const double curl = Median(curlTimes);
            std::printf("%-6s %-7s %10.3f %10.1f\n", name, "layer", layer, static_cast<double>(sizeMiB) / layer);
            std::printf("%-6s %-7s %10.3f %10.1f\n", name, "curl", curl, static_cast<double>(sizeMiB) / curl);
            std::printf("%-6s ratio layer/curl: %.2f\n", name, layer / curl);
        }
        ClearTrustAnchors();
    }).join();

    std::printf("synchronizer: 5 workers x %d calls to one base thread\n", calls);
    double plain = 0;
    std::thread base([&] { plain = SynchronizedCallsPerSecond(calls, PumpUntil); });
    base.join();
    std::printf("%-28s %12.0f calls/s\n", "plain pump, base waiting", plain);

    int qtArgc = 1;
    char qtName[] = "inet_bench";
    char* qtArgv[] = {qtName, nullptr};
    QCoreApplication app(qtArgc, qtArgv);
    TclMessagePump::Install(std::make_shared<TclQtMessagePump>());
    const double idle = SynchronizedCallsPerSecond(calls, [](TclEvent& ADone) {
        auto pump = TclMessagePump::Current();
        std::thread watcher([&] {
            // Ends the event loop from the base thread once the workers are done.
            pollfd fd{ADone.Handle(), POLLIN, 0};
            poll(&fd, 1, -1);
            TclMessagePump* raw = pump.get();
            raw->Send([] { QCoreApplication::quit(); });
        });
        QCoreApplication::exec();
        watcher.join();
        ADone.TryReset();
    });
    std::printf("%-28s %12.0f calls/s\n", "Qt pump, idle event loop", idle);
    const double nested = SynchronizedCallsPerSecond(calls, PumpUntil);
    std::printf("%-28s %12.0f calls/s\n", "Qt pump, base waiting", nested);
    TclMessagePump::Uninstall();
    return failures == 0 ? 0 : 1;
}
