// What the kernel answers for an image's instructions that a user process
// cannot run, and for its faults: CR8 reads and writes are the model's IRQL
// of the thread, `int 0x29` is bug check 0x139 with its code, a fault on a
// user address becomes an exception for the image's handlers, a fault on any
// other address (or at DISPATCH_LEVEL) stops the system whatever handlers exist.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include "sim/ke/core.h"
#include "sim/ps/ps.h"
#include "tests/loader/harness.h"

namespace {

using ltest::LoaderTest;
using ltest::Notes;

class LoaderTrapTest : public LoaderTest {
protected:
    void SetUp() override {
        LoaderTest::SetUp();
        ASSERT_EQ(LoadBasic(), STATUS_SUCCESS);
        Notes().clear();
        // Two user pages; the second is given back, so it faults.
        page_ = static_cast<UCHAR*>(sim::loader::AllocateUserPages(2 * kPage));
        ASSERT_NE(page_, nullptr);
        sim::loader::FreeUserPages(page_ + kPage, kPage);
        page_[kPage - 8] = 0x5A;
    }
    void TearDown() override {
        sim::loader::FreeUserPages(page_, kPage);
        LoaderTest::TearDown();
    }
    UCHAR* Missing() { return page_ + kPage; }

    static constexpr size_t kPage = 4096;
    UCHAR* page_ = nullptr;
};

TEST_F(LoaderTrapTest, Cr8ReadsAreTheThreadsIrql) {
    EXPECT_EQ(Call("ReadIrql"), PASSIVE_LEVEL);
    sim::RaiseIrql(APC_LEVEL);
    EXPECT_EQ(Call("ReadIrql"), APC_LEVEL);
    EXPECT_EQ(Call("ReadIrqlIntoR9"), APC_LEVEL);  // a destination among r8-r15
    sim::LowerIrql(PASSIVE_LEVEL);
}

TEST_F(LoaderTrapTest, Cr8WritesRaiseAndLowerTheModelsIrql) {
    EXPECT_EQ(Call("RaiseAndLower", uint64_t{DISPATCH_LEVEL}), PASSIVE_LEVEL);
    // Raised: the model saw DISPATCH_LEVEL and so did a read of CR8; lowered again after.
    EXPECT_EQ(Notes(), (std::vector<uint64_t>{DISPATCH_LEVEL, DISPATCH_LEVEL, PASSIVE_LEVEL}));
    EXPECT_EQ(sim::CurrentThreadState().irql, PASSIVE_LEVEL);
}

TEST_F(LoaderTrapTest, TheProcessorControlRegionIsNotModelledAndSaysSo) {
    // gs: reaches the processor's control region on Windows; the model has
    // none, and stops by name rather than fault at a small address.
    EXPECT_DEATH(Call("ReadThroughGs"), "access through GS.*does not emulate");
}

TEST_F(LoaderTrapTest, FastFailIsBugCheck139WithItsCode) {
    // The kit's checked list removal finds a link that does not point back.
    EXPECT_DEATH(Call<void>("CorruptList"),
                 "STOP: 0x00000139 \\(0x0000000000000003,.*\n.*KERNEL_SECURITY_CHECK_FAILURE\n.*corrupted list entry.*basic.sys\\+0x");
}

TEST_F(LoaderTrapTest, AGuardedCopyThatFaultsReturnsAccessViolation) {
    // Within the page: copied.
    EXPECT_EQ(Call<NTSTATUS>("CopyFromUser", static_cast<const void*>(page_ + kPage - 8), size_t{8}), STATUS_SUCCESS);
    EXPECT_EQ(Notes(), (std::vector<uint64_t>{0x5A}));
    // Across into the missing page: the image's own handler returns the fault's status.
    EXPECT_EQ(Call<NTSTATUS>("CopyFromUser", static_cast<const void*>(page_ + kPage - 8), size_t{16}),
              STATUS_ACCESS_VIOLATION);
    // A kernel address is refused by the image's range check before any access.
    UCHAR kernel[16] = {};
    EXPECT_EQ(Call<NTSTATUS>("CopyFromUser", static_cast<const void*>(kernel), sizeof(kernel)), STATUS_ACCESS_VIOLATION);
    // The image goes on working.
    EXPECT_EQ(Call<ULONG>("Twice", ULONG{21}), 42u);
}

TEST_F(LoaderTrapTest, AFaultOnAKernelAddressStopsTheSystemEvenInsideAGuard) {
    void* kernel = mmap(nullptr, kPage, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(kernel, MAP_FAILED);
    EXPECT_DEATH(Call<NTSTATUS>("FilterSearch", static_cast<const void*>(kernel)),
                 "STOP: 0x00000050 .*\n.*PAGE_FAULT_IN_NONPAGED_AREA\n.*not a user address");
    munmap(kernel, kPage);
}

TEST_F(LoaderTrapTest, APageFaultAtDispatchLevelIsBugCheckD1) {
    EXPECT_DEATH(
        {
            sim::RaiseIrql(DISPATCH_LEVEL);
            Call<NTSTATUS>("FilterSearch", static_cast<const void*>(Missing()));
        },
        "STOP: 0x000000D1 .*\n.*DRIVER_IRQL_NOT_LESS_OR_EQUAL");
}

TEST_F(LoaderTrapTest, AnUnhandledFaultNamesTheImageOffset) {
    // A system thread (this test's thread is the System process's).
    EXPECT_DEATH(Call("UnguardedRead", static_cast<const void*>(Missing())),
                 "STOP: 0x0000007E \\(0x00000000C0000005,.*\n.*SYSTEM_THREAD_EXCEPTION_NOT_HANDLED\n"
                 ".*exception 0xC0000005 \\(reading 0x[0-9A-F]+\\) at basic.sys\\+0x[0-9A-F]+ ");
    // A thread of a user process in kernel mode.
    EXPECT_DEATH(
        {
            _EPROCESS* process = sim::ps::CreateProcessObject(sim::SystemProcess(), u"\\Device\\HarddiskVolume1\\app.exe",
                                                                   u"app", false);
            sim::ThreadScope scope(process);
            Call("UnguardedRead", static_cast<const void*>(Missing()));
        },
        "STOP: 0x0000001E \\(0x00000000C0000005,.*\n.*KMODE_EXCEPTION_NOT_HANDLED\n.*basic.sys\\+0x");
}

}  // namespace
