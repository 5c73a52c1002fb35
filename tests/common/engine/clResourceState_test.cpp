// Byte ranges of a download item: the split, keeping ranges across runs,
// splitting a running range, the aggregated status and the speed figures.
#include "engine/clResourceState.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace cl {
namespace {

// A list whose clock the test moves by hand (counts of milliseconds).
class TManualClockList : public TclResourceStateList {
public:
    int64_t Now = 1000;
    bool ClockWorks = true;

protected:
    bool QueryPerformanceCounter(int64_t& ACount) const override {
        ACount = Now;
        return ClockWorks;
    }
    int64_t QueryPerformanceFrequency() const override { return 1000; }
};

std::vector<std::pair<int64_t, int64_t>> Ranges(const TclResourceStateList& AList) {
    std::vector<std::pair<int64_t, int64_t>> ranges;
    for (int i = 0; i < AList.Count(); ++i)
        ranges.emplace_back(AList.Items(i)->ResourcePos(), AList.Items(i)->BytesToProceed());
    return ranges;
}

TEST(ResourceStateSplit, RangesAreContiguousAndTheLastTakesTheRest) {
    TclResourceStateList list;
    list.Init(3, 10);
    EXPECT_EQ(Ranges(list), (std::vector<std::pair<int64_t, int64_t>>{{0, 3}, {3, 3}, {6, 4}}));
    EXPECT_EQ(list.ResourceSize(), 10);

    TclResourceStateList big;
    big.Init(5, 5'000'000'001LL);
    ASSERT_EQ(big.Count(), 5);
    EXPECT_EQ(big.Items(4)->ResourcePos() + big.Items(4)->BytesToProceed(), 5'000'000'001LL);
    for (int i = 1; i < 5; ++i)
        EXPECT_EQ(big.Items(i)->ResourcePos(), big.Items(i - 1)->ResourcePos() + big.Items(i - 1)->BytesToProceed());
}

TEST(ResourceStateSplit, ResourceWithoutSizeGetsOneWholeBodyRange) {
    TclResourceStateList list;
    list.Init(1, 0);
    EXPECT_EQ(Ranges(list), (std::vector<std::pair<int64_t, int64_t>>{{0, 0}}));
    // A thread count below one still gives a range to fetch.
    TclResourceStateList none;
    none.Init(0, 10);
    EXPECT_EQ(Ranges(none), (std::vector<std::pair<int64_t, int64_t>>{{0, 10}}));
}

TEST(ResourceStateSplit, InitKeepsExistingRangesButRestartsTheRun) {
    TManualClockList list;
    list.Init(3, 10);
    list.Items(1)->SetBytesProceed(2);
    list.UpdateStatus(list.Items(0), psSuccess);
    list.UpdateStatus(list.Items(1), psTerminated);
    list.UpdateStatus(nullptr, psFailed);
    list.Now += 1000;
    list.UpdateProceed(list.Items(2), 1);
    ASSERT_GT(list.Speed(), 0);

    list.Init(5, 999);
    EXPECT_EQ(Ranges(list), (std::vector<std::pair<int64_t, int64_t>>{{0, 3}, {3, 3}, {6, 4}}));
    EXPECT_EQ(list.ResourceSize(), 10);
    EXPECT_EQ(list.BytesProceed(), 3);
    for (int i = 0; i < list.Count(); ++i) EXPECT_EQ(list.Items(i)->Status(), psUnknown);
    EXPECT_EQ(list.LastStatus(), psUnknown);
    EXPECT_EQ(list.Speed(), 0);
    EXPECT_EQ(list.ElapsedTime(), 0);
}

TEST(ResourceStateSplit, ARunningRangeSplitsInPlaceKeepingWhatItWroteAndTheListAddsUp) {
    TManualClockList list;
    list.Init(2, 100);
    list.UpdateProceed(list.Items(0), 20);
    int changes = 0;
    list.OnChanged = [&](TObject*) { ++changes; };

    TclResourceStateItem* rest = list.Split(list.Items(0), 30);
    ASSERT_NE(rest, nullptr);
    EXPECT_EQ(rest->Index(), 1);
    EXPECT_EQ(Ranges(list), (std::vector<std::pair<int64_t, int64_t>>{{0, 30}, {30, 20}, {50, 50}}));
    EXPECT_EQ(rest->BytesProceed(), 0);
    EXPECT_EQ(rest->Status(), psUnknown);
    EXPECT_EQ(list.BytesProceed(), 20);
    EXPECT_EQ(changes, 1);
    // Stopping where the range has written is allowed; below it, at its
    // start (an empty range) or at or past its end is not.
    EXPECT_NE(list.Split(list.Items(0), 20), nullptr);
    for (const int64_t pos : {0, 19, 30, 31}) EXPECT_EQ(list.Split(list.Items(0), pos), nullptr) << pos;
    EXPECT_EQ(Ranges(list), (std::vector<std::pair<int64_t, int64_t>>{{0, 20}, {20, 10}, {30, 20}, {50, 50}}));
}

TEST(ResourceStateSplit, AStragglerGivesAllItsRestAwayAndAnEvenRangeIsSplitSoBothEndTogether) {
    using enum TclRangeSplitPlan::TKind;
    const int batch = 8192;
    // Nothing came yet, or it goes at a tenth of a new connection: all of
    // the rest goes, even a remainder of one batch.
    EXPECT_EQ(PlanRangeSplit(10 << 20, 0, 1e8, 0.01, batch).Kind, skTakeRest);
    EXPECT_EQ(PlanRangeSplit(batch, 1e6, 1e7, 0.0001, batch).Kind, skTakeRest);
    // ... unless it would be done before a new request got going.
    EXPECT_EQ(PlanRangeSplit(batch, 1e6, 1e7, 0.5, batch).Kind, skNone);

    // Equal speeds and a free request: halves.
    const TclRangeSplitPlan half = PlanRangeSplit(100 * batch, 1e6, 1e6, 0, batch);
    EXPECT_EQ(half.Kind, skSplit);
    EXPECT_EQ(half.Keep, 50 * batch);
    // A request that costs time leaves more to the running worker.
    EXPECT_GT(PlanRangeSplit(100 * batch, 1e6, 1e6, 0.1, batch).Keep, 50 * batch);

    // Never a part below one batch, nor a new request for less than four.
    for (int64_t remaining = 0; remaining < 12 * batch; remaining += 1000) {
        for (const double cost : {0.0, 0.001, 0.05}) {
            const TclRangeSplitPlan plan = PlanRangeSplit(remaining, 1e6, 2e6, cost, batch);
            if (plan.Kind != skSplit) continue;
            EXPECT_GE(plan.Keep, batch) << remaining;
            EXPECT_GE(remaining - plan.Keep, 4 * batch) << remaining;
        }
    }
    EXPECT_EQ(PlanRangeSplit(5 * batch, 1e6, 1e6, 0, batch).Kind, skNone);
    // Not worth a request that costs more than it saves.
    EXPECT_EQ(PlanRangeSplit(100 * batch, 1e6, 1e6, 1.0, batch).Kind, skNone);
    // Nothing known of a new connection's speed: nothing.
    EXPECT_EQ(PlanRangeSplit(100 * batch, 0, 0, 0, batch).Kind, skNone);
}

TEST(ResourceStateItem, NegativeSizesAreIgnored) {
    TclResourceStateList list;
    TclResourceStateItem* item = list.Add();
    item->SetResourcePos(5);
    item->SetBytesToProceed(7);
    item->SetBytesProceed(3);
    item->SetResourcePos(-1);
    item->SetBytesToProceed(-1);
    item->SetBytesProceed(-1);
    EXPECT_EQ(item->ResourcePos(), 5);
    EXPECT_EQ(item->BytesToProceed(), 7);
    EXPECT_EQ(item->BytesProceed(), 3);
    EXPECT_EQ(item->ResourceState(), &list);
    EXPECT_EQ(item->Index(), 0);
}

struct TStatusCase {
    std::vector<TclProcessStatus> Ranges;
    TclProcessStatus Own;
    TclProcessStatus Expected;
};

TEST(ResourceStateStatus, RunningOutranksStoppedOutranksFailedOutranksErrors) {
    const std::vector<TStatusCase> cases = {
        {{psSuccess, psFailed, psProcess}, psUnknown, psProcess},
        {{psSuccess, psFailed, psTerminated}, psUnknown, psTerminated},
        {{psSuccess, psErrors}, psUnknown, psErrors},
        {{psSuccess, psErrors, psFailed}, psUnknown, psFailed},
        {{psSuccess, psSuccess}, psUnknown, psSuccess},
        {{psUnknown, psUnknown}, psUnknown, psUnknown},
        // The own status stands in where the ranges say nothing decisive.
        {{}, psFailed, psFailed},
        {{psSuccess, psSuccess}, psFailed, psFailed},
        {{psUnknown, psSuccess}, psErrors, psErrors},
        {{psFailed}, psSuccess, psFailed},
        {{psProcess}, psFailed, psProcess},
    };
    for (const TStatusCase& c : cases) {
        TclResourceStateList list;
        for (TclProcessStatus status : c.Ranges) list.UpdateStatus(list.Add(), status);
        list.UpdateStatus(nullptr, c.Own);
        EXPECT_EQ(list.LastStatus(), c.Expected) << "ranges " << c.Ranges.size() << ", own " << int(c.Own);
    }
}

TEST(ResourceStateStatistics, ResumedRunCountsOnlyItsOwnBytes) {
    TManualClockList list;
    list.Init(2, 1000);
    list.Items(0)->SetBytesProceed(400);
    list.Items(1)->SetBytesProceed(200);
    list.InitStatistic();
    EXPECT_EQ(list.RemainingTime(), 0);

    list.Now += 2000;
    list.UpdateProceed(list.Items(0), 500);
    list.UpdateProceed(list.Items(1), 300);
    EXPECT_EQ(list.BytesProceed(), 800);
    EXPECT_DOUBLE_EQ(list.Speed(), 100);
    EXPECT_DOUBLE_EQ(list.ElapsedTime(), 2);
    EXPECT_DOUBLE_EQ(list.RemainingTime(), 2);
}

TEST(ResourceStateStatistics, NoSpeedWithoutClockOrElapsedTime) {
    TManualClockList list;
    list.Init(1, 1000);
    // An update within the same clock tick as the start.
    list.UpdateProceed(list.Items(0), 100);
    EXPECT_EQ(list.Speed(), 0);
    EXPECT_EQ(list.RemainingTime(), 0);

    list.ClockWorks = false;
    list.Now += 1000;
    list.UpdateProceed(list.Items(0), 200);
    EXPECT_EQ(list.Speed(), 0);
    EXPECT_EQ(list.ElapsedTime(), 0);
    EXPECT_EQ(list.BytesProceed(), 200);
}

TEST(ResourceStateChanges, EveryChangeIsAnnouncedAndClearingRestartsTheRun) {
    TManualClockList list;
    int changes = 0;
    list.OnChanged = [&](TObject* ASender) {
        EXPECT_EQ(ASender, &list);
        ++changes;
    };
    list.Init(2, 100);
    EXPECT_EQ(changes, 2);
    list.UpdateStatus(list.Items(0), psProcess);
    list.Now += 1000;
    list.UpdateProceed(list.Items(0), 50);
    EXPECT_EQ(changes, 4);
    ASSERT_GT(list.Speed(), 0);

    list.Clear();
    EXPECT_EQ(changes, 5);
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.Speed(), 0);
    EXPECT_EQ(list.LastStatus(), psUnknown);
}

TEST(ResourceStateChanges, AssignCopiesSizeAndRanges) {
    TclResourceStateList source;
    source.Init(2, 10);
    source.Items(1)->SetBytesProceed(4);
    source.UpdateStatus(source.Items(1), psFailed);
    TclResourceStateList copy;
    copy.Init(4, 99);
    copy.Assign(source);
    EXPECT_EQ(copy.ResourceSize(), 10);
    EXPECT_EQ(Ranges(copy), Ranges(source));
    EXPECT_EQ(copy.Items(1)->BytesProceed(), 4);
    EXPECT_EQ(copy.Items(1)->ResourceState(), &copy);
    EXPECT_EQ(copy.LastStatus(), psFailed);
}

}  // namespace
}  // namespace cl
