// The download component end to end over loopback servers: admission and the
// delayed queue, the order of completion, the two phases, ranges and resume,
// the take-over of a failed range, splitting a straggling range, local file
// naming, the commit step, and servers and disks that fail.
#include "engine/clMultiDownLoader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "engine/clDCUtils.h"
#include "support/GzipTestData.h"
#include "clMultiDownLoaderTestServer.h"

namespace {

namespace fs = std::filesystem;
using cltest::TRangeServer;
using cltest::TRangeServerOptions;

std::string RandomBody(size_t ASize, unsigned ASeed = 7) {
    std::mt19937 gen(ASeed);
    std::string s(ASize, '\0');
    for (char& c : s) c = static_cast<char>(gen());
    return s;
}

std::string ReadFile(const std::string& AName) {
    std::ifstream in(AName, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

template <class F>
TRangeServerOptions With(F ASetUp) {
    TRangeServerOptions options;
    ASetUp(options);
    return options;
}

// The bytes a server was asked for by the ranged requests from the
// AFrom-th request on (by the first AMaxRanged of them).
int64_t BytesAskedSince(const TRangeServer& AServer, size_t AFrom, size_t AMaxRanged = SIZE_MAX) {
    const std::vector<std::string> all = AServer.Ranges();
    int64_t asked = 0;
    for (size_t i = AFrom; i < all.size() && AMaxRanged > 0; ++i) {
        if (all[i].empty()) continue;
        --AMaxRanged;
        const size_t dash = all[i].find('-');
        asked += std::stoll(all[i].substr(dash + 1)) - std::stoll(all[i].substr(6, dash - 6)) + 1;
    }
    return asked;
}

// The ranges of AItem that still need bytes: a resume sends one request for
// each, from its next needed byte.
size_t UnfinishedRanges(cl::TclDownLoadItem& AItem) {
    size_t count = 0;
    for (int i = 0; i < AItem.ResourceState().Count(); ++i) {
        const cl::TclResourceStateItem& range = *AItem.ResourceState().GetItem(i);
        if (range.BytesProceed() < range.BytesToProceed()) ++count;
    }
    return count;
}

// A tmpfs of ASize mounted at APath for the test's lifetime (root only).
class TTmpfs {
public:
    TTmpfs(std::string APath, const std::string& ASize) : FPath(std::move(APath)) {
        fs::create_directories(FPath);
        FMounted = std::system(("mount -t tmpfs -o size=" + ASize + " tmpfs " + FPath + " 2>/dev/null").c_str()) == 0;
    }
    ~TTmpfs() {
        if (FMounted) std::system(("umount " + FPath).c_str());
    }
    bool Mounted() const { return FMounted; }
    bool Resize(const std::string& ASize) const {
        return std::system(("mount -o remount,size=" + ASize + " " + FPath).c_str()) == 0;
    }

private:
    std::string FPath;
    bool FMounted = false;
};

// A TRangeServer in a child process, out of reach of the test process's
// limits; the child ends when this object goes away.
class TForkedRangeServer {
public:
    explicit TForkedRangeServer(const std::string& ABody) {
        int port[2];
        int alive[2];
        if (::pipe(port) != 0 || ::pipe(alive) != 0) return;
        FPid = ::fork();
        if (FPid == 0) {
            ::close(port[0]);
            ::close(alive[1]);
            {
                TRangeServer server(ABody);
                const std::string url = server.Url();
                const int number = std::stoi(url.substr(url.rfind(':') + 1));
                (void)!::write(port[1], &number, sizeof number);
                char c;
                (void)!::read(alive[0], &c, 1);  // returns when the parent closes its end
            }
            ::_exit(0);
        }
        ::close(port[1]);
        ::close(alive[0]);
        if (::read(port[0], &FPort, sizeof FPort) != sizeof FPort) FPort = 0;
        ::close(port[0]);
        FAlive = alive[1];
    }
    ~TForkedRangeServer() {
        if (FAlive >= 0) ::close(FAlive);
        if (FPid > 0) ::waitpid(FPid, nullptr, 0);
    }
    std::string Url(const std::string& APath) const { return "http://127.0.0.1:" + std::to_string(FPort) + APath; }
    bool Running() const { return FPort != 0; }

private:
    pid_t FPid = -1;
    int FPort = 0;
    int FAlive = -1;
};

// Leaves the process exactly AFree descriptors below a lowered soft limit
// until destroyed.
class TScarceDescriptors {
public:
    explicit TScarceDescriptors(int AFree) {
        ::getrlimit(RLIMIT_NOFILE, &FSaved);
        int highest = 0;
        for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
            highest = std::max(highest, std::stoi(entry.path().filename().string()));
        }
        rlimit low = FSaved;
        low.rlim_cur = static_cast<rlim_t>(highest + 64);
        ::setrlimit(RLIMIT_NOFILE, &low);
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) FTaken.push_back(fd);
        for (int i = 0; i < AFree && !FTaken.empty(); ++i) {
            ::close(FTaken.back());
            FTaken.pop_back();
        }
    }
    ~TScarceDescriptors() {
        for (int fd : FTaken) ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &FSaved);
    }

private:
    rlimit FSaved{};
    std::vector<int> FTaken;
};

// The range starts a server saw, without the information request.
std::vector<std::string> DataRanges(const TRangeServer& AServer) {
    std::vector<std::string> r = AServer.Ranges();
    if (!r.empty() && r.front().empty()) r.erase(r.begin());
    return r;
}

class MultiDownLoader : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/clmdl-XXXXXX";
        FFolder = ::mkdtemp(tmpl);
        Loader.SetLocalFolder(FFolder);
        Loader.SetTryCount(2);
        Loader.SetReconnectAfter(20);
        Loader.OnStatusChanged = [this](cl::TObject*, cl::TclInternetItem* AItem, cl::TclProcessStatus AStatus) {
            Statuses[AItem->Index()].push_back(AStatus);
        };
        Loader.OnError = [this](cl::TObject*, cl::TclInternetItem*, const std::string& AError, int) {
            Errors.push_back(AError);
        };
    }
    void TearDown() override {
        WaitIdle();
        fs::remove_all(FFolder);
    }

    // Serves the workers' calls until nothing runs or waits; a hung
    // download fails the test instead of hanging it.
    void WaitIdle() {
        const auto pump = cl::TclMessagePump::Current();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (Loader.IsBusy() || Loader.DelayedItemCount() > 0) {
            pump->WaitFor(std::span<cl::TclWaitFd>(), nullptr, 100);
            if (std::chrono::steady_clock::now() > deadline) {
                Loader.Stop();
                FAIL() << "the downloads did not end";
            }
        }
    }

    cl::TclDownLoadItem& AddItem(const std::string& AUrl, int AThreadCount = 5) {
        cl::TclDownLoadItem& item = Loader.DownLoadList().Add();
        item.SetThreadCount(AThreadCount);
        item.SetURL(AUrl);
        return item;
    }
    std::string File(const std::string& AName) const { return FFolder + "/" + AName; }

    std::string FFolder;
    cl::TclMultiDownLoader Loader;
    std::map<int, std::vector<cl::TclProcessStatus>> Statuses;
    std::vector<std::string> Errors;
};

// --- admission, the delayed queue and the order of completion ---

TEST_F(MultiDownLoader, FiveStartsWithThreeAllowedQueueTwoAndEachCompletionStartsTheFirstQueued) {
    TRangeServer server(RandomBody(30000), With([](TRangeServerOptions& o) { o.PaceMs = 20; }));
    Loader.SetMaxStartedItems(3);
    for (int i = 0; i < 5; ++i) AddItem(server.Url("/f" + std::to_string(i) + ".bin"), 1);
    std::vector<std::vector<bool>> busyAtCompletion;
    Loader.OnProcessCompleted = [&](cl::TObject*, cl::TclInternetItem*) {
        std::vector<bool> busy;
        for (int i = 0; i < 5; ++i) busy.push_back(Loader.DownLoadList().Items(i).IsBusy());
        busyAtCompletion.push_back(busy);
    };
    Loader.Start(nullptr, true);
    EXPECT_EQ(Loader.StartedItemCount(), 3);
    EXPECT_EQ(Loader.DelayedItemCount(), 2);
    EXPECT_FALSE(Loader.DownLoadList().Items(3).IsBusy());
    EXPECT_FALSE(Loader.DownLoadList().Items(4).IsBusy());
    WaitIdle();
    ASSERT_EQ(busyAtCompletion.size(), 5u);
    // The first completion has started item 3 (and only it), the second item 4.
    EXPECT_TRUE(busyAtCompletion[0][3]);
    EXPECT_FALSE(busyAtCompletion[0][4]);
    EXPECT_TRUE(busyAtCompletion[1][4]);
    EXPECT_EQ(Loader.StartedItemCount(), 0);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(Loader.DownLoadList().Items(i).ResourceState().LastStatus(), cl::psSuccess) << i;
        EXPECT_EQ(ReadFile(File("f" + std::to_string(i) + ".bin")).size(), 30000u) << i;
    }
}

TEST_F(MultiDownLoader, RequestsWaitingForAFreeConnectionToTheServerAreNotTimedOutForIt) {
    // Fifteen ranges of 300 ms each for ten connections to the server: five
    // wait longer than the time-out before they are sent.
    const std::string body = RandomBody(200000);
    TRangeServer server(body, With([](TRangeServerOptions& o) { o.PaceMs = 60; }));
    Loader.SetTimeOut(150);
    Loader.SetTryCount(1);
    for (int i = 0; i < 3; ++i) AddItem(server.Url("/w" + std::to_string(i) + ".bin"));
    Loader.Start(nullptr, true);
    WaitIdle();
    EXPECT_TRUE(Errors.empty()) << Errors.front();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Loader.DownLoadList().Items(i).ResourceState().LastStatus(), cl::psSuccess) << i;
        EXPECT_TRUE(ReadFile(File("w" + std::to_string(i) + ".bin")) == body) << i;
    }
}

TEST_F(MultiDownLoader, ASynchronousStartIsNeverHeldBackAndABusyItemRefusesASecondStart) {
    TRangeServer server(RandomBody(30000), With([](TRangeServerOptions& o) { o.PaceMs = 20; }));
    Loader.SetMaxStartedItems(1);
    cl::TclDownLoadItem& running = AddItem(server.Url("/a.bin"), 1);
    cl::TclDownLoadItem& sync = AddItem(server.Url("/b.bin"), 1);
    running.Start(true);
    try {
        running.Start(true);
        ADD_FAILURE() << "a busy item started again";
    } catch (const cl::EclInternetError& e) {
        EXPECT_STREQ(e.what(), "Operation is in progress");
        EXPECT_EQ(e.ErrorCode(), -1);
    }
    sync.Start(false);
    EXPECT_EQ(Loader.DelayedItemCount(), 0);
    EXPECT_FALSE(sync.IsBusy());
    EXPECT_EQ(sync.ResourceState().LastStatus(), cl::psSuccess);
    EXPECT_EQ(ReadFile(File("b.bin")).size(), 30000u);
}

TEST_F(MultiDownLoader, AStoppedDelayedItemLeavesTheQueueAndNeverRuns) {
    TRangeServer server(RandomBody(20000), With([](TRangeServerOptions& o) { o.PaceMs = 10; }));
    Loader.SetMaxStartedItems(1);
    AddItem(server.Url("/a.bin"), 1);
    cl::TclDownLoadItem& waiting = AddItem(server.Url("/b.bin"), 1);
    Loader.Start(nullptr, true);
    ASSERT_EQ(Loader.DelayedItemCount(), 1);
    waiting.Stop();
    EXPECT_EQ(Loader.DelayedItemCount(), 0);
    WaitIdle();
    EXPECT_TRUE(Statuses[1].empty());
    EXPECT_FALSE(fs::exists(File("b.bin")));
}

TEST_F(MultiDownLoader, CompletionStartsTheNextItemThenReportsIdleThenCompletes) {
    TRangeServer server(RandomBody(20000));
    Loader.SetMaxStartedItems(1);
    AddItem(server.Url("/a.bin"), 1);
    AddItem(server.Url("/b.bin"), 1);
    std::vector<std::string> log;
    Loader.OnIsBusyChanged = [&](cl::TObject*) { log.push_back(Loader.IsBusy() ? "busy" : "idle"); };
    Loader.OnProcessCompleted = [&](cl::TObject*, cl::TclInternetItem* AItem) {
        log.push_back("done" + std::to_string(AItem->Index()));
        if (AItem->Index() == 0) {
            EXPECT_TRUE(Loader.DownLoadList().Items(1).IsBusy());
        }
        // The item's own file stream is closed by now.
        EXPECT_EQ(AItem->DataStream(), nullptr);
    };
    Loader.Start(nullptr, true);
    WaitIdle();
    EXPECT_EQ(log, (std::vector<std::string>{"busy", "done0", "idle", "done1"}));
    // One psProcess for the whole run, the final status at its end.
    EXPECT_EQ(Statuses[0], (std::vector<cl::TclProcessStatus>{cl::psProcess, cl::psSuccess}));
}

TEST_F(MultiDownLoader, ItemsRunOneAfterAnotherFetchEverythingOverOneConnection) {
    TRangeServer server(RandomBody(20000));
    Loader.SetMaxStartedItems(1);
    for (int i = 0; i < 3; ++i) AddItem(server.Url("/f" + std::to_string(i) + ".bin"), 1);
    Loader.Start(nullptr, true);
    WaitIdle();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Loader.DownLoadList().Items(i).ResourceState().LastStatus(), cl::psSuccess);
    // An information request and the body for each item, every one on the
    // connection the one before left.
    EXPECT_EQ(server.RequestCount(), 6);
    EXPECT_EQ(server.Connections(), 1);
}

// The workers free themselves after the idle report; a program that waits
// for the engine's threads before it exits finds every one of them gone.
TEST_F(MultiDownLoader, OnceTheEngineThreadsAreWaitedForNoWorkerOrActionThreadIsLeft) {
    const auto engineThreads = [] {
        int count = 0;
        for (const auto& task : fs::directory_iterator("/proc/self/task")) {
            const std::string name = ReadFile((task.path() / "comm").string());
            count += name.starts_with("cl-worker") || name.starts_with("cl-action") ? 1 : 0;
        }
        return count;
    };
    TRangeServer server(RandomBody(200000));
    AddItem(server.Url("/a.bin"), 5);
    AddItem(server.Url("/b.bin"), 5);
    Loader.Start(nullptr, true);
    WaitIdle();
    EXPECT_TRUE(cl::WaitForEngineThreads(10000));
    EXPECT_EQ(cl::EngineThreadCount(), 0);
    EXPECT_EQ(engineThreads(), 0);
}

TEST_F(MultiDownLoader, AHandlerThatThrowsFailsItsItemAndTheQueueGoesOn) {
    TRangeServer server(RandomBody(30000));
    TRangeServer missing(RandomBody(100), With([](TRangeServerOptions& o) { o.FailAllWith = 404; }));
    Loader.SetMaxStartedItems(1);
    std::ofstream(File("asked.bin")) << "old";
    AddItem(server.Url("/asked.bin"), 1);
    AddItem(missing.Url("/missing.bin"), 1);
    AddItem(server.Url("/last.bin"), 1);
    Loader.OnFileExists = [](cl::TObject*, const std::string&, std::string&, cl::TclFileExistsAction&) {
        throw cl::Exception("no answer from the handler");
    };
    Loader.OnError = [&](cl::TObject*, cl::TclInternetItem* AItem, const std::string& AError, int) {
        Errors.push_back(AError);
        if (AItem->Index() == 1) throw cl::Exception("the error handler failed");
    };
    int completed = 0;
    Loader.OnProcessCompleted = [&](cl::TObject*, cl::TclInternetItem*) { ++completed; };
    Loader.Start(nullptr, true);
    WaitIdle();
    EXPECT_EQ(completed, 3);
    EXPECT_EQ(Loader.StartedItemCount(), 0);
    const auto& asked = Loader.DownLoadList().Items(0);
    EXPECT_EQ(asked.ResourceState().LastStatus(), cl::psFailed);
    EXPECT_EQ(Statuses[0].back(), cl::psFailed);
    ASSERT_EQ(asked.Errors().Count(), 1);
    EXPECT_EQ(asked.Errors().Items(0).Text, "no answer from the handler");
    EXPECT_EQ(std::count(Errors.begin(), Errors.end(), "no answer from the handler"), 1);
    // The failing OnError is not asked again about its own failure.
    const auto& refused = Loader.DownLoadList().Items(1);
    EXPECT_EQ(refused.ResourceState().LastStatus(), cl::psFailed);
    EXPECT_EQ(Statuses[1].back(), cl::psFailed);
    EXPECT_EQ(refused.Errors().Items(refused.Errors().Count() - 1).Text, "the error handler failed");
    EXPECT_EQ(std::count(Errors.begin(), Errors.end(), "the error handler failed"), 0);
    EXPECT_EQ(missing.RequestCount(), 2);  // no download phase after the failure
    EXPECT_EQ(Loader.DownLoadList().Items(2).ResourceState().LastStatus(), cl::psSuccess);
    EXPECT_EQ(ReadFile(File("asked.bin")), "old");
}

TEST_F(MultiDownLoader, ABusyItemThatIsDeletedIsStoppedAndWaitedForFirst) {
    TRangeServer server(RandomBody(400000), With([](TRangeServerOptions& o) { o.PaceMs = 20; }));
    AddItem(server.Url("/deleted.bin"));
    int deleted = 0;
    Loader.OnItemDeleted = [&](cl::TObject*, cl::TclInternetItem*) { ++deleted; };
    bool receiving = false;
    Loader.OnDataItemProceed = [&](cl::TObject*, cl::TclInternetItem*, cl::TclResourceInfo*, cl::TclResourceStateItem*,
                                   const uint8_t*, int) { receiving = true; };
    Loader.Start(nullptr, true);
    const auto pump = cl::TclMessagePump::Current();
    while (!receiving) pump->WaitFor(std::span<cl::TclWaitFd>(), nullptr, 100);
    Loader.DownLoadList().Delete(0);
    EXPECT_EQ(deleted, 1);
    EXPECT_EQ(Loader.DownLoadList().Count(), 0);
    EXPECT_FALSE(Loader.IsBusy());
}

TEST_F(MultiDownLoader, AnItemMayBeDeletedInItsOwnCompletionHandler) {
    TRangeServer server(RandomBody(50000));
    Loader.SetMaxStartedItems(1);
    AddItem(server.Url("/first.bin"));
    AddItem(server.Url("/second.bin"));
    std::vector<std::string> completed;
    Loader.OnProcessCompleted = [&](cl::TObject*, cl::TclInternetItem* AItem) {
        completed.push_back(cl::ExtractFileName(AItem->LocalFile()));
        Loader.DownLoadList().Delete(AItem->Index());
    };
    Loader.Start(nullptr, true);
    WaitIdle();
    EXPECT_EQ(completed, (std::vector<std::string>{"first.bin", "second.bin"}));
    EXPECT_EQ(Loader.DownLoadList().Count(), 0);
    EXPECT_EQ(fs::file_size(File("second.bin")), 50000u);

    // Also while a synchronous start waits for it.
    cl::TclDownLoadItem& waited = AddItem(server.Url("/waited.bin"));
    waited.Start(false);
    EXPECT_EQ(Loader.DownLoadList().Count(), 0);
}

TEST_F(MultiDownLoader, DeletingARemoteFileRaisesTheServersRefusal) {
    TRangeServer server(RandomBody(100));
    cl::TclDownLoadItem& item = AddItem(server.Url("/remote.bin"));
    EXPECT_NO_THROW(item.DeleteRemoteFile());
    EXPECT_EQ(server.Heads().at(0).rfind("DELETE /remote.bin", 0), 0u);

    TRangeServer refusing(RandomBody(100), With([](TRangeServerOptions& o) { o.FailAllWith = 403; }));
    item.SetURL(refusing.Url("/remote.bin"));
    try {
        item.DeleteRemoteFile();
        ADD_FAILURE() << "a refused delete passed";
    } catch (const cl::EclInternetError& e) {
        EXPECT_EQ(e.ErrorCode(), 403);
    }
}

// --- ranges, resume and take-over ---

TEST_F(MultiDownLoader, TheResourceSizeDecidesTheNumberOfWorkers) {
    const std::string small = RandomBody(10000, 1);
    const std::string large = RandomBody(50000, 2);
    TRangeServer smallServer(small);
    TRangeServer largeServer(large);
    AddItem(smallServer.Url("/small.bin"));
    AddItem(largeServer.Url("/large.bin"));
    Loader.Start(nullptr, true);
    WaitIdle();
    EXPECT_EQ(DataRanges(smallServer), (std::vector<std::string>{"bytes=0-9999"}));
    std::vector<std::string> ranges = DataRanges(largeServer);
    std::sort(ranges.begin(), ranges.end());
    EXPECT_EQ(ranges, (std::vector<std::string>{"bytes=0-9999", "bytes=10000-19999", "bytes=20000-29999",
                                                "bytes=30000-39999", "bytes=40000-49999"}));
    EXPECT_EQ(ReadFile(File("small.bin")), small);
    EXPECT_EQ(ReadFile(File("large.bin")), large);
}

TEST_F(MultiDownLoader, AServerWithoutSizeOrRangesIsReadWholeByOneWorker) {
    const std::string body = RandomBody(70000);
    TRangeServer server(body, With([](TRangeServerOptions& o) { o.SendLength = o.AcceptRanges = false; }));
    AddItem(server.Url("/whole.bin"));
    Loader.Start(nullptr, true);
    WaitIdle();
    EXPECT_EQ(server.Ranges(), (std::vector<std::string>{"", ""}));
    EXPECT_EQ(ReadFile(File("whole.bin")), body);
    EXPECT_EQ(Loader.DownLoadList().Items(0).ResourceState().LastStatus(), cl::psSuccess);
}

TEST_F(MultiDownLoader, AStoppedDownloadResumesWhileItsFileHasTheSizeAndStartsOverOtherwise) {
    const std::string body = RandomBody(400000);
    TRangeServer server(body, With([](TRangeServerOptions& o) { o.PaceMs = 10; }));
    cl::TclDownLoadItem& item = AddItem(server.Url("/resume.bin"));
    const auto stopAfter = [&](int64_t ABytes) {
        Loader.OnDataItemProceed = [&, ABytes](cl::TObject*, cl::TclInternetItem* AItem, cl::TclResourceInfo*,
                                               cl::TclResourceStateItem*, const uint8_t*, int) {
            if (AItem->ResourceState().BytesProceed() >= ABytes) AItem->Stop();
        };
    };
    stopAfter(100000);
    item.Start(true);
    WaitIdle();
    ASSERT_EQ(item.ResourceState().LastStatus(), cl::psTerminated);
    ASSERT_EQ(item.ResourceState().Count(), 5);
    EXPECT_EQ(fs::file_size(File("resume.bin")), body.size());
    const int64_t kept = item.ResourceState().BytesProceed();

    // Resumed: every range goes on at its next needed byte (a range taken
    // over later, straggling on a loaded machine, is asked for again).
    Loader.OnDataItemProceed = nullptr;
    server.SetPaceMs(-1);
    const size_t before = server.Ranges().size();
    const size_t unfinished = UnfinishedRanges(item);
    item.Start(true);
    WaitIdle();
    EXPECT_EQ(item.ResourceState().LastStatus(), cl::psSuccess);
    EXPECT_EQ(ReadFile(File("resume.bin")), body);
    EXPECT_EQ(BytesAskedSince(server, before, unfinished), static_cast<int64_t>(body.size()) - kept);

    // A file of another size is fetched anew from the range starts.
    item.ResourceState().Clear();
    server.SetPaceMs(10);
    stopAfter(100000);
    item.Start(true);
    WaitIdle();
    fs::resize_file(File("resume.bin"), 1000);
    Loader.OnDataItemProceed = nullptr;
    server.SetPaceMs(-1);
    const size_t mark = server.Ranges().size();
    item.Start(true);
    WaitIdle();
    EXPECT_EQ(ReadFile(File("resume.bin")), body);
    const std::vector<std::string> after = server.Ranges();
    std::vector<std::string> fresh(after.begin() + static_cast<long>(mark) + 1, after.end());
    std::sort(fresh.begin(), fresh.end());
    EXPECT_EQ(fresh, (std::vector<std::string>{"bytes=0-79999", "bytes=160000-239999", "bytes=240000-319999",
                                               "bytes=320000-399999", "bytes=80000-159999"}));

    // Changing the address of the idle item discards its ranges.
    int changed = 0;
    Loader.OnChanged = [&](cl::TObject*, cl::TclInternetItem*) { ++changed; };
    stopAfter(50000);
    server.SetPaceMs(10);
    item.Start(true);
    WaitIdle();
    ASSERT_GT(item.ResourceState().Count(), 0);
    item.SetURL(server.Url("/other.bin"));
    EXPECT_EQ(item.ResourceState().Count(), 0);
    EXPECT_GT(changed, 0);
}

TEST_F(MultiDownLoader, AStopDuringTheInformationRequestEndsTheRunStopped) {
    TRangeServer server(RandomBody(50000));
    cl::TclDownLoadItem& item = AddItem(server.Url("/stopped-early.bin"));
    item.Start(true);
    item.Stop();
    WaitIdle();
    EXPECT_EQ(item.ResourceState().LastStatus(), cl::psTerminated);
    EXPECT_EQ(Statuses[0].back(), cl::psTerminated);
    EXPECT_TRUE(DataRanges(server).empty());
}

TEST_F(MultiDownLoader, AFailedRangeIsTakenOverByAWorkerThatFinishedItsOwn) {
    const std::string body = RandomBody(200000);
    TRangeServer server(body, With([](TRangeServerOptions& o) {
                            o.FailRangeStarts = {{80000, 2}};
                            o.PaceMs = 40;
                        }));
    cl::TclDownLoadItem& item = AddItem(server.Url("/takeover.bin"));
    item.Start(true);
    WaitIdle();
    EXPECT_EQ(item.ResourceState().LastStatus(), cl::psSuccess);
    EXPECT_EQ(ReadFile(File("takeover.bin")), body);
    EXPECT_EQ(Errors.size(), 1u);
    const std::vector<std::string> ranges = server.Ranges();
    EXPECT_EQ(std::count(ranges.begin(), ranges.end(), "bytes=80000-119999"), 3);
}

TEST_F(MultiDownLoader, AConnectionDroppedMidRangeStillGivesTheServedBytes) {
    const std::string body = RandomBody(300000);
    TRangeServer server(body, With([](TRangeServerOptions& o) {
                            o.DropAfterBytes = 20000;
                            o.DropCount = 3;
                        }));
    cl::TclDownLoadItem& item = AddItem(server.Url("/dropped.bin"));
    Loader.SetTryCount(3);
    item.Start(true);
    WaitIdle();
    EXPECT_EQ(item.ResourceState().LastStatus(), cl::psSuccess);
    EXPECT_EQ(ReadFile(File("dropped.bin")), body);
}

TEST_F(MultiDownLoader, AnItemThatKeepsItsConnectionUsesOneWorkerOnIt) {
    const std::string body = RandomBody(50000);
    TRangeServer server(body);
    cl::TclDownLoadItem& item = AddItem(server.Url("/kept.bin"));
    item.SetKeepConnection(true);
    item.Start(false);
    EXPECT_EQ(item.ResourceState().LastStatus(), cl::psSuccess);
    EXPECT_EQ(DataRanges(server), (std::vector<std::string>{"bytes=0-49999"}));
    EXPECT_EQ(ReadFile(File("kept.bin")), body);
}

// --- straggling ranges ---

// How often the data events reported each byte of the resource.
struct TEventLedger {
    explicit TEventLedger(size_t ASize) : Seen(ASize) {}
    void Record(const cl::TclResourceStateItem* ARange, int ASize) {
        const int64_t end = ARange->ResourcePos() + ARange->BytesProceed();
        for (int64_t p = end - ASize; p < end; ++p) ++Seen.at(static_cast<size_t>(p));
    }
    bool EachOnce() const {
        return std::all_of(Seen.begin(), Seen.end(), [](int n) { return n == 1; });
    }
    std::vector<int> Seen;
};

// Contiguous ranges in order from 0 to the resource's end, none empty,
// each written whole.
void ExpectRangesAddUp(const cl::TclResourceStateList& AState) {
    int64_t next = 0;
    for (int i = 0; i < AState.Count(); ++i) {
        const cl::TclResourceStateItem* range = AState.Items(i);
        EXPECT_EQ(range->ResourcePos(), next) << i;
        EXPECT_GT(range->BytesToProceed(), 0) << i;
        EXPECT_EQ(range->BytesProceed(), range->BytesToProceed()) << i;
        next = range->ResourcePos() + range->BytesToProceed();
    }
    EXPECT_EQ(next, AState.ResourceSize());
}

// Five ranges of 400000 bytes; the one at 400000 is served with a pause of
// APaceMs between its 8 KiB pieces the first time it is asked for (by
// default at 80 KiB/s: five seconds alone).
TRangeServerOptions SlowSecondRange(TRangeServerOptions AOptions = {}, int APaceMs = 100) {
    AOptions.SlowRangeStart = 400000;
    AOptions.SlowPaceMs = APaceMs;
    return AOptions;
}

TEST_F(MultiDownLoader, AStragglingRangeIsSplitOrTakenOverAndEveryByteComesOnce) {
    const std::string body = RandomBody(2000000);
    const std::pair<const char*, TRangeServerOptions> servers[] = {
        {"one slow range", SlowSecondRange()},
        {"and dropped connections", SlowSecondRange(With([](TRangeServerOptions& o) {
             o.DropAfterBytes = 50000;
             o.DropCount = 4;
         }))},
        // Three times slower than the others: split, not taken over.
        {"and an even pace", SlowSecondRange(With([](TRangeServerOptions& o) { o.PaceMs = 10; }), 30)},
        // Its worker waits for an answer until the time-out: the call is
        // abandoned, and the range handed on whole.
        {"that never answers", SlowSecondRange({}, -1)},
    };
    Loader.SetTryCount(3);
    for (const auto& [name, options] : servers) {
        SCOPED_TRACE(name);
        TRangeServer server(body, options);
        cl::TclDownLoadItem& item = AddItem(server.Url("/straggler.bin"));
        TEventLedger ledger(body.size());
        Loader.OnDataItemProceed = [&](cl::TObject*, cl::TclInternetItem*, cl::TclResourceInfo*,
                                       cl::TclResourceStateItem* ARange, const uint8_t*,
                                       int ASize) { ledger.Record(ARange, ASize); };
        const auto started = std::chrono::steady_clock::now();
        item.Start(true);
        WaitIdle();
        if (!options.PaceMs) {
            EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
        }
        EXPECT_EQ(item.ResourceState().LastStatus(), cl::psSuccess);
        EXPECT_EQ(ReadFile(File("straggler.bin")), body);
        EXPECT_TRUE(ledger.EachOnce());
        ExpectRangesAddUp(item.ResourceState());
        // The slow range's rest was asked for again, by another worker.
        const std::vector<std::string> ranges = server.Ranges();
        EXPECT_GE(
            std::count_if(ranges.begin(), ranges.end(), [](const std::string& r) { return r.ends_with("-799999"); }),
            2);
        Loader.DownLoadList().Clear();
        fs::remove(File("straggler.bin"));
    }
}

TEST_F(MultiDownLoader, AStopAfterASplitResumesEveryRangeAtItsNextByte) {
    const std::string body = RandomBody(2000000);
    TRangeServer server(body, SlowSecondRange());
    cl::TclDownLoadItem& item = AddItem(server.Url("/split-resume.bin"));
    TEventLedger ledger(body.size());
    bool stopAtSplit = true;
    Loader.OnDataItemProceed = [&](cl::TObject*, cl::TclInternetItem* AItem, cl::TclResourceInfo*,
                                   cl::TclResourceStateItem* ARange, const uint8_t*, int ASize) {
        ledger.Record(ARange, ASize);
        if (stopAtSplit && AItem->ResourceState().Count() > 5) AItem->Stop();
    };
    item.Start(true);
    WaitIdle();
    ASSERT_EQ(item.ResourceState().LastStatus(), cl::psTerminated);
    ASSERT_GT(item.ResourceState().Count(), 5);

    stopAtSplit = false;
    item.Start(true);
    WaitIdle();
    EXPECT_EQ(item.ResourceState().LastStatus(), cl::psSuccess);
    EXPECT_EQ(ReadFile(File("split-resume.bin")), body);
    EXPECT_TRUE(ledger.EachOnce());
    ExpectRangesAddUp(item.ResourceState());
}

// --- failures that must not look like success ---

TEST_F(MultiDownLoader, AServerThatAlwaysSendsLessThanItDeclaresFailsTheItem) {
    TRangeServer server(RandomBody(50000), With([](TRangeServerOptions& o) { o.AlwaysShort = true; }));
    cl::TclDownLoadItem& item = AddItem(server.Url("/short.bin"));
    item.Start(true);
    WaitIdle();
    EXPECT_EQ(item.ResourceState().LastStatus(), cl::psFailed);
    EXPECT_EQ(Statuses[0].back(), cl::psFailed);
    EXPECT_FALSE(Errors.empty());
}

TEST_F(MultiDownLoader, RangesThatEndEarlyWithoutALengthToCheckFailTheItem) {
    TRangeServer server(RandomBody(50000), With([](TRangeServerOptions& o) {
                            o.RangeWithoutLength = true;
                            o.AlwaysShort = true;
                        }));
    cl::TclDownLoadItem& item = AddItem(server.Url("/cut-short.bin"));
    item.Start(false);
    EXPECT_EQ(item.ResourceState().LastStatus(), cl::psFailed);
    EXPECT_EQ(Statuses[0].back(), cl::psFailed);
    EXPECT_FALSE(Errors.empty());
}

TEST_F(MultiDownLoader, AFolderThatCannotBeCreatedFailsTheItemWithTheReason) {
    TRangeServer server(RandomBody(50000));
    std::ofstream(File("plain")) << "x";
    Loader.SetLocalFolder(File("plain") + "/sub");
    cl::TclDownLoadItem& item = AddItem(server.Url("/a.bin"));
    item.Start(true);
    WaitIdle();
    EXPECT_EQ(item.ResourceState().LastStatus(), cl::psFailed);
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_NE(Errors[0].find("Not a directory"), std::string::npos) << Errors[0];
    EXPECT_EQ(Statuses[0].back(), cl::psFailed);
}

TEST_F(MultiDownLoader, AFullDiskFailsTheItemBeforeAnyByteIsFetched) {
    const TTmpfs disk(File("full"), "64k");
    if (!disk.Mounted()) GTEST_SKIP() << "no tmpfs mount here";
    TRangeServer server(RandomBody(1 << 20));
    Loader.SetLocalFolder(File("full"));
    cl::TclDownLoadItem& item = AddItem(server.Url("/big.bin"));
    item.Start(true);
    WaitIdle();
    EXPECT_EQ(item.ResourceState().LastStatus(), cl::psFailed);
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_NE(Errors[0].find("No space left on device"), std::string::npos) << Errors[0];
    EXPECT_EQ(DataRanges(server).size(), 0u);
}

TEST_F(MultiDownLoader, AWriteErrorMidRangeFailsTheItemAndItsRangesCountOnlyWhatReachedTheFile) {
    const TTmpfs disk(File("small"), "256k");
    if (!disk.Mounted()) GTEST_SKIP() << "no tmpfs mount here";
    const std::string body = RandomBody(1 << 20);
    TRangeServer server(body);
    Loader.SetLocalFolder(File("small"));
    cl::TclDownLoadItem& item = AddItem(server.Url("/sparse.bin"), 4);
    // An earlier run's ranges and a file of the full size without blocks
    // yet: the resume allocates nothing ahead, so the disk fills mid-range.
    item.ResourceState().Init(4, static_cast<int64_t>(body.size()));
    std::ofstream(File("small/sparse.bin")).close();
    fs::resize_file(File("small/sparse.bin"), body.size());
    item.Start(true);
    WaitIdle();
    EXPECT_EQ(item.ResourceState().LastStatus(), cl::psFailed);
    EXPECT_EQ(Statuses[0].back(), cl::psFailed);
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_NE(Errors[0].find("No space left on device"), std::string::npos) << Errors[0];
    const std::string written = ReadFile(File("small/sparse.bin"));
    int64_t kept = 0;
    for (int i = 0; i < item.ResourceState().Count(); ++i) {
        const cl::TclResourceStateItem& range = *item.ResourceState().GetItem(i);
        const auto at = static_cast<size_t>(range.ResourcePos());
        const auto count = static_cast<size_t>(range.BytesProceed());
        EXPECT_EQ(written.compare(at, count, body, at, count), 0) << "range " << i << " counts lost bytes";
        kept += range.BytesProceed();
    }
    EXPECT_GT(kept, 0);

    // With room again, the resume asks for exactly what never reached the
    // file: one request per unfinished range (a range that straggles under
    // a loaded machine may be taken over later, which asks again).
    ASSERT_TRUE(disk.Resize("2m"));
    const size_t before = server.Ranges().size();
    const size_t unfinished = UnfinishedRanges(item);
    item.Start(true);
    WaitIdle();
    EXPECT_EQ(item.ResourceState().LastStatus(), cl::psSuccess);
    EXPECT_EQ(ReadFile(File("small/sparse.bin")), body);
    EXPECT_EQ(BytesAskedSince(server, before, unfinished), static_cast<int64_t>(body.size()) - kept);
}

TEST_F(MultiDownLoader, WhereverDescriptorsRunOutTheItemFailsWithTheSystemsReasonOnce) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' own checks need descriptors of their own";
#endif
    const std::string body = RandomBody(200000);
    const TForkedRangeServer server(body);
    ASSERT_TRUE(server.Running());
    cl::TclMessagePump::Current();  // this thread's own, made while it can be
    int failed = 0;
    // From none to enough for the whole run: the descriptors run out at a
    // different place each time (events, pumps, sockets, the file).
    for (int free = 0; free <= 120; free += 3) {
        cl::TclDownLoadItem& item = AddItem(server.Url("/f" + std::to_string(free) + ".bin"), 10);
        Errors.clear();
        {
            const TScarceDescriptors scarce(free);
            item.Start(true);
            WaitIdle();
        }
        ASSERT_FALSE(Loader.IsBusy()) << free;
        if (item.ResourceState().LastStatus() == cl::psSuccess) continue;
        ++failed;
        EXPECT_EQ(item.ResourceState().LastStatus(), cl::psFailed) << free;
        EXPECT_EQ(Statuses[item.Index()].back(), cl::psFailed) << free;
        ASSERT_EQ(Errors.size(), 1u) << free;
        EXPECT_NE(Errors[0].find("Too many open files"), std::string::npos) << free << ": " << Errors[0];
    }
    EXPECT_GT(failed, 0);
}

// --- local files and the commit step ---

TEST_F(MultiDownLoader, AFailedInformationRequestEndsTheRunFailedWithOneError) {
    TRangeServer server(RandomBody(1000), With([](TRangeServerOptions& o) { o.FailAllWith = 404; }));
    cl::TclDownLoadItem& item = AddItem(server.Url("/missing.bin"));
    item.Start(false);
    EXPECT_EQ(item.ResourceState().LastStatus(), cl::psFailed);
    EXPECT_EQ(Statuses[0], (std::vector<cl::TclProcessStatus>{cl::psProcess, cl::psFailed}));
    EXPECT_EQ(Errors, (std::vector<std::string>{"HTTP resource access error occured, code = 404"}));
    EXPECT_EQ(server.RequestCount(), 2);  // TryCount attempts
    EXPECT_FALSE(fs::exists(File("missing.bin")));
}

TEST_F(MultiDownLoader, AGzipBodyIsStoredRawAndDecodedAtCommit) {
    const cltest::Bytes text = cltest::SampleText(200000);
    const cltest::Bytes gz = cltest::Gzip(text);
    TRangeServer server(std::string(gz.begin(), gz.end()),
                        With([](TRangeServerOptions& o) { o.ExtraHeaders = "Content-Encoding: gzip\r\n"; }));
    cl::TclDownLoadItem& item = AddItem(server.Url("/text.txt"));
    item.Start(true);
    WaitIdle();
    EXPECT_EQ(item.ResourceState().LastStatus(), cl::psSuccess);
    EXPECT_EQ(ReadFile(File("text.txt")), std::string(text.begin(), text.end()));
    EXPECT_FALSE(fs::exists(File("text.txt~")));
    EXPECT_GT(DataRanges(server).size(), 1u);
}

TEST_F(MultiDownLoader, AGzipBodyThatDoesNotDecodeFailsAndKeepsTheRawBytes) {
    const cltest::Bytes gz = cltest::Gzip(cltest::SampleText(100000));
    const std::string cut(gz.begin(), gz.end() - 100);
    TRangeServer server(cut, With([](TRangeServerOptions& o) { o.ExtraHeaders = "Content-Encoding: gzip\r\n"; }));
    cl::TclDownLoadItem& item = AddItem(server.Url("/cut.txt"));
    item.Start(true);
    WaitIdle();
    EXPECT_EQ(item.ResourceState().LastStatus(), cl::psFailed);
    EXPECT_EQ(Statuses[0].back(), cl::psFailed);
    EXPECT_EQ(ReadFile(File("cut.txt~")), cut);
    EXPECT_FALSE(fs::exists(File("cut.txt")));
}

TEST_F(MultiDownLoader, AnExistingFileCanBeRenamedSkippedOrReplaced) {
    const std::string body = RandomBody(30000);
    TRangeServer server(body);
    std::ofstream(File("exists.bin")) << "old";
    int asked = 0;
    cl::TclFileExistsAction answer = cl::faRename;
    Loader.OnFileExists = [&](cl::TObject*, const std::string& AFileName, std::string& ANewName,
                              cl::TclFileExistsAction& Action) {
        ++asked;
        EXPECT_EQ(AFileName, File("exists.bin"));
        EXPECT_TRUE(ANewName.empty());
        ANewName = File("renamed.bin");
        Action = answer;
    };
    cl::TclDownLoadItem& item = AddItem(server.Url("/exists.bin"));
    item.Start(false);
    EXPECT_EQ(asked, 1);  // the commit step does not ask again
    EXPECT_EQ(item.LocalFile(), File("renamed.bin"));
    EXPECT_EQ(ReadFile(File("renamed.bin")), body);
    EXPECT_EQ(ReadFile(File("exists.bin")), "old");

    answer = cl::faSkip;
    item.SetLocalFile(File("exists.bin"));
    item.Start(false);
    EXPECT_EQ(ReadFile(File("exists.bin")), "old");
    EXPECT_EQ(item.ResourceState().LastStatus(), cl::psSuccess);
}

TEST_F(MultiDownLoader, AContentDispositionNamesTheFileOfAnAddressWithAQuery) {
    const std::string body = RandomBody(20000);
    TRangeServer server(body, With([](TRangeServerOptions& o) {
                            o.ExtraHeaders = "Content-Disposition: attachment; filename=\"../a.bin\"\r\n";
                        }));
    cl::TclDownLoadItem& item = AddItem(server.Url("/get?id=5"));
    EXPECT_TRUE(item.LocalFile().empty());
    item.Start(false);
    EXPECT_EQ(item.LocalFile(), File("a.bin"));
    EXPECT_EQ(ReadFile(File("a.bin")), body);
}

TEST_F(MultiDownLoader, ASizeOutsideTheLimitsIsNotDownloaded) {
    TRangeServer server(RandomBody(50000));
    Loader.SetMaxResourceSize(1000);
    cl::TclDownLoadItem& item = AddItem(server.Url("/limited.bin"));
    item.Start(false);
    EXPECT_EQ(item.ResourceState().LastStatus(), cl::psSuccess);
    EXPECT_EQ(server.RequestCount(), 1);
    EXPECT_FALSE(fs::exists(File("limited.bin")));
}

TEST_F(MultiDownLoader, AStreamAttachedAtTheFirstStatusGetsTheDataAndAPreviewIsMade) {
    std::string body =
        "ab\x01"
        "cd\tef\nline two";
    body += RandomBody(20000);
    TRangeServer server(body);
    cl::TMemoryStream stream;
    Loader.SetPreviewCharCount(17);
    Loader.OnStatusChanged = [&](cl::TObject*, cl::TclInternetItem* AItem, cl::TclProcessStatus AStatus) {
        if (AStatus == cl::psProcess) AItem->SetDataStream(&stream);
    };
    std::string previewed;
    Loader.OnDataTextProceed = [&](cl::TObject*, cl::TclInternetItem*, const cl::TStringList& AText) {
        previewed = AText.Text();
    };
    cl::TclDownLoadItem& item = AddItem(server.Url("/doc?x=1"));
    item.Start(false);
    EXPECT_EQ(std::string(stream.Bytes().begin(), stream.Bytes().end()), body);
    EXPECT_EQ(item.Preview().Count(), 2);
    EXPECT_EQ(item.Preview()[0],
              "ab\u20ac"
              "cd\tef");
    EXPECT_EQ(item.Preview()[1], "line two");
    EXPECT_FALSE(previewed.empty());
}

TEST_F(MultiDownLoader, WithoutAnInformationRequestEachRunIsOneRequestIntoTheCallersStream) {
    const std::string body = RandomBody(60000);
    TRangeServer server(body);
    Loader.SetDoNotGetResourceInfo(true);
    cl::TMemoryStream stream;
    cl::TclDownLoadItem& item = AddItem(server.Url("/playurl?cid=1"));
    item.SetDataStream(&stream);
    std::vector<std::string> order;
    Loader.OnGetResourceInfo = [&](cl::TObject*, cl::TclInternetItem*, cl::TclResourceInfo* AInfo) {
        order.push_back("info");
        EXPECT_NE(AInfo, nullptr);
    };
    Loader.OnDataItemProceed = [&](cl::TObject*, cl::TclInternetItem*, cl::TclResourceInfo* AInfo,
                                   cl::TclResourceStateItem*, const uint8_t*, int) {
        if (order.empty() || order.back() != "data") order.push_back("data");
        EXPECT_NE(AInfo, nullptr);
    };
    item.Start(false);
    EXPECT_EQ(item.ResourceState().LastStatus(), cl::psSuccess);
    EXPECT_EQ(server.Ranges(), (std::vector<std::string>{""}));
    EXPECT_EQ(order, (std::vector<std::string>{"info", "data"}));
    EXPECT_EQ(std::string(stream.Bytes().begin(), stream.Bytes().end()), body);
}

TEST_F(MultiDownLoader, TheRequestObjectsLinesGoWithEveryRequestUntilItIsDestroyed) {
    TRangeServer server(RandomBody(30000));
    cl::TclDownLoadItem& item = AddItem(server.Url("/with-referer.bin"));
    {
        cl::TclHttpRequest request;
        request.SetHeaderSource(cl::TStringList{"Accept: */*", "Referer: https://www.vidsite.example/"});
        item.SetHttpRequest(&request);
        item.Start(false);
        EXPECT_EQ(item.ResourceState().LastStatus(), cl::psSuccess);
    }
    EXPECT_EQ(item.HttpRequest(), nullptr);
    const std::vector<std::string> heads = server.Heads();
    ASSERT_EQ(heads.size(), 4u);  // the information request and three ranges
    for (const std::string& head : heads) {
        EXPECT_NE(head.find("\r\nReferer: https://www.vidsite.example/"), std::string::npos) << head;
    }
}

TEST_F(MultiDownLoader, PublishedPropertiesAreWrittenAndReadBack) {
    Loader.SetTryCount(7);
    Loader.SetBatchSize(16384);
    Loader.SetMaxStartedItems(2);
    Loader.SetInternetAgent("agent\nwith break");
    cl::TclDownLoadItem& item = AddItem("http://h.example/a/b.flv", 3);
    item.SetAllowCompression(false);
    const std::string path = File("store/props");
    Loader.WriteRegistry(path);

    cl::TclMultiDownLoader copy;
    int loaded = 0;
    copy.OnChanged = [&](cl::TObject*, cl::TclInternetItem* AItem) { loaded += AItem == nullptr; };
    copy.ReadRegistry(path);
    EXPECT_EQ(loaded, 1);
    EXPECT_EQ(copy.TryCount(), 7);
    EXPECT_EQ(copy.BatchSize(), 16384);
    EXPECT_EQ(copy.MaxStartedItems(), 2);
    EXPECT_EQ(copy.InternetAgent(), "agent\nwith break");
    EXPECT_EQ(copy.LocalFolder(), Loader.LocalFolder());
    ASSERT_EQ(copy.DownLoadList().Count(), 1);
    EXPECT_EQ(copy.DownLoadList().Items(0).URL(), "http://h.example/a/b.flv");
    EXPECT_EQ(copy.DownLoadList().Items(0).LocalFile(), File("b.flv"));
    EXPECT_EQ(copy.DownLoadList().Items(0).ThreadCount(), 3);
    EXPECT_FALSE(copy.DownLoadList().Items(0).AllowCompression());

    std::ofstream(File("junk")) << "TryCount=abc\nnot a line\n";
    copy.ReadRegistry(File("junk"));
    EXPECT_EQ(copy.TryCount(), 7);
    copy.ReadRegistry(File("missing"));
}

TEST_F(MultiDownLoader, InvalidSettingsAreIgnored) {
    cl::TclDownLoadItem& item = AddItem("http://h.example/x.bin");
    EXPECT_EQ(item.ThreadCount(), 5);
    item.SetThreadCount(0);
    item.SetThreadCount(11);
    EXPECT_EQ(item.ThreadCount(), 5);
    Loader.SetMaxStartedItems(-1);
    EXPECT_EQ(Loader.MaxStartedItems(), 5);
    Loader.SetDefaultChar('\x1f');
    EXPECT_EQ(static_cast<unsigned char>(Loader.DefaultChar()), 128);
}

}  // namespace

namespace {

// mdl, the command line over the component: its result lines and exit status.
struct TMdlRun {
    int Status = -1;
    std::string Output;
};

// AShellPrefix: shell commands run first in the same shell.
TMdlRun RunMdl(const std::string& AArguments, const std::string& AShellPrefix = "") {
    TMdlRun run;
    FILE* pipe = ::popen((AShellPrefix + std::string(MDL_PATH) + " " + AArguments + " 2>&1").c_str(), "r");
    if (!pipe) return run;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) run.Output.append(buf, n);
    const int status = ::pclose(pipe);
    run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TEST(Mdl, DownloadsEveryAddressIntoTheFolderAndSaysSo) {
    char tmpl[] = "/tmp/clmdl-cli-XXXXXX";
    const std::string folder = ::mkdtemp(tmpl);
    const std::string body = RandomBody(120000);
    TRangeServer server(body);
    const TMdlRun run = RunMdl("-x 3 -j 1 -d " + folder + " " + server.Url("/one.bin") + " " + server.Url("/two.bin"));
    EXPECT_EQ(run.Status, 0) << run.Output;
    EXPECT_NE(run.Output.find("success " + folder + "/one.bin 120000 "), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find("2 succeeded, 0 failed, 240000 bytes in "), std::string::npos) << run.Output;
    EXPECT_EQ(ReadFile(folder + "/two.bin"), body);
    fs::remove_all(folder);

    EXPECT_EQ(RunMdl("-x 11 http://127.0.0.1/x").Status, 2);
    EXPECT_EQ(RunMdl("").Status, 2);
}

TEST(Mdl, StartedWithALowSoftLimitOfOpenFilesItStillRunsFiveItemsOfTenConnections) {
    char tmpl[] = "/tmp/clmdl-cli-XXXXXX";
    const std::string folder = ::mkdtemp(tmpl);
    TRangeServer server(RandomBody(400000));
    std::string urls;
    for (int i = 0; i < 5; ++i) urls += " " + server.Url("/f" + std::to_string(i) + ".bin");
    // Fifty workers need some five hundred descriptors.
    const TMdlRun run = RunMdl("-x 10 -j 5 -d " + folder + urls, "ulimit -Sn 64 && ");
    EXPECT_EQ(run.Status, 0) << run.Output;
    EXPECT_NE(run.Output.find("5 succeeded, 0 failed"), std::string::npos) << run.Output;
    fs::remove_all(folder);
}

}  // namespace
