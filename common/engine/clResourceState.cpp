// The byte ranges of a download item, their aggregated status and the
// item's speed figures.
#include "engine/clResourceState.h"

#include <algorithm>
#include <chrono>

namespace cl {

// --- the split of a running range ---

namespace {
// A running worker this many times slower than a new one is a straggler.
constexpr double cStragglerFactor = 4;
// The smallest part a split gives to a new request, in batches.
constexpr int64_t cMinNewPartBatches = 4;
}  // namespace

TclRangeSplitPlan PlanRangeSplit(int64_t ARemaining, double ARunningSpeed, double ANewSpeed, double ARequestCost,
                                 int ABatchSize) {
    TclRangeSplitPlan plan;
    if (ARemaining <= 0 || ANewSpeed <= 0 || ABatchSize <= 0) return plan;
    const double remaining = static_cast<double>(ARemaining);
    const double cost = std::max(ARequestCost, 0.0);
    const double newTime = cost + remaining / ANewSpeed;
    if (ARunningSpeed * cStragglerFactor < ANewSpeed) {
        // Alone, the straggler would need more than twice what a new request needs.
        if (ARunningSpeed <= 0 || remaining / ARunningSpeed > 2 * newTime) plan.Kind = TclRangeSplitPlan::skTakeRest;
        return plan;
    }
    const double runningTime = remaining / ARunningSpeed;
    // Both end together: Keep / v = cost + (R - Keep) / w.
    const double keep = ARunningSpeed * (cost * ANewSpeed + remaining) / (ANewSpeed + ARunningSpeed);
    const int64_t batch = ABatchSize;
    const int64_t kept = std::max<int64_t>(static_cast<int64_t>(keep), batch);
    if (ARemaining - kept < cMinNewPartBatches * batch) return plan;
    if (runningTime - static_cast<double>(kept) / ARunningSpeed < cost) return plan;
    plan.Kind = TclRangeSplitPlan::skSplit;
    plan.Keep = kept;
    return plan;
}

// --- TclResourceStateItem ---

void TclResourceStateItem::Assign(const TclResourceStateItem& ASource) {
    FResourcePos = ASource.FResourcePos;
    FBytesToProceed = ASource.FBytesToProceed;
    FStatus = ASource.FStatus;
    FBytesProceed = ASource.FBytesProceed;
}

void TclResourceStateItem::SetResourcePos(int64_t AValue) {
    if (AValue >= 0) FResourcePos = AValue;
}

void TclResourceStateItem::SetBytesToProceed(int64_t AValue) {
    if (AValue >= 0) FBytesToProceed = AValue;
}

void TclResourceStateItem::SetBytesProceed(int64_t AValue) {
    if (AValue >= 0) FBytesProceed = AValue;
}

int TclResourceStateItem::Index() const { return FResourceState ? FResourceState->IndexOf(this) : -1; }

// --- TclResourceStateList ---

void TclResourceStateList::Assign(const TclResourceStateList& ASource) {
    if (&ASource == this) return;
    FItems.clear();
    FResourceSize = ASource.FResourceSize;
    for (const auto& source : ASource.FItems) {
        auto item = std::make_unique<TclResourceStateItem>(this);
        item->Assign(*source);
        FItems.push_back(std::move(item));
    }
    RestartStatistic();
    DoChanged();
}

TclResourceStateItem* TclResourceStateList::GetItem(int AIndex) const {
    if (AIndex < 0 || AIndex >= Count()) return nullptr;
    return FItems[static_cast<size_t>(AIndex)].get();
}

int TclResourceStateList::IndexOf(const TclResourceStateItem* AItem) const {
    for (size_t i = 0; i < FItems.size(); ++i)
        if (FItems[i].get() == AItem) return static_cast<int>(i);
    return -1;
}

TclResourceStateItem* TclResourceStateList::Add() {
    FItems.push_back(std::make_unique<TclResourceStateItem>(this));
    TclResourceStateItem* item = FItems.back().get();
    CollectionChanged();
    return item;
}

void TclResourceStateList::Delete(int AIndex) {
    if (AIndex < 0 || AIndex >= Count()) return;
    FItems.erase(FItems.begin() + AIndex);
    CollectionChanged();
}

TclResourceStateItem* TclResourceStateList::Split(TclResourceStateItem* AItem, int64_t APos) {
    const int index = IndexOf(AItem);
    if (index < 0 || AItem->BytesToProceed() <= 0) return nullptr;
    const int64_t end = AItem->ResourcePos() + AItem->BytesToProceed();
    const int64_t written = AItem->ResourcePos() + AItem->BytesProceed();
    if (APos <= AItem->ResourcePos() || APos < written || APos >= end) return nullptr;
    auto upper = std::make_unique<TclResourceStateItem>(this);
    upper->SetResourcePos(APos);
    upper->SetBytesToProceed(end - APos);
    AItem->SetBytesToProceed(APos - AItem->ResourcePos());
    TclResourceStateItem* item = upper.get();
    FItems.insert(FItems.begin() + index + 1, std::move(upper));
    CollectionChanged();
    return item;
}

void TclResourceStateList::Clear() {
    FItems.clear();
    CollectionChanged();
}

void TclResourceStateList::CollectionChanged() {
    if (FItems.empty()) InitStatistic();
    DoChanged();
}

void TclResourceStateList::DoChanged() {
    if (OnChanged) OnChanged(this);
}

void TclResourceStateList::Init(int AThreadCount, int64_t AResourceSize) {
    InitStatistic();
    if (!FItems.empty()) return;
    FResourceSize = AResourceSize;
    const int64_t count = std::max(AThreadCount, 1);
    const int64_t part = AResourceSize > 0 ? AResourceSize / count : 0;
    for (int64_t i = 0; i < count; ++i) {
        TclResourceStateItem* item = Add();
        if (AResourceSize <= 0) continue;
        item->SetResourcePos(i * part);
        item->SetBytesToProceed(i < count - 1 ? part : AResourceSize - (count - 1) * part);
    }
}

void TclResourceStateList::InitStatistic() {
    for (auto& item : FItems) item->SetStatus(psUnknown);
    FLastStatus = psUnknown;
    RestartStatistic();
}

void TclResourceStateList::RestartStatistic() {
    FSpeedCount = 0;
    FStartCount = 0;
    FSpeed = 0;
    FElapsedTime = 0;
    FBytesProceedSinceStart = BytesProceed();
    int64_t now = 0;
    if (QueryPerformanceCounter(now)) FStartCount = now;
}

void TclResourceStateList::UpdateProceed(TclResourceStateItem* AItem, int64_t ABytesProceed) {
    if (AItem) AItem->SetBytesProceed(ABytesProceed);
    UpdateStatistic();
    DoChanged();
}

void TclResourceStateList::UpdateStatus(TclResourceStateItem* AItem, TclProcessStatus AStatus) {
    if (AItem) {
        AItem->SetStatus(AStatus);
    } else {
        FLastStatus = AStatus;
    }
    DoChanged();
}

int64_t TclResourceStateList::BytesProceed() const {
    int64_t sum = 0;
    for (const auto& item : FItems) sum += item->BytesProceed();
    return sum;
}

TclProcessStatus TclResourceStateList::LastStatus() const {
    static constexpr TclProcessStatus cPrecedence[] = {psProcess, psTerminated, psFailed, psErrors, psSuccess};
    TclProcessStatus aggregate = psUnknown;
    for (TclProcessStatus candidate : cPrecedence) {
        const bool found = std::any_of(FItems.begin(), FItems.end(),
                                       [candidate](const auto& item) { return item->Status() == candidate; });
        if (found) {
            aggregate = candidate;
            break;
        }
    }
    if (aggregate != psUnknown && aggregate != psSuccess) return aggregate;
    return FLastStatus != psUnknown ? FLastStatus : aggregate;
}

double TclResourceStateList::RemainingTime() const {
    if (FResourceSize <= 0 || FSpeed <= 0) return 0;
    return static_cast<double>(FResourceSize - BytesProceed()) / FSpeed;
}

bool TclResourceStateList::QueryPerformanceCounter(int64_t& ACount) const {
    ACount = std::chrono::steady_clock::now().time_since_epoch().count();
    return true;
}

int64_t TclResourceStateList::QueryPerformanceFrequency() const {
    using period = std::chrono::steady_clock::period;
    return period::den / period::num;
}

int64_t TclResourceStateList::CounterFrequency() const {
    if (FFrequency == 0) FFrequency = QueryPerformanceFrequency();
    return FFrequency;
}

void TclResourceStateList::UpdateStatistic() {
    FSpeed = 0;
    FElapsedTime = 0;
    int64_t now = 0;
    if (!QueryPerformanceCounter(now)) return;
    const int64_t frequency = CounterFrequency();
    if (frequency <= 0) return;
    const double seconds = static_cast<double>(now - FStartCount) / static_cast<double>(frequency);
    // The first update may come within one clock tick of the start.
    if (seconds > 0) FSpeed = static_cast<double>(BytesProceed() - FBytesProceedSinceStart) / seconds;
    FSpeedCount = now;
    FElapsedTime = static_cast<double>(FSpeedCount - FStartCount) / static_cast<double>(frequency);
}

}  // namespace cl
