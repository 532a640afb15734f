// Renames and deletions by disposition, end to end: a program renames or
// deletes files on a simulated volume, the driver reports it to a connected
// client and carries out the client's verdict. Covers the classifier, each
// destination form (link defined by the program among them), the debugger
// lines written on the way, every failing step of the link resolution, and
// rename and disposition records that lie about their size.
#include "tests/support/fixture.h"

#include "channel/wire.h"
#include "driver/driver_data.h"
#include "filemon/filemon.h"
#include "sim/fs/fs.h"
#include "sim/ex/pool.h"
#include "sim/flt/io.h"
#include "sim/ob/ob.h"
#include "sim/user/dosdevice.h"
#include "sim/user/file.h"

#include <unistd.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr char16_t kVolume1[] = u"\\Device\\HarddiskVolume1";

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

// ---------------------------------------------------------------------------
// End to end.

// One file event as the client receives it.
struct Event {
    int32_t operation = FileOpNone;
    uint32_t processId = 0;
    std::u16string name;
    std::optional<std::u16string> dest;
    uint8_t replaceIfExists = 0;
};

std::u16string TextAt(const std::vector<uint8_t>& body, size_t offset, size_t bytes) {
    std::u16string text(bytes / 2, u'\0');
    std::memcpy(text.data(), body.data() + offset, bytes);
    return text;
}

Event Decode(const std::vector<uint8_t>& body) {
    FileEvent header;
    std::memcpy(&header, body.data(), sizeof(header));
    Event event;
    event.operation = header.Operation;
    event.processId = header.ProcessId;
    event.name = TextAt(body, FILE_EVENT_NAME_OFFSET, header.NameLength);
    if (header.Operation == FileOpRename || header.Operation == FileOpLink) {
        event.replaceIfExists = header.Params.Rename.ReplaceIfExists;
        if (header.Params.Rename.DestNameLength != 0) {
            event.dest = TextAt(body, FILE_EVENT_DEST_BASE + header.Params.Rename.DestNameOffset,
                                header.Params.Rename.DestNameLength);
        }
    }
    return event;
}

std::string Line(const char* format, ULONG pid, const std::string& rest = "") {
    char text[256];
    std::snprintf(text, sizeof(text), format, pid, rest.c_str());
    return text;
}
const char kRiplaceLine[] = "[%u][FilterGetDestFileName] Possible RIPlace, resolving path...\n%s";
const char kLinkLine[] = "[%u][FilterGetDestFileName] Symbolic link found: %s...\n";
const char kFailureLine[] = "[%u][FilterGetDestFileName] Failure: %s\n";

class SetInfoTest : public vtest::DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        root_ = fs::temp_directory_path() / ("vetrona-setinfo-" + std::to_string(::getpid()) + "-" +
                                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        sim::fs::MountVolume((root_ / "C").string(), u'C');
        sim::fs::MountVolume((root_ / "D").string(), u'D');
        Put("docs/report.txt", "quarterly numbers");
        fs::create_directories(root_ / "C" / "docs" / "sub");
        fs::create_directories(root_ / "D");
    }

    void TearDown() override {
        DriverTest::TearDown();
        fs::remove_all(root_);
    }

    // The client connects, switches file monitoring on and answers every
    // event with `verdict`.
    void Monitor(int32_t verdict) {
        if (!connected()) {
            ASSERT_EQ(Connect(), vtest::S_OK);
        }
        SetFileMon(true);
        StartResponder([verdict](const std::vector<uint8_t>&) { return verdict; });
    }

    void Put(const std::string& relative, const std::string& content) {
        fs::create_directories((root_ / "C" / relative).parent_path());
        std::ofstream(root_ / "C" / relative, std::ios::binary) << content;
    }
    bool Exists(const std::string& relative) const { return fs::exists(root_ / "C" / relative); }
    std::string Get(const std::string& relative) const {
        std::ifstream in(root_ / "C" / relative, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    HANDLE Open(_EPROCESS* process, std::u16string_view path, ACCESS_MASK access = DELETE | FILE_READ_DATA,
                ULONG options = FILE_NON_DIRECTORY_FILE) {
        HANDLE handle = nullptr;
        EXPECT_EQ(sim::user::CreateFile(process, path, access | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_DELETE, FILE_OPEN,
                                        options | FILE_SYNCHRONOUS_IO_NONALERT, &handle),
                  STATUS_SUCCESS)
            << std::string(path.begin(), path.end());
        return handle;
    }

    // Renames C:\docs\report.txt as `process` and closes the handle.
    NTSTATUS RenameReport(_EPROCESS* process, std::u16string_view newName, bool replace = true, HANDLE root = nullptr) {
        HANDLE handle = Open(process, u"C:\\docs\\report.txt");
        const NTSTATUS status = sim::user::SetRenameInformation(process, handle, newName, replace, root);
        sim::user::CloseHandle(process, handle);
        return status;
    }

    std::vector<Event> Events(size_t expected) {
        EXPECT_TRUE(WaitForMessages(expected));
        std::vector<Event> events;
        for (const auto& message : Messages()) {
            events.push_back(Decode(message.body));
        }
        EXPECT_EQ(events.size(), expected);
        return events;
    }

    uint64_t Sent() const { return sim::CallCount("FltSendMessage"); }

    fs::path root_;
};

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

// Every form in which a program can name the destination, with the name the
// event carries.
TEST_F(SetInfoTest, DestinationForms) {
    Monitor(0);
    _EPROCESS* app = StartWatched();
    // Shared for writing, as directory handles usually are: the I/O manager's
    // open of a target's directory asks for the right to add a file to it.
    HANDLE subdir = nullptr;
    ASSERT_EQ(sim::user::CreateFile(app, u"C:\\docs\\sub", FILE_LIST_DIRECTORY | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                                    FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, &subdir),
              STATUS_SUCCESS);
    struct Case {
        const char* name;
        std::u16string newName;
        HANDLE root;
        std::u16string dest;  // volume-relative
        std::string onDisk;
    };
    const Case cases[] = {
        {"simple name", u"a.txt", nullptr, u"\\docs\\a.txt", "docs/a.txt"},
        {"drive-letter path", u"\\??\\C:\\docs\\sub\\b.txt", nullptr, u"\\docs\\sub\\b.txt", "docs/sub/b.txt"},
        {"through \\DosDevices", u"\\DosDevices\\C:\\docs\\c.txt", nullptr, u"\\docs\\c.txt", "docs/c.txt"},
        {"volume device path", u"\\Device\\HarddiskVolume1\\d.txt", nullptr, u"\\d.txt", "d.txt"},
        {"relative to a directory handle", u"e.txt", subdir, u"\\docs\\sub\\e.txt", "docs/sub/e.txt"},
        {"other case, normalized", u"\\??\\C:\\DOCS\\SUB\\F.txt", nullptr, u"\\docs\\sub\\F.txt", "docs/sub/F.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Put("docs/report.txt", "quarterly numbers");
        ClearMessages();
        EXPECT_EQ(RenameReport(app, c.newName, false, c.root), STATUS_SUCCESS);
        const auto events = Events(1);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].dest, std::u16string(kVolume1) + c.dest);
        EXPECT_EQ(Get(c.onDisk), "quarterly numbers");
    }
    sim::user::CloseHandle(app, subdir);
    EXPECT_TRUE(sim::DebugOutput().empty());
}

// The published bypass: the program defines a DOS device name whose raw
// target is the file it wants to overwrite and renames onto \??\Name. The
// Filter Manager cannot name that destination; the driver reads the link and
// reports where the file really goes.
TEST_F(SetInfoTest, DestinationThroughALinkTheProgramDefined) {
    for (const int32_t verdict : {0, VerdictDeny}) {
        SCOPED_TRACE(verdict);
        Put("docs/report.txt", "ciphertext");
        Put("docs/target.txt", "precious");
        ClearMessages();
        StopResponder();
        Monitor(verdict);
        sim::ClearDebugOutput();
        // Ids are reused, and an exit while process monitoring is off leaves
        // the id listed: start each case with an empty watched set.
        ASSERT_EQ(ClearProcesses(), STATUS_SUCCESS);
        _EPROCESS* app = StartWatched();
        ASSERT_EQ(sim::user::DefineDosDevice(app, DDD_RAW_TARGET_PATH, u"Name", u"\\??\\C:\\docs\\target.txt"), STATUS_SUCCESS);

        const NTSTATUS status = RenameReport(app, u"\\??\\Name");
        const auto events = Events(1);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].name, std::u16string(kVolume1) + u"\\docs\\report.txt");
        EXPECT_EQ(events[0].dest, std::u16string(kVolume1) + u"\\docs\\target.txt");
        EXPECT_EQ(events[0].replaceIfExists, 1);
        EXPECT_EQ(sim::DebugOutput(), (std::vector<std::string>{Line(kRiplaceLine, Pid(app)),
                                                                 Line(kLinkLine, Pid(app), "\\??\\C:\\docs\\target.txt")}));
        if (verdict == VerdictDeny) {
            EXPECT_EQ(status, STATUS_ACCESS_DENIED);
            EXPECT_EQ(Get("docs/report.txt"), "ciphertext");
            EXPECT_EQ(Get("docs/target.txt"), "precious");
        } else {
            // The I/O manager follows the link: the file really moves there.
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_FALSE(Exists("docs/report.txt"));
            EXPECT_EQ(Get("docs/target.txt"), "ciphertext");
        }
        ASSERT_EQ(sim::user::DefineDosDevice(app, DDD_REMOVE_DEFINITION, u"Name", u""), STATUS_SUCCESS);
        EndProcess(app);
    }
}

// The status the Filter Manager gives for such a destination is not public:
// whatever it is, only STATUS_OBJECT_NAME_INVALID starts the link resolution.
TEST_F(SetInfoTest, ResolutionDependsOnTheRefusalStatus) {
    Monitor(0);
    _EPROCESS* app = StartWatched();
    ASSERT_EQ(sim::user::DefineDosDevice(app, 0, u"Name", u"C:\\docs\\target.txt"), STATUS_SUCCESS);
    sim::flt::SetDestinationThroughLinkStatus(STATUS_OBJECT_PATH_NOT_FOUND);

    EXPECT_EQ(RenameReport(app, u"\\??\\Name"), STATUS_SUCCESS);
    const auto events = Events(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_FALSE(events[0].dest.has_value());
    EXPECT_EQ(sim::DebugOutput(), std::vector<std::string>{Line(kFailureLine, Pid(app), "0xC000003A")});
    EXPECT_EQ(Get("docs/target.txt"), "quarterly numbers");
}

// Destinations the driver cannot name: the event goes out without one, and the
// debugger lines show how far the resolution went. A target whose directory
// the I/O manager cannot open, or that lies on another volume, fails before
// any set-information request exists: the driver sees nothing of it.
TEST_F(SetInfoTest, DestinationsThatCannotBeNamed) {
    Monitor(0);
    _EPROCESS* app = StartWatched();
    ASSERT_EQ(sim::user::DefineDosDevice(app, DDD_RAW_TARGET_PATH, u"Inner", u"\\??\\C:\\docs\\inner.txt"), STATUS_SUCCESS);
    ASSERT_EQ(sim::user::DefineDosDevice(app, DDD_RAW_TARGET_PATH, u"Outer", u"\\??\\Inner"), STATUS_SUCCESS);
    ASSERT_EQ(sim::user::DefineDosDevice(app, DDD_RAW_TARGET_PATH, u"Away", u"\\??\\D:\\away.txt"), STATUS_SUCCESS);
    const ULONG pid = Pid(app);
    struct Case {
        const char* name;
        std::u16string newName;
        std::vector<std::string> lines;
        NTSTATUS status;      // of the rename itself
        std::string movedTo;  // where the file is afterwards
        bool reported = true;
    };
    const Case cases[] = {
        // One level only: the link's target is itself refused, silently. The
        // rename still reaches the end of the chain.
        {"link to a link", u"\\??\\Outer", {Line(kRiplaceLine, pid), Line(kLinkLine, pid, "\\??\\Inner")}, STATUS_SUCCESS,
         "docs/inner.txt"},
        {"link to another volume", u"\\??\\Away", {}, STATUS_NOT_SAME_DEVICE, "docs/report.txt", false},
        {"no such link", u"\\??\\Nothing", {}, STATUS_OBJECT_NAME_NOT_FOUND, "docs/report.txt", false},
        {"invalid name, no link", u"bad<name>.txt", {Line(kRiplaceLine, pid)}, STATUS_OBJECT_NAME_INVALID, "docs/report.txt"},
        {"malformed stream name", u":stream:$BAD", {Line(kRiplaceLine, pid)}, STATUS_OBJECT_NAME_INVALID, "docs/report.txt"},
        {"another volume", u"\\??\\D:\\x.txt", {}, STATUS_NOT_SAME_DEVICE, "docs/report.txt", false},
        {"missing directory", u"\\??\\C:\\nowhere\\x.txt", {}, STATUS_OBJECT_PATH_NOT_FOUND, "docs/report.txt", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(root_ / "C" / "docs" / "inner.txt");
        Put("docs/report.txt", "quarterly numbers");
        ClearMessages();
        sim::ClearDebugOutput();
        const uint64_t sentBefore = Sent();
        EXPECT_EQ(RenameReport(app, c.newName), c.status);
        if (c.reported) {
            const auto events = Events(1);
            ASSERT_EQ(events.size(), 1u);
            EXPECT_EQ(events[0].operation, FileOpRename);
            EXPECT_FALSE(events[0].dest.has_value());
        } else {
            EXPECT_EQ(Sent(), sentBefore);
        }
        EXPECT_EQ(sim::DebugOutput(), c.lines);
        EXPECT_EQ(Get(c.movedTo), "quarterly numbers");
    }
}

// The destination is resolved for every rename that passes the gate, so the
// lines are written for processes that are not watched too; nothing is sent
// for them. Before the gate (monitoring off, or the client itself) nothing is
// written at all.
TEST_F(SetInfoTest, LogLinesForWatchedAndUnwatchedProcesses) {
    Monitor(0);
    _EPROCESS* watched = StartWatched();
    _EPROCESS* other = StartProcess();
    ASSERT_EQ(sim::user::DefineDosDevice(other, DDD_RAW_TARGET_PATH, u"Name", u"\\??\\C:\\docs\\moved.txt"), STATUS_SUCCESS);
    const std::vector<std::string> otherLines{Line(kRiplaceLine, Pid(other)),
                                              Line(kLinkLine, Pid(other), "\\??\\C:\\docs\\moved.txt")};

    const uint64_t sentBefore = Sent();
    EXPECT_EQ(RenameReport(other, u"\\??\\Name"), STATUS_SUCCESS);
    EXPECT_EQ(Sent(), sentBefore);
    EXPECT_EQ(sim::DebugOutput(), otherLines);

    Put("docs/report.txt", "second");
    sim::ClearDebugOutput();
    EXPECT_EQ(RenameReport(watched, u"\\??\\Name"), STATUS_SUCCESS);
    EXPECT_EQ(Events(1).size(), 1u);
    EXPECT_EQ(sim::DebugOutput(), (std::vector<std::string>{Line(kRiplaceLine, Pid(watched)),
                                                             Line(kLinkLine, Pid(watched), "\\??\\C:\\docs\\moved.txt")}));

    SetFileMon(false);
    Put("docs/report.txt", "third");
    sim::ClearDebugOutput();
    EXPECT_EQ(RenameReport(watched, u"\\??\\Name"), STATUS_SUCCESS);
    EXPECT_TRUE(sim::DebugOutput().empty());
    EXPECT_EQ(Get("docs/moved.txt"), "third");
}

// Each step of the link resolution failing in turn: the event still goes out,
// without a destination, nothing is left open or allocated, and the rename
// goes on as the client decides.
TEST_F(SetInfoTest, EachStepOfTheLinkResolutionFailing) {
    Monitor(0);
    _EPROCESS* app = StartWatched();
    ASSERT_EQ(sim::user::DefineDosDevice(app, DDD_RAW_TARGET_PATH, u"Name", u"\\??\\C:\\docs\\target.txt"), STATUS_SUCCESS);
    const ULONG pid = Pid(app);
    const std::string riplace = Line(kRiplaceLine, pid);
    const std::string found = Line(kLinkLine, pid, "\\??\\C:\\docs\\target.txt");
    const size_t kernelHandles = sim::ob::HandleCount(nullptr, true);
    struct Case {
        const char* name;
        std::function<void()> inject;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"open", [] { sim::InjectFailure("ZwOpenSymbolicLinkObject", STATUS_ACCESS_DENIED); }, {riplace}},
        {"size query", [] { sim::ob::InjectLinkQueryFailure(1, STATUS_ACCESS_DENIED); }, {riplace}},
        {"target query", [] { sim::ob::InjectLinkQueryFailure(2, STATUS_INSUFFICIENT_RESOURCES); }, {riplace}},
        {"target buffer", [] { sim::pool::FailTag('QVFT'); }, {riplace}},
        {"second name query",
         [] {
             sim::fs::InjectFault({.op = sim::fs::FaultOp::NameQueryNormalized, .path = u"C:\\docs\\target.txt", .nth = 1, .count = 1, .status = STATUS_INSUFFICIENT_RESOURCES});
         },
         {riplace, found}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Put("docs/report.txt", "quarterly numbers");
        ClearMessages();
        sim::ClearDebugOutput();
        c.inject();
        HANDLE handle = Open(app, u"C:\\docs\\report.txt");
        const NTSTATUS status = sim::user::SetRenameInformation(app, handle, u"\\??\\Name", true);
        sim::user::CloseHandle(app, handle);
        sim::pool::ClearFaults();
        sim::ClearInjectedFailures();
        EXPECT_EQ(status, STATUS_SUCCESS);
        const auto events = Events(1);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_FALSE(events[0].dest.has_value());
        EXPECT_EQ(sim::DebugOutput(), c.lines);
        EXPECT_EQ(sim::pool::LiveByTag().count('QVFT'), 0u);
        EXPECT_EQ(sim::ob::HandleCount(nullptr, true), kernelHandles);
        EXPECT_EQ(Get("docs/target.txt"), "quarterly numbers");
    }
}

// The source's name cannot be had: the request passes unreported. The
// destination is named but cannot be parsed: the rename is reported without
// one, and its name information is given back.
TEST_F(SetInfoTest, SourceOrDestinationNameFailures) {
    Monitor(VerdictDeny);
    _EPROCESS* app = StartWatched();
    struct Case {
        const char* what;
        std::function<void()> inject;  // after the open, before the rename
        NTSTATUS status;               // of the rename
        bool reported;
    };
    const Case cases[] = {
        {"source name", [] { sim::InjectFailure("FltGetFileNameInformation", STATUS_INSUFFICIENT_RESOURCES, 2); }, STATUS_SUCCESS,
         false},
        // The source's name is parsed first; the next parse, right after the
        // destination's query, is the destination's.
        {"destination parse",
         [] {
             sim::OnNextCall("FltGetDestinationFileNameInformation",
                             [] { sim::InjectFailure("FltParseFileNameInformation", STATUS_INSUFFICIENT_RESOURCES); });
         },
         STATUS_ACCESS_DENIED, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Put("docs/report.txt", "quarterly numbers");
        fs::remove(root_ / "C" / "docs" / "moved.txt");
        ClearMessages();
        HANDLE handle = Open(app, u"C:\\docs\\report.txt");
        const uint64_t sentBefore = Sent();
        c.inject();
        EXPECT_EQ(sim::user::SetRenameInformation(app, handle, u"\\??\\C:\\docs\\moved.txt", true), c.status);
        sim::ClearInjectedFailures();
        sim::user::CloseHandle(app, handle);
        if (c.reported) {
            const auto events = Events(1);
            ASSERT_EQ(events.size(), 1u);
            EXPECT_EQ(events[0].operation, FileOpRename);
            EXPECT_FALSE(events[0].dest.has_value());
        } else {
            EXPECT_EQ(Sent(), sentBefore);
            EXPECT_EQ(Get("docs/moved.txt"), "quarterly numbers");
        }
        EXPECT_EQ(sim::flt::LiveFileNameCount(), 0u);
    }
}

// A link whose target no counted string can describe (its size with the
// stored null is past 0xFFFF bytes) ends the resolution at the size query:
// no buffer, no second query, no name. (The I/O manager could not follow such
// a link to a file either, so the resolution is called directly, in the
// program's thread, on a file the program has open.)
TEST_F(SetInfoTest, ALinkTargetTooLongForACountedStringIsNotFollowed) {
    Monitor(0);
    _EPROCESS* app = StartWatched();
    const std::u16string prefix = u"\\??\\C:\\docs\\";
    const std::u16string target = prefix + std::u16string(0xFFFE / 2 - prefix.size(), u'a');  // 0xFFFE bytes, 0x10000 with the null
    ASSERT_EQ(sim::user::DefineDosDevice(app, DDD_RAW_TARGET_PATH, u"Long", target), STATUS_SUCCESS);
    HANDLE handle = Open(app, u"C:\\docs\\report.txt");
    sim::ob::HandleEntry entry;
    ASSERT_EQ(sim::ob::LookupHandle(app, handle, sim::ob::ObjectType::File, &entry), STATUS_SUCCESS);
    auto* fileObject = static_cast<PFILE_OBJECT>(entry.object);
    PFLT_INSTANCE instance = sim::flt::InstanceOf(DriverData.Filter, sim::fs::BodyOf(fileObject)->volume);
    const std::u16string name = u"\\??\\Long";
    std::vector<uint8_t> record(sizeof(FILE_RENAME_INFORMATION) + name.size() * 2, 0);
    auto* info = reinterpret_cast<FILE_RENAME_INFORMATION*>(record.data());
    info->FileNameLength = static_cast<ULONG>(name.size() * 2);
    std::memcpy(info->FileName, name.data(), name.size() * 2);
    sim::ClearDebugOutput();
    const uint64_t queries = sim::CallCount("ZwQuerySymbolicLinkObject");
    const size_t kernelHandles = sim::ob::HandleCount(nullptr, true);
    PFLT_FILE_NAME_INFORMATION dest = reinterpret_cast<PFLT_FILE_NAME_INFORMATION>(uintptr_t{1});
    NTSTATUS status;
    {
        sim::ThreadScope scope(app, sim::InThread::Main);
        status = FilterGetDestFileName(instance, fileObject, info, &dest);
    }
    EXPECT_EQ(status, STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(dest, nullptr);
    EXPECT_EQ(sim::DebugOutput(), std::vector<std::string>{Line(kRiplaceLine, Pid(app))});
    EXPECT_EQ(sim::CallCount("ZwQuerySymbolicLinkObject"), queries + 1);
    EXPECT_EQ(sim::pool::LiveByTag().count('QVFT'), 0u);
    EXPECT_EQ(sim::ob::HandleCount(nullptr, true), kernelHandles);
    sim::user::CloseHandle(app, handle);
    ASSERT_EQ(sim::user::DefineDosDevice(app, DDD_REMOVE_DEFINITION, u"Long", u""), STATUS_SUCCESS);
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
