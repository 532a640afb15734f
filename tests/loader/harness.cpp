#include "tests/loader/harness.h"

#include <cstring>
#include <map>

#include "sim/ke/core.h"

namespace ltest {

uint64_t gTestVariable = 0;

namespace {

std::map<std::string, void*> gRoutines;
std::vector<uint64_t> gNotes;

#define MS __attribute__((ms_abi))

MS void TestRegister(const char* name, void* routine) { gRoutines[name] = routine; }
MS void TestNote(uint64_t value) { gNotes.push_back(value); }
MS void TestRaise(NTSTATUS status) { sim::RaiseStatus(status); }
MS NTSTATUS TestCallBack(void* routine, void* argument) {
    sim::loader::DriverCall call(routine, "test callback");
    return reinterpret_cast<NTSTATUS(MS*)(void*)>(routine)(argument);
}
// Weighted, so arguments out of place change the sum.
MS uint64_t TestSum14(uint64_t a1, uint64_t a2, uint64_t a3, uint64_t a4, uint64_t a5, uint64_t a6, uint64_t a7,
                      uint64_t a8, uint64_t a9, uint64_t a10, uint64_t a11, uint64_t a12, uint64_t a13, uint64_t a14) {
    const uint64_t values[] = {a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13, a14};
    uint64_t sum = 0;
    for (uint64_t i = 0; i < 14; ++i) {
        sum += values[i] * (i + 1) * (i + 1);
    }
    return sum;
}
MS double TestScale(double value, double factor) { return value * factor; }
MS KIRQL TestModelIrql() { return sim::CurrentThreadState().irql; }
MS uint32_t HostRoutine(uint32_t value) { return value + 100; }
MS void* TestHostRoutine() { return reinterpret_cast<void*>(&HostRoutine); }
MS void* Memcpy(void* d, const void* s, size_t n) { return std::memcpy(d, s, n); }
MS void* Memset(void* d, int c, size_t n) { return std::memset(d, c, n); }

}  // namespace

std::string ImagePath(const std::string& name) { return std::string(VETRONA_LOADER_IMAGES) + "/" + name; }

std::vector<uint64_t>& Notes() { return gNotes; }

void* Routine(const std::string& name) {
    auto it = gRoutines.find(name);
    EXPECT_NE(it, gRoutines.end()) << "the image registered no routine " << name;
    return it == gRoutines.end() ? nullptr : it->second;
}

std::vector<sim::loader::FallbackExport> TestExports() {
    auto routine = [](const char* name, auto* address) {
        return sim::loader::FallbackExport{"ntoskrnl.exe", name, reinterpret_cast<void*>(address), false};
    };
    return {
        routine("__C_specific_handler", &sim::loader::SimCSpecificHandler),
        routine("memcpy", &Memcpy),
        routine("memset", &Memset),
        routine("TestRegister", &TestRegister),
        routine("TestNote", &TestNote),
        routine("TestRaise", &TestRaise),
        routine("TestCallBack", &TestCallBack),
        routine("TestSum14", &TestSum14),
        routine("TestScale", &TestScale),
        routine("TestModelIrql", &TestModelIrql),
        routine("TestHostRoutine", &TestHostRoutine),
        {"ntoskrnl.exe", "MmUserProbeAddress",
         const_cast<void*>(static_cast<const void*>(sim::loader::UserProbeAddressVariable())), true},
        {"ntoskrnl.exe", "TestVariable", &gTestVariable, true},
    };
}

void LoaderTest::SetUp() {
    sim::ResetKernel();
    sim::loader::ResetStackHighWater();
    gRoutines.clear();
    gNotes.clear();
    gTestVariable = 0;
    sim::loader::SetFallbackExports(TestExports());
}

void LoaderTest::TearDown() {
    if (image_ != nullptr) {
        sim::loader::UnmapImage(image_);
        image_ = nullptr;
    }
    sim::loader::SetFallbackExports({});
}

NTSTATUS LoaderTest::LoadBasic() {
    std::string error;
    const NTSTATUS status = sim::loader::MapImage(ImagePath("basic.sys"), &image_, &error);
    EXPECT_EQ(status, STATUS_SUCCESS) << error;
    if (status != STATUS_SUCCESS) {
        return status;
    }
    void* entry = reinterpret_cast<void*>(sim::loader::ImageEntryPoint(image_));
    using Entry = NTSTATUS(MS*)(void*, void*);
    NTSTATUS entered = STATUS_UNSUCCESSFUL;
    sim::OnKernelStack("DriverEntry", sim::StackEntry::SystemThread, [&] {
        sim::loader::DriverCall call(entry, "DriverEntry");
        entered = reinterpret_cast<Entry>(entry)(nullptr, nullptr);
    });
    return entered;
}

}  // namespace ltest
