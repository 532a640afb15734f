// Where a rename or link goes, end to end: each destination form (a link
// the program defined among them), the refusal statuses the resolution
// depends on, destinations that cannot be named, the debugger lines written
// on the way and every failing step of the link resolution.
#include "tests/driver/setinfo_fixture.h"

namespace {

using namespace vtest::setinfo;


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

}  // namespace
