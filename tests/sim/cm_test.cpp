// The simulated configuration manager: keys and values, the size protocol of
// value queries, notifications around each operation and what their results
// do, callback registration and removal, the key-object-id routines.
#include "tests/support/fixture.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "sim/cm/cm.h"
#include "sim/ob/ob.h"
#include "sim/rtl/settings.h"
#include "sim/user/process.h"
#include "sim/user/registry.h"

namespace {

constexpr char16_t kSoftware[] = u"\\REGISTRY\\MACHINE\\SOFTWARE";

// One notification as a callback saw it.
struct Seen {
    REG_NOTIFY_CLASS notifyClass;
    PVOID object = nullptr;
    std::u16string name;       // value name, new name or CompleteName
    ULONG disposition = 0;     // post-create: what Disposition points at
    NTSTATUS status = 0;       // post: Status
    PVOID preInformation = nullptr;
    const void* data = nullptr;
    ULONG_PTR pid = 0;
};

std::u16string Text(PCUNICODE_STRING s) {
    return s == nullptr || s->Buffer == nullptr ? std::u16string() : std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

class CmTest : public vtest::SimTest {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        SimTest::SetUp();
        app_ = sim::user::StartProcess(nullptr, vtest::kAppImage);
        ASSERT_NE(app_, nullptr);
    }
    void TearDown() override {
        for (auto& cookie : cookies_) {
            CmUnRegisterCallback(cookie);
        }
        sim::user::EndProcess(app_);
        EXPECT_EQ(sim::cm::LiveKeyObjects(), 0u) << "a key object outlived its handles";
        SimTest::TearDown();
    }

    // Registers `function` at `altitude` (empty: the older registration).
    LARGE_INTEGER Register(PEX_CALLBACK_FUNCTION function, const char16_t* altitude, PVOID context = nullptr) {
        LARGE_INTEGER cookie{};
        NTSTATUS status;
        if (altitude == nullptr) {
            status = CmRegisterCallback(function, context, &cookie);
        } else {
            UNICODE_STRING text;
            RtlInitUnicodeString(&text, altitude);
            status = CmRegisterCallbackEx(function, &text, &driver_, context, &cookie, nullptr);
        }
        EXPECT_EQ(status, STATUS_SUCCESS);
        cookies_.push_back(cookie);
        return cookie;
    }
    void Unregister(LARGE_INTEGER cookie) {
        ASSERT_EQ(CmUnRegisterCallback(cookie), STATUS_SUCCESS);
        cookies_.erase(std::find_if(cookies_.begin(), cookies_.end(),
                                    [&](const LARGE_INTEGER& c) { return c.QuadPart == cookie.QuadPart; }));
    }

    HANDLE Create(std::u16string_view name, ULONG* disposition = nullptr, HANDLE root = nullptr,
                  ACCESS_MASK access = KEY_ALL_ACCESS) {
        HANDLE key = nullptr;
        EXPECT_EQ(sim::user::CreateKey(app_, root, name, access, &key, disposition), STATUS_SUCCESS) << vsim(name);
        return key;
    }
    static std::string vsim(std::u16string_view s) { return std::string(s.begin(), s.end()); }
    void Close(HANDLE key) { EXPECT_EQ(sim::user::CloseHandle(app_, key), STATUS_SUCCESS); }

    // A callback that records what it sees and answers `answer_` to `answerClass_`.
    static NTSTATUS NTAPI Recorder(PVOID context, PVOID argument1, PVOID argument2) {
        auto* self = static_cast<CmTest*>(context);
        Seen seen;
        seen.notifyClass = static_cast<REG_NOTIFY_CLASS>(reinterpret_cast<ULONG_PTR>(argument1));
        seen.pid = sim::CurrentProcess()->pid;
        switch (seen.notifyClass) {
        case RegNtPreSetValueKey: {
            auto* info = static_cast<PREG_SET_VALUE_KEY_INFORMATION>(argument2);
            seen.object = info->Object;
            seen.name = Text(info->ValueName);
            seen.data = info->Data;
            break;
        }
        case RegNtPreCreateKeyEx:
        case RegNtPreOpenKeyEx: {
            auto* info = static_cast<PREG_CREATE_KEY_INFORMATION>(argument2);
            seen.object = info->RootObject;
            seen.name = Text(info->CompleteName);
            break;
        }
        case RegNtPostCreateKeyEx:
        case RegNtPostOpenKeyEx: {
            auto* post = static_cast<PREG_POST_OPERATION_INFORMATION>(argument2);
            auto* pre = static_cast<PREG_CREATE_KEY_INFORMATION>(post->PreInformation);
            seen.object = post->Object;
            seen.status = post->Status;
            seen.preInformation = post->PreInformation;
            seen.name = Text(pre->CompleteName);
            seen.disposition = *pre->Disposition;
            break;
        }
        case RegNtPreRenameKey:
            seen.object = static_cast<PREG_RENAME_KEY_INFORMATION>(argument2)->Object;
            seen.name = Text(static_cast<PREG_RENAME_KEY_INFORMATION>(argument2)->NewName);
            break;
        case RegNtPreDeleteValueKey:
            seen.object = static_cast<PREG_DELETE_VALUE_KEY_INFORMATION>(argument2)->Object;
            seen.name = Text(static_cast<PREG_DELETE_VALUE_KEY_INFORMATION>(argument2)->ValueName);
            break;
        case RegNtPreDeleteKey:
        case RegNtPreKeyHandleClose:
            seen.object = static_cast<PREG_DELETE_KEY_INFORMATION>(argument2)->Object;
            break;
        default:
            if (seen.notifyClass >= RegNtPostDeleteKey && seen.notifyClass <= RegNtPostKeyHandleClose) {
                auto* post = static_cast<PREG_POST_OPERATION_INFORMATION>(argument2);
                seen.object = post->Object;
                seen.status = post->Status;
                seen.preInformation = post->PreInformation;
            }
            break;
        }
        std::lock_guard<std::mutex> guard(self->lock_);
        self->seen_.push_back(seen);
        if (seen.notifyClass == self->answerClass_) {
            if (self->answer_ == STATUS_CALLBACK_BYPASS && seen.notifyClass >= RegNtPostDeleteKey) {
                static_cast<PREG_POST_OPERATION_INFORMATION>(argument2)->ReturnStatus = self->bypassStatus_;
            }
            return self->answer_;
        }
        return STATUS_SUCCESS;
    }

    std::vector<REG_NOTIFY_CLASS> Classes() {
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<REG_NOTIFY_CLASS> classes;
        for (const auto& s : seen_) {
            classes.push_back(s.notifyClass);
        }
        return classes;
    }
    void Clear() {
        std::lock_guard<std::mutex> guard(lock_);
        seen_.clear();
    }

    DRIVER_OBJECT driver_{};
    _EPROCESS* app_ = nullptr;
    std::vector<LARGE_INTEGER> cookies_;
    std::mutex lock_;
    std::vector<Seen> seen_;
    REG_NOTIFY_CLASS answerClass_ = MaxRegNtNotifyClass;
    NTSTATUS answer_ = STATUS_SUCCESS;
    NTSTATUS bypassStatus_ = STATUS_SUCCESS;
};

TEST_F(CmTest, KeysOpenCaseInsensitivelyAndCreateOneLevelAtATime) {
    ULONG disposition = 0;
    HANDLE vendor = Create(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor", &disposition);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
    HANDLE again = Create(u"\\registry\\machine\\software\\VENDOR", &disposition);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_OPENED_EXISTING_KEY));
    EXPECT_TRUE(sim::cm::KeyExists(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor"));

    // Relative to an open key; the created name keeps its case.
    HANDLE app = Create(u"App", &disposition, vendor);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
    HANDLE key = nullptr;
    EXPECT_EQ(sim::user::OpenKey(app_, nullptr, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor\\APP", KEY_READ, &key), STATUS_SUCCESS);
    Close(key);

    // The intermediate key must exist; opening never creates.
    EXPECT_EQ(sim::user::CreateKey(app_, vendor, u"Missing\\Leaf", KEY_ALL_ACCESS, &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(sim::user::OpenKey(app_, vendor, u"Nope", KEY_READ, &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(sim::user::OpenKey(app_, nullptr, u"SOFTWARE", KEY_READ, &key), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(sim::user::CreateKey(app_, vendor, u"a\\\\b", KEY_ALL_ACCESS, &key), STATUS_OBJECT_NAME_INVALID);
    EXPECT_FALSE(sim::cm::KeyExists(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor\\Missing"));
    for (HANDLE h : {app, again, vendor}) {
        Close(h);
    }
}

TEST_F(CmTest, ValuesFollowTheQuerySizeProtocol) {
    HANDLE key = Create(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Values");
    const uint32_t dword = 0x11223344;
    ASSERT_EQ(sim::user::SetValueKey(app_, key, u"Count", REG_DWORD, &dword, 4), STATUS_SUCCESS);
    const char16_t text[] = u"default";
    ASSERT_EQ(sim::user::SetValueKey(app_, key, u"", REG_SZ, text, sizeof(text)), STATUS_SUCCESS);

    ULONG needed = 0;
    uint8_t buffer[64] = {};
    // Length 0: too small, nothing written, the full size reported.
    EXPECT_EQ(sim::user::QueryValueKey(app_, key, u"count", KeyValuePartialInformation, buffer, 0, &needed),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, 12u + 4u);
    // The header but not all the data: overflow, header and part of the data written.
    EXPECT_EQ(sim::user::QueryValueKey(app_, key, u"COUNT", KeyValuePartialInformation, buffer, 14, &needed),
              STATUS_BUFFER_OVERFLOW);
    auto* partial = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    EXPECT_EQ(partial->Type, static_cast<ULONG>(REG_DWORD));
    EXPECT_EQ(partial->DataLength, 4u);
    EXPECT_EQ(needed, 16u);
    EXPECT_EQ(sim::user::QueryValueKey(app_, key, u"Count", KeyValuePartialInformation, buffer, sizeof(buffer), &needed),
              STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(partial->Data, &dword, 4), 0);
    // The basic class carries the name as created.
    EXPECT_EQ(sim::user::QueryValueKey(app_, key, u"COUNT", KeyValueBasicInformation, buffer, sizeof(buffer), &needed),
              STATUS_SUCCESS);
    auto* basic = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(basic->Name), basic->NameLength / 2), u"Count");
    // A missing value answers not-found whatever the length.
    EXPECT_EQ(sim::user::QueryValueKey(app_, key, u"Other", KeyValuePartialInformation, buffer, 0, &needed),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(sim::user::QueryValueKey(app_, key, u"Other", KeyValuePartialInformation, buffer, sizeof(buffer), &needed),
              STATUS_OBJECT_NAME_NOT_FOUND);
    // The default value lives under the empty name.
    ULONG type = 0;
    std::vector<uint8_t> data;
    ASSERT_TRUE(sim::cm::QueryValue(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Values", u"", &type, &data));
    EXPECT_EQ(type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(data.size(), sizeof(text));

    EXPECT_EQ(sim::user::DeleteValueKey(app_, key, u"count"), STATUS_SUCCESS);
    EXPECT_EQ(sim::user::DeleteValueKey(app_, key, u"count"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(sim::cm::ValueNames(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Values"), std::vector<std::u16string>{u""});

    // A handle without the right gets access denied from a user-mode caller.
    HANDLE readOnly = nullptr;
    ASSERT_EQ(sim::user::OpenKey(app_, key, u"", KEY_QUERY_VALUE, &readOnly), STATUS_SUCCESS);
    EXPECT_EQ(sim::user::SetValueKey(app_, readOnly, u"x", REG_DWORD, &dword, 4), STATUS_ACCESS_DENIED);
    EXPECT_EQ(sim::user::DeleteKey(app_, readOnly), STATUS_ACCESS_DENIED);
    Close(readOnly);
    Close(key);
}

TEST_F(CmTest, DeleteAndRenameKeepTheTreeConsistent) {
    HANDLE parent = Create(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Parent");
    HANDLE child = Create(u"Child", nullptr, parent);
    HANDLE sibling = Create(u"Sibling", nullptr, parent);
    EXPECT_EQ(sim::user::DeleteKey(app_, parent), STATUS_CANNOT_DELETE);
    EXPECT_EQ(sim::user::RenameKey(app_, child, u"SIBLING"), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(sim::user::RenameKey(app_, child, u"a\\b"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sim::user::RenameKey(app_, child, u"Renamed"), STATUS_SUCCESS);
    EXPECT_TRUE(sim::cm::KeyExists(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Parent\\renamed"));
    EXPECT_FALSE(sim::cm::KeyExists(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Parent\\Child"));

    EXPECT_EQ(sim::user::DeleteKey(app_, child), STATUS_SUCCESS);
    EXPECT_FALSE(sim::cm::KeyExists(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Parent\\Renamed"));
    const uint32_t one = 1;
    EXPECT_EQ(sim::user::SetValueKey(app_, child, u"v", REG_DWORD, &one, 4), STATUS_KEY_DELETED);
    EXPECT_EQ(sim::user::DeleteKey(app_, child), STATUS_KEY_DELETED);

    HANDLE machine = nullptr;
    ASSERT_EQ(sim::user::OpenKey(app_, nullptr, u"\\REGISTRY\\MACHINE", KEY_ALL_ACCESS, &machine), STATUS_SUCCESS);
    EXPECT_EQ(sim::user::DeleteKey(app_, machine), STATUS_ACCESS_DENIED);
    EXPECT_EQ(sim::user::RenameKey(app_, machine, u"M"), STATUS_ACCESS_DENIED);
    for (HANDLE h : {machine, sibling, child, parent}) {
        Close(h);
    }
}

TEST_F(CmTest, EachOperationIsNotifiedBeforeAndAfterInItsThread) {
    Register(Recorder, u"380010", this);
    ULONG disposition = 0;
    HANDLE software = nullptr;
    ASSERT_EQ(sim::user::OpenKey(app_, nullptr, kSoftware, KEY_ALL_ACCESS, &software), STATUS_SUCCESS);
    Clear();
    HANDLE key = Create(u"Vendor", &disposition, software);
    {
        std::lock_guard<std::mutex> guard(lock_);
        ASSERT_EQ(seen_.size(), 2u);
        EXPECT_EQ(seen_[0].notifyClass, RegNtPreCreateKeyEx);
        EXPECT_EQ(seen_[0].name, u"Vendor") << "CompleteName is the caller's relative name";
        EXPECT_EQ(sim::cm::KeyObjectPath(seen_[0].object), kSoftware) << "RootObject is the root handle's key";
        EXPECT_EQ(seen_[1].notifyClass, RegNtPostCreateKeyEx);
        EXPECT_EQ(seen_[1].disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
        EXPECT_EQ(seen_[1].status, STATUS_SUCCESS);
        EXPECT_EQ(sim::cm::KeyObjectPath(seen_[1].object), u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor");
        EXPECT_EQ(seen_[1].pid, app_->pid);
    }
    Clear();
    Close(Create(u"Vendor", &disposition, software));
    {
        std::lock_guard<std::mutex> guard(lock_);
        EXPECT_EQ(seen_[1].disposition, static_cast<ULONG>(REG_OPENED_EXISTING_KEY));
    }

    Clear();
    const uint32_t one = 1;
    uint8_t buffer[32];
    ULONG needed = 0;
    ASSERT_EQ(sim::user::SetValueKey(app_, key, u"V", REG_DWORD, &one, 4), STATUS_SUCCESS);
    ASSERT_EQ(sim::user::QueryValueKey(app_, key, u"V", KeyValuePartialInformation, buffer, sizeof(buffer), &needed),
              STATUS_SUCCESS);
    ASSERT_EQ(sim::user::DeleteValueKey(app_, key, u"V"), STATUS_SUCCESS);
    ASSERT_EQ(sim::user::RenameKey(app_, key, u"Vendor2"), STATUS_SUCCESS);
    ASSERT_EQ(sim::user::DeleteKey(app_, key), STATUS_SUCCESS);
    Close(key);
    Close(software);
    EXPECT_EQ(Classes(), (std::vector<REG_NOTIFY_CLASS>{
                             RegNtPreSetValueKey, RegNtPostSetValueKey, RegNtPreQueryValueKey, RegNtPostQueryValueKey,
                             RegNtPreDeleteValueKey, RegNtPostDeleteValueKey, RegNtPreRenameKey, RegNtPostRenameKey,
                             RegNtPreDeleteKey, RegNtPostDeleteKey, RegNtPreKeyHandleClose, RegNtPostKeyHandleClose,
                             RegNtPreKeyHandleClose, RegNtPostKeyHandleClose}));

    // A failed open is still post-notified, with no object.
    Clear();
    HANDLE none = nullptr;
    EXPECT_EQ(sim::user::OpenKey(app_, nullptr, u"\\REGISTRY\\MACHINE\\Nope", KEY_READ, &none), STATUS_OBJECT_NAME_NOT_FOUND);
    std::lock_guard<std::mutex> guard(lock_);
    ASSERT_EQ(seen_.size(), 2u);
    EXPECT_EQ(seen_[1].notifyClass, RegNtPostOpenKeyEx);
    EXPECT_EQ(seen_[1].status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(seen_[1].object, nullptr);
    EXPECT_EQ(sim::cm::KeyObjectPath(seen_[0].object), u"\\REGISTRY") << "an absolute name is parsed from \\REGISTRY";
}

TEST_F(CmTest, PreResultsBlockOrBypassAndPostResultsFollowTheSetting) {
    Register(Recorder, u"380010", this);
    HANDLE key = Create(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Results");
    const uint32_t one = 1;

    // A refusal: the caller gets that status, nothing changes, no post to anyone.
    answerClass_ = RegNtPreSetValueKey;
    answer_ = STATUS_ACCESS_DENIED;
    Clear();
    EXPECT_EQ(sim::user::SetValueKey(app_, key, u"V", REG_DWORD, &one, 4), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Classes(), std::vector<REG_NOTIFY_CLASS>{RegNtPreSetValueKey});
    EXPECT_FALSE(sim::cm::QueryValue(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Results", u"V", nullptr, nullptr));

    // Bypass: success for the caller, the operation skipped, no post.
    answer_ = STATUS_CALLBACK_BYPASS;
    Clear();
    EXPECT_EQ(sim::user::SetValueKey(app_, key, u"V", REG_DWORD, &one, 4), STATUS_SUCCESS);
    EXPECT_EQ(Classes(), std::vector<REG_NOTIFY_CLASS>{RegNtPreSetValueKey});
    EXPECT_FALSE(sim::cm::QueryValue(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Results", u"V", nullptr, nullptr));

    // An error from a post-notification is ignored by default: the key is
    // created and the caller gets success and a handle.
    answerClass_ = RegNtPostCreateKeyEx;
    answer_ = STATUS_ACCESS_DENIED;
    HANDLE created = nullptr;
    ULONG disposition = 0;
    EXPECT_EQ(sim::user::CreateKey(app_, key, u"Kept", KEY_ALL_ACCESS, &created, &disposition), STATUS_SUCCESS);
    EXPECT_NE(created, nullptr);
    Close(created);
    // With the other setting the error reaches the caller; the key stays all the same.
    sim::cm::SetPostErrorsChangeResult(true);
    created = nullptr;
    EXPECT_EQ(sim::user::CreateKey(app_, key, u"Kept2", KEY_ALL_ACCESS, &created, &disposition), STATUS_ACCESS_DENIED);
    EXPECT_EQ(created, nullptr);
    EXPECT_TRUE(sim::cm::KeyExists(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Results\\Kept2"));
    sim::cm::SetPostErrorsChangeResult(false);

    // Bypass from a post-notification: ReturnStatus becomes the result.
    answerClass_ = RegNtPostSetValueKey;
    answer_ = STATUS_CALLBACK_BYPASS;
    bypassStatus_ = STATUS_NO_MEMORY;
    EXPECT_EQ(sim::user::SetValueKey(app_, key, u"W", REG_DWORD, &one, 4), STATUS_NO_MEMORY);
    EXPECT_TRUE(sim::cm::QueryValue(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Results", u"W", nullptr, nullptr));
    answerClass_ = MaxRegNtNotifyClass;
    Close(key);
}

// Callbacks that note their order.
std::vector<int>* gOrder = nullptr;
NTSTATUS NTAPI First(PVOID, PVOID a1, PVOID) {
    if (reinterpret_cast<ULONG_PTR>(a1) == RegNtPreSetValueKey) gOrder->push_back(1);
    return STATUS_SUCCESS;
}
NTSTATUS NTAPI Second(PVOID, PVOID a1, PVOID) {
    if (reinterpret_cast<ULONG_PTR>(a1) == RegNtPreSetValueKey) gOrder->push_back(2);
    return STATUS_SUCCESS;
}
NTSTATUS NTAPI Refuser(PVOID, PVOID a1, PVOID) {
    if (reinterpret_cast<ULONG_PTR>(a1) == RegNtPreSetValueKey) {
        gOrder->push_back(3);
        return STATUS_ACCESS_DENIED;
    }
    return STATUS_SUCCESS;
}

TEST_F(CmTest, AltitudesOrderTheCallbacksAndCollide) {
    std::vector<int> order;
    gOrder = &order;
    Register(Second, u"380010");
    Register(First, u"400000");
    LARGE_INTEGER cookie{};
    UNICODE_STRING altitude;
    RtlInitUnicodeString(&altitude, u"380010");
    EXPECT_EQ(CmRegisterCallbackEx(First, &altitude, &driver_, nullptr, &cookie, nullptr),
              STATUS_FLT_INSTANCE_ALTITUDE_COLLISION);
    RtlInitUnicodeString(&altitude, u"38x");
    EXPECT_EQ(CmRegisterCallbackEx(First, &altitude, &driver_, nullptr, &cookie, nullptr), STATUS_INVALID_PARAMETER);
    LARGE_INTEGER refuser = Register(Refuser, nullptr);  // the older registration comes last

    HANDLE key = Create(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Order");
    const uint32_t one = 1;
    EXPECT_EQ(sim::user::SetValueKey(app_, key, u"V", REG_DWORD, &one, 4), STATUS_ACCESS_DENIED);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    Unregister(refuser);
    EXPECT_EQ(CmUnRegisterCallback(refuser), STATUS_INVALID_PARAMETER) << "a cookie removed already";
    order.clear();
    EXPECT_EQ(sim::user::SetValueKey(app_, key, u"V", REG_DWORD, &one, 4), STATUS_SUCCESS);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    Close(key);
}

// A callback that parks in the pre-set-value notification until released.
std::atomic<int> gParked{0};
std::atomic<bool> gRelease{false};
std::atomic<int> gCalls{0};
NTSTATUS NTAPI Parker(PVOID, PVOID a1, PVOID) {
    if (reinterpret_cast<ULONG_PTR>(a1) == RegNtPreSetValueKey) {
        ++gCalls;
        ++gParked;
        while (!gRelease) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    return STATUS_SUCCESS;
}

TEST_F(CmTest, RemovalWaitsForCallsInFlightAndNewCallsSkipTheCallback) {
    gParked = 0;
    gRelease = false;
    gCalls = 0;
    LARGE_INTEGER cookie = Register(Parker, u"380010");
    HANDLE key = Create(u"\\REGISTRY\\MACHINE\\SOFTWARE\\InFlight");
    const uint32_t one = 1;
    std::thread writer([&] { EXPECT_EQ(sim::user::SetValueKey(app_, key, u"V", REG_DWORD, &one, 4), STATUS_SUCCESS); });
    while (gParked == 0) {
        std::this_thread::yield();
    }
    std::atomic<bool> removed{false};
    std::thread remover([&] {
        EXPECT_EQ(CmUnRegisterCallback(cookie), STATUS_SUCCESS);
        removed = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (sim::cm::UnregistrationsWaiting() == 0 && !removed && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    EXPECT_EQ(sim::cm::UnregistrationsWaiting(), 1u);
    EXPECT_FALSE(removed) << "the removal returned while the callback was still running";
    // An operation that starts now no longer reaches the callback.
    EXPECT_EQ(sim::user::SetValueKey(app_, key, u"W", REG_DWORD, &one, 4), STATUS_SUCCESS);
    EXPECT_EQ(gCalls, 1);
    gRelease = true;
    remover.join();
    writer.join();
    EXPECT_TRUE(removed);
    cookies_.clear();
    Close(key);
}

NTSTATUS NTAPI RaisesIrql(PVOID, PVOID a1, PVOID) {
    if (reinterpret_cast<ULONG_PTR>(a1) == RegNtPreSetValueKey) {
        sim::RaiseIrql(APC_LEVEL);
    }
    return STATUS_SUCCESS;
}
FAST_MUTEX gMutex;
NTSTATUS NTAPI KeepsMutex(PVOID, PVOID a1, PVOID) {
    if (reinterpret_cast<ULONG_PTR>(a1) == RegNtPreSetValueKey) {
        ExAcquireFastMutex(&gMutex);
    }
    return STATUS_SUCCESS;
}
LARGE_INTEGER gSelfCookie;
NTSTATUS NTAPI RemovesItself(PVOID, PVOID a1, PVOID) {
    if (reinterpret_cast<ULONG_PTR>(a1) == RegNtPreSetValueKey) {
        CmUnRegisterCallback(gSelfCookie);
    }
    return STATUS_SUCCESS;
}

TEST_F(CmTest, CallbacksThatBreakTheRulesStopTheRun) {
    HANDLE key = Create(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Rules");
    const uint32_t one = 1;
    EXPECT_DEATH(
        {
            Register(RaisesIrql, u"380010");
            sim::user::SetValueKey(app_, key, u"V", REG_DWORD, &one, 4);
        },
        "IRQL_GT_ZERO_AT_SYSTEM_SERVICE");
    EXPECT_DEATH(
        {
            ExInitializeFastMutex(&gMutex);
            Register(KeepsMutex, u"380010");
            sim::user::SetValueKey(app_, key, u"V", REG_DWORD, &one, 4);
        },
        "APC_INDEX_MISMATCH");
    EXPECT_DEATH(
        {
            gSelfCookie = Register(RemovesItself, u"380010");
            sim::user::SetValueKey(app_, key, u"V", REG_DWORD, &one, 4);
        },
        "CmUnRegisterCallback called from the callback it removes");
    // The driver-side routines check the IRQL they are called at.
    EXPECT_DEATH(
        {
            sim::RaiseIrql(APC_LEVEL);
            HANDLE handle = nullptr;
            ObOpenObjectByPointer(sim::SystemProcess(), OBJ_KERNEL_HANDLE, nullptr, 0, nullptr, KernelMode, &handle);
        },
        "ObOpenObjectByPointer called at IRQL 1");
    EXPECT_DEATH(
        {
            sim::RaiseIrql(APC_LEVEL);
            UNICODE_STRING name{};
            ULONG needed = 0;
            ZwQueryValueKey(key, &name, KeyValueBasicInformation, nullptr, 0, &needed);
        },
        "ZwQueryValueKey called at IRQL 1");
    EXPECT_DEATH(CmCallbackReleaseKeyObjectIDEx(nullptr), "BAD_POOL_CALLER");
    Close(key);
}

// A callback that uses the key-object-id routines on what it is given.
struct Lookup {
    LARGE_INTEGER cookie{};
    std::u16string exName;
    std::u16string legacyName;
    PCUNICODE_STRING legacyPointer = nullptr;
    ULONG_PTR id = 0;
    NTSTATUS badFlags = 0;
    NTSTATUS badCookie = 0;
    NTSTATUS badObject = 0;
};
Lookup* gLookup = nullptr;
NTSTATUS NTAPI Looker(PVOID, PVOID a1, PVOID a2) {
    if (reinterpret_cast<ULONG_PTR>(a1) != RegNtPreSetValueKey) {
        return STATUS_SUCCESS;
    }
    PVOID object = static_cast<PREG_SET_VALUE_KEY_INFORMATION>(a2)->Object;
    PCUNICODE_STRING name = nullptr;
    if (CmCallbackGetKeyObjectIDEx(&gLookup->cookie, object, &gLookup->id, &name, 0) == STATUS_SUCCESS) {
        gLookup->exName = Text(name);
        CmCallbackReleaseKeyObjectIDEx(name);
    }
    if (CmCallbackGetKeyObjectID(&gLookup->cookie, object, nullptr, &gLookup->legacyPointer) == STATUS_SUCCESS) {
        gLookup->legacyName = Text(gLookup->legacyPointer);
    }
    gLookup->badFlags = CmCallbackGetKeyObjectIDEx(&gLookup->cookie, object, nullptr, &name, 1);
    LARGE_INTEGER wrong{};
    wrong.QuadPart = 0x77;
    gLookup->badCookie = CmCallbackGetKeyObjectIDEx(&wrong, object, nullptr, &name, 0);
    gLookup->badObject = CmCallbackGetKeyObjectIDEx(&gLookup->cookie, &wrong, nullptr, &name, 0);
    return STATUS_SUCCESS;
}

TEST_F(CmTest, KeyObjectNamesFollowTheirOwnershipRules) {
    Lookup lookup;
    gLookup = &lookup;
    lookup.cookie = Register(Looker, u"380010");
    HANDLE key = Create(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Named");
    HANDLE second = Create(u"\\REGISTRY\\MACHINE\\SOFTWARE\\NAMED");
    const uint32_t one = 1;
    ASSERT_EQ(sim::user::SetValueKey(app_, key, u"V", REG_DWORD, &one, 4), STATUS_SUCCESS);
    EXPECT_EQ(lookup.exName, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Named");
    EXPECT_EQ(lookup.legacyName, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Named");
    EXPECT_EQ(lookup.badFlags, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(lookup.badCookie, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(lookup.badObject, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sim::cm::OutstandingKeyNames(), 0u);
    const ULONG_PTR firstId = lookup.id;

    // Another object of the same key: same id. After a rename the newer
    // routine gives the current name; the older one keeps the name it gave.
    ASSERT_EQ(sim::user::RenameKey(app_, key, u"Renamed"), STATUS_SUCCESS);
    ASSERT_EQ(sim::user::SetValueKey(app_, second, u"V", REG_DWORD, &one, 4), STATUS_SUCCESS);
    EXPECT_EQ(lookup.id, firstId);
    EXPECT_EQ(lookup.exName, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Renamed");
    EXPECT_EQ(lookup.legacyName, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Named");

    // Injected failures come back from each routine.
    sim::InjectFailure("CmCallbackGetKeyObjectIDEx", STATUS_INSUFFICIENT_RESOURCES);
    sim::InjectFailure("CmCallbackGetKeyObjectID", STATUS_INSUFFICIENT_RESOURCES);
    lookup.exName.clear();
    lookup.legacyName.clear();
    ASSERT_EQ(sim::user::SetValueKey(app_, second, u"V", REG_DWORD, &one, 4), STATUS_SUCCESS);
    EXPECT_EQ(lookup.exName, u"");
    EXPECT_EQ(lookup.legacyName, u"");
    Close(key);
    Close(second);
}

TEST_F(CmTest, NamesGivenOutAreCountedUntilGivenBackOnce) {
    LARGE_INTEGER cookie = Register(Recorder, u"380010", this);
    HANDLE key = Create(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Leak");
    Clear();
    const uint32_t one = 1;
    ASSERT_EQ(sim::user::SetValueKey(app_, key, u"V", REG_DWORD, &one, 4), STATUS_SUCCESS);
    PVOID object = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock_);
        object = seen_[0].object;
        // The object is alive while its handle is open.
        PCUNICODE_STRING name = nullptr;
        ASSERT_EQ(CmCallbackGetKeyObjectIDEx(&cookie, object, nullptr, &name, 0), STATUS_SUCCESS);
        EXPECT_EQ(sim::cm::OutstandingKeyNames(), 1u);
        CmCallbackReleaseKeyObjectIDEx(name);
        EXPECT_EQ(sim::cm::OutstandingKeyNames(), 0u);
        EXPECT_DEATH(CmCallbackReleaseKeyObjectIDEx(name), "BAD_POOL_CALLER");
    }
    Close(key);
}

TEST_F(CmTest, SetValueDataIsCapturedFromVersion62AndTheCallersBufferBefore) {
    Register(Recorder, u"380010", this);
    HANDLE key = Create(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Capture");
    const uint32_t value = 7;
    for (auto [major, minor, captured] : {std::tuple{10u, 0u, true}, std::tuple{6u, 2u, true}, std::tuple{6u, 1u, false}}) {
        sim::SetSystemVersion(major, minor, 7601);
        Clear();
        ASSERT_EQ(sim::user::SetValueKey(app_, key, u"V", REG_DWORD, &value, 4), STATUS_SUCCESS);
        std::lock_guard<std::mutex> guard(lock_);
        // Captured: a kernel copy, above the user range; before 6.2 the
        // caller's own buffer, at its user address.
        EXPECT_EQ(reinterpret_cast<uintptr_t>(seen_[0].data) >= MmUserProbeAddress, captured) << major << "." << minor;
        EXPECT_NE(seen_[0].data, nullptr);
    }

    // Before 6.2 a buffer that faults fails the set with an access violation
    // (the configuration manager reads it under a guard too).
    const long page = sysconf(_SC_PAGESIZE);
    void* bad = mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(bad, MAP_FAILED);
    EXPECT_EQ(sim::user::SetValueKey(app_, key, u"Bad", REG_BINARY, bad, 16), STATUS_ACCESS_VIOLATION);
    sim::SetSystemVersion(10, 0, 19045);
    EXPECT_EQ(sim::user::SetValueKey(app_, key, u"Bad", REG_BINARY, bad, 16), STATUS_ACCESS_VIOLATION);
    munmap(bad, page);
    EXPECT_FALSE(sim::cm::QueryValue(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Capture", u"Bad", nullptr, nullptr));
    Close(key);
}

TEST_F(CmTest, KernelHandlesOnKeyObjectsCloseThroughTheConfigurationManager) {
    LARGE_INTEGER cookie = Register(Recorder, u"380010", this);
    HANDLE key = Create(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Kernel");
    Clear();
    const uint32_t one = 1;
    ASSERT_EQ(sim::user::SetValueKey(app_, key, u"V", REG_DWORD, &one, 4), STATUS_SUCCESS);
    PVOID object;
    {
        std::lock_guard<std::mutex> guard(lock_);
        object = seen_[0].object;
    }
    sim::ThreadScope thread(app_);
    const size_t userHandles = sim::ob::HandleCount(app_);
    HANDLE handle = nullptr;
    ASSERT_EQ(ObOpenObjectByPointer(object, OBJ_KERNEL_HANDLE, nullptr, 0, nullptr, KernelMode, &handle), STATUS_SUCCESS);
    EXPECT_TRUE(sim::ob::IsKernelHandle(handle));
    EXPECT_EQ(sim::ob::HandleCount(app_), userHandles);
    // A kernel-mode query needs no granted access on the handle.
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"v");
    ULONG needed = 0;
    EXPECT_EQ(ZwQueryValueKey(handle, &name, KeyValueBasicInformation, nullptr, 0, &needed), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, 12u + 2u);
    Clear();
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    {
        std::lock_guard<std::mutex> guard(lock_);
        ASSERT_EQ(seen_.size(), 2u);
        EXPECT_EQ(seen_[0].notifyClass, RegNtPreKeyHandleClose);
        EXPECT_EQ(seen_[0].pid, app_->pid) << "closed in the closing thread";
    }
    sim::InjectFailure("ObOpenObjectByPointer", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(ObOpenObjectByPointer(object, OBJ_KERNEL_HANDLE, nullptr, 0, nullptr, KernelMode, &handle),
              STATUS_INSUFFICIENT_RESOURCES);
    sim::InjectFailure("ZwQueryValueKey", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueBasicInformation, nullptr, 0, &needed), STATUS_INSUFFICIENT_RESOURCES);
    (void)cookie;
    Close(key);
}

}  // namespace
