// Exception dispatch into an image: its scope tables decide, as on Windows.
// Termination handlers run on the way out, a filter that declines passes the
// exception to the next scope out, an exception the model raises inside a
// routine the image called lands in the image's handler, and one raised in a
// callback the model made from inside such a routine reaches the handlers of
// the image frames that called the model.
#include <gtest/gtest.h>

#include "platform/kernel.h"
#include "sim/ke/core.h"
#include "tests/loader/harness.h"

namespace {

using ltest::LoaderTest;
using ltest::Notes;

// A model routine that raises under a guard of its own.
__attribute__((ms_abi)) void RaiseUnderOwnGuard(NTSTATUS) {
    const NTSTATUS caught = PlatformCallGuarded([](PVOID) { sim::RaiseStatus(STATUS_NOT_FOUND); }, nullptr);
    Notes().push_back(static_cast<ULONG>(caught));
}

class LoaderSehTest : public LoaderTest {
protected:
    void SetUp() override {
        LoaderTest::SetUp();
        ASSERT_EQ(LoadBasic(), STATUS_SUCCESS);
        Notes().clear();
        page_ = static_cast<UCHAR*>(sim::loader::AllocateUserPages(4096));
        ASSERT_NE(page_, nullptr);
        sim::loader::FreeUserPages(page_, 4096);  // a user address that faults
    }
    const void* Missing() const { return page_ + 16; }
    UCHAR* page_ = nullptr;
};

TEST_F(LoaderSehTest, ATerminationHandlerRunsBeforeTheOuterHandler) {
    EXPECT_EQ(Call<NTSTATUS>("NestedFinally", STATUS_INSUFFICIENT_RESOURCES), STATUS_INSUFFICIENT_RESOURCES);
    // 1: the __finally, abnormally ended; 2: the __except block. Nothing after the raise ran.
    EXPECT_EQ(Notes(), (std::vector<uint64_t>{1, 2}));
}

TEST_F(LoaderSehTest, AFilterThatDeclinesPassesTheExceptionToTheNextScope) {
    EXPECT_EQ(Call<NTSTATUS>("FilterSearch", Missing()), STATUS_ACCESS_VIOLATION);
    // The inner filter (1) declined, the outer one (2) saw the faulting address and took it.
    EXPECT_EQ(Notes(), (std::vector<uint64_t>{1, 2, reinterpret_cast<uint64_t>(Missing())}));
}

TEST_F(LoaderSehTest, ARaiseInsideAModelRoutineReachesTheImagesHandler) {
    EXPECT_EQ(Call<NTSTATUS>("RaiseGuarded", STATUS_FILE_DELETED), STATUS_FILE_DELETED);
    // The frames the raise left are gone cleanly: the image and the model's own guards work on.
    EXPECT_EQ(Call<ULONG>("Twice", ULONG{4}), 8u);
    EXPECT_EQ(PlatformCallGuarded([](PVOID) { sim::RaiseStatus(STATUS_CANCELLED); }, nullptr), STATUS_CANCELLED);
    EXPECT_EQ(Call<NTSTATUS>("RaiseGuarded", STATUS_NO_MEMORY), STATUS_NO_MEMORY);
}

TEST_F(LoaderSehTest, AGuardOfTheModelCloserThanTheImageTakesTheRaise) {
    // TestRaise now raises under a guard of its own, which catches it first.
    std::vector<sim::loader::FallbackExport> exports = ltest::TestExports();
    for (auto& entry : exports) {
        if (entry.name == "TestRaise") {
            entry.address = reinterpret_cast<void*>(&RaiseUnderOwnGuard);
        }
    }
    sim::loader::UnmapImage(image_);
    image_ = nullptr;
    sim::loader::SetFallbackExports(exports);
    ASSERT_EQ(LoadBasic(), STATUS_SUCCESS);
    Notes().clear();
    EXPECT_EQ(Call<NTSTATUS>("RaiseGuarded", STATUS_FILE_DELETED), STATUS_SUCCESS);
    EXPECT_EQ(Notes(), (std::vector<uint64_t>{static_cast<ULONG>(STATUS_NOT_FOUND)}));
}

TEST_F(LoaderSehTest, AnExceptionInACallbackReachesTheImageFramesThatCalledTheModel) {
    // CallBackGuarded -> TestCallBack (the model) -> FinallyRead faults: its
    // __finally runs (4), then CallBackGuarded's handler takes it (3).
    EXPECT_EQ(Call<NTSTATUS>("CallBackGuarded", ltest::Routine("FinallyRead"), Missing()), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(Notes(), (std::vector<uint64_t>{4, 3}));
    // The callback's level was abandoned with the model's frames; calls go on.
    EXPECT_EQ(Call<NTSTATUS>("RaiseGuarded", STATUS_CANCELLED), STATUS_CANCELLED);
    EXPECT_EQ(Call<ULONG>("Twice", ULONG{5}), 10u);
}

TEST_F(LoaderSehTest, ARaiseNoImageFrameTakesIsTheUnhandledExceptionBugCheck) {
    EXPECT_DEATH(Call<void>("RaiseUnguarded", STATUS_FILE_DELETED),
                 "STOP: 0x0000007E \\(0x00000000C0000123,.*\n.*SYSTEM_THREAD_EXCEPTION_NOT_HANDLED\n"
                 ".*raised in ntoskrnl.exe!TestRaise called at basic.sys\\+0x");
}

}  // namespace
