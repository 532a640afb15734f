// Locked id lists: order, duplicates, removal, clearing, pool use, the
// search-and-change step under one lock, and the corrupt-link fast-fail.
#include <atomic>
#include <thread>
#include <vector>

#include "driver/driver_data.h"
#include "driver/id_list.h"
#include "driver/tags.h"
#include "tests/support/fixture.h"

namespace {

using vtest::SimTest;

class IdListTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        DriverPoolType = NonPagedPoolNx;
        IdListInit(&list_);
        IdListInit(&files_);
    }
    void TearDown() override {
        IdListClearPids(&list_);
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

    LockedIdList list_ = {};
    LockedIdList files_ = {};
};

TEST_F(IdListTest, InitialisedListIsEmptyAndPointsAtItsHead) {
    EXPECT_TRUE(IdListIsEmpty(&list_));
    EXPECT_EQ(list_.Head.Flink, &list_.Head);
    EXPECT_EQ(list_.Head.Blink, &list_.Head);
    EXPECT_FALSE(IdListHasPid(&list_, 0));
    EXPECT_FALSE(IdListHasPid(nullptr, 4));
    EXPECT_FALSE(IdListHasFileId(nullptr, 4));
}

TEST_F(IdListTest, PidsRunNewestFirstAndDuplicatesAreRefused) {
    EXPECT_EQ(IdListAddPid(&list_, 5), STATUS_SUCCESS);
    EXPECT_EQ(IdListAddPid(&list_, 7), STATUS_SUCCESS);
    EXPECT_EQ(IdListAddPid(&list_, 5), STATUS_ALREADY_REGISTERED);
    EXPECT_EQ(Walk(&list_), (std::vector<ULONG>{7, 5}));
    EXPECT_TRUE(IdListHasPid(&list_, 5));
    EXPECT_TRUE(IdListHasPid(&list_, 7));
    EXPECT_FALSE(IdListHasPid(&list_, 6));
    // Back links are consistent in both directions.
    EXPECT_EQ(list_.Head.Blink->Flink, &list_.Head);
    EXPECT_EQ(list_.Head.Flink->Blink, &list_.Head);

    auto usage = sim::pool::LiveByTag();
    EXPECT_EQ(usage[TagProcessEntry].count, 2u);
    EXPECT_EQ(sim::pool::TypeOf(list_.Head.Flink), NonPagedPoolNx);
}

TEST_F(IdListTest, RemoveTakesOutOnlyThatPid) {
    EXPECT_EQ(IdListRemovePid(&list_, 5), STATUS_NOT_FOUND) << "empty list";
    for (ULONG pid : {4u, 8u, 12u}) {
        ASSERT_EQ(IdListAddPid(&list_, pid), STATUS_SUCCESS);
    }
    EXPECT_EQ(IdListRemovePid(&list_, 9), STATUS_NOT_FOUND) << "never added";
    EXPECT_EQ(IdListRemovePid(&list_, 8), STATUS_SUCCESS);
    EXPECT_EQ(Walk(&list_), (std::vector<ULONG>{12, 4}));
    EXPECT_EQ(IdListRemovePid(&list_, 8), STATUS_NOT_FOUND) << "already removed";
    EXPECT_EQ(IdListRemovePid(&list_, 12), STATUS_SUCCESS);
    EXPECT_EQ(IdListRemovePid(&list_, 4), STATUS_SUCCESS);
    EXPECT_TRUE(IdListIsEmpty(&list_));
    EXPECT_EQ(sim::pool::LiveBlocks(), 0u) << "removed entries are freed";
}

TEST_F(IdListTest, FileIdsCompareAllSixtyFourBits) {
    const ULONG64 low = 5, high = 0x100000005ull;
    EXPECT_EQ(IdListAddFileId(&files_, high), STATUS_SUCCESS);
    EXPECT_FALSE(IdListHasFileId(&files_, low));
    EXPECT_EQ(IdListAddFileId(&files_, low), STATUS_SUCCESS);
    EXPECT_EQ(IdListAddFileId(&files_, high), STATUS_ALREADY_REGISTERED);
    EXPECT_TRUE(IdListHasFileId(&files_, high));
    EXPECT_TRUE(IdListHasFileId(&files_, low));
    EXPECT_EQ(sim::pool::LiveByTag()[TagFileIdEntry].count, 2u);
}

TEST_F(IdListTest, ExhaustedPoolLinksNothing) {
    sim::pool::FailNth(1);
    EXPECT_EQ(IdListAddPid(&list_, 40), STATUS_NO_MEMORY);
    sim::pool::FailNth(1);
    EXPECT_EQ(IdListAddFileId(&files_, 40), STATUS_NO_MEMORY);
    EXPECT_TRUE(IdListIsEmpty(&list_));
    EXPECT_TRUE(IdListIsEmpty(&files_));
    EXPECT_EQ(sim::pool::LiveBlocks(), 0u);
    EXPECT_EQ(IdListAddPid(&list_, 40), STATUS_SUCCESS) << "the next add works again";
}

ULONG gFreed = 0;
VOID CountingFree(IdListEntry* entry) {
    gFreed++;
    IdListFreePidEntry(entry);
}

TEST_F(IdListTest, ClearCallsTheFreeRoutineOncePerEntry) {
    gFreed = 0;
    IdListClear(&list_, CountingFree);
    EXPECT_EQ(gFreed, 0u) << "empty list";
    IdListClear(nullptr, CountingFree);

    for (ULONG pid = 100; pid < 110; pid += 4) {
        ASSERT_EQ(IdListAddPid(&list_, pid), STATUS_SUCCESS);
    }
    IdListClear(&list_, CountingFree);
    EXPECT_EQ(gFreed, 3u);
    EXPECT_TRUE(IdListIsEmpty(&list_));
    EXPECT_EQ(sim::pool::LiveBlocks(), 0u);

    ASSERT_EQ(IdListAddFileId(&files_, 1), STATUS_SUCCESS);
    ASSERT_EQ(IdListAddFileId(&files_, 2), STATUS_SUCCESS);
    EXPECT_EQ(IdListClearFileIds(&files_), STATUS_SUCCESS);
    EXPECT_TRUE(IdListIsEmpty(&files_));
    EXPECT_EQ(sim::pool::LiveBlocks(), 0u);
}

TEST_F(IdListTest, LinkAndUnlinkIgnoreMissingArguments) {
    IdListEntry entry = {};
    IdListLink(nullptr, &entry);
    IdListLink(&list_, nullptr);
    IdListUnlink(nullptr, &entry);
    IdListUnlink(&list_, nullptr);
    EXPECT_TRUE(IdListIsEmpty(&list_));

    IdListLink(&list_, &entry);
    EXPECT_EQ(list_.Head.Flink, &entry.Links);
    IdListUnlink(&list_, &entry);
    EXPECT_TRUE(IdListIsEmpty(&list_));
}

// Many threads adding the same pid: the search and the insertion are one step,
// so exactly one add succeeds and the list holds one entry.
TEST_F(IdListTest, ConcurrentAddsOfOnePidLinkItOnce) {
    constexpr int kThreads = 8;
    std::atomic<int> successes{0}, duplicates{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; i++) {
        threads.emplace_back([&] {
            for (ULONG pid = 1000; pid < 1200; pid += 4) {
                NTSTATUS status = IdListAddPid(&list_, pid);
                (status == STATUS_SUCCESS ? successes : duplicates)++;
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(successes.load(), 50);
    EXPECT_EQ(duplicates.load(), 50 * (kThreads - 1));
    EXPECT_EQ(Walk(&list_).size(), 50u);
}

// Corrupt links halt the system with KERNEL_SECURITY_CHECK_FAILURE, code 3.
class IdListDeathTest : public IdListTest {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        IdListTest::SetUp();
    }
};

TEST_F(IdListDeathTest, CorruptLinksFastFail) {
    ASSERT_EQ(IdListAddPid(&list_, 8), STATUS_SUCCESS);
    ASSERT_EQ(IdListAddPid(&list_, 12), STATUS_SUCCESS);
    IdListEntry* front = CONTAINING_RECORD(list_.Head.Flink, IdListEntry, Links);
    IdListEntry* second = CONTAINING_RECORD(front->Links.Flink, IdListEntry, Links);

    // The front entry's back link no longer points at the head.
    EXPECT_DEATH(
        {
            front->Links.Blink = &second->Links;
            IdListAddPid(&list_, 16);
        },
        "0x00000139 \\(0x0+3,");
    EXPECT_DEATH(
        {
            second->Links.Flink->Blink = &front->Links;
            IdListRemovePid(&list_, 8);
        },
        "0x00000139 \\(0x0+3,");
    EXPECT_DEATH(
        {
            front->Links.Blink = &front->Links;
            IdListClearPids(&list_);
        },
        "0x00000139 \\(0x0+3,");

    // Removing an entry twice: its neighbours no longer point at it.
    IdListEntry loose = {};
    IdListLink(&list_, &loose);
    IdListUnlink(&list_, &loose);
    EXPECT_DEATH(IdListUnlink(&list_, &loose), "0x00000139 \\(0x0+3,");
    EXPECT_EQ(Walk(&list_), (std::vector<ULONG>{12, 8})) << "the parent's list is untouched";
}

}  // namespace
