// Control-flow guard as a kernel with virtualisation-based security enforces
// it (indirect calls from the image and the kernel's calls of the image's
// routines), and the stack the image's own frames use: reported per kind of
// call and held to its budget.
#include <gtest/gtest.h>

#include "sim/ke/core.h"
#include "tests/loader/harness.h"

namespace {

using ltest::LoaderTest;
using ltest::Notes;

__attribute__((ms_abi)) ULONG AddHundred(ULONG value) { return value + 100; }
__attribute__((ms_abi)) ULONG NotExported(ULONG value) { return value + 200; }

class LoaderGuardTest : public LoaderTest {
protected:
    void SetUp() override {
        LoaderTest::SetUp();
        std::vector<sim::loader::FallbackExport> exports = ltest::TestExports();
        exports.push_back({"ntoskrnl.exe", "TestAddHundred", reinterpret_cast<void*>(&AddHundred), false});
        sim::loader::SetFallbackExports(exports);
        ASSERT_EQ(LoadBasic(), STATUS_SUCCESS);
        Notes().clear();
    }
};

TEST_F(LoaderGuardTest, IndirectCallsReachListedRoutinesAndKernelExports) {
    EXPECT_EQ(Call<ULONG>("CallIndirect", ltest::Routine("Twice"), ULONG{21}), 42u);
    EXPECT_EQ(Call<ULONG>("CallIndirect", reinterpret_cast<void*>(&AddHundred), ULONG{1}), 101u);
}

TEST_F(LoaderGuardTest, AnIndirectCallToARoutineOutsideTheTableFastFails) {
    // The image's own routine that its table leaves out.
    EXPECT_DEATH(Call<ULONG>("CallIndirect", ltest::Routine("Unlisted"), ULONG{1}),
                 "STOP: 0x00000139 \\(0x000000000000000A,.*\n.*KERNEL_SECURITY_CHECK_FAILURE\n"
                 ".*an indirect call to basic.sys\\+0x");
    // A routine of the model that is no export.
    EXPECT_DEATH(Call<ULONG>("CallIndirect", reinterpret_cast<void*>(&NotExported), ULONG{1}),
                 "STOP: 0x00000139 \\(0x000000000000000A,");
}

TEST_F(LoaderGuardTest, TheKernelsCallOfARoutineOutsideTheTableIsStoppedAtTheFirstCall) {
    EXPECT_DEATH(Call<ULONG>("Unlisted", ULONG{1}),
                 "STOP: 0x00000139 \\(0x000000000000000A,.*\n.*KERNEL_SECURITY_CHECK_FAILURE\n"
                 ".*the kernel's call of a Unlisted to basic.sys\\+0x");
}

TEST_F(LoaderGuardTest, TheStackOfTheImagesFramesIsReportedPerKindOfCall) {
    EXPECT_EQ(Call("Deep", uint64_t{4}), 1u + 4 + 3 + 2 + 1);
    EXPECT_EQ(Call("Deep", uint64_t{1}), 2u);
    EXPECT_EQ(Call("Twice", ULONG{1}), 2u);
    const auto high = sim::loader::StackHighWater();
    // Five frames of a 512-byte buffer each, measured at the innermost one's import call.
    ASSERT_EQ(high.count("Deep"), 1u);
    EXPECT_GE(high.at("Deep"), 5u * 512);
    EXPECT_LT(high.at("Deep"), 5u * 768);
    // DriverEntry called the model from its own frame only.
    ASSERT_EQ(high.count("DriverEntry"), 1u);
    EXPECT_GT(high.at("DriverEntry"), 0u);
    EXPECT_LT(high.at("DriverEntry"), 256u);
    // A routine that calls nothing is not measured.
    EXPECT_EQ(high.at("Twice"), 0u);
    sim::loader::ResetStackHighWater();
    EXPECT_TRUE(sim::loader::StackHighWater().empty());
}

TEST_F(LoaderGuardTest, PastTheBudgetTheRunStops) {
    EXPECT_DEATH(Call("Deep", uint64_t{20}),
                 "STOP: 0x0000007F \\(0x0000000000000008,.*\n.*UNEXPECTED_KERNEL_MODE_TRAP\n"
                 ".*in a Deep call, past their budget of 8192 bytes of the 24576-byte kernel stack");
}

TEST_F(LoaderGuardTest, AnImageThatRecursesPastTheKernelStackStopsTheRun) {
    // 25 frames of a little over 512 bytes: inside the 24 KB stack below the
    // share the layers above hold. Nothing is called, so the budget measured
    // at import calls never looks.
    EXPECT_EQ(Call("Descend", uint64_t{24}), 24u * 25 / 2);
    // 57 frames, about 30 KB: into the no-access pages below the stack.
    EXPECT_DEATH(Call("Descend", uint64_t{56}),
                 "STOP: 0x0000007F \\(0x0000000000000008,.*\n.*UNEXPECTED_KERNEL_MODE_TRAP\n"
                 ".*kernel stack overflow: an access [0-9]+ bytes below the 24576-byte kernel stack");
}

TEST_F(LoaderGuardTest, ImageCodeTheModelCalledWithoutADriverCallStops) {
    using Fn = ULONG64(__attribute__((ms_abi)) *)();
    auto routine = reinterpret_cast<Fn>(ltest::Routine("ManyArguments"));
    EXPECT_DEATH(routine(), "called ntoskrnl.exe!TestSum14 outside any call from the model");
}

}  // namespace
