// The driver on the kernel's stacks: its callbacks run on a kernel stack, and
// the copy a backup verdict makes from the pre-cleanup callback opens, reads
// and writes files on that same stack, each request below the share of the
// layers it passes through, so the deepest path of the driver is measured.
#include "tests/support/filemon_fixture.h"

#include "sim/ke/stack.h"

#include <filesystem>

namespace {

class KernelStackUse : public vtest::FileMonTest {
protected:
    void SetUp() override {
        FileMonTest::SetUp();
        ASSERT_EQ(SetBackupDir(vtest::kBackupOnC), STATUS_SUCCESS);
        std::filesystem::create_directories(HostC("backup"));
        Answer(FileOpCloseModified, VerdictBackup);
    }
};

TEST_F(KernelStackUse, TheCopyInPreCleanupGoesOnDownTheCallbacksStack) {
    sim::ResetKernelStackHighWater();
    sim::SetKernelStackMeasuring(true);
    ASSERT_EQ(CreateWriteClose(u"C:\\a.txt", "the content"), STATUS_SUCCESS);
    sim::SetKernelStackMeasuring(false);
    EXPECT_EQ(ReadHost(HostC("backup/a.txt")), "the content");
    const auto high = sim::KernelStackHighWater();
    const size_t above = sim::StackShareAbove(sim::StackEntry::SystemCall);
    for (const char* kind : {"pre-create", "post-create", "pre-write", "pre-cleanup", "post-cleanup"}) {
        ASSERT_EQ(high.count(kind), 1u) << kind;
        EXPECT_GT(high.at(kind), above) << kind;
        EXPECT_LT(high.at(kind), sim::kKernelStackSize) << kind;
        RecordProperty(std::string("stack ") + kind, static_cast<int>(high.at(kind)));
    }
    EXPECT_GT(high.at("pre-cleanup"), above + sim::StackShareAbove(sim::StackEntry::NestedRequest))
        << "the copy's requests were not charged on the callback's stack";
    EXPECT_GT(high.at("pre-cleanup"), high.at("pre-write"));
}

}  // namespace
