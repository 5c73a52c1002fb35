#include "engine/clSyncUtils.h"

#include <poll.h>
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <span>
#include <system_error>
#include <unordered_map>

#include "rtl/clException.h"

namespace cl {

const char* const cSyncInfoNotFound = "Cannot find SyncInfo for the specified thread synchronizer";

TclSynchronizerManager& TclSynchronizerManager::Instance() {
    // Never destroyed: synchronizers of detached workers may still unregister
    // while static destructors run.
    static TclSynchronizerManager* instance = new TclSynchronizerManager();
    return *instance;
}

TclSyncInfo* TclSynchronizerManager::FindSyncInfo(std::thread::id AThread) {
    for (auto& info : FSyncInfos)
        if (info->BaseThreadID == AThread) return info.get();
    return nullptr;
}

std::shared_ptr<TclMessagePump> TclSynchronizerManager::AddSynchronizer() {
    const std::thread::id self = std::this_thread::get_id();
    std::lock_guard<std::mutex> guard(FThreadLock);
    TclSyncInfo* info = FindSyncInfo(self);
    if (info == nullptr) {
        FSyncInfos.push_back(std::make_unique<TclSyncInfo>());
        info = FSyncInfos.back().get();
        info->BaseThreadID = self;
    }
    if (info->FThreadCount == 0) info->FThreadWindow = TclMessagePump::Current();
    ++info->FThreadCount;
    return info->FThreadWindow;
}

void TclSynchronizerManager::RemoveSynchronizer(std::thread::id ABaseThread) {
    std::lock_guard<std::mutex> guard(FThreadLock);
    TclSyncInfo* info = FindSyncInfo(ABaseThread);
    if (info == nullptr) throw Exception(cSyncInfoNotFound);
    if (--info->FThreadCount > 0) return;
    FSyncInfos.erase(std::find_if(FSyncInfos.begin(), FSyncInfos.end(),
                                  [info](const std::unique_ptr<TclSyncInfo>& AItem) { return AItem.get() == info; }));
}

int TclSynchronizerManager::SynchronizerCount(std::thread::id AThread) const {
    std::lock_guard<std::mutex> guard(FThreadLock);
    for (const auto& info : FSyncInfos)
        if (info->BaseThreadID == AThread) return info->FThreadCount;
    return 0;
}

TclThreadSynchronizer::TclThreadSynchronizer()
    : FSyncBaseThreadID(std::this_thread::get_id()), FPump(TclSynchronizerManager::Instance().AddSynchronizer()) {}

TclThreadSynchronizer::~TclThreadSynchronizer() {
    try {
        TclSynchronizerManager::Instance().RemoveSynchronizer(FSyncBaseThreadID);
    } catch (...) {
        // A missing record cannot be mended from a destructor.
    }
}

// --- the engine's threads ---

namespace {

constexpr size_t cEngineStackSize = 1 << 20;

void* RunEngineThread(void* AMain) {
    std::unique_ptr<std::function<void()>> main(static_cast<std::function<void()>*>(AMain));
    try {
        (*main)();
    } catch (...) {
        // As for a std::thread: an escaped exception ends the process.
        std::terminate();
    }
    return nullptr;
}

}  // namespace

TclEngineThread::TclEngineThread(std::function<void()> AMain) {
    auto main = std::make_unique<std::function<void()>>(std::move(AMain));
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc == 0) {
        rc = pthread_attr_setstacksize(&attr, cEngineStackSize);
        if (rc == 0) rc = pthread_create(&FHandle, &attr, &RunEngineThread, main.get());
        pthread_attr_destroy(&attr);
    }
    if (rc != 0) {
        FHandle = 0;
        throw std::system_error(rc, std::generic_category(), "cannot start an engine thread");
    }
    (void)main.release();  // the thread frees it
}

TclEngineThread& TclEngineThread::operator=(TclEngineThread&& AOther) noexcept {
    if (this != &AOther) {
        if (Joinable()) std::terminate();
        FHandle = std::exchange(AOther.FHandle, 0);
    }
    return *this;
}

TclEngineThread::~TclEngineThread() {
    if (Joinable()) std::terminate();
}

void TclEngineThread::Join() {
    if (!Joinable()) throw std::system_error(EINVAL, std::generic_category(), "engine thread not joinable");
    const int rc = pthread_join(FHandle, nullptr);
    if (rc != 0) throw std::system_error(rc, std::generic_category(), "cannot join an engine thread");
    FHandle = 0;
}

namespace {

class TclEngineThreads {
public:
    static TclEngineThreads& Instance() {
        // Never destroyed: a thread may still finish while static destructors run.
        static TclEngineThreads* instance = new TclEngineThreads();
        return *instance;
    }

    void StartUnjoined(const char* AName, std::function<void()> AMain) {
        std::vector<TclEngineThread> finished;
        {
            std::lock_guard<std::mutex> guard(FLock);
            finished.swap(FFinished);
            const uint64_t ticket = ++FLastTicket;
            Started();
            try {
                // The thread's end takes the lock, so it finds itself in the map.
                FUnjoined.emplace(ticket, TclEngineThread([this, ticket, AName, main = std::move(AMain)] {
                                      Name(AName);
                                      main();
                                      Finished(ticket);
                                  }));
            } catch (...) {
                Stopped();
                throw;
            }
        }
        for (TclEngineThread& thread : finished) thread.Join();
    }

    TclEngineThread StartJoined(const char* AName, std::function<void()> AMain) {
        {
            std::lock_guard<std::mutex> guard(FLock);
            Started();
        }
        try {
            return TclEngineThread([this, AName, main = std::move(AMain)] {
                Name(AName);
                main();
                Finished(0);
            });
        } catch (...) {
            std::lock_guard<std::mutex> guard(FLock);
            Stopped();
            throw;
        }
    }

    int Running() {
        std::lock_guard<std::mutex> guard(FLock);
        return FRunning;
    }

    bool Wait(int ATimeOut) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeOut);
        std::shared_ptr<TclMessagePump> pump = TclMessagePump::Current();
        TclWaitFd none{FNoneRunning.Handle(), POLLIN, 0};
        bool ended = false;
        for (;;) {
            {
                std::lock_guard<std::mutex> guard(FLock);
                ended = FRunning == 0;
            }
            if (ended) break;
            int left = -1;
            if (ATimeOut >= 0) {
                const auto rest = deadline - std::chrono::steady_clock::now();
                if (rest <= rest.zero()) break;
                left = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(rest).count());
            }
            none.REvents = 0;
            pump->WaitFor(std::span<TclWaitFd>(&none, 1), nullptr, left);
        }
        std::vector<TclEngineThread> finished;
        {
            std::lock_guard<std::mutex> guard(FLock);
            finished.swap(FFinished);
        }
        for (TclEngineThread& thread : finished) thread.Join();
        return ended;
    }

private:
    TclEngineThreads() { FNoneRunning.Signal(); }

    // Shown by ps, top and debuggers; a name the system refuses is left out.
    static void Name(const char* AName) { (void)pthread_setname_np(pthread_self(), AName); }

    // Under FLock. FNoneRunning is signalled exactly while nothing runs.
    void Started() {
        if (FRunning++ == 0) (void)FNoneRunning.TryReset();
    }
    void Stopped() {
        if (--FRunning == 0) FNoneRunning.Signal();
    }
    // The thread's last step; ATicket: its entry among the unjoined ones (0: none).
    void Finished(uint64_t ATicket) {
        std::lock_guard<std::mutex> guard(FLock);
        if (ATicket != 0) {
            const auto self = FUnjoined.find(ATicket);
            FFinished.push_back(std::move(self->second));
            FUnjoined.erase(self);
        }
        Stopped();
    }

    std::mutex FLock;
    int FRunning = 0;
    TclEvent FNoneRunning;
    uint64_t FLastTicket = 0;
    std::unordered_map<uint64_t, TclEngineThread> FUnjoined;
    // Finished and not joined yet.
    std::vector<TclEngineThread> FFinished;
};

}  // namespace

void StartEngineThread(const char* AName, std::function<void()> AMain) {
    TclEngineThreads::Instance().StartUnjoined(AName, std::move(AMain));
}

TclEngineThread StartJoinedEngineThread(const char* AName, std::function<void()> AMain) {
    return TclEngineThreads::Instance().StartJoined(AName, std::move(AMain));
}

int EngineThreadCount() { return TclEngineThreads::Instance().Running(); }

bool WaitForEngineThreads(int ATimeOut) { return TclEngineThreads::Instance().Wait(ATimeOut); }

}  // namespace cl
