// The byte ranges of one download item: the split of the remote resource into
// one range per worker, each range's progress and status, the aggregated
// status of the item and its transfer statistics. The list stays with its
// item for the program run, so that a stopped item resumes where it stopped.
// A running range may be split in place when a worker that finished its own
// would fetch its rest sooner (PlanRangeSplit decides).
//
// Used on the item's thread only (workers reach it through their
// synchronized events), so it takes no lock.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "rtl/clEvents.h"

namespace cl {

// The status of a worker, a byte range and a download item.
enum TclProcessStatus : uint8_t {
    psUnknown = 0,     // not started in this run
    psSuccess = 1,     // finished without error
    psFailed = 2,      // finished with an exception
    psErrors = 3,      // finished, but an error was recorded on the way
    psProcess = 4,     // running
    psTerminated = 5,  // stopped on request
};

class TclResourceStateList;

// One range: where it starts, how long it is (0: the whole body of a
// resource without size), how much of it is written, and its worker's status.
class TclResourceStateItem : public TObject {
public:
    explicit TclResourceStateItem(TclResourceStateList* AOwner) : FResourceState(AOwner) {}

    // Copies position, length, status and progress.
    void Assign(const TclResourceStateItem& ASource);

    // The setters of the three sizes ignore negative values.
    int64_t ResourcePos() const { return FResourcePos; }
    void SetResourcePos(int64_t AValue);
    int64_t BytesToProceed() const { return FBytesToProceed; }
    void SetBytesToProceed(int64_t AValue);
    // Bytes of the range already written, counted from ResourcePos.
    int64_t BytesProceed() const { return FBytesProceed; }
    void SetBytesProceed(int64_t AValue);
    TclProcessStatus Status() const { return FStatus; }
    void SetStatus(TclProcessStatus AValue) { FStatus = AValue; }

    TclResourceStateList* ResourceState() const { return FResourceState; }
    // The position in the owning list.
    int Index() const;

private:
    TclResourceStateList* FResourceState;
    int64_t FResourcePos = 0;
    int64_t FBytesToProceed = 0;
    TclProcessStatus FStatus = psUnknown;
    int64_t FBytesProceed = 0;
};

// What a worker that finished its range does with a running one that still
// has a remainder (see PlanRangeSplit).
struct TclRangeSplitPlan {
    enum TKind : uint8_t {
        skNone,      // leave the running worker alone
        skSplit,     // the running worker stops at its position + Keep; a new one fetches the rest
        skTakeRest,  // the running worker stops where it is; a new one fetches all of the rest
    };
    TKind Kind = skNone;
    int64_t Keep = 0;  // bytes the running worker still fetches
};

// A running worker has ARemaining bytes to go at ARunningSpeed (bytes per
// second so far; 0 when nothing came yet); a new request would start after
// ARequestCost seconds (what the finished worker waited for its first
// bytes) and then go at ANewSpeed (the item's speed per connection).
// - A running worker much slower than a new one, which a new request
//   would overtake, gives all of its rest away (the end game): however
//   small, a remainder is never left to a straggler.
// - Otherwise the remainder is split so that both end together, when the
//   new part is worth a request (at least four batches, and the running
//   worker would need more than the request's cost longer alone). Neither
//   part is ever below one batch.
TclRangeSplitPlan PlanRangeSplit(int64_t ARemaining, double ARunningSpeed, double ANewSpeed, double ARequestCost,
                                 int ABatchSize);

class TclResourceStateList : public TObject {
public:
    TclResourceStateList() = default;
    ~TclResourceStateList() override = default;
    TclResourceStateList(const TclResourceStateList&) = delete;
    TclResourceStateList& operator=(const TclResourceStateList&) = delete;

    // Copies ResourceSize and the ranges (with their statuses) and restarts
    // the speed figures.
    void Assign(const TclResourceStateList& ASource);

    int Count() const { return static_cast<int>(FItems.size()); }
    TclResourceStateItem* Items(int AIndex) const { return GetItem(AIndex); }
    // Null for an index out of range.
    TclResourceStateItem* GetItem(int AIndex) const;
    int IndexOf(const TclResourceStateItem* AItem) const;
    // A new range at the end. A change of the collection restarts the
    // statistics when it leaves the list empty, then fires OnChanged.
    TclResourceStateItem* Add();
    void Delete(int AIndex);
    void Clear();
    // Ends AItem at APos and inserts the rest, up to AItem's old end, as a
    // new range right after it (not started, nothing written): the ranges
    // stay contiguous and in order, and their lengths still add up to the
    // resource. Null (and nothing changed) unless APos lies strictly inside
    // AItem and not below the bytes it has written (an empty range would
    // read as a whole body). Fires OnChanged.
    TclResourceStateItem* Split(TclResourceStateItem* AItem, int64_t APos);

    // Restarts the statistics. An empty list then takes AResourceSize and is
    // split into AThreadCount ranges (at least one); existing ranges are
    // kept as they are.
    void Init(int AThreadCount, int64_t AResourceSize);
    // Every status (the ranges' and the own) back to psUnknown, the speed
    // figures zeroed, the current progress and the clock taken as the start.
    void InitStatistic();
    // Sets AItem's progress (when given), recomputes the statistics, fires OnChanged.
    void UpdateProceed(TclResourceStateItem* AItem, int64_t ABytesProceed);
    // Sets AItem's status, or the own status when AItem is null; fires OnChanged.
    void UpdateStatus(TclResourceStateItem* AItem, TclProcessStatus AStatus);

    int64_t ResourceSize() const { return FResourceSize; }
    // The sum of the ranges' progress.
    int64_t BytesProceed() const;
    // The ranges' status by precedence (running, stopped, failed, with
    // errors, succeeded); the own status where nothing decisive is found.
    TclProcessStatus LastStatus() const;
    // Bytes per second, averaged over the current run only.
    double Speed() const { return FSpeed; }
    // Seconds from the statistics start to the last update.
    double ElapsedTime() const { return FElapsedTime; }
    // Seconds still needed at the current speed; 0 without size or speed.
    double RemainingTime() const;

    TNotifyEvent OnChanged;

protected:
    // The monotonic clock in counts; false when it cannot be read.
    virtual bool QueryPerformanceCounter(int64_t& ACount) const;
    // Counts per second of that clock.
    virtual int64_t QueryPerformanceFrequency() const;

private:
    void CollectionChanged();
    void DoChanged();
    void UpdateStatistic();
    // The speed figures zeroed, the current progress and the clock taken as the start.
    void RestartStatistic();
    int64_t CounterFrequency() const;

    std::vector<std::unique_ptr<TclResourceStateItem>> FItems;
    int64_t FResourceSize = 0;
    TclProcessStatus FLastStatus = psUnknown;
    int64_t FSpeedCount = 0;
    int64_t FStartCount = 0;
    double FSpeed = 0;
    double FElapsedTime = 0;
    int64_t FBytesProceedSinceStart = 0;
    mutable int64_t FFrequency = 0;  // asked once, then kept
};

}  // namespace cl
