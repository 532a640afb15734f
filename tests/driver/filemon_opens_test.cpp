// Opens the I/O manager and the memory manager make for themselves: the
// parent directory of a rename or link target, opened before the
// set-information request, and a paging file. First what the model delivers
// to a filter (a recording filter), then what the driver makes of them.
#include "tests/support/filemon_fixture.h"
#include "tests/support/request_recorder.h"

#include "channel/wire.h"
#include "sim/user/file.h"
#include "sim/user/pagingfile.h"
#include "sim/user/process.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr char16_t kVolume1[] = u"\\Device\\HarddiskVolume1";
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

// Index of the first request of `major` on `fileObject` at or after `from`, or -1.
int Find(const std::vector<vtest::RecordedRequest>& requests, UCHAR major, PFILE_OBJECT fileObject, size_t from = 0) {
    for (size_t i = from; i < requests.size(); ++i) {
        if (requests[i].major == major && requests[i].fileObject == fileObject) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// ---------------------------------------------------------------------------
// The model: what a filter sees of these opens.

class SystemOpensTest : public vtest::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        root_ = fs::temp_directory_path() / ("vetrona-opens-" + std::to_string(::getpid()) + "-" +
                                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_ / "C" / "docs" / "sub");
        fs::create_directories(root_ / "D");
        sim::fs::MountVolume((root_ / "C").string(), u'C');
        sim::fs::MountVolume((root_ / "D").string(), u'D');
        process_ = sim::user::StartProcess(nullptr, vtest::kAppImage);
        recorder_.Start();
    }
    void TearDown() override {
        recorder_.Stop();
        SimTest::TearDown();
        fs::remove_all(root_);
    }

    HANDLE Open(std::u16string_view path, ACCESS_MASK access, ULONG options = FILE_NON_DIRECTORY_FILE, ULONG share = kShareAll) {
        HANDLE handle = nullptr;
        EXPECT_EQ(sim::user::CreateFile(process_, path, access | SYNCHRONIZE, share, FILE_OPEN,
                                        options | FILE_SYNCHRONOUS_IO_NONALERT, &handle),
                  STATUS_SUCCESS);
        return handle;
    }

    NTSTATUS Link(HANDLE handle, std::u16string_view name, bool replace) {
        std::vector<uint8_t> record(sizeof(FILE_LINK_INFORMATION) + name.size() * 2, 0);
        auto* info = reinterpret_cast<FILE_LINK_INFORMATION*>(record.data());
        info->ReplaceIfExists = replace ? TRUE : FALSE;
        info->FileNameLength = static_cast<ULONG>(name.size() * 2);
        std::memcpy(info->FileName, name.data(), name.size() * 2);
        return sim::user::SetInformationFile(process_, handle, FileLinkInformation, record.data(),
                                             static_cast<ULONG>(record.size()));
    }

    fs::path root_;
    _EPROCESS* process_ = nullptr;
    vtest::RequestRecorder recorder_;
};

// A rename to a full path or below a root directory opens the target's
// directory first, in the renaming thread, as a kernel-mode request with
// SL_OPEN_TARGET_DIRECTORY; the set-information request carries it as
// ParentOfTarget, and it is cleaned up and closed once the rename is done. A
// simple name needs no such open.
TEST_F(SystemOpensTest, TargetDirectoryOpenComesBeforeTheRename) {
    HANDLE sub = Open(u"C:\\docs\\sub", FILE_LIST_DIRECTORY, FILE_DIRECTORY_FILE);
    struct Case {
        const char* name;
        std::u16string newName;
        HANDLE root;
        bool replace;
        bool opensDirectory;
        ULONG_PTR information;       // of the target-directory open
        std::u16string directory;    // its name in the pre-create, volume-relative
        std::u16string finalName;    // what the file object names after it
        NTSTATUS status;             // of the rename
        std::string movedTo;
    };
    const Case cases[] = {
        {"full path, free name", u"\\??\\C:\\docs\\sub\\b.txt", nullptr, false, true, FILE_DOES_NOT_EXIST, u"\\docs\\sub",
         u"b.txt", STATUS_SUCCESS, "docs/sub/b.txt"},
        {"full path over a file, replace", u"\\??\\C:\\docs\\taken.txt", nullptr, true, true, FILE_EXISTS, u"\\docs",
         u"taken.txt", STATUS_SUCCESS, "docs/taken.txt"},
        {"full path over a file, no replace", u"\\??\\C:\\docs\\taken.txt", nullptr, false, true, FILE_EXISTS, u"\\docs",
         u"taken.txt", STATUS_OBJECT_NAME_COLLISION, "docs/report.txt"},
        {"below a root directory", u"e.txt", sub, false, true, FILE_DOES_NOT_EXIST, u"\\docs\\sub", u"e.txt",
         STATUS_SUCCESS, "docs/sub/e.txt"},
        {"into the volume's root", u"\\??\\C:\\top.txt", nullptr, false, true, FILE_DOES_NOT_EXIST, u"\\", u"top.txt",
         STATUS_SUCCESS, "top.txt"},
        {"simple name", u"plain.txt", nullptr, false, false, 0, u"", u"", STATUS_SUCCESS, "docs/plain.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteAll(root_ / "C" / "docs" / "report.txt", "report");
        WriteAll(root_ / "C" / "docs" / "taken.txt", "taken");
        HANDLE handle = Open(u"C:\\docs\\report.txt", DELETE | FILE_READ_DATA);
        recorder_.Clear();
        EXPECT_EQ(sim::user::SetRenameInformation(process_, handle, c.newName, c.replace, c.root), c.status);
        EXPECT_EQ(sim::user::CloseHandle(process_, handle), STATUS_SUCCESS);
        EXPECT_EQ(ReadAll(root_ / "C" / c.movedTo), "report");

        const auto requests = recorder_.Requests();
        const auto creates = recorder_.Requests(IRP_MJ_CREATE);
        const auto setInfos = recorder_.Requests(IRP_MJ_SET_INFORMATION);
        ASSERT_EQ(setInfos.size(), 1u);
        if (!c.opensDirectory) {
            EXPECT_TRUE(creates.empty());
            EXPECT_EQ(setInfos[0].parentOfTarget, nullptr);
            continue;
        }
        ASSERT_EQ(creates.size(), 1u);
        const vtest::RecordedRequest& open = creates[0];
        EXPECT_EQ(open.operationFlags, SL_OPEN_TARGET_DIRECTORY | SL_FORCE_ACCESS_CHECK);
        EXPECT_EQ(open.requestorMode, KernelMode);
        EXPECT_EQ(open.processId, static_cast<ULONG_PTR>(process_->pid));
        EXPECT_EQ(open.desiredAccess, static_cast<ACCESS_MASK>(FILE_ADD_FILE | SYNCHRONIZE));
        EXPECT_EQ(open.options >> 24, static_cast<ULONG>(FILE_OPEN));
        EXPECT_EQ(open.options & FILE_VALID_OPTION_FLAGS, static_cast<ULONG>(FILE_OPEN_FOR_BACKUP_INTENT));
        EXPECT_EQ(open.shareAccess, FILE_SHARE_READ | FILE_SHARE_WRITE);
        // The Filter Manager names such an open by the target's directory.
        EXPECT_EQ(open.openedNameStatus, STATUS_SUCCESS);
        EXPECT_EQ(open.openedName, std::u16string(kVolume1) + (c.directory == u"\\" ? u"\\" : c.directory));
        EXPECT_TRUE(open.completed);
        EXPECT_EQ(open.status, STATUS_SUCCESS);
        EXPECT_EQ(open.information, c.information);
        EXPECT_EQ(open.fileNameAfter, c.finalName);
        EXPECT_EQ(setInfos[0].parentOfTarget, open.fileObject);
        // Cleaned up and closed after the rename, both as kernel-mode requests.
        const int rename = Find(requests, IRP_MJ_SET_INFORMATION, setInfos[0].fileObject);
        const int cleanup = Find(requests, IRP_MJ_CLEANUP, open.fileObject);
        const int close = Find(requests, IRP_MJ_CLOSE, open.fileObject);
        ASSERT_GE(cleanup, 0);
        ASSERT_GE(close, 0);
        EXPECT_GT(cleanup, rename);
        EXPECT_GT(close, cleanup);
        EXPECT_EQ(requests[cleanup].requestorMode, KernelMode);
    }
    EXPECT_EQ(sim::user::CloseHandle(process_, sub), STATUS_SUCCESS);
}

// What ends a rename or link at the target's directory, before any
// set-information request exists: a missing directory, another volume, a
// link over an existing name without replace, a directory held open without
// write sharing. The directory's open is given back in every case.
TEST_F(SystemOpensTest, RefusalsAtTheTargetDirectory) {
    WriteAll(root_ / "C" / "docs" / "taken.txt", "taken");
    HANDLE blocker = nullptr;
    struct Case {
        const char* name;
        std::u16string newName;
        bool link;
        bool replace;
        NTSTATUS status;
        bool opened;   // the directory's open succeeded (and was given back)
        bool reached;  // a set-information request was sent
    };
    const Case cases[] = {
        {"missing directory", u"\\??\\C:\\nowhere\\x.txt", false, false, STATUS_OBJECT_PATH_NOT_FOUND, false, false},
        {"another volume", u"\\??\\D:\\x.txt", false, false, STATUS_NOT_SAME_DEVICE, true, false},
        {"link over a name, no replace", u"\\??\\C:\\docs\\taken.txt", true, false, STATUS_OBJECT_NAME_COLLISION, true, false},
        {"link over a name, replace", u"\\??\\C:\\docs\\taken.txt", true, true, STATUS_SUCCESS, true, true},
        {"the volume's root", u"\\??\\C:\\", false, false, STATUS_OBJECT_NAME_INVALID, false, false},
        {"a stream", u"\\??\\C:\\docs\\x.txt:s", false, false, STATUS_OBJECT_NAME_INVALID, false, false},
        {"directory open without write sharing", u"\\??\\C:\\docs\\sub\\x.txt", false, false, STATUS_SHARING_VIOLATION, false,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteAll(root_ / "C" / "docs" / "report.txt", "report");
        if (std::string(c.name).rfind("directory open", 0) == 0) {
            blocker = Open(u"C:\\docs\\sub", FILE_LIST_DIRECTORY, FILE_DIRECTORY_FILE, FILE_SHARE_READ | FILE_SHARE_DELETE);
        }
        HANDLE handle = Open(u"C:\\docs\\report.txt", DELETE | FILE_READ_DATA);
        recorder_.Clear();
        const NTSTATUS status = c.link ? Link(handle, c.newName, c.replace)
                                       : sim::user::SetRenameInformation(process_, handle, c.newName, c.replace);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(sim::user::CloseHandle(process_, handle), STATUS_SUCCESS);
        const auto requests = recorder_.Requests();
        const auto creates = recorder_.Requests(IRP_MJ_CREATE);
        EXPECT_EQ(recorder_.Requests(IRP_MJ_SET_INFORMATION).size(), c.reached ? 1u : 0u);
        if (c.opened) {
            ASSERT_EQ(creates.size(), 1u);
            EXPECT_EQ(creates[0].status, STATUS_SUCCESS);
            EXPECT_GE(Find(requests, IRP_MJ_CLEANUP, creates[0].fileObject), 0);
            EXPECT_GE(Find(requests, IRP_MJ_CLOSE, creates[0].fileObject), 0);
        } else if (!creates.empty()) {
            EXPECT_FALSE(NT_SUCCESS(creates[0].status));
            EXPECT_EQ(Find(requests, IRP_MJ_CLEANUP, creates[0].fileObject), -1);
        }
        if (blocker != nullptr) {
            EXPECT_EQ(sim::user::CloseHandle(process_, blocker), STATUS_SUCCESS);
            blocker = nullptr;
        }
    }
    EXPECT_EQ(ReadAll(root_ / "C" / "docs" / "taken.txt"), "report");  // the one link that went through
}

// A directory that moves asks for the right to add a subdirectory.
TEST_F(SystemOpensTest, ADirectoryMovingAsksToAddASubdirectory) {
    HANDLE dir = Open(u"C:\\docs\\sub", DELETE | FILE_LIST_DIRECTORY, FILE_DIRECTORY_FILE);
    EXPECT_EQ(sim::user::SetRenameInformation(process_, dir, u"\\??\\C:\\moved", false), STATUS_SUCCESS);
    EXPECT_EQ(sim::user::CloseHandle(process_, dir), STATUS_SUCCESS);
    const auto creates = recorder_.Requests(IRP_MJ_CREATE);
    ASSERT_EQ(creates.size(), 2u);
    EXPECT_EQ(creates[1].desiredAccess, static_cast<ACCESS_MASK>(FILE_ADD_SUBDIRECTORY | SYNCHRONIZE));
    EXPECT_TRUE(fs::is_directory(root_ / "C" / "moved"));
}

// The memory manager's open of a paging file: kernel mode, SL_OPEN_PAGING_FILE,
// in the thread of the process that asked, then the file's end set; the file
// stays open (and shared for writing only) until shutdown.
TEST_F(SystemOpensTest, PagingFileOpen) {
    _EPROCESS* user = process_;
    EXPECT_EQ(sim::user::CreatePagingFile(user, u"\\??\\C:\\pagefile.sys", 1 << 20), STATUS_PRIVILEGE_NOT_HELD);
    EXPECT_TRUE(recorder_.Requests().empty());

    _EPROCESS* smss = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\Windows\\System32\\smss.exe", u"", true);
    ASSERT_NE(smss, nullptr);
    EXPECT_EQ(sim::user::CreatePagingFile(smss, u"\\??\\C:\\pagefile.sys", 0), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(sim::user::CreatePagingFile(smss, u"\\??\\C:\\pagefile.sys", 1 << 20), STATUS_SUCCESS);
    const auto creates = recorder_.Requests(IRP_MJ_CREATE);
    ASSERT_EQ(creates.size(), 1u);
    const vtest::RecordedRequest& open = creates[0];
    EXPECT_EQ(open.operationFlags, SL_OPEN_PAGING_FILE);
    EXPECT_EQ(open.requestorMode, KernelMode);
    EXPECT_EQ(open.processId, static_cast<ULONG_PTR>(smss->pid));
    EXPECT_EQ(open.desiredAccess, static_cast<ACCESS_MASK>(FILE_READ_DATA | FILE_WRITE_DATA | SYNCHRONIZE));
    EXPECT_EQ(open.options >> 24, static_cast<ULONG>(FILE_OPEN_IF));
    EXPECT_EQ(open.options & FILE_VALID_OPTION_FLAGS, static_cast<ULONG>(FILE_NO_INTERMEDIATE_BUFFERING));
    EXPECT_EQ(open.shareAccess, FILE_SHARE_WRITE);
    EXPECT_EQ(open.fileAttributes, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    EXPECT_EQ(open.status, STATUS_SUCCESS);
    EXPECT_EQ(open.information, static_cast<ULONG_PTR>(FILE_CREATED));
    const auto setInfos = recorder_.Requests(IRP_MJ_SET_INFORMATION);
    ASSERT_EQ(setInfos.size(), 1u);
    EXPECT_EQ(setInfos[0].infoClass, FileEndOfFileInformation);
    EXPECT_EQ(setInfos[0].fileObject, open.fileObject);
    EXPECT_EQ(fs::file_size(root_ / "C" / "pagefile.sys"), 1u << 20);

    // Nobody else reads it while it is in use.
    HANDLE h = nullptr;
    EXPECT_EQ(sim::user::CreateFile(user, u"C:\\pagefile.sys", FILE_READ_DATA | SYNCHRONIZE, kShareAll, FILE_OPEN, 0, &h),
              STATUS_SHARING_VIOLATION);
    EXPECT_EQ(Find(recorder_.Requests(), IRP_MJ_CLEANUP, open.fileObject), -1);

    EXPECT_EQ(sim::user::ClosePagingFiles(), 1u);
    const auto requests = recorder_.Requests();
    EXPECT_GE(Find(requests, IRP_MJ_CLEANUP, open.fileObject), 0);
    EXPECT_GE(Find(requests, IRP_MJ_CLOSE, open.fileObject), 0);
    EXPECT_EQ(sim::user::ClosePagingFiles(), 0u);
}

// A filter may keep a stream-handle context on an ordinary file object, not
// on a paging file's.
NTSTATUS gOrdinaryContext = STATUS_PENDING;
NTSTATUS gPagingContext = STATUS_PENDING;

FLT_POSTOP_CALLBACK_STATUS FLTAPI ContextPostCreate(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects, PVOID,
                                                    FLT_POST_OPERATION_FLAGS) {
    if (!NT_SUCCESS(data->IoStatus.Status)) {
        return FLT_POSTOP_FINISHED_PROCESSING;
    }
    PFLT_CONTEXT context = nullptr;
    NTSTATUS status = FltAllocateContext(objects->Filter, FLT_STREAMHANDLE_CONTEXT, 8, NonPagedPool, &context);
    if (NT_SUCCESS(status)) {
        status = FltSetStreamHandleContext(objects->Instance, objects->FileObject, FLT_SET_CONTEXT_KEEP_IF_EXISTS, context, nullptr);
        FltReleaseContext(context);
    }
    ((data->Iopb->OperationFlags & SL_OPEN_PAGING_FILE) != 0 ? gPagingContext : gOrdinaryContext) = status;
    return FLT_POSTOP_FINISHED_PROCESSING;
}

TEST_F(SystemOpensTest, NoStreamHandleContextOnAPagingFile) {
    static const FLT_CONTEXT_REGISTRATION contexts[] = {
        {FLT_STREAMHANDLE_CONTEXT, 0, nullptr, 8, 'xtCT', nullptr, nullptr, nullptr},
        {FLT_CONTEXT_END, 0, nullptr, 0, 0, nullptr, nullptr, nullptr},
    };
    static const FLT_OPERATION_REGISTRATION operations[] = {
        {IRP_MJ_CREATE, 0, nullptr, ContextPostCreate, nullptr},
        {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr},
    };
    DRIVER_OBJECT driver{};
    FLT_REGISTRATION registration{};
    registration.Size = sizeof(FLT_REGISTRATION);
    registration.Version = FLT_REGISTRATION_VERSION_0200;
    registration.ContextRegistration = contexts;
    registration.OperationRegistration = operations;
    PFLT_FILTER filter = nullptr;
    ASSERT_EQ(FltRegisterFilter(&driver, &registration, &filter), STATUS_SUCCESS);
    ASSERT_EQ(FltStartFiltering(filter), STATUS_SUCCESS);
    _EPROCESS* smss = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\Windows\\System32\\smss.exe", u"", true);
    ASSERT_EQ(sim::user::CreatePagingFile(smss, u"\\??\\C:\\pagefile.sys", 1 << 16), STATUS_SUCCESS);
    HANDLE handle = Open(u"C:\\docs\\sub", FILE_LIST_DIRECTORY, FILE_DIRECTORY_FILE);
    EXPECT_EQ(gPagingContext, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(gOrdinaryContext, STATUS_SUCCESS);
    EXPECT_EQ(sim::user::CloseHandle(process_, handle), STATUS_SUCCESS);
    EXPECT_EQ(sim::user::ClosePagingFiles(), 1u);
    FltUnregisterFilter(filter);
}

// ---------------------------------------------------------------------------
// The driver: both opens are passed over, whoever makes them; the rename
// itself is still reported and deniable.

struct RenameSeen {
    int32_t operation = FileOpNone;
    std::u16string name;
    std::optional<std::u16string> dest;
    uint8_t replaceIfExists = 0;
};

class OpensTest : public vtest::FileMonTest {
protected:
    void SetUp() override {
        FileMonTest::SetUp();
        // Attached after the driver: below it, it sees what the driver let through.
        recorder_.Start();
    }
    void TearDown() override {
        recorder_.Stop();
        FileMonTest::TearDown();
    }

    std::vector<RenameSeen> Decoded(size_t atLeast) {
        Events(atLeast);
        std::vector<RenameSeen> out;
        for (const auto& message : Messages()) {
            FileEvent header;
            std::memcpy(&header, message.body.data(), sizeof(header));
            RenameSeen seen;
            seen.operation = header.Operation;
            seen.name.assign(reinterpret_cast<const char16_t*>(message.body.data() + FILE_EVENT_NAME_OFFSET),
                             header.NameLength / 2);
            if (header.Operation == FileOpRename) {
                seen.replaceIfExists = header.Params.Rename.ReplaceIfExists;
                if (header.Params.Rename.DestNameLength != 0) {
                    seen.dest = std::u16string(reinterpret_cast<const char16_t*>(message.body.data() + FILE_EVENT_DEST_BASE +
                                                                                header.Params.Rename.DestNameOffset),
                                               header.Params.Rename.DestNameLength / 2);
                }
            }
            out.push_back(seen);
        }
        return out;
    }

    HANDLE OpenForRename(std::u16string_view path) {
        HANDLE handle = nullptr;
        EXPECT_EQ(Open(path, DELETE | FILE_READ_DATA | SYNCHRONIZE, FILE_OPEN, &handle,
                       FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, kShareAll),
                  STATUS_SUCCESS);
        return handle;
    }

    static uint64_t Sent() { return sim::CallCount("FltSendMessage"); }

    vtest::RequestRecorder recorder_;
};

// A watched program's rename to a full path: the I/O manager's open of the
// target's directory asks for FILE_ADD_FILE, which the classifier would call
// an open for writing; it reaches the driver (the filter below it sees it,
// from the program's thread) and is passed over. The one event is the rename.
TEST_F(OpensTest, TargetDirectoryOpenOfAWatchedRenameIsPassedOver) {
    fs::create_directories(HostC("docs/sub"));
    for (const bool relative : {false, true}) {
        SCOPED_TRACE(relative ? "below a root directory" : "full path");
        WriteHost(HostC("docs/report.txt"), "numbers");
        HANDLE root = nullptr;
        if (relative) {
            ASSERT_EQ(sim::user::CreateFile(app_, u"C:\\docs\\sub", FILE_LIST_DIRECTORY | SYNCHRONIZE, kShareAll, FILE_OPEN,
                                            FILE_DIRECTORY_FILE, &root),
                      STATUS_SUCCESS);
        }
        HANDLE handle = OpenForRename(u"C:\\docs\\report.txt");
        ClearEvents();
        recorder_.Clear();
        EXPECT_EQ(sim::user::SetRenameInformation(app_, handle, relative ? u"new.txt" : u"\\??\\C:\\docs\\sub\\new.txt", false,
                                                  root),
                  STATUS_SUCCESS);
        const auto creates = recorder_.Requests(IRP_MJ_CREATE);
        ASSERT_EQ(creates.size(), 1u);
        EXPECT_EQ(creates[0].operationFlags & SL_OPEN_TARGET_DIRECTORY, SL_OPEN_TARGET_DIRECTORY);
        EXPECT_EQ(creates[0].processId, static_cast<ULONG_PTR>(Pid(app_)));
        EXPECT_EQ(creates[0].status, STATUS_SUCCESS);
        const auto events = Decoded(1);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].operation, FileOpRename);
        EXPECT_EQ(events[0].name, std::u16string(kVolume1) + u"\\docs\\report.txt");
        EXPECT_EQ(events[0].dest, std::u16string(kVolume1) + u"\\docs\\sub\\new.txt");
        EXPECT_EQ(Close(handle), STATUS_SUCCESS);
        if (root != nullptr) {
            EXPECT_EQ(Close(root), STATUS_SUCCESS);
        }
        EXPECT_EQ(ReadHost(HostC("docs/sub/new.txt")), "numbers");
        fs::remove(HostC("docs/sub/new.txt"));
    }
}

// A rename over an existing file, its directory opened by the I/O manager on
// the way: reported with the destination and the replace flag, refused by
// verdict 1 (both files untouched, the directory's open given back) and
// carried out otherwise.
TEST_F(OpensTest, RenameOverAnExistingTargetIsReportedAndDeniable) {
    for (const int32_t verdict : {VerdictDeny, 0}) {
        SCOPED_TRACE(verdict);
        Answer(FileOpRename, verdict);
        WriteHost(HostC("docs/report.txt"), "new numbers");
        WriteHost(HostC("docs/target.txt"), "old numbers");
        HANDLE handle = OpenForRename(u"C:\\docs\\report.txt");
        ClearEvents();
        recorder_.Clear();
        const NTSTATUS status = sim::user::SetRenameInformation(app_, handle, u"\\??\\C:\\docs\\target.txt", true);
        EXPECT_EQ(Close(handle), STATUS_SUCCESS);
        const auto events = Decoded(1);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].operation, FileOpRename);
        EXPECT_EQ(events[0].dest, std::u16string(kVolume1) + u"\\docs\\target.txt");
        EXPECT_EQ(events[0].replaceIfExists, 1);

        const auto requests = recorder_.Requests();
        const auto creates = recorder_.Requests(IRP_MJ_CREATE);
        ASSERT_EQ(creates.size(), 1u);
        EXPECT_EQ(creates[0].information, static_cast<ULONG_PTR>(FILE_EXISTS));
        EXPECT_GE(Find(requests, IRP_MJ_CLOSE, creates[0].fileObject), 0);
        if (verdict == VerdictDeny) {
            EXPECT_EQ(status, STATUS_ACCESS_DENIED);
            EXPECT_TRUE(recorder_.Requests(IRP_MJ_SET_INFORMATION).empty());  // completed by the driver
            EXPECT_EQ(ReadHost(HostC("docs/report.txt")), "new numbers");
            EXPECT_EQ(ReadHost(HostC("docs/target.txt")), "old numbers");
        } else {
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_FALSE(fs::exists(HostC("docs/report.txt")));
            EXPECT_EQ(ReadHost(HostC("docs/target.txt")), "new numbers");
        }
    }
}

// A paging file opened for a watched process (the session manager, say):
// asked for reading and writing data, but never classified, reported or
// followed; its close at shutdown is no close of a modified file either.
TEST_F(OpensTest, PagingFileOpenIsPassedOver) {
    _EPROCESS* smss = StartProcess(u"\\Device\\HarddiskVolume1\\Windows\\System32\\smss.exe", nullptr, true);
    ASSERT_EQ(AddProcess(Pid(smss)), STATUS_SUCCESS);
    const uint64_t sentBefore = Sent();
    ASSERT_EQ(sim::user::CreatePagingFile(smss, u"\\??\\C:\\pagefile.sys", 1 << 20), STATUS_SUCCESS);
    const auto creates = recorder_.Requests(IRP_MJ_CREATE);
    ASSERT_EQ(creates.size(), 1u);
    EXPECT_EQ(creates[0].operationFlags, SL_OPEN_PAGING_FILE);
    EXPECT_EQ(creates[0].processId, static_cast<ULONG_PTR>(Pid(smss)));
    EXPECT_EQ(sim::user::ClosePagingFiles(), 1u);
    EXPECT_EQ(Sent(), sentBefore);
    EXPECT_EQ(fs::file_size(HostC("pagefile.sys")), 1u << 20);

    // The same open by the same process as an ordinary create is reported.
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"C:\\pagefile.sys", FILE_READ_DATA | FILE_WRITE_DATA | SYNCHRONIZE, FILE_OPEN_IF, &handle,
                   FILE_NO_INTERMEDIATE_BUFFERING, FILE_SHARE_WRITE, smss),
              STATUS_SUCCESS);
    EXPECT_EQ(Close(handle, smss), STATUS_SUCCESS);
    EXPECT_EQ(Operations(1), std::vector<int32_t>{FileOpWriteAccess});
}

}  // namespace
