// Renames, hard links and deletions by disposition, end to end: a program
// renames or deletes files on a simulated volume, the driver reports it to a
// connected client and carries out the client's verdict. Covers the
// classifier, the verdicts, the classes not reported, and rename and
// disposition records that lie about their size (the destination's forms and
// the link resolution: filter_setinfo_dest_test.cpp).
#include "tests/driver/setinfo_fixture.h"

#include <cstring>

namespace {

using namespace vtest::setinfo;


// ---------------------------------------------------------------------------
// The classifier on its own.

struct ClassifyCase {
    const char* name;
    FILE_INFORMATION_CLASS infoClass;
    std::vector<uint8_t> buffer;
    ULONG length;  // as the request states it
    FILE_OPERATION expected;
};

std::vector<uint8_t> Ulong(ULONG value) {
    std::vector<uint8_t> bytes(sizeof(value));
    std::memcpy(bytes.data(), &value, sizeof(value));
    return bytes;
}

TEST(FilterClassifySetInfo, ClassesAndRecords) {
    const std::vector<uint8_t> rename(sizeof(FILE_RENAME_INFORMATION), 0);
    const ClassifyCase cases[] = {
        {"rename", FileRenameInformation, rename, 24, FileOpRename},
        {"rename-ex", FileRenameInformationEx, rename, 24, FileOpRename},
        // A rename is a rename whatever its record holds; its name is checked later.
        {"rename with a short record", FileRenameInformation, {}, 0, FileOpRename},
        {"delete", FileDispositionInformation, {1}, 1, FileOpDelete},
        {"delete, any non-zero byte", FileDispositionInformation, {0x80}, 1, FileOpDelete},
        {"undelete", FileDispositionInformation, {0}, 1, FileOpNone},
        {"delete in an empty record", FileDispositionInformation, {1}, 0, FileOpNone},
        {"ex delete", FileDispositionInformationEx, Ulong(FILE_DISPOSITION_DELETE), 4, FileOpDelete},
        {"ex delete posix", FileDispositionInformationEx,
         Ulong(FILE_DISPOSITION_DELETE | FILE_DISPOSITION_POSIX_SEMANTICS), 4, FileOpDelete},
        {"ex delete on close", FileDispositionInformationEx, Ulong(FILE_DISPOSITION_DELETE | FILE_DISPOSITION_ON_CLOSE), 4,
         FileOpDelete},
        {"ex posix without delete", FileDispositionInformationEx, Ulong(FILE_DISPOSITION_POSIX_SEMANTICS), 4, FileOpNone},
        {"ex do not delete", FileDispositionInformationEx, Ulong(FILE_DISPOSITION_DO_NOT_DELETE), 4, FileOpNone},
        {"ex delete in a 3-byte record", FileDispositionInformationEx, Ulong(FILE_DISPOSITION_DELETE), 3, FileOpNone},
        {"hard link", FileLinkInformation, rename, 24, FileOpLink},
        {"hard link ex", FileLinkInformationEx, rename, 24, FileOpLink},
        {"hard link bypassing access checks", FileLinkInformationBypassAccessCheck, rename, 24, FileOpNone},
        {"rename bypassing access checks", FileRenameInformationBypassAccessCheck, rename, 24, FileOpNone},
        {"basic", FileBasicInformation, std::vector<uint8_t>(40, 0), 40, FileOpNone},
        {"end of file", FileEndOfFileInformation, std::vector<uint8_t>(8, 0), 8, FileOpNone},
    };
    for (const ClassifyCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> buffer = c.buffer;
        FLT_PARAMETERS parameters{};
        parameters.SetFileInformation.FileInformationClass = c.infoClass;
        parameters.SetFileInformation.Length = c.length;
        parameters.SetFileInformation.InfoBuffer = buffer.empty() ? nullptr : buffer.data();
        EXPECT_EQ(FilterClassifySetInfo(&parameters), c.expected);
    }
    FLT_PARAMETERS noBuffer{};
    noBuffer.SetFileInformation.FileInformationClass = FileDispositionInformation;
    noBuffer.SetFileInformation.Length = 1;
    EXPECT_EQ(FilterClassifySetInfo(&noBuffer), FileOpNone);
    EXPECT_EQ(FilterClassifySetInfo(nullptr), FileOpNone);
}

TEST_F(SetInfoTest, RenameVerdicts) {
    struct Case {
        int32_t verdict;
        bool denied;
    };
    for (const Case c : {Case{0, false}, Case{VerdictDeny, true}, Case{2, false}, Case{VerdictBackup, false}, Case{-1, false}}) {
        SCOPED_TRACE(c.verdict);
        Put("docs/report.txt", "quarterly numbers");
        fs::remove(root_ / "C" / "docs" / "final.txt");
        ClearMessages();
        StopResponder();
        Monitor(c.verdict);
        // Ids are reused, and an exit while process monitoring is off leaves
        // the id listed: start each case with an empty watched set.
        ASSERT_EQ(ClearProcesses(), STATUS_SUCCESS);
        _EPROCESS* app = StartWatched();

        const NTSTATUS status = RenameReport(app, u"final.txt", false);
        const auto events = Events(1);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].operation, FileOpRename);
        EXPECT_EQ(events[0].processId, Pid(app));
        EXPECT_EQ(events[0].name, std::u16string(kVolume1) + u"\\docs\\report.txt");
        EXPECT_EQ(events[0].dest, std::u16string(kVolume1) + u"\\docs\\final.txt");
        EXPECT_EQ(events[0].replaceIfExists, 0);
        if (c.denied) {
            EXPECT_EQ(status, STATUS_ACCESS_DENIED);
            EXPECT_EQ(Get("docs/report.txt"), "quarterly numbers");
            EXPECT_FALSE(Exists("docs/final.txt"));
        } else {
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_FALSE(Exists("docs/report.txt"));
            EXPECT_EQ(Get("docs/final.txt"), "quarterly numbers");
        }
        EXPECT_TRUE(sim::DebugOutput().empty());
        EndProcess(app);
    }
}

// A hard link plants a second name of the file: reported before it exists,
// with its new name as the destination (both record classes), and refused by
// a deny, after which the new name does not exist and the file is untouched.
TEST_F(SetInfoTest, HardLinksAreReportedWithTheirNewNameAndCanBeRefused) {
    struct Case {
        const char* name;
        FILE_INFORMATION_CLASS infoClass;
        int32_t verdict;
    };
    const Case cases[] = {
        {"link, allowed", FileLinkInformation, 0},
        {"link, denied", FileLinkInformation, VerdictDeny},
        {"link ex, allowed", FileLinkInformationEx, 0},
        {"link ex, denied", FileLinkInformationEx, VerdictDeny},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Put("docs/report.txt", "quarterly numbers");
        fs::remove(root_ / "C" / "docs" / "sub" / "second.txt");
        ClearMessages();
        StopResponder();
        Monitor(c.verdict);
        ASSERT_EQ(ClearProcesses(), STATUS_SUCCESS);
        _EPROCESS* app = StartWatched();

        const std::u16string newName = u"\\??\\C:\\docs\\sub\\second.txt";
        std::vector<uint8_t> record(FIELD_OFFSET(FILE_LINK_INFORMATION, FileName) + newName.size() * sizeof(WCHAR));
        auto* info = reinterpret_cast<FILE_LINK_INFORMATION*>(record.data());
        info->FileNameLength = static_cast<ULONG>(newName.size() * sizeof(WCHAR));
        std::memcpy(info->FileName, newName.data(), info->FileNameLength);
        HANDLE handle = Open(app, u"C:\\docs\\report.txt", FILE_WRITE_ATTRIBUTES);
        const NTSTATUS status =
            sim::user::SetInformationFile(app, handle, c.infoClass, record.data(), static_cast<ULONG>(record.size()));
        sim::user::CloseHandle(app, handle);

        const auto events = Events(1);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].operation, FileOpLink);
        EXPECT_EQ(events[0].name, std::u16string(kVolume1) + u"\\docs\\report.txt");
        EXPECT_EQ(events[0].dest, std::u16string(kVolume1) + u"\\docs\\sub\\second.txt");
        if (c.verdict == VerdictDeny) {
            EXPECT_EQ(status, STATUS_ACCESS_DENIED);
            EXPECT_FALSE(Exists("docs/sub/second.txt"));
        } else {
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_EQ(Get("docs/sub/second.txt"), "quarterly numbers");
        }
        EXPECT_EQ(Get("docs/report.txt"), "quarterly numbers");
        EndProcess(app);
    }
}

TEST_F(SetInfoTest, DeleteVerdictsForBothDispositionClasses) {
    struct Case {
        const char* name;
        bool exClass;
        ULONG flags;
        int32_t verdict;
    };
    const Case cases[] = {
        {"disposition, allowed", false, 0, 0},
        {"disposition, denied", false, 0, VerdictDeny},
        {"ex delete, allowed", true, FILE_DISPOSITION_DELETE, 0},
        {"ex delete posix, denied", true, FILE_DISPOSITION_DELETE | FILE_DISPOSITION_POSIX_SEMANTICS, VerdictDeny},
        {"ex delete posix, allowed", true, FILE_DISPOSITION_DELETE | FILE_DISPOSITION_POSIX_SEMANTICS, 0},
    };
    _EPROCESS* app = StartWatched();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Put("docs/old.log", "log");
        ClearMessages();
        StopResponder();
        Monitor(c.verdict);

        HANDLE handle = Open(app, u"C:\\docs\\old.log");
        const NTSTATUS status = sim::user::SetDisposition(app, handle, true, c.exClass, c.flags);
        sim::user::CloseHandle(app, handle);
        const auto events = Events(1);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].operation, FileOpDelete);
        EXPECT_EQ(events[0].name, std::u16string(kVolume1) + u"\\docs\\old.log");
        EXPECT_FALSE(events[0].dest.has_value());
        if (c.verdict == VerdictDeny) {
            EXPECT_EQ(status, STATUS_ACCESS_DENIED);
            EXPECT_EQ(Get("docs/old.log"), "log");
        } else {
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_FALSE(Exists("docs/old.log"));
        }
    }
}

// Requests that are not renames, links or deletions pass without a word: an
// undelete, flags without delete, times, the end of file.
TEST_F(SetInfoTest, OtherClassesAreNotReported) {
    // The open itself can write, so it is reported: let it through, then
    // deny everything that follows.
    Monitor(0);
    _EPROCESS* app = StartWatched();
    HANDLE handle = Open(app, u"C:\\docs\\report.txt", DELETE | FILE_READ_DATA | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES);
    StopResponder();
    Monitor(VerdictDeny);
    const uint64_t sentBefore = Sent();
    // Requests of no interest are set aside before any name is asked for.
    const uint64_t namesBefore = sim::CallCount("FltGetFileNameInformation");

    EXPECT_EQ(sim::user::SetDisposition(app, handle, false), STATUS_SUCCESS);
    EXPECT_EQ(sim::user::SetDisposition(app, handle, false, true, FILE_DISPOSITION_POSIX_SEMANTICS), STATUS_SUCCESS);

    const std::vector<uint8_t> basic(40, 0);
    EXPECT_EQ(sim::user::SetInformationFile(app, handle, FileBasicInformation, basic.data(), 40), STATUS_SUCCESS);
    const LONGLONG endOfFile = 9;
    EXPECT_EQ(sim::user::SetInformationFile(app, handle, FileEndOfFileInformation, &endOfFile, sizeof(endOfFile)),
              STATUS_SUCCESS);
    EXPECT_EQ(sim::CallCount("FltGetFileNameInformation"), namesBefore);
    sim::user::CloseHandle(app, handle);

    EXPECT_EQ(Sent(), sentBefore);
    EXPECT_EQ(Get("docs/report.txt"), "quarterly");
    EXPECT_TRUE(sim::DebugOutput().empty());
}


// ---------------------------------------------------------------------------
// Records that lie about their size. The I/O manager checks what a program
// sends; a filter above this one (or any kernel component building its own
// request) can hand down anything. The test filter sits above the driver and
// swaps the record for the one the case gives.

std::vector<uint8_t> gSwapRecord;
ULONG gSwapLength = 0;

FLT_PREOP_CALLBACK_STATUS FLTAPI SwapRecord(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID* context) {
    *context = nullptr;
    data->Iopb->Parameters.SetFileInformation.InfoBuffer = gSwapRecord.empty() ? nullptr : gSwapRecord.data();
    data->Iopb->Parameters.SetFileInformation.Length = gSwapLength;
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

const FLT_OPERATION_REGISTRATION kSwapOperations[] = {
    {IRP_MJ_SET_INFORMATION, 0, SwapRecord, nullptr, nullptr},
    {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr},
};

class MalformedRecordTest : public SetInfoTest {
protected:
    MalformedRecordTest() { loadAtSetUp_ = false; }

    void SetUp() override {
        SetInfoTest::SetUp();
        // The test filter attaches to the volumes first and so sits above the driver.
        registration_.Size = sizeof(FLT_REGISTRATION);
        registration_.Version = FLT_REGISTRATION_VERSION_0200;
        registration_.OperationRegistration = kSwapOperations;
        registration_.FilterUnloadCallback = [](FLT_FILTER_UNLOAD_FLAGS) NTAPI -> NTSTATUS { return STATUS_SUCCESS; };
        ASSERT_EQ(FltRegisterFilter(&testDriver_, &registration_, &filter_), STATUS_SUCCESS);
        ASSERT_EQ(FltStartFiltering(filter_), STATUS_SUCCESS);
        ASSERT_EQ(Load(), STATUS_SUCCESS);
    }

    void TearDown() override {
        if (filter_ != nullptr) {
            FltUnregisterFilter(filter_);
        }
        SetInfoTest::TearDown();
    }

    // A rename record: `nameLength` as stated, `name` as stored, `length` as the request says.
    static void RenameRecord(std::u16string_view name, ULONG nameLength, ULONG length) {
        gSwapRecord.assign(std::max<size_t>(sizeof(FILE_RENAME_INFORMATION) + name.size() * 2, length), 0);
        auto* info = reinterpret_cast<FILE_RENAME_INFORMATION*>(gSwapRecord.data());
        info->ReplaceIfExists = TRUE;
        info->FileNameLength = nameLength;
        std::memcpy(info->FileName, name.data(), name.size() * 2);
        gSwapLength = length;
    }

    DRIVER_OBJECT testDriver_{};
    FLT_REGISTRATION registration_{};
    PFLT_FILTER filter_ = nullptr;
};

TEST_F(MalformedRecordTest, RenameRecordsAreReadOnlyWithinTheirLength) {
    Monitor(0);
    _EPROCESS* app = StartWatched();
    const std::u16string name = u"\\??\\C:\\docs\\new.txt";
    const ULONG nameBytes = static_cast<ULONG>(name.size() * 2);
    const ULONG fixed = offsetof(FILE_RENAME_INFORMATION, FileName);
    struct Case {
        const char* name;
        ULONG nameLength;
        ULONG length;
        bool named;
    };
    const Case cases[] = {
        {"well formed", nameBytes, fixed + nameBytes, true},
        {"name runs past the buffer", nameBytes + 2, fixed + nameBytes, false},
        {"name far past the buffer", 0xFFFFFFF0u, fixed + nameBytes, false},
        {"odd name length", nameBytes - 1, fixed + nameBytes, false},
        {"name longer than a counted string", 0x10000, 0x10000 + fixed, false},
        {"buffer shorter than the fixed part", 0, fixed - 1, false},
        {"no buffer", 0, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearMessages();
        sim::ClearDebugOutput();
        RenameRecord(name, c.nameLength, c.length);
        if (c.length == 0) {
            gSwapRecord.clear();
        }
        HANDLE handle = Open(app, u"C:\\docs\\report.txt");
        const NTSTATUS status = sim::user::SetRenameInformation(app, handle, u"ignored.txt", true);
        sim::user::CloseHandle(app, handle);
        const auto events = Events(1);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].operation, FileOpRename);
        if (c.named) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_EQ(events[0].dest, std::u16string(kVolume1) + u"\\docs\\new.txt");
            fs::rename(root_ / "C" / "docs" / "new.txt", root_ / "C" / "docs" / "report.txt");
        } else {
            // The file system refuses what the driver would not read.
            EXPECT_TRUE(NT_ERROR(status));
            EXPECT_FALSE(events[0].dest.has_value());
            EXPECT_EQ(Get("docs/report.txt"), "quarterly numbers");
        }
        EXPECT_TRUE(sim::DebugOutput().empty());
    }
}

TEST_F(MalformedRecordTest, ShortDispositionRecordsAreNoDeletion) {
    Monitor(VerdictDeny);
    _EPROCESS* app = StartWatched();
    struct Case {
        const char* name;
        FILE_INFORMATION_CLASS infoClass;
        std::vector<uint8_t> record;
        ULONG length;
        bool reported;
    };
    const Case cases[] = {
        {"disposition, empty", FileDispositionInformation, {1}, 0, false},
        {"disposition, one byte", FileDispositionInformation, {1}, 1, true},
        {"ex, three bytes", FileDispositionInformationEx, {1, 0, 0, 0}, 3, false},
        {"ex, four bytes", FileDispositionInformationEx, {1, 0, 0, 0}, 4, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const uint64_t sentBefore = Sent();
        gSwapRecord = c.record;
        gSwapLength = c.length;
        HANDLE handle = Open(app, u"C:\\docs\\report.txt");
        const NTSTATUS status = sim::user::SetDisposition(app, handle, true, c.infoClass == FileDispositionInformationEx,
                                                          FILE_DISPOSITION_DELETE);
        sim::user::CloseHandle(app, handle);
        EXPECT_EQ(Sent(), sentBefore + (c.reported ? 1 : 0));
        // Reported: denied by the client. Not reported: refused or ignored below.
        EXPECT_TRUE(NT_ERROR(status));
        EXPECT_EQ(Get("docs/report.txt"), "quarterly numbers");
    }
}

}  // namespace
