// Filter registration in the simulated Filter Manager: the checks on the
// registration record, start of filtering, unregistration (clients
// disconnected, callbacks in flight waited for) and the filter's part in
// stopping its driver.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/flt/flt.h"
#include "sim/io/io.h"
#include "sim/ob/ob.h"
#include "sim/user/fltuser.h"
#include "sim/user/process.h"
#include "tests/support/fixture.h"

using namespace sim::user;
using std::chrono::milliseconds;

namespace {

FLT_PREOP_CALLBACK_STATUS FLTAPI NoPre(PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS, PVOID*) {
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
}
VOID FLTAPI NoCleanup(PFLT_CONTEXT, FLT_CONTEXT_TYPE) {}

// Records of later versions: the version-0x0200 fields, then what each adds.
struct RegistrationV0202 {
    FLT_REGISTRATION base;
    PVOID TransactionNotificationCallback;
    PVOID NormalizeNameComponentExCallback;
};
struct RegistrationV0203 {
    RegistrationV0202 v0202;
    PVOID SectionNotificationCallback;
};
static_assert(sizeof(RegistrationV0202) == 0x68);
static_assert(sizeof(RegistrationV0203) == 0x70);

class FilterTest : public vtest::SimTest {
public:
    // A valid version-0x0200 record with one operation and one context entry;
    // a case changes one thing in its copies.
    void SetUp() override {
        SimTest::SetUp();
        ResetRecord();
    }

    void ResetRecord() {
        operations_ = {{IRP_MJ_CREATE, 0, NoPre, nullptr, nullptr},
                       {IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION, 0, nullptr, nullptr, nullptr},
                       {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr}};
        contexts_ = {{FLT_STREAMHANDLE_CONTEXT, 0, NoCleanup, 24, 'cHxC', nullptr, nullptr, nullptr},
                     {FLT_CONTEXT_END, 0, nullptr, 0, 0, nullptr, nullptr, nullptr}};
        std::memset(&record_, 0, sizeof(record_));
        record_.v0202.base.Size = sizeof(FLT_REGISTRATION);
        record_.v0202.base.Version = FLT_REGISTRATION_VERSION_0200;
        record_.v0202.base.OperationRegistration = operations_.data();
        record_.v0202.base.ContextRegistration = contexts_.data();
    }

    FLT_REGISTRATION& base() { return record_.v0202.base; }

    NTSTATUS Register(PFLT_FILTER* filter) {
        return FltRegisterFilter(&driverObject_, &record_.v0202.base, filter);
    }

    DRIVER_OBJECT driverObject_{};
    std::vector<FLT_OPERATION_REGISTRATION> operations_;
    std::vector<FLT_CONTEXT_REGISTRATION> contexts_;
    RegistrationV0203 record_{};
};

}  // namespace

TEST_F(FilterTest, RegistrationRecordChecks) {
    struct Case {
        const char* what;
        std::function<void(FilterTest&)> change;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"valid 0x0200 record", [](FilterTest&) {}, STATUS_SUCCESS},
        {"version 0x0201", [](FilterTest& t) { t.base().Version = FLT_REGISTRATION_VERSION_0201; }, STATUS_SUCCESS},
        {"version 0x0100", [](FilterTest& t) { t.base().Version = 0x0100; }, STATUS_INVALID_PARAMETER},
        {"version 0x0300", [](FilterTest& t) { t.base().Version = 0x0300; }, STATUS_INVALID_PARAMETER},
        {"version newer than the system", [](FilterTest& t) { t.base().Version = 0x0204; }, STATUS_INVALID_PARAMETER},
        {"size short of the 0x0200 fields", [](FilterTest& t) { t.base().Size = 0x50; }, STATUS_INVALID_PARAMETER},
        {"0x0202 in a 0x0200-sized record",
         [](FilterTest& t) { t.base().Version = FLT_REGISTRATION_VERSION_0202; }, STATUS_INVALID_PARAMETER},
        {"0x0202 record",
         [](FilterTest& t) {
             t.base().Version = FLT_REGISTRATION_VERSION_0202;
             t.base().Size = sizeof(RegistrationV0202);
         },
         STATUS_SUCCESS},
        {"0x0203 in a 0x0202-sized record",
         [](FilterTest& t) {
             t.base().Version = FLT_REGISTRATION_VERSION_0203;
             t.base().Size = sizeof(RegistrationV0202);
         },
         STATUS_INVALID_PARAMETER},
        {"0x0203 record",
         [](FilterTest& t) {
             t.base().Version = FLT_REGISTRATION_VERSION_0203;
             t.base().Size = sizeof(RegistrationV0203);
         },
         STATUS_SUCCESS},
        {"known flag", [](FilterTest& t) { t.base().Flags = 0x1; }, STATUS_SUCCESS},
        {"unknown flag", [](FilterTest& t) { t.base().Flags = 0x8; }, STATUS_INVALID_PARAMETER},
        {"no tables",
         [](FilterTest& t) {
             t.base().OperationRegistration = nullptr;
             t.base().ContextRegistration = nullptr;
         },
         STATUS_SUCCESS},
        {"major beyond IRP_MJ_MAXIMUM_FUNCTION",
         [](FilterTest& t) { t.operations_[0].MajorFunction = 0x40; }, STATUS_INVALID_PARAMETER},
        {"undefined pseudo-major", [](FilterTest& t) { t.operations_[0].MajorFunction = 0xF6; },
         STATUS_INVALID_PARAMETER},
        {"volume-mount pseudo-major", [](FilterTest& t) { t.operations_[0].MajorFunction = 0xED; }, STATUS_SUCCESS},
        {"unknown operation flag", [](FilterTest& t) { t.operations_[0].Flags = 0x10; }, STATUS_INVALID_PARAMETER},
        {"skip-paging-I/O flag", [](FilterTest& t) { t.operations_[0].Flags = 0x1; }, STATUS_SUCCESS},
        {"context type that is no single type",
         [](FilterTest& t) { t.contexts_[0].ContextType = 0x3; }, STATUS_INVALID_PARAMETER},
        {"context of size 0", [](FilterTest& t) { t.contexts_[0].Size = 0; }, STATUS_INVALID_PARAMETER},
        {"allocate callback without free callback",
         [](FilterTest& t) { t.contexts_[0].ContextAllocateCallback = reinterpret_cast<PVOID>(&NoCleanup); },
         STATUS_INVALID_PARAMETER},
        {"unknown context flag", [](FilterTest& t) { t.contexts_[0].Flags = 0x2; }, STATUS_INVALID_PARAMETER},
        {"name provider without normalizer",
         [](FilterTest& t) { t.base().GenerateFileNameCallback = reinterpret_cast<PVOID>(&NoCleanup); },
         STATUS_INVALID_PARAMETER},
        {"name provider with the Ex normalizer",
         [](FilterTest& t) {
             t.base().Version = FLT_REGISTRATION_VERSION_0202;
             t.base().Size = sizeof(RegistrationV0202);
             t.base().GenerateFileNameCallback = reinterpret_cast<PVOID>(&NoCleanup);
             t.record_.v0202.NormalizeNameComponentExCallback = reinterpret_cast<PVOID>(&NoCleanup);
         },
         STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        ResetRecord();
        c.change(*this);
        PFLT_FILTER filter = reinterpret_cast<PFLT_FILTER>(0x1);
        EXPECT_EQ(Register(&filter), c.expected) << c.what;
        if (c.expected == STATUS_SUCCESS && filter != nullptr) {
            // The copy keeps the operation table up to its end marker.
            EXPECT_EQ(filter->operations.size(), c.what == std::string("no tables") ? 0u : 2u) << c.what;
            FltUnregisterFilter(filter);
        } else {
            EXPECT_EQ(filter, nullptr) << c.what;
        }
    }
    PFLT_FILTER filter = nullptr;
    EXPECT_EQ(FltRegisterFilter(&driverObject_, nullptr, &filter), STATUS_INVALID_PARAMETER);
}

TEST_F(FilterTest, OneFilterPerDriver) {
    PFLT_FILTER first = nullptr;
    ASSERT_EQ(Register(&first), STATUS_SUCCESS);
    PFLT_FILTER second = reinterpret_cast<PFLT_FILTER>(0x1);
    EXPECT_EQ(Register(&second), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(second, nullptr);

    DRIVER_OBJECT otherDriver{};
    PFLT_FILTER other = nullptr;
    EXPECT_EQ(FltRegisterFilter(&otherDriver, &base(), &other), STATUS_SUCCESS);
    FltUnregisterFilter(other);

    FltUnregisterFilter(first);
    EXPECT_EQ(Register(&second), STATUS_SUCCESS);
    FltUnregisterFilter(second);
}

TEST_F(FilterTest, StartFilteringOnceAndInjectedFailures) {
    PFLT_FILTER filter = nullptr;
    sim::InjectFailure("FltRegisterFilter", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Register(&filter), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(filter, nullptr);
    ASSERT_EQ(Register(&filter), STATUS_SUCCESS);

    sim::InjectFailure("FltStartFiltering", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(FltStartFiltering(filter), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(filter->started.load());
    EXPECT_EQ(FltStartFiltering(filter), STATUS_SUCCESS);
    EXPECT_TRUE(filter->started.load());
    EXPECT_EQ(FltStartFiltering(filter), STATUS_INVALID_PARAMETER);
    FltUnregisterFilter(filter);
}

TEST_F(FilterTest, MisuseOfUnregisterStops) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    checkPoolAtTearDown_ = false;
    EXPECT_DEATH(
        {
            PFLT_FILTER filter = nullptr;
            Register(&filter);
            FltUnregisterFilter(filter);
            FltUnregisterFilter(filter);
        },
        "already unregistered");
    EXPECT_DEATH(
        {
            int notAFilter = 0;
            FltStartFiltering(reinterpret_cast<PFLT_FILTER>(&notAFilter));
        },
        "not a filter object");
}

namespace {

// A filter with a port whose message notification can be held in flight.
struct HeldPort {
    PFLT_FILTER filter = nullptr;
    PFLT_PORT clientPort = nullptr;
    std::atomic<int> disconnects{0};
    std::atomic<bool> inMessage{false};
    std::mutex lock;
    std::condition_variable changed;
    bool release = false;
};
HeldPort* gHeld = nullptr;

NTSTATUS FLTAPI HeldConnect(PFLT_PORT ClientPort, PVOID, PVOID, ULONG, PVOID* Cookie) {
    gHeld->clientPort = ClientPort;
    *Cookie = nullptr;
    return STATUS_SUCCESS;
}
VOID FLTAPI HeldDisconnect(PVOID) {
    FltCloseClientPort(gHeld->filter, &gHeld->clientPort);
    ++gHeld->disconnects;
}
NTSTATUS FLTAPI HeldMessage(PVOID, PVOID, ULONG, PVOID, ULONG, PULONG Returned) {
    gHeld->inMessage = true;
    std::unique_lock<std::mutex> guard(gHeld->lock);
    gHeld->changed.wait(guard, [] { return gHeld->release; });
    *Returned = 0;
    return STATUS_SUCCESS;
}

NTSTATUS CreateHeldPort(PFLT_FILTER filter, PFLT_PORT* port) {
    UNICODE_STRING name;
    name.Buffer = const_cast<PWSTR>(u"\\HeldPort");
    name.Length = name.MaximumLength = 18;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    return FltCreateCommunicationPort(filter, port, &attributes, nullptr, HeldConnect, HeldDisconnect, HeldMessage, 1);
}

}  // namespace

TEST_F(FilterTest, UnregisterWithAnOpenServerPortStops) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    checkPoolAtTearDown_ = false;
    EXPECT_DEATH(
        {
            HeldPort held;
            gHeld = &held;
            Register(&held.filter);
            PFLT_PORT port = nullptr;
            CreateHeldPort(held.filter, &port);
            FltUnregisterFilter(held.filter);
        },
        "still open");
}

TEST_F(FilterTest, UnregisterDisconnectsClientsAndWaitsForCallbacksInFlight) {
    HeldPort held;
    gHeld = &held;
    ASSERT_EQ(Register(&held.filter), STATUS_SUCCESS);
    PFLT_PORT port = nullptr;
    ASSERT_EQ(CreateHeldPort(held.filter, &port), STATUS_SUCCESS);
    _EPROCESS* client = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\client.exe", u"", true);
    HANDLE handle = nullptr;
    ASSERT_EQ(FilterConnectCommunicationPort(client, u"\\HeldPort", 0, nullptr, 0, &handle), S_OK);

    // One client thread waits for a message, another is inside MessageNotify.
    auto getter = std::async(std::launch::async, [&] {
        struct {
            FILTER_MESSAGE_HEADER header;
            uint8_t body[16];
        } buffer{};
        return FilterGetMessage(client, handle, &buffer.header, sizeof(buffer));
    });
    auto command = std::async(std::launch::async, [&] {
        DWORD returned = 0;
        uint8_t in[4] = {};
        return FilterSendMessage(client, handle, in, sizeof(in), nullptr, 0, &returned);
    });
    while (!held.inMessage) {
        std::this_thread::sleep_for(milliseconds(1));
    }

    FltCloseCommunicationPort(port);
    auto unregister = std::async(std::launch::async, [&] { FltUnregisterFilter(held.filter); });
    EXPECT_EQ(getter.get(), kHrInvalidHandle);
    // The getter is released as the connection goes down; DisconnectNotify
    // runs right after, in the unregistering thread.
    for (int i = 0; i < 5000 && held.disconnects.load() == 0; ++i) {
        std::this_thread::sleep_for(milliseconds(1));
    }
    EXPECT_EQ(held.disconnects.load(), 1);
    EXPECT_EQ(held.clientPort, nullptr);
    EXPECT_EQ(unregister.wait_for(milliseconds(50)), std::future_status::timeout);
    {
        std::lock_guard<std::mutex> guard(held.lock);
        held.release = true;
    }
    held.changed.notify_all();
    unregister.get();
    EXPECT_EQ(command.get(), S_OK);

    // The client's handle outlives the filter but leads nowhere; closing it
    // does not call into the unloaded filter again.
    DWORD returned = 0;
    uint8_t in[4] = {};
    EXPECT_EQ(FilterSendMessage(client, handle, in, sizeof(in), nullptr, 0, &returned), kHrInvalidHandle);
    EXPECT_EQ(sim::ob::CloseHandle(client, handle), STATUS_SUCCESS);
    EXPECT_EQ(held.disconnects.load(), 1);
}

// ---------------------------------------------------------------------------
// Stopping a driver that registered a filter.

namespace {

struct UnloadDriver {
    PFLT_FILTER filter = nullptr;
    std::vector<std::string> events;
    NTSTATUS unloadResult = STATUS_SUCCESS;
    bool unregisterInUnload = true;
    FLT_FILTER_UNLOAD_FLAGS flagsSeen = 0xFFFF;
    bool withUnloadCallback = true;
};
UnloadDriver* gUnload = nullptr;

NTSTATUS FLTAPI TestFilterUnload(FLT_FILTER_UNLOAD_FLAGS Flags) {
    gUnload->events.push_back("FilterUnload");
    gUnload->flagsSeen = Flags;
    if (!NT_SUCCESS(gUnload->unloadResult)) {
        return gUnload->unloadResult;
    }
    if (gUnload->unregisterInUnload) {
        FltUnregisterFilter(gUnload->filter);
    }
    return STATUS_SUCCESS;
}

VOID NTAPI TestDriverUnload(PDRIVER_OBJECT) { gUnload->events.push_back("DriverUnload"); }

NTSTATUS NTAPI TestDriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
    static FLT_REGISTRATION registration;
    registration = FLT_REGISTRATION{};
    registration.Size = sizeof(FLT_REGISTRATION);
    registration.Version = FLT_REGISTRATION_VERSION_0200;
    registration.FilterUnloadCallback = gUnload->withUnloadCallback ? TestFilterUnload : nullptr;
    Driver->DriverUnload = TestDriverUnload;
    NTSTATUS status = FltRegisterFilter(Driver, &registration, &gUnload->filter);
    if (NT_SUCCESS(status)) {
        status = FltStartFiltering(gUnload->filter);
        if (!NT_SUCCESS(status)) {
            FltUnregisterFilter(gUnload->filter);
        }
    }
    return status;
}

}  // namespace

TEST_F(FilterTest, StopRunsTheFilterUnloadCallbackFirst) {
    UnloadDriver state;
    gUnload = &state;
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(sim::LoadDriver(TestDriverEntry, u"TestFilter", &driver), STATUS_SUCCESS);
    ASSERT_EQ(sim::StopDriver(driver), STATUS_SUCCESS);
    EXPECT_EQ(state.events, (std::vector<std::string>{"FilterUnload", "DriverUnload"}));
    EXPECT_EQ(state.flagsSeen, 0u);  // a service stop is not mandatory
    EXPECT_TRUE(sim::flt::RegisteredFilters().empty());
}

TEST_F(FilterTest, FilterCanRefuseTheStop) {
    UnloadDriver state;
    gUnload = &state;
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(sim::LoadDriver(TestDriverEntry, u"TestFilter", &driver), STATUS_SUCCESS);

    state.unloadResult = STATUS_FLT_DO_NOT_DETACH;
    EXPECT_EQ(sim::StopDriver(driver), STATUS_FLT_DO_NOT_DETACH);
    EXPECT_EQ(state.events, (std::vector<std::string>{"FilterUnload"}));
    EXPECT_EQ(sim::flt::FindFilter(driver), state.filter);

    state.unloadResult = STATUS_SUCCESS;
    EXPECT_EQ(sim::StopDriver(driver), STATUS_SUCCESS);
    EXPECT_EQ(state.events, (std::vector<std::string>{"FilterUnload", "FilterUnload", "DriverUnload"}));
}

TEST_F(FilterTest, FilterWithoutUnloadCallbackCannotBeStopped) {
    UnloadDriver state;
    state.withUnloadCallback = false;
    gUnload = &state;
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(sim::LoadDriver(TestDriverEntry, u"TestFilter", &driver), STATUS_SUCCESS);
    EXPECT_EQ(sim::StopDriver(driver), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(state.events.empty());
    EXPECT_EQ(sim::flt::FindFilter(driver), state.filter);
}

TEST_F(FilterTest, FilterLeftRegisteredAfterUnloadIsReported) {
    UnloadDriver state;
    state.unregisterInUnload = false;
    gUnload = &state;
    sim::SetLeftoverReportsAreFatal(false);
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(sim::LoadDriver(TestDriverEntry, u"TestFilter", &driver), STATUS_SUCCESS);
    EXPECT_EQ(sim::StopDriver(driver), STATUS_SUCCESS);
    const auto report = sim::LastLeftoverReport();
    ASSERT_EQ(report.size(), 1u);
    EXPECT_NE(report[0].find("still registered"), std::string::npos) << report[0];
    sim::SetLeftoverReportsAreFatal(true);
}
