// The file monitor's failure paths, each stated by its outcome: what the
// program's request ends with, what the client is sent, whether the handle is
// followed and what the tracked set holds. One table per callback where the
// cases share a workload.
#include "tests/support/filemon_fixture.h"

#include "driver/driver_data.h"
#include "driver/tags.h"
#include "filemon/filemon.h"
#include "sim/flt/io.h"
#include "sim/fs/fs.h"
#include "sim/ob/ob.h"
#include "sim/ex/pool.h"
#include "sim/ps/ps.h"
#include "sim/user/file.h"

#include <functional>

namespace {

using vtest::FileMonTest;

// Fails the second event-message block allocated from now on: the reply
// cell of the first message (the message itself is allocated first). The
// hook sees every allocation and arms itself again until then.
void FailTheReplyCell(int seen = 0) {
    sim::OnNextCall("ExAllocatePoolWithTag", [seen] {
        const int now = seen + (sim::pool::TagBeingAllocated() == TagMessage ? 1 : 0);
        if (now == 2) {
            sim::InjectFailure("ExAllocatePoolWithTag", STATUS_INSUFFICIENT_RESOURCES);
        } else {
            FailTheReplyCell(now);
        }
    });
}

class FileMonOutcome : public FileMonTest {
protected:
    // Whether the file's id is in the tracked set, asked as the client.
    bool Tracked(std::u16string_view path) {
        HANDLE q = nullptr;
        ULONG64 id = 0;
        EXPECT_EQ(sim::user::CreateFile(Client(), path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        FILE_OPEN, FILE_NON_DIRECTORY_FILE, &q),
                  STATUS_SUCCESS);
        sim::user::QueryFileId(Client(), q, &id);
        sim::user::CloseHandle(Client(), q);
        return IdListHasFileId(&DriverData.FileIdList, id) != FALSE;
    }

    static void ClearAllFaults() {
        sim::ClearInjectedFailures();
        sim::pool::ClearFaults();
        sim::fs::ClearFaults();
    }
};

// ---------------------------------------------------------------------------
// The create path. The watched program creates a file for writing, writes it
// and closes it; each case fails one step of the create. A failure before the
// verdict leaves the open as an unwatched program's would be: allowed,
// nothing sent, not followed. A failure after it leaves the open allowed and
// at worst unfollowed.

TEST_F(FileMonOutcome, CreateFailuresTable) {
    struct Case {
        const char* what;
        int32_t writeAccessVerdict;
        std::function<void(const std::u16string& path)> fault;
        std::vector<int32_t> events;  // the create, the write and the close
        bool followed;
        bool tracked;
        bool createdIdZero = false;   // the created event carries id 0
    };
    const std::vector<int32_t> all = {FileOpWriteAccess, FileOpCreated, FileOpWrite, FileOpCloseModified};
    const Case cases[] = {
        {"no fault", 0, [](const std::u16string&) {}, all, true, true},
        {"name query", 0, [](const std::u16string&) { sim::InjectFailure("FltGetFileNameInformation", STATUS_INSUFFICIENT_RESOURCES, 2); },
         {}, false, false},
        {"name query, the client would deny", VerdictDeny,
         [](const std::u16string&) { sim::InjectFailure("FltGetFileNameInformation", STATUS_INSUFFICIENT_RESOURCES, 2); }, {}, false,
         false},
        {"message build", 0, [](const std::u16string&) { sim::pool::FailTag(TagMessage); }, {}, false, false},
        {"message build, the client would deny", VerdictDeny, [](const std::u16string&) { sim::pool::FailTag(TagMessage); }, {},
         false, false},
        // The message is had, its reply cell is not: the message goes back
        // and nothing is sent.
        {"reply cell", VerdictDeny, [](const std::u16string&) { FailTheReplyCell(); }, {}, false, false},
        {"completion cell", 0, [](const std::u16string&) { sim::pool::FailTag(TagCreateCompletion); }, {FileOpWriteAccess}, false,
         false},
        {"file id query", 0,
         [](const std::u16string& path) {
             sim::fs::InjectFault({.op = sim::fs::FaultOp::QueryInformation, .path = path, .nth = 1, .count = 1,
                                   .status = STATUS_INVALID_DEVICE_REQUEST});
         },
         all, true, false, true},
        {"record allocation", 0, [](const std::u16string&) { sim::InjectFailure("FltAllocateContext", STATUS_INSUFFICIENT_RESOURCES); },
         {FileOpWriteAccess}, false, false},
        {"record attach", 0, [](const std::u16string&) { sim::InjectFailure("FltSetStreamHandleContext", STATUS_FLT_DELETING_OBJECT); },
         {FileOpWriteAccess}, false, false},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::u16string path = u"C:\\c" + sim::fs::FromHost(std::to_string(n++)) + u".txt";
        ClearEvents();
        Answer(FileOpWriteAccess, c.writeAccessVerdict);
        c.fault(path);
        HANDLE handle = nullptr;
        EXPECT_EQ(Open(path, FILE_GENERIC_READ | FILE_GENERIC_WRITE, FILE_CREATE, &handle), STATUS_SUCCESS);
        ClearAllFaults();
        EXPECT_EQ(sim::flt::LiveContextCount(), c.followed ? 1u : 0u);
        EXPECT_EQ(Write(handle, "x"), STATUS_SUCCESS);
        EXPECT_EQ(Close(handle), STATUS_SUCCESS);
        const std::vector<vtest::FileEventSeen> events = Events(c.events.size());
        std::vector<int32_t> operations;
        for (const auto& e : events) {
            operations.push_back(e.operation);
            if (e.operation == FileOpCreated) {
                EXPECT_EQ(e.fileId == 0, c.createdIdZero);
            }
        }
        EXPECT_EQ(operations, c.events);
        EXPECT_EQ(Tracked(path), c.tracked);
        EXPECT_FALSE(IdListHasFileId(&DriverData.FileIdList, 0)) << "id 0 never enters the tracked set";
        EXPECT_EQ(sim::flt::LiveContextCount(), 0u);
        EXPECT_EQ(sim::flt::LiveFileNameCount(), 0u);
    }
}

// A create that succeeds with a success status other than STATUS_SUCCESS (an
// oplock break under way) is not followed: no created event, no close report.
TEST_F(FileMonOutcome, CreateWithAnOplockBreakUnderWayIsNotFollowed) {
    sim::fs::InjectFault({.op = sim::fs::FaultOp::OplockBreak, .path = u"C:\\ob.txt"});
    HANDLE handle = nullptr;
    ULONG_PTR information = 0;
    EXPECT_EQ(Open(u"C:\\ob.txt", FILE_GENERIC_READ | FILE_GENERIC_WRITE, FILE_CREATE, &handle, FILE_COMPLETE_IF_OPLOCKED,
                   FILE_SHARE_READ, nullptr, &information),
              STATUS_OPLOCK_BREAK_IN_PROGRESS);
    EXPECT_EQ(information, static_cast<ULONG_PTR>(FILE_CREATED));
    EXPECT_EQ(sim::flt::LiveContextCount(), 0u);
    EXPECT_EQ(Write(handle, "x"), STATUS_SUCCESS);
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(Operations(1), std::vector<int32_t>{FileOpWriteAccess});
    EXPECT_FALSE(Tracked(u"C:\\ob.txt"));
}

// As loaded, pre-create asks for membership first: an unwatched program's
// opens make no name query at all.
TEST_F(FileMonOutcome, UnwatchedOpensMakeNoNameQueryAsShipped) {
    _EPROCESS* other = StartProcess();
    const uint64_t before = sim::CallCount("FltGetFileNameInformation");
    ASSERT_EQ(CreateWriteClose(u"C:\\theirs.txt", "theirs", other), STATUS_SUCCESS);
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"C:\\theirs.txt", FILE_GENERIC_WRITE | DELETE, FILE_OPEN, &handle, FILE_DELETE_ON_CLOSE, 0, other), STATUS_SUCCESS);
    ASSERT_EQ(Close(handle, other), STATUS_SUCCESS);
    EXPECT_EQ(sim::CallCount("FltGetFileNameInformation"), before);
    EXPECT_TRUE(Events().empty());
}

// Delete-on-close with nobody connected gets no verdict: the open goes on,
// unfollowed, and the file goes at the close.
TEST_F(FileMonOutcome, DeleteOnCloseWithNoClientIsNotFollowed) {
    WriteHost(HostC("doomed.txt"), "x");
    StopResponder();
    Disconnect();
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"C:\\doomed.txt", FILE_GENERIC_READ | DELETE, FILE_OPEN, &handle, FILE_DELETE_ON_CLOSE, FILE_SHARE_READ),
              STATUS_SUCCESS);
    EXPECT_EQ(sim::flt::LiveContextCount(), 0u);
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    EXPECT_FALSE(std::filesystem::exists(HostC("doomed.txt")));
}

// ---------------------------------------------------------------------------
// Writes and cleanup.

// A write that states a length but carries neither a buffer nor an MDL (only
// a component below the I/O manager can build one) marks and reports nothing;
// the pre-write is called directly with such a request, in the program's thread.
TEST_F(FileMonOutcome, AWriteWithoutDataMarksNothing) {
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"C:\\nodata.txt", FILE_GENERIC_WRITE, FILE_CREATE, &handle), STATUS_SUCCESS);
    sim::ob::HandleEntry entry;
    ASSERT_EQ(sim::ob::LookupHandle(app_, handle, sim::ob::ObjectType::File, &entry), STATUS_SUCCESS);
    auto* fileObject = static_cast<PFILE_OBJECT>(entry.object);
    PFLT_INSTANCE instance = sim::flt::InstanceOf(DriverData.Filter, sim::fs::BodyOf(fileObject)->volume);
    {
        sim::ThreadScope scope(app_, sim::InThread::Main);
        FLT_IO_PARAMETER_BLOCK iopb{};
        iopb.MajorFunction = IRP_MJ_WRITE;
        iopb.TargetFileObject = fileObject;
        iopb.TargetInstance = instance;
        iopb.Parameters.Write.Length = 5;
        FLT_CALLBACK_DATA data{};
        *const_cast<PETHREAD*>(&data.Thread) = sim::CurrentThread();
        *const_cast<PFLT_IO_PARAMETER_BLOCK*>(&data.Iopb) = &iopb;
        FLT_RELATED_OBJECTS objects{sizeof(FLT_RELATED_OBJECTS), 0, DriverData.Filter, nullptr, instance, fileObject, nullptr};
        PVOID context = reinterpret_cast<PVOID>(1);
        EXPECT_EQ(FilterPreWrite(&data, &objects, &context), FLT_PREOP_SUCCESS_NO_CALLBACK);
        EXPECT_EQ(context, nullptr);
        EXPECT_EQ(data.IoStatus.Status, STATUS_SUCCESS);
    }
    ASSERT_EQ(Close(handle), STATUS_SUCCESS);
    // Created but never written: the close is not reported.
    EXPECT_EQ(Operations(2), (std::vector<int32_t>{FileOpWriteAccess, FileOpCreated}));
}

// A raw write on a volume handle the driver does not follow (opened while no
// client answered) is not reported, even by a watched program.
TEST_F(FileMonOutcome, RawWriteOnAnUnfollowedHandleIsNotReported) {
    _EPROCESS* admin = StartProcess(vtest::kAppImage, nullptr, true);
    ASSERT_EQ(AddProcess(Pid(admin)), STATUS_SUCCESS);
    Answer(FileOpWriteAccess, VerdictNone);  // no answer: not followed
    HANDLE volume = nullptr;
    ASSERT_EQ(sim::user::CreateFile(admin, u"\\\\.\\C:", FILE_GENERIC_READ | FILE_GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    FILE_OPEN, 0, &volume),
              STATUS_SUCCESS);
    EXPECT_EQ(sim::flt::LiveContextCount(), 0u);
    Answer(FileOpScsiWrite, VerdictDeny);
    SCSI_PASS_THROUGH_DIRECT scsi{};
    scsi.Length = sizeof(scsi);
    scsi.DataIn = SCSI_IOCTL_DATA_OUT;
    scsi.Cdb[0] = 0x2A;
    ULONG returned = 0;
    const size_t logBefore = sim::fs::PassThroughLog().size();
    EXPECT_EQ(sim::user::DeviceIoControl(admin, volume, IOCTL_SCSI_PASS_THROUGH_DIRECT, &scsi, sizeof(scsi), &scsi, sizeof(scsi), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(sim::fs::PassThroughLog().size(), logBefore + 1);
    EXPECT_EQ(Close(volume, admin), STATUS_SUCCESS);
    EXPECT_EQ(Operations(1), std::vector<int32_t>{FileOpWriteAccess});
}

// The backup verdict after the client cleared the folder: no copy, nothing
// opened for it, the close goes on.
TEST_F(FileMonOutcome, BackupVerdictWithTheFolderClearedMakesNoCopy) {
    ASSERT_EQ(SetBackupDir(vtest::kBackupOnC), STATUS_SUCCESS);
    std::filesystem::create_directories(HostC("backup"));
    ASSERT_EQ(SetBackupDir(u""), STATUS_SUCCESS);
    Answer(FileOpCloseModified, VerdictBackup);
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"C:\\kept.txt", FILE_GENERIC_WRITE, FILE_CREATE, &handle), STATUS_SUCCESS);
    ASSERT_EQ(Write(handle, "data"), STATUS_SUCCESS);
    const uint64_t creates = sim::CallCount("FltCreateFile");
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(sim::CallCount("FltCreateFile"), creates);
    EXPECT_TRUE(std::filesystem::is_empty(HostC("backup")));
    EXPECT_EQ(ReadHost(HostC("kept.txt")), "data");
    EXPECT_EQ(Operations(4).back(), FileOpCloseModified);
}

// No driver lock is held while the client decides, nor while the copy runs:
// the client looks at Lock while it answers each event, and the file system
// while the copy reads the source.
TEST_F(FileMonOutcome, LockIsFreeDuringEverySendAndTheCopy) {
    ASSERT_EQ(SetBackupDir(vtest::kBackupOnC), STATUS_SUCCESS);
    std::filesystem::create_directories(HostC("backup"));
    std::atomic<int> heldAtSend{0};
    std::atomic<int> sends{0};
    StopResponder();
    StartResponder([&](const std::vector<uint8_t>& body) {
        FileEvent event;
        std::memcpy(&event, body.data(), sizeof(event));
        ++sends;
        if (DriverData.Lock.Owner != nullptr) {
            ++heldAtSend;
        }
        return event.Operation == FileOpCloseModified ? int32_t{VerdictBackup} : int32_t{0};
    });
    std::atomic<int> heldAtCopy{-1};
    sim::fs::Fault read;
    read.op = sim::fs::FaultOp::Read;
    read.path = u"C:\\locked.txt";
    read.status = STATUS_SUCCESS;
    read.action = [&] { heldAtCopy = DriverData.Lock.Owner != nullptr ? 1 : 0; };
    sim::fs::InjectFault(read);
    ASSERT_EQ(CreateWriteClose(u"C:\\locked.txt", "data"), STATUS_SUCCESS);
    EXPECT_EQ(ReadHost(HostC("backup/locked.txt")), "data");
    EXPECT_EQ(sends.load(), 4);
    EXPECT_EQ(heldAtSend.load(), 0);
    EXPECT_EQ(heldAtCopy.load(), 0);
}

// ---------------------------------------------------------------------------
// A denied open completes with nothing in its Information, whatever a filter
// above left there: a filter of the test's own sits above the driver and
// leaves a value in every create.

FLT_PREOP_CALLBACK_STATUS FLTAPI StainInformation(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID* context) {
    *context = nullptr;
    data->IoStatus.Information = 0x5A5A;
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

const FLT_OPERATION_REGISTRATION kStainOperations[] = {
    {IRP_MJ_CREATE, 0, StainInformation, nullptr, nullptr},
    {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr},
};

class DeniedOpenTest : public vtest::DriverTest {
protected:
    DeniedOpenTest() { loadAtSetUp_ = false; }

    void SetUp() override {
        DriverTest::SetUp();
        char pattern[] = "/tmp/vetrona-denied-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        sim::fs::MountVolume(root_ + "/C", u'C');
        // Attached first, so above the driver.
        registration_.Size = sizeof(FLT_REGISTRATION);
        registration_.Version = FLT_REGISTRATION_VERSION_0200;
        registration_.OperationRegistration = kStainOperations;
        registration_.FilterUnloadCallback = [](FLT_FILTER_UNLOAD_FLAGS) NTAPI -> NTSTATUS { return STATUS_SUCCESS; };
        ASSERT_EQ(FltRegisterFilter(&testDriver_, &registration_, &filter_), STATUS_SUCCESS);
        ASSERT_EQ(FltStartFiltering(filter_), STATUS_SUCCESS);
        ASSERT_EQ(Load(), STATUS_SUCCESS);
    }

    void TearDown() override {
        DriverTest::TearDown();
        if (filter_ != nullptr) {
            FltUnregisterFilter(filter_);
        }
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }

    std::string root_;
    DRIVER_OBJECT testDriver_{};
    FLT_REGISTRATION registration_{};
    PFLT_FILTER filter_ = nullptr;
};

TEST_F(DeniedOpenTest, CompletesWithInformationZero) {
    _EPROCESS* app = StartWatched();
    StartResponder([](const std::vector<uint8_t>&) { return int32_t{VerdictDeny}; });
    SetFileMon(true);
    HANDLE handle = nullptr;
    ULONG_PTR information = 1;
    EXPECT_EQ(sim::user::CreateFile(app, u"C:\\no.txt", FILE_GENERIC_WRITE, 0, FILE_CREATE, FILE_NON_DIRECTORY_FILE, &handle,
                                    &information),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(information, 0u);
    EXPECT_FALSE(std::filesystem::exists(root_ + "/C/no.txt"));
}

}  // namespace
