#include "engine/clSyncUtils.h"

#include <algorithm>

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

}  // namespace cl
