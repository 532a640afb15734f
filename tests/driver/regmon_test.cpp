// The registry callback on the simulated configuration manager: what a watched
// program's registry changes report, with which key path, name and data; what
// the client's verdicts do to the registry; the three ways of naming a key;
// the callback's own registry calls; unloading while changes are in flight.
#include "tests/support/fixture.h"
#include "sim/ke/sync.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "channel/message.h"
#include "driver/driver_data.h"
#include "driver/tags.h"
#include "regmon/regmon.h"
#include "sim/cm/cm.h"
#include "sim/flt/flt.h"
#include "sim/ob/ob.h"
#include "sim/rtl/settings.h"
#include "sim/user/registry.h"

namespace {

constexpr char16_t kSoftware[] = u"\\REGISTRY\\MACHINE\\SOFTWARE";
constexpr char16_t kRun[] = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

struct RegEvent {
    uint32_t size = 0;
    uint32_t pid = 0;
    int32_t op = -1;
    std::u16string keyPath;
    std::u16string name;
    std::vector<uint8_t> data;
    uint32_t type = 0;
    bool keyPathTruncated = false;
    bool nameTruncated = false;
    bool dataTruncated = false;
};

RegEvent Decode(const std::vector<uint8_t>& body) {
    RegistryEvent fixed;
    std::memcpy(&fixed, body.data(), sizeof(fixed));
    EXPECT_EQ(fixed.Header.Class, static_cast<uint32_t>(EVENT_CLASS_REGISTRY));
    RegEvent event;
    event.size = fixed.Header.Size;
    event.pid = fixed.ProcessId;
    event.op = fixed.Operation;
    const uint8_t* text = body.data() + REGISTRY_EVENT_TEXT_OFFSET;
    event.keyPath.assign(reinterpret_cast<const char16_t*>(text + fixed.KeyPathOffset), fixed.KeyPathLength / 2);
    event.name.assign(reinterpret_cast<const char16_t*>(text + fixed.NameOffset), fixed.NameLength / 2);
    event.data.assign(text + fixed.DataOffset, text + fixed.DataOffset + fixed.DataLength);
    event.type = fixed.DataType;
    event.keyPathTruncated = fixed.KeyPathTruncated != 0;
    event.nameTruncated = fixed.NameTruncated != 0;
    event.dataTruncated = fixed.DataTruncated != 0;
    return event;
}

std::vector<uint8_t> Bytes(const void* data, size_t size) {
    auto* p = static_cast<const uint8_t*>(data);
    return {p, p + size};
}

class RegMonTest : public vtest::DriverTest {
protected:
    RegMonTest() { loadAtSetUp_ = false; }

    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        DriverTest::SetUp();
    }

    // Loads the driver, connects, switches registry monitoring on, answers
    // every event with verdict_ and starts a watched and an unwatched program.
    void Start() {
        ASSERT_EQ(Load(), STATUS_SUCCESS);
        ASSERT_EQ(Connect(), vtest::S_OK);
        SetRegMon(true);
        StartResponder([this](const std::vector<uint8_t>&) { return verdict_.load(); });
        watched_ = StartWatched();
        other_ = StartProcess();
        ASSERT_EQ(sim::user::OpenKey(watched_, nullptr, kSoftware, KEY_ALL_ACCESS, &software_), STATUS_SUCCESS);
    }

    void TearDown() override {
        for (auto [process, key] : keys_) {
            sim::user::CloseHandle(process, key);
        }
        if (software_ != nullptr) {
            sim::user::CloseHandle(watched_, software_);
        }
        DriverTest::TearDown();
    }

    // The events answered so far, once at least `expected` are (the responder
    // notes a message just after it replies).
    std::vector<RegEvent> Events(size_t expected) {
        EXPECT_TRUE(WaitForMessages(expected)) << "fewer than " << expected << " events";
        std::vector<RegEvent> events;
        for (const auto& message : Messages()) {
            events.push_back(Decode(message.body));
        }
        return events;
    }

    HANDLE Create(_EPROCESS* process, HANDLE root, std::u16string_view name, NTSTATUS expected = STATUS_SUCCESS) {
        HANDLE key = nullptr;
        EXPECT_EQ(sim::user::CreateKey(process, root, name, KEY_ALL_ACCESS, &key), expected);
        if (key != nullptr) {
            keys_.emplace_back(process, key);
        }
        return key;
    }

    NTSTATUS SetDword(_EPROCESS* process, HANDLE key, std::u16string_view name, uint32_t value) {
        return sim::user::SetValueKey(process, key, name, REG_DWORD, &value, sizeof(value));
    }

    // Forgets the events so far, once `count` of them have been answered.
    void ClearAfter(size_t count) {
        EXPECT_TRUE(WaitForMessages(count));
        ClearMessages();
    }

    // Runs the driver's callback directly in a thread of the watched program.
    NTSTATUS Notify(REG_NOTIFY_CLASS notifyClass, PVOID record) {
        sim::ThreadScope thread(watched_);
        return RegMonCallback(nullptr, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(notifyClass)), record);
    }

    std::atomic<int32_t> verdict_{0};
    _EPROCESS* watched_ = nullptr;
    _EPROCESS* other_ = nullptr;
    HANDLE software_ = nullptr;
    std::vector<std::pair<_EPROCESS*, HANDLE>> keys_;
};

TEST_F(RegMonTest, EveryKindOfChangeOfAWatchedProgramIsReported) {
    Start();
    HANDLE vendor = Create(watched_, software_, u"Vendor");
    Create(watched_, software_, u"vendor");  // opens the existing key: not reported

    ASSERT_EQ(SetDword(watched_, vendor, u"Level", 1), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(watched_, vendor, u"LEVEL", 2), STATUS_SUCCESS);
    const char16_t text[] = u"on";
    ASSERT_EQ(sim::user::SetValueKey(watched_, vendor, u"", REG_SZ, text, sizeof(text)), STATUS_SUCCESS);
    ASSERT_EQ(sim::user::SetValueKey(watched_, vendor, u"", REG_SZ, text, sizeof(text)), STATUS_SUCCESS);
    ASSERT_EQ(sim::user::DeleteValueKey(watched_, vendor, u"Level"), STATUS_SUCCESS);
    ASSERT_EQ(sim::user::RenameKey(watched_, vendor, u"Vendor2"), STATUS_SUCCESS);
    ASSERT_EQ(sim::user::DeleteKey(watched_, vendor), STATUS_SUCCESS);

    auto events = Events(8);
    ASSERT_EQ(events.size(), 8u);
    const std::u16string path = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor";
    EXPECT_EQ(events[0].op, RegOpKeyCreated);
    EXPECT_EQ(events[0].keyPath, path);
    EXPECT_EQ(events[0].name, u"");
    EXPECT_EQ(events[0].pid, Pid(watched_));

    EXPECT_EQ(events[1].op, RegOpValueCreated);
    EXPECT_EQ(events[1].keyPath, path);
    EXPECT_EQ(events[1].name, u"Level");
    EXPECT_EQ(events[1].type, static_cast<uint32_t>(REG_DWORD));
    uint32_t one = 1;
    EXPECT_EQ(events[1].data, Bytes(&one, 4));
    EXPECT_EQ(events[2].op, RegOpValueModified) << "the same value under another case";
    EXPECT_EQ(events[2].name, u"LEVEL");

    EXPECT_EQ(events[3].op, RegOpValueCreated) << "the default value, first set";
    EXPECT_EQ(events[3].name, u"");
    EXPECT_EQ(events[3].data, Bytes(text, sizeof(text)));
    EXPECT_EQ(events[4].op, RegOpValueModified) << "the default value, set again";

    EXPECT_EQ(events[5].op, RegOpValueDeleted);
    EXPECT_EQ(events[5].name, u"Level");
    EXPECT_TRUE(events[5].data.empty());
    EXPECT_EQ(events[6].op, RegOpKeyRenamed);
    EXPECT_EQ(events[6].keyPath, path);
    EXPECT_EQ(events[6].name, u"Vendor2");
    EXPECT_EQ(events[7].op, RegOpKeyDeleted);
    EXPECT_EQ(events[7].keyPath, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor2") << "the key's current name";
    EXPECT_EQ(events[7].name, u"");
}

TEST_F(RegMonTest, NothingIsLookedUpForWhatIsNotReported) {
    Start();
    HANDLE mine = nullptr;
    ASSERT_EQ(sim::user::OpenKey(other_, nullptr, kSoftware, KEY_ALL_ACCESS, &mine), STATUS_SUCCESS);
    keys_.emplace_back(other_, mine);
    sim::ResetCounters();

    // An unwatched program: no name lookup, no query, no allocation, nothing sent.
    const uint64_t blocks = sim::pool::AllocationCount();
    HANDLE key = Create(other_, mine, u"Unwatched");
    ASSERT_EQ(SetDword(other_, key, u"V", 1), STATUS_SUCCESS);
    ASSERT_EQ(sim::user::DeleteKey(other_, key), STATUS_SUCCESS);
    EXPECT_EQ(sim::CallCount("CmCallbackGetKeyObjectIDEx"), 0u);
    EXPECT_EQ(sim::CallCount("ZwQueryValueKey"), 0u);
    EXPECT_EQ(sim::CallCount("ObOpenObjectByPointer"), 0u);
    EXPECT_EQ(sim::pool::AllocationCount(), blocks);

    // Monitoring switched off: the watched program is not reported either.
    SetRegMon(false);
    ASSERT_EQ(SetDword(watched_, software_, u"Off", 1), STATUS_SUCCESS);
    // The client itself, even when its id is in the watched set.
    SetRegMon(true);
    ASSERT_EQ(AddProcess(Pid(Client())), STATUS_SUCCESS);
    HANDLE clientKey = nullptr;
    ASSERT_EQ(sim::user::OpenKey(Client(), nullptr, kSoftware, KEY_ALL_ACCESS, &clientKey), STATUS_SUCCESS);
    keys_.emplace_back(Client(), clientKey);
    ASSERT_EQ(SetDword(Client(), clientKey, u"Client", 1), STATUS_SUCCESS);
    EXPECT_EQ(sim::CallCount("CmCallbackGetKeyObjectIDEx"), 0u);
    EXPECT_TRUE(Messages().empty());
}

TEST_F(RegMonTest, OtherNotificationsAndIncompleteRecordsSendNothing) {
    Start();
    // Reads, opens, closes and the rest through the configuration manager.
    HANDLE key = Create(watched_, software_, u"Quiet");
    ClearAfter(1);
    Create(watched_, software_, u"Quiet");
    uint8_t buffer[32];
    ULONG needed = 0;
    ASSERT_EQ(SetDword(watched_, key, u"V", 1), STATUS_SUCCESS);
    ClearAfter(1);
    EXPECT_EQ(sim::user::QueryValueKey(watched_, key, u"V", KeyValuePartialInformation, buffer, sizeof(buffer), &needed),
              STATUS_SUCCESS);
    HANDLE opened = nullptr;
    ASSERT_EQ(sim::user::OpenKey(watched_, key, u"", KEY_READ, &opened), STATUS_SUCCESS);
    ASSERT_EQ(sim::user::CloseHandle(watched_, opened), STATUS_SUCCESS);

    // Every other class, straight into the callback with a zeroed record.
    alignas(8) uint8_t record[256] = {};
    for (REG_NOTIFY_CLASS notifyClass :
         {RegNtPreSetInformationKey, RegNtPreEnumerateKey, RegNtPreEnumerateValueKey, RegNtPreQueryKey,
          RegNtPreQueryValueKey, RegNtPreQueryMultipleValueKey, RegNtPreCreateKey, RegNtPostCreateKey,
          RegNtPreKeyHandleClose, RegNtPostDeleteKey, RegNtPostSetValueKey, RegNtPreCreateKeyEx, RegNtPreOpenKeyEx,
          RegNtPostOpenKeyEx, RegNtPreFlushKey, RegNtPreLoadKey, RegNtPreUnLoadKey, RegNtPreQueryKeySecurity,
          RegNtPreSetKeySecurity, RegNtPreRestoreKey, RegNtPreSaveKey, RegNtPreReplaceKey, RegNtPreQueryKeyName}) {
        EXPECT_EQ(Notify(notifyClass, record), STATUS_SUCCESS) << notifyClass;
    }
    // No record at all, even for a class that is reported.
    EXPECT_EQ(Notify(RegNtPreDeleteKey, nullptr), STATUS_SUCCESS);
    // A post-create without its pre-record, or without a disposition.
    REG_POST_OPERATION_INFORMATION post{};
    EXPECT_EQ(Notify(RegNtPostCreateKeyEx, &post), STATUS_SUCCESS);
    REG_CREATE_KEY_INFORMATION create{};
    post.PreInformation = &create;
    EXPECT_EQ(Notify(RegNtPostCreateKeyEx, &post), STATUS_SUCCESS);
    EXPECT_TRUE(Messages().empty());

    // A set-value record without a value name is a modification, asked nothing.
    sim::ResetCounters();
    REG_SET_VALUE_KEY_INFORMATION set{};
    EXPECT_EQ(Notify(RegNtPreSetValueKey, &set), STATUS_SUCCESS);
    ASSERT_TRUE(WaitForMessages(1));
    EXPECT_EQ(Decode(Messages()[0].body).op, RegOpValueModified);
    EXPECT_EQ(sim::CallCount("ZwQueryValueKey"), 0u);
    EXPECT_EQ(sim::CallCount("ObOpenObjectByPointer"), 0u);
}

TEST_F(RegMonTest, CreatedKeysAreNamedFromTheRootKeyAndTheRelativeName) {
    Start();
    Create(watched_, software_, u"Vendor");
    Create(watched_, software_, u"Vendor\\App");
    Create(watched_, nullptr, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Absolute");
    HANDLE machine = nullptr;
    ASSERT_EQ(sim::user::OpenKey(watched_, nullptr, u"\\REGISTRY\\MACHINE", KEY_ALL_ACCESS, &machine), STATUS_SUCCESS);
    keys_.emplace_back(watched_, machine);
    Create(watched_, machine, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Absolute2", STATUS_OBJECT_PATH_SYNTAX_BAD);
    auto events = Events(3);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].keyPath, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor");
    EXPECT_EQ(events[1].keyPath, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor\\App");
    // An absolute name is the path itself, not appended to the root key's name.
    EXPECT_EQ(events[2].keyPath, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Absolute");
}

// The three ways to a key's name: the newer pair, the older routine, none.
struct Road {
    const char* name;
    std::vector<std::string> hidden;
    const char* used;  // the routine that names the key, or null
};

class RegMonRoadTest : public RegMonTest, public ::testing::WithParamInterface<Road> {};

TEST_P(RegMonRoadTest, KeysAreNamedByWhicheverRoutineTheSystemHas) {
    for (const auto& name : GetParam().hidden) {
        sim::SetExportAvailable(name, false);
    }
    Start();
    HANDLE key = Create(watched_, software_, u"Road");
    ASSERT_EQ(SetDword(watched_, key, u"V", 1), STATUS_SUCCESS);
    auto events = Events(2);
    ASSERT_EQ(events.size(), 2u);
    if (GetParam().used != nullptr) {
        EXPECT_GT(sim::CallCount(GetParam().used), 0u);
        EXPECT_EQ(events[0].keyPath, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Road");
        EXPECT_EQ(events[1].keyPath, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Road");
    } else {
        // Without a name the event still goes out; a created key keeps its relative name.
        EXPECT_EQ(events[0].keyPath, u"Road");
        EXPECT_EQ(events[1].keyPath, u"");
        EXPECT_EQ(events[1].op, RegOpValueCreated);
    }
    for (const char* routine : {"CmCallbackGetKeyObjectIDEx", "CmCallbackGetKeyObjectID"}) {
        if (GetParam().used == nullptr || std::string(routine) != GetParam().used) {
            EXPECT_EQ(sim::CallCount(routine), 0u) << routine;
        }
    }
    EXPECT_EQ(sim::CallCount("CmCallbackReleaseKeyObjectIDEx"), sim::CallCount("CmCallbackGetKeyObjectIDEx"));

    // The routine failing: no key path, the event still sent.
    if (GetParam().used != nullptr) {
        ClearMessages();
        sim::InjectFailure(GetParam().used, STATUS_INSUFFICIENT_RESOURCES, 2);
        ASSERT_EQ(SetDword(watched_, key, u"W", 1), STATUS_SUCCESS);
        Create(watched_, software_, u"Road2");
        events = Events(2);
        ASSERT_EQ(events.size(), 2u);
        EXPECT_EQ(events[0].keyPath, u"");
        EXPECT_EQ(events[0].name, u"W");
        EXPECT_EQ(events[1].keyPath, u"Road2");
    }
}

INSTANTIATE_TEST_SUITE_P(Roads, RegMonRoadTest,
                         ::testing::Values(Road{"ExPair", {}, "CmCallbackGetKeyObjectIDEx"},
                                           Road{"OlderRoutine", {"CmCallbackGetKeyObjectIDEx"}, "CmCallbackGetKeyObjectID"},
                                           Road{"NoRelease", {"CmCallbackReleaseKeyObjectIDEx"}, "CmCallbackGetKeyObjectID"},
                                           Road{"None",
                                                {"CmCallbackGetKeyObjectIDEx", "CmCallbackGetKeyObjectID"},
                                                nullptr}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RegMonTest, CopiesFailingForWantOfMemoryLeaveTheEventWithoutAPath) {
    Start();
    HANDLE key = Create(watched_, software_, u"Memory");
    ClearAfter(1);
    sim::pool::FailTag(TagRegistryPath);
    ASSERT_EQ(SetDword(watched_, key, u"V", 1), STATUS_SUCCESS);
    sim::pool::ClearFaults();
    // The join failing: the root key's name alone.
    sim::pool::FailTag(TagString);
    Create(watched_, software_, u"Joined");
    sim::pool::ClearFaults();
    auto events = Events(2);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].keyPath, u"");
    EXPECT_EQ(events[0].op, RegOpValueCreated);
    EXPECT_EQ(events[1].keyPath, kSoftware);
}

TEST_F(RegMonTest, DataBeyondTheMessageBudgetIsClippedAndFlagged) {
    Start();
    HANDLE key = Create(watched_, software_, u"Big");
    ClearAfter(1);
    std::vector<uint8_t> data(70000, 0x5A);
    ASSERT_EQ(sim::user::SetValueKey(watched_, key, u"Blob", REG_BINARY, data.data(), 70000), STATUS_SUCCESS);
    auto events = Events(1);
    ASSERT_EQ(events.size(), 1u);
    const size_t path = std::u16string(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Big").size() * 2;
    EXPECT_EQ(events[0].size, 0xFFFFu);
    EXPECT_TRUE(events[0].dataTruncated);
    EXPECT_EQ(events[0].data.size(), 65431u - path - 8u);
    EXPECT_FALSE(events[0].nameTruncated);
    EXPECT_EQ(events[0].name, u"Blob");
    // Data that fills the budget exactly goes out whole.
    ClearAfter(1);
    std::vector<uint8_t> exact(65431u - path - 8u, 0x33);
    ASSERT_EQ(sim::user::SetValueKey(watched_, key, u"Blob", REG_BINARY, exact.data(), static_cast<ULONG>(exact.size())),
              STATUS_SUCCESS);
    events = Events(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].size, 0xFFFFu);
    EXPECT_FALSE(events[0].dataTruncated);
    EXPECT_EQ(events[0].data, exact);
    EXPECT_EQ(events[0].op, RegOpValueModified);
    // The registry keeps the whole value.
    std::vector<uint8_t> stored;
    ASSERT_TRUE(sim::cm::QueryValue(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Big", u"Blob", nullptr, &stored));
    EXPECT_EQ(stored, exact);
}

TEST_F(RegMonTest, DenialRefusesTheChangeAndLeavesTheRegistryAsItWas) {
    Start();
    HANDLE key = Create(watched_, software_, u"Guarded");
    HANDLE child = Create(watched_, key, u"Child");
    ASSERT_EQ(SetDword(watched_, key, u"Kept", 1), STATUS_SUCCESS);
    const std::u16string path = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Guarded";

    verdict_ = VerdictDeny;
    EXPECT_EQ(SetDword(watched_, key, u"New", 1), STATUS_ACCESS_DENIED);
    EXPECT_EQ(SetDword(watched_, key, u"Kept", 2), STATUS_ACCESS_DENIED);
    EXPECT_EQ(sim::user::DeleteValueKey(watched_, key, u"Kept"), STATUS_ACCESS_DENIED);
    EXPECT_EQ(sim::user::RenameKey(watched_, child, u"Other"), STATUS_ACCESS_DENIED);
    EXPECT_EQ(sim::user::DeleteKey(watched_, child), STATUS_ACCESS_DENIED);
    EXPECT_EQ(sim::cm::ValueNames(path), std::vector<std::u16string>{u"Kept"});
    std::vector<uint8_t> data;
    ASSERT_TRUE(sim::cm::QueryValue(path, u"Kept", nullptr, &data));
    uint32_t one = 1;
    EXPECT_EQ(data, Bytes(&one, 4));
    EXPECT_TRUE(sim::cm::KeyExists(path + u"\\Child"));
    EXPECT_FALSE(sim::cm::KeyExists(path + u"\\Other"));

    // A key creation is reported after the fact: the key exists and the
    // program gets its handle (the platform ignores a post-notification error).
    HANDLE late = Create(watched_, key, u"Late");
    EXPECT_NE(late, nullptr);
    EXPECT_TRUE(sim::cm::KeyExists(path + u"\\Late"));
    // Where a post-notification error does reach the caller, the key stays all the same.
    sim::cm::SetPostErrorsChangeResult(true);
    Create(watched_, key, u"Later", STATUS_ACCESS_DENIED);
    EXPECT_TRUE(sim::cm::KeyExists(path + u"\\Later"));
    sim::cm::SetPostErrorsChangeResult(false);

    // Every other verdict lets the change through.
    for (int32_t verdict : {0, 2, VerdictBackup, VerdictNone, 7}) {
        verdict_ = verdict;
        EXPECT_EQ(SetDword(watched_, key, u"Kept", static_cast<uint32_t>(verdict)), STATUS_SUCCESS) << verdict;
    }
    verdict_ = 0;
    EXPECT_EQ(sim::user::DeleteValueKey(watched_, key, u"Kept"), STATUS_SUCCESS);
    EXPECT_TRUE(sim::cm::ValueNames(path).empty());
}

// A second callback, below the driver's, that notes the driver's own registry
// calls: which classes, in which thread, and how many handles the program had.
struct Nested {
    _EPROCESS* process = nullptr;
    std::vector<REG_NOTIFY_CLASS> classes;
    std::vector<ULONG_PTR> pids;
    std::vector<size_t> userHandles;
};
Nested* gNested = nullptr;
NTSTATUS NTAPI NestedRecorder(PVOID, PVOID argument1, PVOID) {
    auto notifyClass = static_cast<REG_NOTIFY_CLASS>(reinterpret_cast<ULONG_PTR>(argument1));
    if (gNested != nullptr && sim::CurrentProcess() == gNested->process) {
        gNested->classes.push_back(notifyClass);
        gNested->pids.push_back(sim::CurrentProcess()->pid);
        gNested->userHandles.push_back(sim::ob::HandleCount(gNested->process));
    }
    return STATUS_SUCCESS;
}

TEST_F(RegMonTest, TheValueTestReentersTheCallbackOnAKernelHandle) {
    Start();
    HANDLE key = Create(watched_, software_, u"Nested");
    Nested nested;
    nested.process = watched_;
    LARGE_INTEGER cookie{};
    UNICODE_STRING altitude;
    RtlInitUnicodeString(&altitude, u"100000");
    ASSERT_EQ(CmRegisterCallbackEx(NestedRecorder, &altitude, driver(), nullptr, &cookie, nullptr), STATUS_SUCCESS);
    const size_t handlesBefore = sim::ob::HandleCount(watched_);
    gNested = &nested;
    ASSERT_EQ(SetDword(watched_, key, u"V", 1), STATUS_SUCCESS);
    gNested = nullptr;
    ASSERT_EQ(CmUnRegisterCallback(cookie), STATUS_SUCCESS);

    // The driver's query and close come first (inside its pre-set-value
    // notification), then the set itself reaches the lower callback.
    EXPECT_EQ(nested.classes,
              (std::vector<REG_NOTIFY_CLASS>{RegNtPreQueryValueKey, RegNtPostQueryValueKey, RegNtPreKeyHandleClose,
                                             RegNtPostKeyHandleClose, RegNtPreSetValueKey, RegNtPostSetValueKey}));
    for (ULONG_PTR pid : nested.pids) {
        EXPECT_EQ(pid, watched_->pid) << "the nested calls run in the program's own thread";
    }
    for (size_t count : nested.userHandles) {
        EXPECT_EQ(count, handlesBefore) << "the driver's handle never enters the program's handle table";
    }
    auto events = Events(2);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].op, RegOpValueCreated);
}

TEST_F(RegMonTest, BeforeVersion62TheCallersDataIsReadOnlyThroughTheGuardedCopy) {
    sim::SetSystemVersion(6, 1, 7601);
    Start();
    HANDLE key = Create(watched_, software_, u"Old");
    ClearAfter(1);
    const uint32_t value = 0xCAFE;
    ASSERT_EQ(sim::user::SetValueKey(watched_, key, u"Good", REG_DWORD, &value, 4), STATUS_SUCCESS);

    // A buffer the program protected meanwhile: the event goes out without
    // its data and the set itself fails with the access violation.
    const long page = sysconf(_SC_PAGESIZE);
    void* bad = mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(bad, MAP_FAILED);
    EXPECT_EQ(sim::user::SetValueKey(watched_, key, u"Bad", REG_BINARY, bad, 32), STATUS_ACCESS_VIOLATION);
    munmap(bad, page);

    auto events = Events(2);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].data, Bytes(&value, 4));
    EXPECT_EQ(events[1].op, RegOpValueCreated);
    EXPECT_EQ(events[1].name, u"Bad");
    EXPECT_TRUE(events[1].data.empty());
    EXPECT_EQ(events[1].type, 0u);
    EXPECT_EQ(events[1].size, 104u + events[1].keyPath.size() * 2 + 6u);
}

TEST_F(RegMonTest, UnloadWaitsForCallbacksInFlightBeforeThePortAndFilterGo) {
    Start();
    HANDLE key = Create(watched_, software_, u"Unload");
    ClearAfter(1);
    std::atomic<bool> parked{false};
    std::atomic<int> portsSeenByCallback{-1};
    sim::cm::SetNameLookupHook([&] {
        if (parked.exchange(true)) {
            return;
        }
        // Wait until the unload is waiting for us, then look at the port.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (sim::cm::UnregistrationsWaiting() == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        portsSeenByCallback = sim::flt::ConnectionCount(u"\\VetronaFlt_Com");
    });
    NTSTATUS setStatus = STATUS_UNSUCCESSFUL;
    std::thread program([&] { setStatus = SetDword(watched_, key, u"V", 1); });
    while (!parked) {
        std::this_thread::yield();
    }
    ASSERT_EQ(StopWhileConnected(), STATUS_SUCCESS);
    program.join();
    sim::cm::SetNameLookupHook(nullptr);

    EXPECT_EQ(portsSeenByCallback, 1) << "the client's connection was gone while a callback was still running";
    EXPECT_EQ(setStatus, STATUS_SUCCESS);
    ASSERT_TRUE(WaitForMessages(1)) << "the event in flight reached the client";
    EXPECT_FALSE(sim::cm::IsRegistered(RegMonCallback));
    // After the unload the program's changes go on unreported.
    EXPECT_EQ(SetDword(watched_, key, u"W", 1), STATUS_SUCCESS);
    EXPECT_EQ(Messages().size(), 1u);
}

TEST_F(RegMonTest, KeyNameRoutinesAreInPlaceBeforeTheCallbackCanRun) {
    bool resolvedAtRegistration = false;
    sim::cm::SetRegistrationHook([&] {
        resolvedAtRegistration = DriverData.GetKeyObjectIDEx != nullptr && DriverData.ReleaseKeyObjectIDEx != nullptr &&
                                 DriverData.GetKeyObjectID != nullptr;
    });
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    sim::cm::SetRegistrationHook(nullptr);
    EXPECT_TRUE(resolvedAtRegistration);
}

TEST_F(RegMonTest, AFailedRemovalIsRetriedAtUnload) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    sim::InjectFailure("CmUnRegisterCallback", STATUS_INSUFFICIENT_RESOURCES);
    // A callback left registered would be a leftover that stops the run.
    Stop();
    EXPECT_EQ(sim::CallCount("CmUnRegisterCallback"), 2u);
    EXPECT_FALSE(sim::cm::IsRegistered(RegMonCallback));
}

// The set-value test when it cannot tell: the key cannot be opened, or the
// query answers something other than "no such value". Both report a
// modification, never a creation; and a key created under an empty relative
// name is named by its root key alone.
TEST_F(RegMonTest, WhenTheValueTestCannotTellItReportsAModification) {
    Start();
    HANDLE key = Create(watched_, software_, u"Unsure");
    ClearAfter(1);
    const std::function<void()> faults[] = {
        [] { sim::InjectFailure("ObOpenObjectByPointer", STATUS_INSUFFICIENT_RESOURCES); },
        [] { sim::InjectFailure("ZwQueryValueKey", STATUS_INSUFFICIENT_RESOURCES); },
    };
    int n = 0;
    for (const auto& fault : faults) {
        const std::u16string name = u"New" + std::u16string(1, static_cast<char16_t>(u'0' + n++));
        fault();
        ASSERT_EQ(SetDword(watched_, key, name, 1), STATUS_SUCCESS);
        sim::ClearInjectedFailures();
    }
    auto events = Events(2);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].op, RegOpValueModified);
    EXPECT_EQ(events[1].op, RegOpValueModified);
    // Without a fault the same first set is a creation.
    ClearMessages();
    ASSERT_EQ(SetDword(watched_, key, u"New9", 1), STATUS_SUCCESS);
    events = Events(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].op, RegOpValueCreated);
}

TEST_F(RegMonTest, AKeyCreatedUnderAnEmptyNameIsNamedByItsRootKey) {
    Start();
    sim::ob::HandleEntry entry;
    ASSERT_EQ(sim::ob::LookupHandle(watched_, software_, sim::ob::ObjectType::Key, &entry), STATUS_SUCCESS);
    UNICODE_STRING empty{0, 0, nullptr};
    ULONG disposition = REG_CREATED_NEW_KEY;
    REG_CREATE_KEY_INFORMATION create{};
    create.CompleteName = &empty;
    create.RootObject = entry.object;
    create.Disposition = &disposition;
    REG_POST_OPERATION_INFORMATION post{};
    post.PreInformation = &create;
    post.Status = STATUS_SUCCESS;
    EXPECT_EQ(Notify(RegNtPostCreateKeyEx, &post), STATUS_SUCCESS);
    auto events = Events(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].op, RegOpKeyCreated);
    EXPECT_EQ(events[0].keyPath, kSoftware);
}

// Notifications of a class that is never reported (reads, opens, closes; the
// set-value test's own query and close among them) are told apart by their
// class before the gate: a watched program's reads take no lock at all.
TEST_F(RegMonTest, UnreportedClassesCostNoLock) {
    Start();
    HANDLE key = Create(watched_, software_, u"Reads");
    ASSERT_EQ(SetDword(watched_, key, u"V", 1), STATUS_SUCCESS);
    ClearAfter(2);
    const uint64_t exclusive = sim::sync::ExclusiveAcquireCount();
    const uint64_t shared = sim::sync::SharedAcquireCount();
    uint8_t buffer[32];
    ULONG needed = 0;
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(sim::user::QueryValueKey(watched_, key, u"V", KeyValuePartialInformation, buffer, sizeof(buffer), &needed),
                  STATUS_SUCCESS);
    }
    alignas(8) uint8_t record[256] = {};
    EXPECT_EQ(Notify(RegNtPreKeyHandleClose, record), STATUS_SUCCESS);
    EXPECT_EQ(sim::sync::ExclusiveAcquireCount(), exclusive);
    EXPECT_EQ(sim::sync::SharedAcquireCount(), shared);
    // A set still passes the gate: its own value test re-enters the callback
    // twice (query and close), and only the set itself asks the watched set,
    // under its lock shared; nothing is taken exclusively.
    ASSERT_EQ(SetDword(watched_, key, u"V", 2), STATUS_SUCCESS);
    ASSERT_TRUE(WaitForMessages(1));
    EXPECT_EQ(sim::sync::ExclusiveAcquireCount(), exclusive);
    EXPECT_EQ(sim::sync::SharedAcquireCount(), shared + 1);
    EXPECT_EQ(Decode(Messages().at(0).body).op, RegOpValueModified);
}

}  // namespace
