// The handles of the internet library: their tree of parents and children,
// closing, and the table of handle numbers.
#include "engine/clWinInetHandles.h"

#include "engine/clWinInetGlobal.h"

namespace cl::wininet {

void THandle::AttachToParent() {
    if (!FParent) return;
    std::lock_guard<std::mutex> guard(FParent->FChildLock);
    auto& children = FParent->FChildren;
    children.erase(std::remove_if(children.begin(), children.end(),
                                  [](const std::weak_ptr<THandle>& AChild) { return AChild.expired(); }),
                   children.end());
    children.push_back(weak_from_this());
}

void THandle::Close() {
    FClosed.store(true);
    WakeTree();
    TGlobal::Get().Limits.WakeWaiters();
}

void THandle::WakeTree() {
    Wake();
    std::vector<std::shared_ptr<THandle>> children;
    {
        std::lock_guard<std::mutex> guard(FChildLock);
        for (auto& weak : FChildren)
            if (auto child = weak.lock()) children.push_back(std::move(child));
    }
    for (auto& child : children) child->WakeTree();
}

THandleTable& THandleTable::Get() {
    static THandleTable* table = new THandleTable();
    return *table;
}

HINTERNET THandleTable::Add(const std::shared_ptr<THandle>& AHandle) {
    AHandle->AttachToParent();
    std::lock_guard<std::mutex> guard(FLock);
    AHandle->Id = ++FLastId;
    FHandles.emplace(AHandle->Id, AHandle);
    return AHandle->Id;
}

std::shared_ptr<THandle> THandleTable::Find(HINTERNET AId) {
    std::lock_guard<std::mutex> guard(FLock);
    auto it = FHandles.find(AId);
    return it == FHandles.end() ? nullptr : it->second;
}

std::shared_ptr<THandle> THandleTable::Remove(HINTERNET AId) {
    std::lock_guard<std::mutex> guard(FLock);
    auto it = FHandles.find(AId);
    if (it == FHandles.end()) return nullptr;
    std::shared_ptr<THandle> handle = std::move(it->second);
    FHandles.erase(it);
    return handle;
}

}  // namespace cl::wininet
