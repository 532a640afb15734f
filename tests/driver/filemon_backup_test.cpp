// The backup copy a client asks for at the close of a modified file: the name
// search, the data, the folder on either volume, and each failure on the way.
#include "tests/support/filemon_fixture.h"

#include "driver/counted_string.h"
#include "driver/driver_data.h"
#include "driver/tags.h"
#include "filemon/filemon.h"
#include "sim/flt/io.h"
#include "sim/fs/fs.h"
#include "sim/ob/ob.h"
#include "sim/ex/pool.h"
#include "sim/ps/ps.h"
#include "sim/user/file.h"
#include "tests/support/strings.h"

#include <functional>

namespace {

using vtest::FileMonTest;

std::string Pattern(size_t size) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        data[i] = static_cast<char>((i * 131 + i / 2048) & 0xFF);
    }
    return data;
}

class BackupTest : public FileMonTest {
protected:
    void SetUp() override {
        FileMonTest::SetUp();
        ASSERT_EQ(SetBackupDir(vtest::kBackupOnC), STATUS_SUCCESS);
        std::filesystem::create_directories(HostC("backup"));
        Answer(FileOpCloseModified, VerdictBackup);
    }
    size_t KernelHandles() { return sim::ob::HandleCount(nullptr, true); }
};

// ---------------------------------------------------------------------------
// The name search.

class NameSearch : public BackupTest, public testing::WithParamInterface<int> {};

TEST_P(NameSearch, FirstFreeNameOfTheTwentyOne) {
    const int taken = GetParam();
    for (int i = 0; i < taken; ++i) {
        WriteHost(HostC("backup/a.txt" + (i == 0 ? std::string() : "_" + std::to_string(i))), "old " + std::to_string(i));
    }
    ASSERT_EQ(CreateWriteClose(u"C:\\a.txt", "the new content"), STATUS_SUCCESS);
    for (int i = 0; i < taken; ++i) {
        EXPECT_EQ(ReadHost(HostC("backup/a.txt" + (i == 0 ? std::string() : "_" + std::to_string(i)))), "old " + std::to_string(i));
    }
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(HostC("backup"))) {
        (void)entry;
        ++files;
    }
    if (taken < 21) {
        const std::string expected = "backup/a.txt" + (taken == 0 ? std::string() : "_" + std::to_string(taken));
        EXPECT_EQ(ReadHost(HostC(expected)), "the new content");
        EXPECT_EQ(files, static_cast<size_t>(taken) + 1);
    } else {
        EXPECT_EQ(files, 21u);  // all taken: no copy
    }
}

INSTANTIATE_TEST_SUITE_P(Taken, NameSearch, testing::Values(0, 1, 2, 20, 21));

TEST_F(BackupTest, ACandidateHeldOpenIsTakenAndOneThatCannotBeProbedEndsTheSearch) {
    // Held open without sharing: the probe meets a sharing violation; the
    // name exists, so the search moves on.
    WriteHost(HostC("backup/b.txt"), "held");
    _EPROCESS* other = StartProcess();
    HANDLE held = nullptr;
    ASSERT_EQ(sim::user::CreateFile(other, u"C:\\backup\\b.txt", FILE_GENERIC_READ, 0, FILE_OPEN, FILE_NON_DIRECTORY_FILE, &held),
              STATUS_SUCCESS);
    ASSERT_EQ(CreateWriteClose(u"C:\\b.txt", "new"), STATUS_SUCCESS);
    EXPECT_EQ(sim::user::CloseHandle(other, held), STATUS_SUCCESS);
    EXPECT_EQ(ReadHost(HostC("backup/b.txt")), "held");
    EXPECT_EQ(ReadHost(HostC("backup/b.txt_1")), "new");

    // Any other failure of the probe ends the backup without a copy.
    WriteHost(HostC("backup/c.txt"), "old");
    sim::fs::Fault fault;
    fault.op = sim::fs::FaultOp::Create;
    fault.path = u"C:\\backup\\c.txt";
    fault.status = STATUS_ACCESS_DENIED;
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"C:\\c.txt", FILE_GENERIC_WRITE, FILE_CREATE, &handle), STATUS_SUCCESS);
    ASSERT_EQ(Write(handle, "new"), STATUS_SUCCESS);
    sim::fs::InjectFault(fault);
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(ReadHost(HostC("backup/c.txt")), "old");
    EXPECT_FALSE(std::filesystem::exists(HostC("backup/c.txt_1")));
}

TEST_F(BackupTest, AMissingFolderIsNotCreated) {
    std::filesystem::remove_all(HostC("backup"));
    ASSERT_EQ(CreateWriteClose(u"C:\\m.txt", "x"), STATUS_SUCCESS);
    EXPECT_FALSE(std::filesystem::exists(HostC("backup")));
    ASSERT_EQ(SetBackupDir(u"\\??\\C:\\no\\such\\backup"), STATUS_SUCCESS);
    ASSERT_EQ(CreateWriteClose(u"C:\\m2.txt", "x"), STATUS_SUCCESS);
    EXPECT_FALSE(std::filesystem::exists(HostC("no")));
    EXPECT_EQ(Operations(8).size(), 8u);
}

// Users keep backups on another drive: the copy is made through the filter's
// own instance on that volume.
TEST_F(BackupTest, FolderOnAnotherVolume) {
    std::filesystem::create_directories(HostD("backup"));
    ASSERT_EQ(SetBackupDir(vtest::kBackupOnD), STATUS_SUCCESS);
    ASSERT_EQ(CreateWriteClose(u"C:\\d.txt", "to the other drive"), STATUS_SUCCESS);
    EXPECT_EQ(ReadHost(HostD("backup/d.txt")), "to the other drive");
    // And back: a file on D: backed up to C:, the folder named in device form.
    ASSERT_EQ(SetBackupDir(u"\\Device\\HarddiskVolume1\\backup"), STATUS_SUCCESS);
    ASSERT_EQ(CreateWriteClose(u"D:\\e.txt", "to the first drive"), STATUS_SUCCESS);
    EXPECT_EQ(ReadHost(HostC("backup/e.txt")), "to the first drive");
    EXPECT_EQ(sim::flt::OutstandingObjectReferences(), 0u);
}

// ---------------------------------------------------------------------------
// The data.

class CopySize : public BackupTest, public testing::WithParamInterface<size_t> {};

TEST_P(CopySize, ByteExact) {
    const std::string data = Pattern(GetParam());
    ASSERT_EQ(CreateWriteClose(u"C:\\data.bin", data), STATUS_SUCCESS);
    ASSERT_TRUE(std::filesystem::exists(HostC("backup/data.bin")));
    EXPECT_TRUE(ReadHost(HostC("backup/data.bin")) == data);
}

INSTANTIATE_TEST_SUITE_P(Sizes, CopySize, testing::Values(1u, 2047u, 2048u, 2049u, 1536u * 1024u + 7u));

// A written file that another handle emptied before the close: the copy is
// an empty file.
TEST_F(BackupTest, EmptySource) {
    HANDLE writer = nullptr;
    ASSERT_EQ(Open(u"C:\\empty.txt", FILE_GENERIC_WRITE, FILE_CREATE, &writer, 0, FILE_SHARE_READ | FILE_SHARE_WRITE), STATUS_SUCCESS);
    ASSERT_EQ(Write(writer, "soon gone"), STATUS_SUCCESS);
    HANDLE truncator = nullptr;
    ASSERT_EQ(Open(u"C:\\empty.txt", FILE_GENERIC_WRITE, FILE_OVERWRITE, &truncator, 0, FILE_SHARE_READ | FILE_SHARE_WRITE),
              STATUS_SUCCESS);
    ASSERT_EQ(Close(truncator), STATUS_SUCCESS);
    ASSERT_EQ(Close(writer), STATUS_SUCCESS);
    ASSERT_TRUE(std::filesystem::exists(HostC("backup/empty.txt")));
    EXPECT_EQ(ReadHost(HostC("backup/empty.txt")), "");
}

TEST_F(BackupTest, ReadOrWriteErrorMidCopyKeepsWhatWasWritten) {
    const std::string data = Pattern(5000);
    sim::fs::Fault readFault;
    readFault.op = sim::fs::FaultOp::Read;
    readFault.path = u"C:\\r.bin";
    readFault.minOffset = 2048;
    readFault.status = STATUS_UNSUCCESSFUL;
    sim::fs::InjectFault(readFault);
    ASSERT_EQ(CreateWriteClose(u"C:\\r.bin", data), STATUS_SUCCESS);
    EXPECT_TRUE(ReadHost(HostC("backup/r.bin")) == data.substr(0, 2048));

    sim::fs::Fault writeFault;
    writeFault.op = sim::fs::FaultOp::Write;
    writeFault.path = u"C:\\backup\\w.bin";
    writeFault.minOffset = 4096;
    writeFault.status = STATUS_MEDIA_WRITE_PROTECTED;
    sim::fs::InjectFault(writeFault);
    ASSERT_EQ(CreateWriteClose(u"C:\\w.bin", data), STATUS_SUCCESS);
    EXPECT_TRUE(ReadHost(HostC("backup/w.bin")) == data.substr(0, 4096));
}

// The copy's own opens, reads and writes go below the driver: the client sees
// only the close, and denials of everything else do not stop the copy.
TEST_F(BackupTest, TheCopyIsNotReportedAndCannotBeDenied) {
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"C:\\quiet.txt", FILE_GENERIC_WRITE, FILE_CREATE, &handle), STATUS_SUCCESS);
    ASSERT_EQ(Write(handle, "quiet"), STATUS_SUCCESS);
    Events(3);
    ClearEvents();
    for (int32_t op : {FileOpWriteAccess, FileOpCreated, FileOpWrite, FileOpDelete}) {
        Answer(op, VerdictDeny);
    }
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(ReadHost(HostC("backup/quiet.txt")), "quiet");
    EXPECT_EQ(Operations(1), std::vector<int32_t>{FileOpCloseModified});
}

// ---------------------------------------------------------------------------
// Failures on the way, by fault injection.

TEST_F(BackupTest, FailedOpensEndTheBackupWithoutLeaks) {
    struct Case {
        const char* what;
        std::u16string path;
        int nth;
        NTSTATUS status;
        bool targetExists;
    };
    const Case cases[] = {
        {"probe", u"C:\\backup\\f0.txt", 1, STATUS_ACCESS_DENIED, false},
        {"folder", u"C:\\backup", 1, STATUS_ACCESS_DENIED, false},
        {"source", u"C:\\f2.txt", 1, STATUS_SHARING_VIOLATION, false},
        {"target", u"C:\\backup\\f3.txt", 2, STATUS_ACCESS_DENIED, false},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::u16string name = u"f" + sim::fs::FromHost(std::to_string(n++)) + u".txt";
        HANDLE handle = nullptr;
        ASSERT_EQ(Open(u"C:\\" + name, FILE_GENERIC_WRITE, FILE_CREATE, &handle), STATUS_SUCCESS);
        ASSERT_EQ(Write(handle, "data"), STATUS_SUCCESS);
        const size_t handles = KernelHandles();
        sim::fs::Fault fault;
        fault.op = sim::fs::FaultOp::Create;
        fault.path = c.path;
        fault.nth = c.nth;
        fault.status = c.status;
        sim::fs::InjectFault(fault);
        EXPECT_EQ(Close(handle), STATUS_SUCCESS);
        sim::fs::ClearFaults();
        EXPECT_EQ(std::filesystem::exists(HostC("backup/" + sim::fs::ToHost(name))), c.targetExists);
        EXPECT_EQ(KernelHandles(), handles);
    }
    EXPECT_EQ(sim::flt::OutstandingObjectReferences(), 0u);
}

// A source open that succeeds with an oplock break under way still delivered
// a handle: it is closed, and no copy is made.
TEST_F(BackupTest, OplockBreakSuccessClosesTheSourceHandle) {
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"C:\\op.txt", FILE_GENERIC_WRITE, FILE_CREATE, &handle), STATUS_SUCCESS);
    ASSERT_EQ(Write(handle, "data"), STATUS_SUCCESS);
    const size_t handles = KernelHandles();
    sim::fs::Fault fault;
    fault.op = sim::fs::FaultOp::OplockBreak;
    fault.path = u"C:\\op.txt";
    sim::fs::InjectFault(fault);
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    EXPECT_FALSE(std::filesystem::exists(HostC("backup/op.txt")));
    EXPECT_EQ(KernelHandles(), handles);
    bool logged = false;
    for (const std::string& line : sim::DebugOutput()) {
        logged = logged || line.find("[FileMonCopyFileWithLock] Status: 0x108") != std::string::npos;
    }
    EXPECT_TRUE(logged);
}

TEST_F(BackupTest, ReferenceFailureAndPoolFailures) {
    // The source's object cannot be referenced.
    sim::InjectFailure("ObReferenceObjectByHandle", STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(CreateWriteClose(u"C:\\ref.txt", "data"), STATUS_SUCCESS);
    EXPECT_FALSE(std::filesystem::exists(HostC("backup/ref.txt")));
    sim::ClearInjectedFailures();

    // No copy buffer: the target was already created and stays empty.
    sim::pool::FailTag(TagCopyBuffer);
    ASSERT_EQ(CreateWriteClose(u"C:\\buf.txt", "data"), STATUS_SUCCESS);
    EXPECT_TRUE(std::filesystem::exists(HostC("backup/buf.txt")));
    EXPECT_EQ(ReadHost(HostC("backup/buf.txt")), "");
    sim::pool::ClearFaults();

    // Name strings: every allocation of the general string tag fails from the
    // folder's copy on; nothing is made and nothing leaks.
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"C:\\str.txt", FILE_GENERIC_WRITE, FILE_CREATE, &handle), STATUS_SUCCESS);
    ASSERT_EQ(Write(handle, "data"), STATUS_SUCCESS);
    sim::pool::FailTag(TagString);
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    sim::pool::ClearFaults();
    EXPECT_FALSE(std::filesystem::exists(HostC("backup/str.txt")));
    // Each allocation of a later backup in turn, until one gets through.
    for (uint64_t nth = 1; nth < 40; ++nth) {
        SCOPED_TRACE(nth);
        const std::u16string name = u"n" + sim::fs::FromHost(std::to_string(nth)) + u".txt";
        ASSERT_EQ(Open(u"C:\\" + name, FILE_GENERIC_WRITE, FILE_CREATE, &handle), STATUS_SUCCESS);
        ASSERT_EQ(Write(handle, "data"), STATUS_SUCCESS);
        sim::pool::FailNth(nth);
        EXPECT_EQ(Close(handle), STATUS_SUCCESS);
        sim::pool::ClearFaults();
    }
}

// The target is created but its file object cannot be referenced: its
// handle is closed, the source's reference dropped, and the empty target is
// all that is left.
TEST_F(BackupTest, TargetThatCannotBeReferencedHasItsHandleClosed) {
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"C:\\tref.txt", FILE_GENERIC_WRITE, FILE_CREATE, &handle), STATUS_SUCCESS);
    ASSERT_EQ(Write(handle, "data"), STATUS_SUCCESS);
    const size_t handles = KernelHandles();
    const uint64_t references = sim::CallCount("ObReferenceObjectByHandle");
    const uint64_t actions = sim::fs::FaultActionsRun();
    // The source was referenced before the target's create; the next
    // reference, right after that create, is the target's.
    sim::fs::Fault fault;
    fault.op = sim::fs::FaultOp::Create;
    fault.path = u"C:\\backup\\tref.txt";
    fault.nth = 2;  // the probe, then the create
    fault.status = STATUS_SUCCESS;
    fault.action = [] { sim::InjectFailure("ObReferenceObjectByHandle", STATUS_INSUFFICIENT_RESOURCES); };
    sim::fs::InjectFault(fault);
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(sim::fs::FaultActionsRun(), actions + 1);
    EXPECT_EQ(sim::CallCount("ObReferenceObjectByHandle"), references + 2);
    EXPECT_EQ(KernelHandles(), handles);
    ASSERT_TRUE(std::filesystem::exists(HostC("backup/tref.txt")));
    EXPECT_EQ(ReadHost(HostC("backup/tref.txt")), "");
    // Closed, not just leaked: the name can be opened without sharing again.
    HANDLE again = nullptr;
    EXPECT_EQ(Open(u"C:\\backup\\tref.txt", FILE_GENERIC_WRITE, FILE_OPEN, &again, 0, 0), STATUS_SUCCESS);
    EXPECT_EQ(Close(again), STATUS_SUCCESS);
}

// A name taken between the probe and the create moves the search on: the
// copy goes to the next name and the file that took the name is untouched.
TEST_F(BackupTest, ANameTakenAfterTheProbeMovesTheSearchOn) {
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"C:\\race.txt", FILE_GENERIC_WRITE, FILE_CREATE, &handle), STATUS_SUCCESS);
    ASSERT_EQ(Write(handle, "mine"), STATUS_SUCCESS);
    sim::fs::Fault fault;
    fault.op = sim::fs::FaultOp::Create;
    fault.path = u"C:\\backup\\race.txt";
    fault.nth = 2;  // the probe found the name free; another program takes it just before the create
    fault.status = STATUS_SUCCESS;
    const auto taken = HostC("backup/race.txt");
    fault.action = [taken] { WriteHost(taken, "theirs"); };
    sim::fs::InjectFault(fault);
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(ReadHost(HostC("backup/race.txt")), "theirs");
    EXPECT_EQ(ReadHost(HostC("backup/race.txt_1")), "mine");
}

// ---------------------------------------------------------------------------
// The backup routine called directly, in the watched program's thread through
// the driver's own instance on C:, so that its status and target name can be
// stated: each ending, what it returns, what it leaves and what it logs.

class BackupRoutine : public BackupTest {
protected:
    struct Result {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        std::u16string target;  // empty: none returned
        std::vector<std::string> log;
    };

    Result Backup(std::u16string_view folderText, std::u16string_view finalComponent, KIRQL irql = PASSIVE_LEVEL) {
        sim::fs::Volume* volumeC = nullptr;
        for (sim::fs::Volume* volume : sim::fs::Volumes()) {
            if (volume->driveLetter == u'C') {
                volumeC = volume;
            }
        }
        const std::u16string name = u"\\Device\\HarddiskVolume1\\" + std::u16string(finalComponent);
        FLT_FILE_NAME_INFORMATION info{};
        info.Size = sizeof(info);
        info.Name = vtest::Us(name);
        info.FinalComponent = vtest::Us(std::u16string_view(name).substr(name.size() - finalComponent.size()));
        FLT_RELATED_OBJECTS objects{sizeof(FLT_RELATED_OBJECTS), 0, DriverData.Filter, nullptr,
                                    sim::flt::InstanceOf(DriverData.Filter, volumeC), nullptr, nullptr};
        UNICODE_STRING folder = vtest::Us(folderText);
        Result result;
        sim::ClearDebugOutput();
        PCOUNTED_STRING target = nullptr;
        {
            sim::ThreadScope scope(app_, sim::InThread::Main);
            const KIRQL old = irql > PASSIVE_LEVEL ? sim::RaiseIrql(irql) : PASSIVE_LEVEL;
            result.status = FileMonBackupFile(&info, &objects, &folder, &target);
            if (irql > PASSIVE_LEVEL) {
                sim::LowerIrql(old);
            }
        }
        if (target != nullptr) {
            result.target.assign(target->Buffer, target->Length / sizeof(WCHAR));
            StrFree(target, TagString);
        }
        result.log = sim::DebugOutput();
        return result;
    }

    std::string Line(const std::string& text) const { return "[" + std::to_string(Pid(app_)) + "][FileMonCopyFileWithLock] " + text + "\n"; }
};

TEST_F(BackupRoutine, EachEnding) {
    struct Case {
        const char* what;
        std::u16string folder;
        std::u16string file;
        std::function<void()> before;
        KIRQL irql;
        NTSTATUS status;
        std::u16string target;
        bool copied;   // the copy's log lines were written
        std::string made;  // the host file that holds the copy afterwards ("" none)
    };
    auto takeAll = [this] {
        for (int i = 0; i <= 20; ++i) {
            WriteHost(HostC("backup/t.txt" + (i == 0 ? std::string() : "_" + std::to_string(i))), "old");
        }
    };
    const Case cases[] = {
        // A copy that reads to the end of the file is a success and names its target.
        {"complete copy", vtest::kBackupOnC, u"a.txt", [] {}, PASSIVE_LEVEL, STATUS_SUCCESS, u"\\??\\C:\\backup\\a.txt", true,
         "backup/a.txt"},
        {"all names taken", vtest::kBackupOnC, u"t.txt", takeAll, PASSIVE_LEVEL, STATUS_OBJECT_NAME_COLLISION, u"", false, ""},
        {"suffix allocation", vtest::kBackupOnC, u"s.txt",
         [this] {
             WriteHost(HostC("backup/s.txt"), "old");
             // Once the first name is probed, every string allocation fails:
             // the next is the suffix of the second name.
             sim::OnNextCall("FltCreateFile", [] { sim::pool::FailTag(TagString); });
         },
         PASSIVE_LEVEL, STATUS_NO_MEMORY, u"", false, ""},
        {"candidate allocation", vtest::kBackupOnC, u"n.txt", [] { sim::pool::FailTag(TagString); }, PASSIVE_LEVEL, STATUS_NO_MEMORY,
         u"", false, ""},
        // Every open of the backup refuses to run above passive level, and so
        // do the look-ups that find the folder's volume: neither folder form
        // reaches them.
        {"APC level, drive-letter folder", vtest::kBackupOnC, u"p.txt", [] {}, APC_LEVEL, STATUS_NOT_SUPPORTED, u"", false, ""},
        {"APC level, device folder", u"\\Device\\HarddiskVolume2\\backup", u"q.txt", [] {}, APC_LEVEL, STATUS_NOT_SUPPORTED, u"", false,
         ""},
        // The name was found free, then the folder went (another program
        // removed it): the folder is made again, then the copy.
        {"folder made on the free-name road", u"\\??\\C:\\fresh", u"f.txt",
         [this] {
             std::filesystem::create_directories(HostC("fresh"));
             sim::fs::Fault probe;
             probe.op = sim::fs::FaultOp::Create;
             probe.path = u"C:\\fresh\\f.txt";
             probe.status = STATUS_SUCCESS;
             const auto folder = HostC("fresh");
             probe.action = [folder] { sim::OnNextCall("FltCreateFile", [folder] { std::filesystem::remove_all(folder); }); };
             sim::fs::InjectFault(probe);
         },
         PASSIVE_LEVEL, STATUS_SUCCESS, u"\\??\\C:\\fresh\\f.txt", true, "fresh/f.txt"},
    };
    const size_t handles = KernelHandles();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string file = sim::fs::ToHost(c.file);
        WriteHost(HostC(file), "source of " + file);
        const uint64_t volumeLookUps = sim::CallCount("FltGetVolumeFromName");
        c.before();
        const Result r = Backup(c.folder, c.file, c.irql);
        sim::pool::ClearFaults();
        sim::fs::ClearFaults();
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.target, c.target);
        const std::vector<std::string> copyLines = {Line("Copying file..."), Line("Status: 0x0")};
        EXPECT_EQ(r.log, c.copied ? copyLines : std::vector<std::string>{});
        if (!c.made.empty()) {
            EXPECT_EQ(ReadHost(HostC(c.made)), "source of " + file);
        }
        if (c.irql > PASSIVE_LEVEL) {
            EXPECT_EQ(sim::CallCount("FltGetVolumeFromName"), volumeLookUps);
        }
    }
    // Nothing more was made than the cases said.
    EXPECT_FALSE(std::filesystem::exists(HostC("backup/t.txt_21")));
    EXPECT_FALSE(std::filesystem::exists(HostC("backup/s.txt_1")));
    EXPECT_FALSE(std::filesystem::exists(HostC("backup/n.txt")));
    EXPECT_FALSE(std::filesystem::exists(HostC("backup/p.txt")));
    EXPECT_EQ(KernelHandles(), handles);
    EXPECT_EQ(sim::flt::OutstandingObjectReferences(), 0u);
}

}  // namespace
