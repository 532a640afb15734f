// FltGetDestinationFileNameInformation in the simulated Filter Manager: the
// forms a rename can name its destination in, the name options, and the
// statuses for names it cannot resolve, a destination given through a DOS
// device name among them. A test filter asks for the destination of each case
// inside its pre-set-information callback and then refuses the rename, so the
// volume does not change between cases.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "sim/flt/io.h"
#include "sim/user/dosdevice.h"
#include "sim/user/file.h"
#include "sim/user/process.h"
#include "tests/support/fixture.h"

namespace {

namespace fs = std::filesystem;

std::function<void(PCFLT_RELATED_OBJECTS)> gProbe;

FLT_PREOP_CALLBACK_STATUS FLTAPI ProbeAndRefuse(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects, PVOID* context) {
    *context = nullptr;
    if (gProbe) {
        gProbe(objects);
    }
    data->IoStatus.Status = STATUS_ACCESS_DENIED;
    data->IoStatus.Information = 0;
    return FLT_PREOP_COMPLETE;
}

const FLT_OPERATION_REGISTRATION kOperations[] = {
    {IRP_MJ_SET_INFORMATION, 0, ProbeAndRefuse, nullptr, nullptr},
    {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr},
};

struct Result {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::u16string name;
};

class DestNameTest : public vtest::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        root_ = fs::temp_directory_path() / ("vetrona-destname-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "C" / "Docs" / "Sub");
        std::ofstream(root_ / "C" / "Docs" / "Report.txt") << "r";
        std::ofstream(root_ / "C" / "Docs" / "Exists.txt") << "e";
        sim::fs::MountVolume((root_ / "C").string(), u'C');
        sim::fs::MountVolume((root_ / "D").string(), u'D');
        process_ = sim::user::StartProcess(nullptr, vtest::kAppImage);
        registration_.Size = sizeof(FLT_REGISTRATION);
        registration_.Version = FLT_REGISTRATION_VERSION_0200;
        registration_.OperationRegistration = kOperations;
        ASSERT_EQ(FltRegisterFilter(&driver_, &registration_, &filter_), STATUS_SUCCESS);
        ASSERT_EQ(FltStartFiltering(filter_), STATUS_SUCCESS);
        ASSERT_EQ(sim::user::CreateFile(process_, u"C:\\Docs\\Report.txt", DELETE | SYNCHRONIZE, FILE_SHARE_READ, FILE_OPEN,
                                        FILE_SYNCHRONOUS_IO_NONALERT, &file_),
                  STATUS_SUCCESS);
        ASSERT_EQ(sim::user::CreateFile(process_, u"C:\\Docs\\Sub", FILE_LIST_DIRECTORY | SYNCHRONIZE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                        FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, &subdir_),
                  STATUS_SUCCESS);
    }

    void TearDown() override {
        gProbe = nullptr;
        sim::user::CloseHandle(process_, file_);
        sim::user::CloseHandle(process_, subdir_);
        FltUnregisterFilter(filter_);
        SimTest::TearDown();
        fs::remove_all(root_);
    }

    // Asks for the destination `name` (relative to `root` when given) with
    // `options` from inside a rename of C:\Docs\Report.txt; `length` overrides
    // the name's byte count.
    Result Destination(std::u16string name, FLT_FILE_NAME_OPTIONS options = FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT,
                       HANDLE root = nullptr, long length = -1) {
        Result result;
        gProbe = [&](PCFLT_RELATED_OBJECTS objects) {
            PFLT_FILE_NAME_INFORMATION info = nullptr;
            const ULONG bytes = length >= 0 ? static_cast<ULONG>(length) : static_cast<ULONG>(name.size() * 2);
            result.status = FltGetDestinationFileNameInformation(objects->Instance, objects->FileObject, root, name.data(), bytes,
                                                                 options, &info);
            if (NT_SUCCESS(result.status)) {
                result.name = std::u16string(info->Name.Buffer, info->Name.Length / 2);
                FltReleaseFileNameInformation(info);
            } else {
                EXPECT_EQ(info, nullptr);
            }
        };
        EXPECT_EQ(sim::user::SetRenameInformation(process_, file_, u"anything.txt", false), STATUS_ACCESS_DENIED);
        gProbe = nullptr;
        return result;
    }

    fs::path root_;
    _EPROCESS* process_ = nullptr;
    HANDLE file_ = nullptr;
    HANDLE subdir_ = nullptr;
    DRIVER_OBJECT driver_{};
    FLT_REGISTRATION registration_{};
    PFLT_FILTER filter_ = nullptr;
};

constexpr FLT_FILE_NAME_OPTIONS kNormalized = FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT;
constexpr FLT_FILE_NAME_OPTIONS kOpened = FLT_FILE_NAME_OPENED | FLT_FILE_NAME_QUERY_DEFAULT;

TEST_F(DestNameTest, FormsOfTheDestination) {
    struct Case {
        const char* what;
        std::u16string name;
        FLT_FILE_NAME_OPTIONS options;
        bool relative;
        std::u16string expected;
    };
    const Case cases[] = {
        {"simple name", u"new.txt", kNormalized, false, u"\\Docs\\new.txt"},
        {"simple name of an existing file, on-disk case", u"EXISTS.TXT", kNormalized, false, u"\\Docs\\Exists.txt"},
        {"simple name, opened: as spelled", u"EXISTS.TXT", kOpened, false, u"\\Docs\\EXISTS.TXT"},
        {"drive-letter path", u"\\??\\C:\\docs\\sub\\x.txt", kNormalized, false, u"\\Docs\\Sub\\x.txt"},
        {"drive-letter path, opened", u"\\??\\C:\\docs\\sub\\x.txt", kOpened, false, u"\\docs\\sub\\x.txt"},
        {"device path", u"\\Device\\HarddiskVolume1\\top.txt", kNormalized, false, u"\\top.txt"},
        {"relative to a directory handle", u"y.txt", kNormalized, true, u"\\Docs\\Sub\\y.txt"},
        {"cache lookup allowed", u"z.txt", FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_ALWAYS_ALLOW_CACHE_LOOKUP, false,
         u"\\Docs\\z.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Result result = Destination(c.name, c.options, c.relative ? subdir_ : nullptr);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.name, u"\\Device\\HarddiskVolume1" + c.expected);
    }
    EXPECT_EQ(sim::flt::LiveFileNameCount(), 0u);
}

TEST_F(DestNameTest, NamesItCannotResolve) {
    ASSERT_EQ(sim::user::DefineDosDevice(process_, DDD_RAW_TARGET_PATH, u"Name", u"\\??\\C:\\Docs\\target.txt"), STATUS_SUCCESS);
    struct Case {
        const char* what;
        std::u16string name;
        FLT_FILE_NAME_OPTIONS options;
        long length;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"a DOS device name the program defined", u"\\??\\Name", kNormalized, -1, STATUS_OBJECT_NAME_INVALID},
        {"a name in an object directory", u"\\??\\Nothing", kNormalized, -1, STATUS_OBJECT_NAME_INVALID},
        {"the namespace's root", u"\\x.txt", kNormalized, -1, STATUS_OBJECT_NAME_INVALID},
        {"another volume", u"\\??\\D:\\x.txt", kNormalized, -1, STATUS_MOUNT_POINT_NOT_RESOLVED},
        {"a missing directory", u"\\??\\C:\\Nowhere\\x.txt", kNormalized, -1, STATUS_OBJECT_PATH_NOT_FOUND},
        {"a wildcard", u"a*b.txt", kNormalized, -1, STATUS_OBJECT_NAME_INVALID},
        {"a relative path without a root", u"Sub\\x.txt", kNormalized, -1, STATUS_OBJECT_NAME_INVALID},
        {"a stream rename to an empty stream name", u":", kNormalized, -1, STATUS_OBJECT_NAME_INVALID},
        {"a stream rename to another type", u":stream:$BAD", kNormalized, -1, STATUS_OBJECT_NAME_INVALID},
        {"a stream in a full path", u"\\??\\C:\\Docs\\Report.txt:s", kOpened, -1, STATUS_OBJECT_NAME_INVALID},
        {"a stream in a directory", u"\\??\\C:\\Docs:x\\y.txt", kNormalized, -1, STATUS_OBJECT_NAME_INVALID},
        {"a trailing null", std::u16string(u"x.txt\0", 6), kNormalized, -1, STATUS_OBJECT_NAME_INVALID},
        {"an empty name", u"x.txt", kNormalized, 0, STATUS_OBJECT_NAME_INVALID},
        {"an odd length", u"x.txt", kNormalized, 5, STATUS_INVALID_PARAMETER},
        {"short names", u"x.txt", FLT_FILE_NAME_SHORT | FLT_FILE_NAME_QUERY_DEFAULT, -1, STATUS_FLT_INVALID_NAME_REQUEST},
        {"no format", u"x.txt", FLT_FILE_NAME_QUERY_DEFAULT, -1, STATUS_INVALID_PARAMETER},
        {"an unknown query method", u"x.txt", FLT_FILE_NAME_NORMALIZED | 0x0700, -1, STATUS_INVALID_PARAMETER},
        {"the cache only", u"x.txt", FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_CACHE_ONLY, -1,
         STATUS_FLT_NAME_CACHE_MISS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Destination(c.name, c.options, nullptr, c.length).status, c.status);
    }
    EXPECT_EQ(Destination(u"x.txt", kNormalized, reinterpret_cast<HANDLE>(0x7FF0)).status, STATUS_INVALID_HANDLE);
    EXPECT_EQ(Destination(u"x.txt", kNormalized, file_).status, STATUS_INVALID_PARAMETER);  // a root that is no directory

    // The status for a destination through a link is a setting.
    sim::flt::SetDestinationThroughLinkStatus(STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(Destination(u"\\??\\Name").status, STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(sim::flt::LiveFileNameCount(), 0u);
}

}  // namespace
