// The simulated file system and the Filter Manager's request path, pinned to
// the platform's behaviour: create dispositions against existence with their
// Information codes, share access, delete-on-close and dispositions, rename
// with and without replace, end-of-file reads, stable file ids, pass-through
// on a volume handle, the pre/post calling sequence and fault injection.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim/flt/io.h"
#include "sim/io/mdl.h"
#include "sim/ob/ob.h"
#include "sim/user/file.h"
#include "sim/user/process.h"
#include "tests/support/fixture.h"

using namespace sim::user;
namespace fs = std::filesystem;

namespace {

// What the test filter saw, in order.
struct Seen {
    UCHAR major;
    bool post;
    NTSTATUS status;
    PVOID completionContext;
};
std::vector<Seen> gSeen;
FLT_PREOP_CALLBACK_STATUS gCreateVerdict = FLT_PREOP_SUCCESS_WITH_CALLBACK;
FLT_CALLBACK_DATA gLastCreate;
FLT_IO_PARAMETER_BLOCK gLastCreateIopb;
IO_SECURITY_CONTEXT gLastSecurity;
PEPROCESS gLastCreator;

FLT_PREOP_CALLBACK_STATUS FLTAPI RecordPre(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects, PVOID* context) {
    gSeen.push_back({data->Iopb->MajorFunction, false, 0, nullptr});
    EXPECT_EQ(objects->Size, sizeof(FLT_RELATED_OBJECTS));
    EXPECT_EQ(objects->FileObject, data->Iopb->TargetFileObject);
    EXPECT_EQ(objects->Instance, data->Iopb->TargetInstance);
    if (data->Iopb->MajorFunction == IRP_MJ_CREATE) {
        gLastCreate = *data;
        gLastCreateIopb = *data->Iopb;
        gLastSecurity = *data->Iopb->Parameters.Create.SecurityContext;
        gLastCreator = IoThreadToProcess(data->Thread);
        if (gCreateVerdict == FLT_PREOP_COMPLETE) {
            data->IoStatus.Status = STATUS_ACCESS_DENIED;
            data->IoStatus.Information = 0;
        }
        *context = reinterpret_cast<PVOID>(0x5EED);
        return gCreateVerdict;
    }
    *context = reinterpret_cast<PVOID>(static_cast<uintptr_t>(data->Iopb->MajorFunction) + 0x100);
    return FLT_PREOP_SUCCESS_WITH_CALLBACK;
}

FLT_POSTOP_CALLBACK_STATUS FLTAPI RecordPost(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID context,
                                             FLT_POST_OPERATION_FLAGS) {
    EXPECT_TRUE(data->Flags & FLTFL_CALLBACK_DATA_POST_OPERATION);
    gSeen.push_back({data->Iopb->MajorFunction, true, data->IoStatus.Status, context});
    return FLT_POSTOP_FINISHED_PROCESSING;
}

const FLT_OPERATION_REGISTRATION kOperations[] = {
    {IRP_MJ_READ, 0, nullptr, nullptr, nullptr},  // no callbacks: filters nothing
    {IRP_MJ_CREATE, 0, RecordPre, RecordPost, nullptr},
    {IRP_MJ_WRITE, 0, RecordPre, RecordPost, nullptr},
    {IRP_MJ_SET_INFORMATION, 0, RecordPre, RecordPost, nullptr},
    {IRP_MJ_DEVICE_CONTROL, 0, RecordPre, RecordPost, nullptr},
    {IRP_MJ_CLEANUP, 0, RecordPre, RecordPost, nullptr},
    {IRP_MJ_CLOSE, 0, RecordPre, RecordPost, nullptr},
    {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr}};

FLT_REGISTRATION MakeRegistration(const FLT_OPERATION_REGISTRATION* ops) {
    FLT_REGISTRATION r{};
    r.Size = sizeof(FLT_REGISTRATION);
    r.Version = FLT_REGISTRATION_VERSION_0200;
    r.OperationRegistration = ops;
    return r;
}

class FsTest : public vtest::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        gSeen.clear();
        gCreateVerdict = FLT_PREOP_SUCCESS_WITH_CALLBACK;
        root_ = fs::temp_directory_path() / ("vetrona-fs-" + std::to_string(::getpid()) + "-" +
                                              ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        device_ = sim::fs::MountVolume(root_.string(), u'C');
        process_ = StartProcess(nullptr, vtest::kAppImage);
        ASSERT_NE(process_, nullptr);
    }

    void TearDown() override {
        if (filter_ != nullptr) {
            FltUnregisterFilter(filter_);
        }
        SimTest::TearDown();
        fs::remove_all(root_);
    }

    void StartFilter(const FLT_OPERATION_REGISTRATION* ops = kOperations) {
        registration_ = MakeRegistration(ops);
        ASSERT_EQ(FltRegisterFilter(&driver_, &registration_, &filter_), STATUS_SUCCESS);
        ASSERT_EQ(FltStartFiltering(filter_), STATUS_SUCCESS);
    }

    NTSTATUS Open(std::u16string_view path, ULONG disposition, HANDLE* h, ULONG_PTR* info = nullptr,
                  ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE | DELETE, ULONG share = 0, ULONG options = 0) {
        return CreateFile(process_, path, access, share, disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, h, info);
    }

    void Put(const std::string& relative, const std::string& content) {
        fs::create_directories((root_ / relative).parent_path());
        std::ofstream(root_ / relative, std::ios::binary) << content;
    }

    std::string Get(const std::string& relative) {
        std::ifstream in(root_ / relative, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    fs::path root_;
    std::u16string device_;
    _EPROCESS* process_ = nullptr;
    DRIVER_OBJECT driver_{};
    FLT_REGISTRATION registration_{};
    PFLT_FILTER filter_ = nullptr;
};

TEST_F(FsTest, DispositionsAgainstExistence) {
    struct Case {
        ULONG disposition;
        bool exists;
        NTSTATUS status;
        ULONG_PTR information;
        const char* contentAfter;  // null: the file does not exist afterwards
    };
    const Case cases[] = {
        {FILE_SUPERSEDE, true, STATUS_SUCCESS, FILE_SUPERSEDED, ""},
        {FILE_SUPERSEDE, false, STATUS_SUCCESS, FILE_CREATED, ""},
        {FILE_OPEN, true, STATUS_SUCCESS, FILE_OPENED, "old"},
        {FILE_OPEN, false, STATUS_OBJECT_NAME_NOT_FOUND, FILE_DOES_NOT_EXIST, nullptr},
        {FILE_CREATE, true, STATUS_OBJECT_NAME_COLLISION, FILE_EXISTS, "old"},
        {FILE_CREATE, false, STATUS_SUCCESS, FILE_CREATED, ""},
        {FILE_OPEN_IF, true, STATUS_SUCCESS, FILE_OPENED, "old"},
        {FILE_OPEN_IF, false, STATUS_SUCCESS, FILE_CREATED, ""},
        {FILE_OVERWRITE, true, STATUS_SUCCESS, FILE_OVERWRITTEN, ""},
        {FILE_OVERWRITE, false, STATUS_OBJECT_NAME_NOT_FOUND, FILE_DOES_NOT_EXIST, nullptr},
        {FILE_OVERWRITE_IF, true, STATUS_SUCCESS, FILE_OVERWRITTEN, ""},
        {FILE_OVERWRITE_IF, false, STATUS_SUCCESS, FILE_CREATED, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("disposition " + std::to_string(c.disposition) + (c.exists ? " existing" : " absent"));
        fs::remove(root_ / "f.txt");
        if (c.exists) {
            Put("f.txt", "old");
        }
        HANDLE h = nullptr;
        ULONG_PTR info = 99;
        EXPECT_EQ(Open(u"C:\\f.txt", c.disposition, &h, &info), c.status);
        EXPECT_EQ(info, c.information);
        if (NT_SUCCESS(c.status)) {
            EXPECT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
        } else {
            EXPECT_EQ(h, nullptr);
        }
        EXPECT_EQ(fs::exists(root_ / "f.txt"), c.contentAfter != nullptr);
        if (c.contentAfter != nullptr) {
            EXPECT_EQ(Get("f.txt"), c.contentAfter);
        }
    }
}

TEST_F(FsTest, AccessRulesOfReplacingDispositions) {
    Put("f.txt", "old");
    HANDLE h = nullptr;
    // Overwrite needs write access, supersede needs delete access.
    EXPECT_EQ(Open(u"C:\\f.txt", FILE_OVERWRITE, &h, nullptr, GENERIC_READ), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(u"C:\\f.txt", FILE_SUPERSEDE, &h, nullptr, GENERIC_READ | GENERIC_WRITE), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Get("f.txt"), "old");
    // Delete-on-close without DELETE access is a parameter error of the I/O manager.
    EXPECT_EQ(Open(u"C:\\f.txt", FILE_OPEN, &h, nullptr, GENERIC_READ, 0, FILE_DELETE_ON_CLOSE), STATUS_INVALID_PARAMETER);
}

TEST_F(FsTest, DirectoriesAndPaths) {
    HANDLE dir = nullptr, h = nullptr;
    ULONG_PTR info = 0;
    ASSERT_EQ(Open(u"C:\\Docs", FILE_CREATE, &dir, &info, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                   FILE_DIRECTORY_FILE),
              STATUS_SUCCESS);
    EXPECT_EQ(info, FILE_CREATED);
    EXPECT_TRUE(fs::is_directory(root_ / "Docs"));
    EXPECT_EQ(Open(u"C:\\Docs", FILE_OPEN, &h, nullptr, GENERIC_READ, 0, FILE_NON_DIRECTORY_FILE),
              STATUS_FILE_IS_A_DIRECTORY);
    EXPECT_EQ(Open(u"C:\\Docs", FILE_OVERWRITE_IF, &h, nullptr, GENERIC_READ, 0, FILE_DIRECTORY_FILE),
              STATUS_INVALID_PARAMETER);
    Put("plain.txt", "x");
    EXPECT_EQ(Open(u"C:\\plain.txt", FILE_OPEN, &h, nullptr, GENERIC_READ, 0, FILE_DIRECTORY_FILE), STATUS_NOT_A_DIRECTORY);
    EXPECT_EQ(Open(u"C:\\Missing\\a.txt", FILE_CREATE, &h), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Open(u"C:\\plain.txt\\a.txt", FILE_CREATE, &h), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Open(u"C:\\bad<name>.txt", FILE_CREATE, &h), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Open(u"Q:\\a.txt", FILE_CREATE, &h), STATUS_OBJECT_PATH_NOT_FOUND);  // no such drive
    // The device form and the \??\ form reach the same volume.
    ASSERT_EQ(Open(device_ + u"\\Docs\\a.txt", FILE_CREATE, &h), STATUS_SUCCESS);
    EXPECT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"\\??\\C:\\Docs\\a.txt", FILE_OPEN, &h), STATUS_SUCCESS);
    EXPECT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
    EXPECT_EQ(CloseHandle(process_, dir), STATUS_SUCCESS);
}

TEST_F(FsTest, NamesIgnoreCaseAndKeepTheCaseOnDisk) {
    HANDLE a = nullptr, b = nullptr;
    ASSERT_EQ(Open(u"C:\\Report.TXT", FILE_CREATE, &a, nullptr, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE),
              STATUS_SUCCESS);
    EXPECT_TRUE(fs::exists(root_ / "Report.TXT"));
    ULONG_PTR info = 0;
    EXPECT_EQ(Open(u"C:\\report.txt", FILE_CREATE, &b, &info), STATUS_OBJECT_NAME_COLLISION);
    ASSERT_EQ(Open(u"C:\\REPORT.txt", FILE_OPEN, &b, &info, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE), STATUS_SUCCESS);
    ULONG64 idA = 0, idB = 0;
    EXPECT_EQ(QueryFileId(process_, a, &idA), STATUS_SUCCESS);
    EXPECT_EQ(QueryFileId(process_, b, &idB), STATUS_SUCCESS);
    EXPECT_NE(idA, 0u);
    EXPECT_EQ(idA, idB);
    EXPECT_EQ(CloseHandle(process_, a), STATUS_SUCCESS);
    EXPECT_EQ(CloseHandle(process_, b), STATUS_SUCCESS);
    EXPECT_EQ(std::distance(fs::directory_iterator(root_), fs::directory_iterator()), 1);
}

TEST_F(FsTest, ShareAccessBetweenOpenFileObjects) {
    Put("s.txt", "data");
    HANDLE reader = nullptr, other = nullptr;
    ASSERT_EQ(Open(u"C:\\s.txt", FILE_OPEN, &reader, nullptr, GENERIC_READ, FILE_SHARE_READ), STATUS_SUCCESS);
    // The reader does not share write: a writer is refused, another reader is not.
    EXPECT_EQ(Open(u"C:\\s.txt", FILE_OPEN, &other, nullptr, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE),
              STATUS_SHARING_VIOLATION);
    ASSERT_EQ(Open(u"C:\\s.txt", FILE_OPEN, &other, nullptr, GENERIC_READ, FILE_SHARE_READ), STATUS_SUCCESS);
    EXPECT_EQ(CloseHandle(process_, other), STATUS_SUCCESS);
    // A new reader must share with nothing else than what it asks: no FILE_SHARE_READ → refused.
    EXPECT_EQ(Open(u"C:\\s.txt", FILE_OPEN, &other, nullptr, GENERIC_READ, 0), STATUS_SHARING_VIOLATION);
    // Attribute-only opens take no part in share access.
    ASSERT_EQ(Open(u"C:\\s.txt", FILE_OPEN, &other, nullptr, FILE_READ_ATTRIBUTES, 0), STATUS_SUCCESS);
    EXPECT_EQ(CloseHandle(process_, other), STATUS_SUCCESS);
    EXPECT_EQ(CloseHandle(process_, reader), STATUS_SUCCESS);
    // Cleanup removed the reader's share access.
    ASSERT_EQ(Open(u"C:\\s.txt", FILE_OPEN, &other, nullptr, GENERIC_WRITE, 0), STATUS_SUCCESS);
    EXPECT_EQ(CloseHandle(process_, other), STATUS_SUCCESS);
}

TEST_F(FsTest, DeleteOnCloseAndDispositions) {
    Put("d.txt", "x");
    HANDLE h = nullptr, second = nullptr;
    const ULONG all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    ASSERT_EQ(Open(u"C:\\d.txt", FILE_OPEN, &h, nullptr, GENERIC_READ | DELETE, all, FILE_DELETE_ON_CLOSE), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"C:\\d.txt", FILE_OPEN, &second, nullptr, GENERIC_READ, all), STATUS_SUCCESS);
    EXPECT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
    // Delete pending: the name stays until the last handle goes, new opens are refused.
    EXPECT_TRUE(fs::exists(root_ / "d.txt"));
    EXPECT_EQ(Open(u"C:\\d.txt", FILE_OPEN, &h, nullptr, GENERIC_READ, all), STATUS_DELETE_PENDING);
    EXPECT_EQ(CloseHandle(process_, second), STATUS_SUCCESS);
    EXPECT_FALSE(fs::exists(root_ / "d.txt"));

    // A disposition can be set and cleared again; only the value counts.
    Put("e.txt", "x");
    ASSERT_EQ(Open(u"C:\\e.txt", FILE_OPEN, &h, nullptr, GENERIC_READ | DELETE, all), STATUS_SUCCESS);
    EXPECT_EQ(SetDisposition(process_, h, true), STATUS_SUCCESS);
    EXPECT_EQ(SetDisposition(process_, h, false), STATUS_SUCCESS);
    EXPECT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
    EXPECT_TRUE(fs::exists(root_ / "e.txt"));
    ASSERT_EQ(Open(u"C:\\e.txt", FILE_OPEN, &h, nullptr, GENERIC_READ | DELETE, all), STATUS_SUCCESS);
    EXPECT_EQ(SetDisposition(process_, h, false, true, FILE_DISPOSITION_DELETE | FILE_DISPOSITION_POSIX_SEMANTICS),
              STATUS_SUCCESS);
    EXPECT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
    EXPECT_FALSE(fs::exists(root_ / "e.txt"));

    // Without DELETE access the I/O manager refuses; a non-empty directory cannot be deleted.
    Put("keep/inner.txt", "x");
    Put("g.txt", "x");
    ASSERT_EQ(Open(u"C:\\g.txt", FILE_OPEN, &h, nullptr, GENERIC_READ, all), STATUS_SUCCESS);
    EXPECT_EQ(SetDisposition(process_, h, true), STATUS_ACCESS_DENIED);
    EXPECT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"C:\\keep", FILE_OPEN, &h, nullptr, FILE_READ_ATTRIBUTES | DELETE, all, FILE_DIRECTORY_FILE),
              STATUS_SUCCESS);
    EXPECT_EQ(SetDisposition(process_, h, true), STATUS_DIRECTORY_NOT_EMPTY);
    EXPECT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
    EXPECT_TRUE(fs::exists(root_ / "keep" / "inner.txt"));
}

TEST_F(FsTest, RenameWithAndWithoutReplace) {
    Put("a.txt", "A");
    Put("b.txt", "B");
    Put("sub/x", "");
    HANDLE h = nullptr, dir = nullptr, blocker = nullptr;
    ASSERT_EQ(Open(u"C:\\a.txt", FILE_OPEN, &h, nullptr, GENERIC_READ | DELETE), STATUS_SUCCESS);
    ULONG64 idBefore = 0, idAfter = 0;
    ASSERT_EQ(QueryFileId(process_, h, &idBefore), STATUS_SUCCESS);
    EXPECT_EQ(SetRenameInformation(process_, h, u"b.txt", false), STATUS_OBJECT_NAME_COLLISION);
    // The target is in use: even replace is refused.
    ASSERT_EQ(Open(u"C:\\b.txt", FILE_OPEN, &blocker, nullptr, GENERIC_READ, FILE_SHARE_READ), STATUS_SUCCESS);
    EXPECT_EQ(SetRenameInformation(process_, h, u"b.txt", true), STATUS_ACCESS_DENIED);
    EXPECT_EQ(CloseHandle(process_, blocker), STATUS_SUCCESS);
    EXPECT_EQ(SetRenameInformation(process_, h, u"b.txt", true), STATUS_SUCCESS);
    EXPECT_EQ(Get("b.txt"), "A");
    EXPECT_FALSE(fs::exists(root_ / "a.txt"));
    ASSERT_EQ(QueryFileId(process_, h, &idAfter), STATUS_SUCCESS);
    EXPECT_EQ(idBefore, idAfter);
    // Absolute NT name, relative to a directory handle, other volume, Ex class.
    EXPECT_EQ(SetRenameInformation(process_, h, u"\\??\\C:\\sub\\c.txt", false), STATUS_SUCCESS);
    EXPECT_EQ(Get("sub/c.txt"), "A");
    ASSERT_EQ(Open(u"C:\\", FILE_OPEN, &dir, nullptr, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_DIRECTORY_FILE),
              STATUS_SUCCESS);
    EXPECT_EQ(SetRenameInformation(process_, h, u"d.txt", false, dir), STATUS_SUCCESS);
    EXPECT_EQ(Get("d.txt"), "A");
    sim::fs::MountVolume((root_.string() + "-d"), u'D');
    EXPECT_EQ(SetRenameInformation(process_, h, u"\\??\\D:\\e.txt", false), STATUS_NOT_SAME_DEVICE);
    Put("f.txt", "F");
    EXPECT_EQ(SetRenameInformation(process_, h, u"f.txt", false, nullptr, true, 0), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(SetRenameInformation(process_, h, u"f.txt", false, nullptr, true, FILE_RENAME_REPLACE_IF_EXISTS),
              STATUS_SUCCESS);
    EXPECT_EQ(Get("f.txt"), "A");
    EXPECT_EQ(SetRenameInformation(process_, h, u"sub", true), STATUS_ACCESS_DENIED);  // a directory is never replaced
    EXPECT_EQ(SetRenameInformation(process_, h, u"missing\\g.txt", false, dir), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(CloseHandle(process_, dir), STATUS_SUCCESS);
    EXPECT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
    fs::remove_all(root_.string() + "-d");

    // Rename needs DELETE access on the source handle.
    ASSERT_EQ(Open(u"C:\\f.txt", FILE_OPEN, &h, nullptr, GENERIC_READ), STATUS_SUCCESS);
    EXPECT_EQ(SetRenameInformation(process_, h, u"g.txt", false), STATUS_ACCESS_DENIED);
    EXPECT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
}

TEST_F(FsTest, ReadsWritesAndEndOfFile) {
    HANDLE h = nullptr;
    ASSERT_EQ(Open(u"C:\\r.bin", FILE_CREATE, &h), STATUS_SUCCESS);
    ULONG done = 0;
    EXPECT_EQ(WriteFile(process_, h, 0, "hello", 5, &done), STATUS_SUCCESS);
    EXPECT_EQ(done, 5u);
    EXPECT_EQ(WriteFile(process_, h, 8, "xy", 2, &done), STATUS_SUCCESS);  // beyond EOF extends
    EXPECT_EQ(WriteFile(process_, h, kEndOfFile, "!", 1, &done), STATUS_SUCCESS);
    EXPECT_EQ(Get("r.bin"), std::string("hello\0\0\0xy!", 11));
    char buffer[16] = {};
    EXPECT_EQ(ReadFile(process_, h, 6, buffer, sizeof(buffer), &done), STATUS_SUCCESS);
    EXPECT_EQ(done, 5u);  // short read up to EOF
    EXPECT_EQ(ReadFile(process_, h, 11, buffer, 4, &done), STATUS_END_OF_FILE);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(ReadFile(process_, h, 100, buffer, 4, &done), STATUS_END_OF_FILE);
    // The current position of a synchronous handle.
    EXPECT_EQ(ReadFile(process_, h, 0, buffer, 2, &done), STATUS_SUCCESS);
    EXPECT_EQ(ReadFile(process_, h, kCurrentPosition, buffer, 3, &done), STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer, 3), "llo");
    EXPECT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
    // Access is checked against the handle.
    ASSERT_EQ(Open(u"C:\\r.bin", FILE_OPEN, &h, nullptr, GENERIC_READ), STATUS_SUCCESS);
    EXPECT_EQ(WriteFile(process_, h, 0, "z", 1, &done), STATUS_ACCESS_DENIED);
    EXPECT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
}

TEST_F(FsTest, RequestsTravelThroughTheFilter) {
    StartFilter();
    HANDLE h = nullptr;
    ASSERT_EQ(Open(u"C:\\t.txt", FILE_CREATE, &h, nullptr, GENERIC_WRITE, FILE_SHARE_READ, FILE_NON_DIRECTORY_FILE),
              STATUS_SUCCESS);
    EXPECT_EQ(gLastCreateIopb.MajorFunction, IRP_MJ_CREATE);
    EXPECT_EQ(gLastCreateIopb.Parameters.Create.Options >> 24, static_cast<ULONG>(FILE_CREATE));
    EXPECT_EQ(gLastCreateIopb.Parameters.Create.Options & 0xFFFFFF,
              static_cast<ULONG>(FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT));
    EXPECT_EQ(gLastCreateIopb.Parameters.Create.ShareAccess, FILE_SHARE_READ);
    // Generic rights reach the filters mapped through the file type's mapping.
    EXPECT_EQ(gLastSecurity.DesiredAccess, static_cast<ACCESS_MASK>(FILE_GENERIC_WRITE));
    EXPECT_EQ(gLastCreate.RequestorMode, UserMode);
    EXPECT_EQ(gLastCreator, process_);
    EXPECT_TRUE(gLastCreateIopb.IrpFlags & IRP_CREATE_OPERATION);
    char buffer[4];
    ULONG done = 0;
    EXPECT_EQ(WriteFile(process_, h, 0, "abc", 3, &done), STATUS_SUCCESS);
    EXPECT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"C:\\t.txt", FILE_OPEN, &h, nullptr, GENERIC_READ), STATUS_SUCCESS);
    EXPECT_EQ(ReadFile(process_, h, 0, buffer, 3, &done), STATUS_SUCCESS);  // READ has no callbacks
    EXPECT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
    std::vector<std::pair<UCHAR, bool>> order;
    for (const Seen& s : gSeen) {
        order.emplace_back(s.major, s.post);
        if (s.post && s.major == IRP_MJ_CREATE) {
            EXPECT_EQ(s.completionContext, reinterpret_cast<PVOID>(0x5EED));
        } else if (s.post) {
            EXPECT_EQ(s.completionContext, reinterpret_cast<PVOID>(static_cast<uintptr_t>(s.major) + 0x100));
        }
    }
    const std::vector<std::pair<UCHAR, bool>> expected = {
        {IRP_MJ_CREATE, false},  {IRP_MJ_CREATE, true},  {IRP_MJ_WRITE, false}, {IRP_MJ_WRITE, true},
        {IRP_MJ_CLEANUP, false}, {IRP_MJ_CLEANUP, true}, {IRP_MJ_CLOSE, false}, {IRP_MJ_CLOSE, true},
        {IRP_MJ_CREATE, false},  {IRP_MJ_CREATE, true},  {IRP_MJ_CLEANUP, false}, {IRP_MJ_CLEANUP, true},
        {IRP_MJ_CLOSE, false},   {IRP_MJ_CLOSE, true}};
    EXPECT_EQ(order, expected);
}

TEST_F(FsTest, PreOperationCompleteEndsTheRequestWithoutTheFileSystem) {
    StartFilter();
    gCreateVerdict = FLT_PREOP_COMPLETE;
    HANDLE h = nullptr;
    EXPECT_EQ(Open(u"C:\\denied.txt", FILE_CREATE, &h), STATUS_ACCESS_DENIED);
    EXPECT_EQ(h, nullptr);
    EXPECT_FALSE(fs::exists(root_ / "denied.txt"));
    ASSERT_EQ(gSeen.size(), 1u);  // no post-operation, no cleanup or close for a failed create
    gCreateVerdict = FLT_PREOP_SUCCESS_NO_CALLBACK;
    gSeen.clear();
    ASSERT_EQ(Open(u"C:\\ok.txt", FILE_CREATE, &h), STATUS_SUCCESS);
    ASSERT_EQ(gSeen.size(), 1u);
    EXPECT_FALSE(gSeen[0].post);
    EXPECT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
}

TEST_F(FsTest, PassThroughOnAVolumeHandle) {
    StartFilter();
    HANDLE volume = nullptr;
    // Only an administrator opens a volume for its data; the refusal comes
    // before any request, so no filter sees it.
    EXPECT_EQ(CreateFile(process_, u"\\\\.\\C:", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0, &volume),
              STATUS_ACCESS_DENIED);
    EXPECT_TRUE(gSeen.empty());
    _EPROCESS* admin = StartProcess(nullptr, vtest::kAppImage, u"", true);
    ASSERT_EQ(CreateFile(admin, u"\\\\.\\C:", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                         0, &volume),
              STATUS_SUCCESS);
    SCSI_PASS_THROUGH_DIRECT sptd{};
    sptd.Length = sizeof(sptd);
    sptd.CdbLength = 10;
    sptd.Cdb[0] = 0x2A;  // WRITE(10)
    sptd.ScsiStatus = 0x77;
    SCSI_PASS_THROUGH_DIRECT out{};
    ULONG returned = 0;
    EXPECT_EQ(DeviceIoControl(admin, volume, IOCTL_SCSI_PASS_THROUGH_DIRECT, &sptd, sizeof(sptd), &out, sizeof(out),
                              &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, sizeof(out));
    EXPECT_EQ(out.Cdb[0], 0x2A);
    EXPECT_EQ(out.ScsiStatus, 0);
    auto log = sim::fs::PassThroughLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].ioControlCode, static_cast<ULONG>(IOCTL_SCSI_PASS_THROUGH_DIRECT));
    sptd.Length = 12;  // a malformed record
    EXPECT_EQ(DeviceIoControl(admin, volume, IOCTL_SCSI_PASS_THROUGH_DIRECT, &sptd, sizeof(sptd), &out, sizeof(out),
                              &returned),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(CloseHandle(admin, volume), STATUS_SUCCESS);
    // Pass-through needs read and write access on the handle.
    ASSERT_EQ(CreateFile(process_, u"\\\\.\\C:", FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0,
                         &volume),
              STATUS_SUCCESS);
    size_t seenBefore = gSeen.size();
    EXPECT_EQ(DeviceIoControl(process_, volume, IOCTL_ATA_PASS_THROUGH_DIRECT, &sptd, sizeof(sptd), nullptr, 0, &returned),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(gSeen.size(), seenBefore);  // refused before any request was built
    EXPECT_EQ(CloseHandle(process_, volume), STATUS_SUCCESS);
}

TEST_F(FsTest, InjectedFaults) {
    HANDLE h = nullptr;
    sim::fs::InjectFault({.op = sim::fs::FaultOp::Create, .path = u"C:\\x.txt", .nth = 1, .count = 1, .status = STATUS_INSUFFICIENT_RESOURCES});
    EXPECT_EQ(Open(u"C:\\y.txt", FILE_CREATE, &h), STATUS_SUCCESS);  // another path is not affected
    EXPECT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
    EXPECT_EQ(Open(u"C:\\X.TXT", FILE_CREATE, &h), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(fs::exists(root_ / "X.TXT"));
    ASSERT_EQ(Open(u"C:\\x.txt", FILE_CREATE, &h), STATUS_SUCCESS);  // one failure only
    // The second write at or beyond offset 4096 fails; the earlier ones land.
    sim::fs::InjectFault({.op = sim::fs::FaultOp::Write, .nth = 2, .status = STATUS_MEDIA_WRITE_PROTECTED, .minOffset = 4096});
    std::string chunk(4096, 'z');
    ULONG done = 0;
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(WriteFile(process_, h, i * 4096, chunk.data(), 4096, &done), STATUS_SUCCESS);
    }
    EXPECT_EQ(WriteFile(process_, h, 8192, chunk.data(), 4096, &done), STATUS_MEDIA_WRITE_PROTECTED);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(WriteFile(process_, h, 8192, chunk.data(), 4096, &done), STATUS_SUCCESS);
    EXPECT_EQ(fs::file_size(root_ / "x.txt"), 12288u);
    EXPECT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
}

}  // namespace

// ---------------------------------------------------------------------------
// Paging writes: data through an MDL, never past the end of the file, after
// the handle's cleanup too; a mapping that cannot be made fails the write.

TEST_F(FsTest, PagingWritesThroughAnMdl) {
    Put("p.bin", std::string(6000, 'a'));
    HANDLE h = nullptr;
    ASSERT_EQ(Open(u"C:\\p.bin", FILE_OPEN, &h), STATUS_SUCCESS);
    sim::user::MappedView* view = nullptr;
    uint8_t* data = nullptr;
    size_t size = 0;
    ASSERT_EQ(sim::user::MapViewOfFile(process_, h, &view, &data, &size), STATUS_SUCCESS);
    ASSERT_EQ(size, 6000u);
    data[10] = 'b';
    data[5000] = 'c';
    data[7000] = 'd';  // past the end of the file, in the view's last page
    sim::InjectFailure("MmGetSystemAddressForMdlSafe", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sim::user::FlushViewOfFile(process_, view), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Get("p.bin"), std::string(6000, 'a'));
    // The handle goes; the section still holds the file object.
    ASSERT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
    EXPECT_EQ(sim::user::FlushViewOfFile(process_, view), STATUS_SUCCESS);
    std::string expected(6000, 'a');
    expected[10] = 'b';
    expected[5000] = 'c';
    EXPECT_EQ(Get("p.bin"), expected);
    EXPECT_EQ(sim::user::UnmapViewOfFile(process_, view), STATUS_SUCCESS);
    EXPECT_EQ(sim::io::LiveMdlCount(), 0u);
}

TEST(SimMdl, DescribesHostMemoryAndChecksItsUse) {
    alignas(4096) static uint8_t buffer[8192];
    PMDL mdl = IoAllocateMdl(buffer + 100, 5000, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(mdl->StartVa, buffer);
    EXPECT_EQ(mdl->ByteOffset, 100u);
    EXPECT_EQ(mdl->ByteCount, 5000u);
    EXPECT_DEATH(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), "not locked");
    MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), buffer + 100);
    EXPECT_DEATH(IoFreeMdl(mdl), "still locked");
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    EXPECT_EQ(IoAllocateMdl(buffer, 0, FALSE, FALSE, nullptr), nullptr);
    EXPECT_EQ(sim::io::LiveMdlCount(), 0u);
}
