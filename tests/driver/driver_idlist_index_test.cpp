// The id lists' hash index: it must answer exactly as a walk of the list
// would, through growth, removals, clears, duplicates linked by hand and a
// pool that refuses the buckets.
#include <map>
#include <random>
#include <set>
#include <vector>

#include "driver/driver_data.h"
#include "driver/id_list.h"
#include "driver/tags.h"
#include "sim/ex/pool.h"
#include "tests/support/fixture.h"

namespace {

using vtest::SimTest;

class IdListIndexTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        DriverPoolType = NonPagedPoolNx;
        IdListInit(&pids_);
        IdListInit(&files_);
    }
    void TearDown() override {
        IdListClearPids(&pids_);
        IdListClearFileIds(&files_);
        SimTest::TearDown();
    }

    static std::vector<ULONG> Walk(LockedIdList* list) {
        std::vector<ULONG> values;
        for (PLIST_ENTRY link = list->Head.Flink; link != &list->Head; link = link->Flink) {
            values.push_back(CONTAINING_RECORD(link, IdListEntry, Links)->Pid);
        }
        return values;
    }

    static uint64_t IndexBlocks() {
        auto live = sim::pool::LiveByTag();
        auto it = live.find(TagIdIndex);
        return it == live.end() ? 0 : it->second.count;
    }

    LockedIdList pids_ = {};
    LockedIdList files_ = {};
};

// Random adds, removes and tests against a plain set, on a list that grows
// past several index sizes and shrinks again; the list order stays newest first.
TEST_F(IdListIndexTest, AnswersAsTheListWouldThroughGrowthAndShrinking) {
    std::mt19937 random(7);
    std::set<ULONG> model;
    std::vector<ULONG> order;  // newest first, as the list must run
    for (int step = 0; step < 20000; ++step) {
        const ULONG pid = 4 * (random() % 3000);
        const int action = step < 8000 ? random() % 4 : random() % 3;  // add-heavy, then balanced
        if (action <= 1 || (action == 3)) {
            const NTSTATUS status = IdListAddPid(&pids_, pid);
            if (model.insert(pid).second) {
                ASSERT_EQ(status, STATUS_SUCCESS);
                order.insert(order.begin(), pid);
            } else {
                ASSERT_EQ(status, STATUS_ALREADY_REGISTERED);
            }
        } else {
            const NTSTATUS status = IdListRemovePid(&pids_, pid);
            ASSERT_EQ(status, model.erase(pid) ? STATUS_SUCCESS : STATUS_NOT_FOUND);
            std::erase(order, pid);
        }
        const ULONG probe = 4 * (random() % 3000);
        ASSERT_EQ(IdListHasPid(&pids_, probe) != FALSE, model.count(probe) != 0) << "step " << step;
    }
    EXPECT_GT(model.size(), 64u) << "the list outgrew the first index";
    EXPECT_EQ(IndexBlocks(), 1u);
    EXPECT_EQ(Walk(&pids_), order);
    IdListClearPids(&pids_);
    EXPECT_EQ(IndexBlocks(), 0u) << "a clear gives the buckets back";
    EXPECT_FALSE(IdListHasPid(&pids_, order.front()));
}

TEST_F(IdListIndexTest, FileIdsThatDifferOnlyInTheUpperHalfAreDistinct) {
    for (ULONG64 i = 0; i < 200; ++i) {
        ASSERT_EQ(IdListAddFileId(&files_, (i << 48) | 0x1234), STATUS_SUCCESS);
    }
    for (ULONG64 i = 0; i < 200; ++i) {
        EXPECT_TRUE(IdListHasFileId(&files_, (i << 48) | 0x1234));
        EXPECT_FALSE(IdListHasFileId(&files_, (i << 48) | 0x1235));
    }
    EXPECT_EQ(IdListAddFileId(&files_, (7ull << 48) | 0x1234), STATUS_ALREADY_REGISTERED);
}

// Entries linked by hand may repeat a value: the index finds the newest, as
// the walk from the front does, and the older one once the newer is gone.
TEST_F(IdListIndexTest, RepeatedValuesAreFoundNewestFirst) {
    for (ULONG pid = 100; pid < 200; pid += 4) {
        ASSERT_EQ(IdListAddPid(&pids_, pid), STATUS_SUCCESS);
    }
    IdListEntry older = {}, newer = {};
    older.Pid = 8;
    newer.Pid = 8;
    IdListLink(&pids_, &older);
    IdListLink(&pids_, &newer);
    ASSERT_EQ(IdListRemovePid(&pids_, 120), STATUS_SUCCESS);  // any removal: the index stays in step
    IdListUnlink(&pids_, &newer);
    EXPECT_TRUE(IdListHasPid(&pids_, 8)) << "the older entry is still listed";
    IdListUnlink(&pids_, &older);
    EXPECT_FALSE(IdListHasPid(&pids_, 8));
    IdListLink(&pids_, &older);
    IdListLink(&pids_, &newer);
    // Removal by value takes the newest; the hand-made entries must not be
    // freed by it, so unlink both before that could happen.
    IdListUnlink(&pids_, &newer);
    IdListUnlink(&pids_, &older);
    EXPECT_EQ(Walk(&pids_).size(), 24u);
}

// No memory for the buckets: the list goes on without an index (or with the
// smaller one it had) and answers the same.
TEST_F(IdListIndexTest, WithoutMemoryForTheBucketsTheListStillAnswers) {
    sim::pool::FailTag(TagIdIndex);
    for (ULONG pid = 8; pid < 8 + 4 * 100; pid += 4) {
        ASSERT_EQ(IdListAddPid(&pids_, pid), STATUS_SUCCESS);
    }
    EXPECT_EQ(IndexBlocks(), 0u) << "the first index could not be had";
    EXPECT_TRUE(IdListHasPid(&pids_, 8 + 4 * 50));
    EXPECT_FALSE(IdListHasPid(&pids_, 6));
    sim::pool::ClearFaults();
    // The next growth builds it over every entry already listed.
    ASSERT_EQ(IdListAddPid(&pids_, 4000), STATUS_SUCCESS);
    EXPECT_EQ(IndexBlocks(), 1u);
    for (ULONG pid = 8; pid < 8 + 4 * 100; pid += 4) {
        ASSERT_TRUE(IdListHasPid(&pids_, pid)) << pid;
    }
    ASSERT_EQ(IdListRemovePid(&pids_, 8 + 4 * 50), STATUS_SUCCESS);
    EXPECT_FALSE(IdListHasPid(&pids_, 8 + 4 * 50));
}

// Repeated values linked by hand before there is an index: the index built
// later over the list keeps each chain in list order, so a removal by value
// takes the newest entry, as a walk from the front would.
TEST_F(IdListIndexTest, AnIndexBuiltOverRepeatedValuesKeepsListOrder) {
    auto entry = [] {
        auto* e = static_cast<IdListEntry*>(ExAllocatePoolWithTag(DriverPoolType, sizeof(IdListEntry), TagProcessEntry));
        RtlZeroMemory(e, sizeof(*e));
        e->Pid = 8;
        return e;
    };
    IdListEntry* older = entry();
    IdListEntry* newer = entry();
    IdListLink(&pids_, older);
    IdListLink(&pids_, newer);
    ASSERT_EQ(IndexBlocks(), 0u);
    for (ULONG pid = 100; pid < 100 + 4 * 20; pid += 4) {
        ASSERT_EQ(IdListAddPid(&pids_, pid), STATUS_SUCCESS);
    }
    ASSERT_EQ(IndexBlocks(), 1u) << "the index was built over the hand-linked entries";
    ASSERT_EQ(IdListRemovePid(&pids_, 8), STATUS_SUCCESS);  // frees the newer one
    bool olderLinked = false;
    for (PLIST_ENTRY link = pids_.Head.Flink; link != &pids_.Head; link = link->Flink) {
        olderLinked = olderLinked || CONTAINING_RECORD(link, IdListEntry, Links) == older;
    }
    EXPECT_TRUE(olderLinked) << "the removal took the newest entry";
    EXPECT_TRUE(IdListHasPid(&pids_, 8));
    ASSERT_EQ(IdListRemovePid(&pids_, 8), STATUS_SUCCESS);
    EXPECT_FALSE(IdListHasPid(&pids_, 8));
}

}  // namespace
