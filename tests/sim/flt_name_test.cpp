// File names in the simulated Filter Manager: the parsing table, normalized
// and opened names in pre- and post-create, destination names of a rename,
// reference counting, and injected name-query failures.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "sim/flt/io.h"
#include "sim/user/file.h"
#include "sim/user/process.h"
#include "tests/support/fixture.h"

using namespace sim::user;
namespace fs = std::filesystem;

namespace {

std::u16string Text(const UNICODE_STRING& s) { return std::u16string(s.Buffer, s.Length / sizeof(WCHAR)); }

class NameParseTest : public vtest::SimTest {};

TEST_F(NameParseTest, ComponentsOfDeviceFormNames) {
    struct Case {
        const char16_t* name;
        const char16_t* volume;
        const char16_t* share;
        const char16_t* extension;
        const char16_t* stream;
        const char16_t* finalComponent;
        const char16_t* parentDir;
    };
    const Case cases[] = {
        {u"\\Device\\HarddiskVolume3\\Dir\\Sub\\file.txt:stream", u"\\Device\\HarddiskVolume3", u"", u"txt", u":stream",
         u"file.txt:stream", u"\\Dir\\Sub\\"},
        {u"\\Device\\HarddiskVolume3\\Dir\\Sub\\file.txt", u"\\Device\\HarddiskVolume3", u"", u"txt", u"", u"file.txt",
         u"\\Dir\\Sub\\"},
        {u"\\Device\\HarddiskVolume3\\Dir\\Makefile", u"\\Device\\HarddiskVolume3", u"", u"", u"", u"Makefile", u"\\Dir\\"},
        {u"\\Device\\HarddiskVolume3\\Dir\\archive.tar.gz", u"\\Device\\HarddiskVolume3", u"", u"gz", u"", u"archive.tar.gz",
         u"\\Dir\\"},
        {u"\\Device\\HarddiskVolume3\\file.txt", u"\\Device\\HarddiskVolume3", u"", u"txt", u"", u"file.txt", u"\\"},
        {u"\\Device\\HarddiskVolume3\\", u"\\Device\\HarddiskVolume3", u"", u"", u"", u"", u"\\"},
        {u"\\Device\\HarddiskVolume3\\Dir\\name.", u"\\Device\\HarddiskVolume3", u"", u"", u"", u"name.", u"\\Dir\\"},
        {u"\\Device\\HarddiskVolume3\\Dir\\.gitignore", u"\\Device\\HarddiskVolume3", u"", u"gitignore", u"", u".gitignore",
         u"\\Dir\\"},
        {u"\\Device\\HarddiskVolume3\\Dir\\x:ads.v2", u"\\Device\\HarddiskVolume3", u"", u"", u":ads.v2", u"x:ads.v2",
         u"\\Dir\\"},
        {u"\\Device\\HarddiskVolume1\\Docume~1\\MyUser\\My Documents\\TestRe~1.txt:stream1:$DATA",
         u"\\Device\\HarddiskVolume1", u"", u"txt", u":stream1:$DATA", u"TestRe~1.txt:stream1:$DATA",
         u"\\Docume~1\\MyUser\\My Documents\\"},
        {u"\\Device\\LanManRedirector\\MyServer\\MyShare\\Documents and Settings\\MyUser\\My Documents\\Test Results.txt:stream1",
         u"\\Device\\LanManRedirector", u"\\MyServer\\MyShare", u"txt", u":stream1", u"Test Results.txt:stream1",
         u"\\Documents and Settings\\MyUser\\My Documents\\"},
        {u"TestRe~1.txt", u"", u"", u"txt", u"", u"TestRe~1.txt", u""},
    };
    for (const Case& c : cases) {
        PFLT_FILE_NAME_INFORMATION info = sim::flt::NewFileNameInformation(c.name, FLT_FILE_NAME_NORMALIZED);
        ASSERT_NE(info, nullptr);
        ASSERT_EQ(FltParseFileNameInformation(info), STATUS_SUCCESS);
        std::u16string name(c.name);
        SCOPED_TRACE(std::string(name.begin(), name.end()));
        EXPECT_EQ(Text(info->Volume), c.volume);
        EXPECT_EQ(Text(info->Share), c.share);
        EXPECT_EQ(Text(info->Extension), c.extension);
        EXPECT_EQ(Text(info->Stream), c.stream);
        EXPECT_EQ(Text(info->FinalComponent), c.finalComponent);
        EXPECT_EQ(Text(info->ParentDir), c.parentDir);
        EXPECT_EQ(info->NamesParsed, FLTFL_FILE_NAME_PARSED_FINAL_COMPONENT | FLTFL_FILE_NAME_PARSED_EXTENSION |
                                         FLTFL_FILE_NAME_PARSED_STREAM | FLTFL_FILE_NAME_PARSED_PARENT_DIR);
        // Every component points into Name's own buffer.
        for (const UNICODE_STRING* part : {&info->Extension, &info->FinalComponent, &info->ParentDir}) {
            if (part->Length != 0) {
                EXPECT_GE(part->Buffer, info->Name.Buffer);
                EXPECT_LE(part->Buffer + part->Length / 2, info->Name.Buffer + info->Name.Length / 2);
            }
        }
        FltReleaseFileNameInformation(info);
    }
}

TEST_F(NameParseTest, ReferenceCounting) {
    PFLT_FILE_NAME_INFORMATION info = sim::flt::NewFileNameInformation(u"\\Device\\HarddiskVolume1\\a.txt", FLT_FILE_NAME_OPENED);
    FltReferenceFileNameInformation(info);
    FltReleaseFileNameInformation(info);
    EXPECT_EQ(sim::flt::LiveFileNameCount(), 1u);
    FltReleaseFileNameInformation(info);
    EXPECT_EQ(sim::flt::LiveFileNameCount(), 0u);
    EXPECT_DEATH(FltReleaseFileNameInformation(info), "FLTMGR_FILE_SYSTEM");
}

// What a filter's callbacks were given for the names of a request.
struct NameSeen {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::u16string name;
};
NameSeen gPreNormalized, gPreOpened, gPostNormalized, gPostOpened, gDestination;
PFLT_FILTER gFilter = nullptr;

NameSeen Query(PFLT_CALLBACK_DATA data, FLT_FILE_NAME_OPTIONS options) {
    NameSeen seen;
    PFLT_FILE_NAME_INFORMATION info = nullptr;
    seen.status = FltGetFileNameInformation(data, options, &info);
    if (NT_SUCCESS(seen.status)) {
        seen.name = Text(info->Name);
        FltReleaseFileNameInformation(info);
    } else {
        EXPECT_EQ(info, nullptr);
    }
    return seen;
}

FLT_PREOP_CALLBACK_STATUS FLTAPI PreCreate(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID*) {
    gPreNormalized = Query(data, FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT);
    gPreOpened = Query(data, FLT_FILE_NAME_OPENED | FLT_FILE_NAME_QUERY_ALWAYS_ALLOW_CACHE_LOOKUP);
    return FLT_PREOP_SUCCESS_WITH_CALLBACK;
}

FLT_POSTOP_CALLBACK_STATUS FLTAPI PostCreate(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID, FLT_POST_OPERATION_FLAGS) {
    gPostNormalized = Query(data, FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT);
    gPostOpened = Query(data, FLT_FILE_NAME_OPENED | FLT_FILE_NAME_QUERY_DEFAULT);
    return FLT_POSTOP_FINISHED_PROCESSING;
}

FLT_PREOP_CALLBACK_STATUS FLTAPI PreSetInformation(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects, PVOID*) {
    auto& params = data->Iopb->Parameters.SetFileInformation;
    if (params.FileInformationClass == FileRenameInformation) {
        auto* rename = static_cast<PFILE_RENAME_INFORMATION>(params.InfoBuffer);
        PFLT_FILE_NAME_INFORMATION info = nullptr;
        gDestination.status = FltGetDestinationFileNameInformation(
            objects->Instance, objects->FileObject, rename->RootDirectory, rename->FileName, rename->FileNameLength,
            FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT, &info);
        if (NT_SUCCESS(gDestination.status)) {
            gDestination.name = Text(info->Name);
            FltReleaseFileNameInformation(info);
        }
    }
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

const FLT_OPERATION_REGISTRATION kOperations[] = {{IRP_MJ_CREATE, 0, PreCreate, PostCreate, nullptr},
                                                  {IRP_MJ_SET_INFORMATION, 0, PreSetInformation, nullptr, nullptr},
                                                  {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr}};

class NameQueryTest : public vtest::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        root_ = fs::temp_directory_path() / ("vetrona-names-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "Docs");
        sim::fs::MountVolume(root_.string(), u'C');
        process_ = StartProcess(nullptr, vtest::kAppImage);
        registration_.Size = sizeof(FLT_REGISTRATION);
        registration_.Version = FLT_REGISTRATION_VERSION_0200;
        registration_.OperationRegistration = kOperations;
        ASSERT_EQ(FltRegisterFilter(&driver_, &registration_, &gFilter), STATUS_SUCCESS);
        ASSERT_EQ(FltStartFiltering(gFilter), STATUS_SUCCESS);
    }
    void TearDown() override {
        FltUnregisterFilter(gFilter);
        SimTest::TearDown();
        fs::remove_all(root_);
    }
    fs::path root_;
    _EPROCESS* process_ = nullptr;
    DRIVER_OBJECT driver_{};
    FLT_REGISTRATION registration_{};
};

TEST_F(NameQueryTest, NormalizedAndOpenedNamesAroundTheCreate) {
    HANDLE h = nullptr;
    ASSERT_EQ(CreateFile(process_, u"C:\\DOCS\\New.Txt", GENERIC_WRITE | DELETE, 0, FILE_CREATE, 0, &h), STATUS_SUCCESS);
    // Pre-create: the final component may be missing; the normalized form has the on-disk case of the parents.
    EXPECT_EQ(gPreNormalized.status, STATUS_SUCCESS);
    EXPECT_EQ(gPreNormalized.name, u"\\Device\\HarddiskVolume1\\Docs\\New.Txt");
    EXPECT_EQ(gPreOpened.name, u"\\Device\\HarddiskVolume1\\DOCS\\New.Txt");
    EXPECT_EQ(gPostNormalized.name, u"\\Device\\HarddiskVolume1\\Docs\\New.Txt");
    EXPECT_EQ(gPostOpened.name, u"\\Device\\HarddiskVolume1\\DOCS\\New.Txt");
    // The destination of a rename, and names after it.
    EXPECT_EQ(SetRenameInformation(process_, h, u"renamed.txt", false), STATUS_SUCCESS);
    EXPECT_EQ(gDestination.status, STATUS_SUCCESS);
    EXPECT_EQ(gDestination.name, u"\\Device\\HarddiskVolume1\\Docs\\renamed.txt");
    // A target in a missing directory: the I/O manager's open of that
    // directory fails, so no set-information request reaches the filters.
    gDestination = {};
    EXPECT_EQ(SetRenameInformation(process_, h, u"\\??\\C:\\Nowhere\\x.txt", false), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(gDestination.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);

    // A missing parent: the opened name is still given, the normalized one is not.
    EXPECT_EQ(CreateFile(process_, u"C:\\Nowhere\\x.txt", GENERIC_WRITE, 0, FILE_CREATE, 0, &h), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(gPreNormalized.status, STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(gPreOpened.status, STATUS_SUCCESS);
    EXPECT_EQ(gPreOpened.name, u"\\Device\\HarddiskVolume1\\Nowhere\\x.txt");
    EXPECT_EQ(sim::flt::LiveFileNameCount(), 0u);
}

TEST_F(NameQueryTest, InjectedNameQueryFailuresPerFormat) {
    sim::fs::InjectFault({.op = sim::fs::FaultOp::NameQueryNormalized, .path = u"C:\\Docs\\f.txt", .nth = 1, .count = 1, .status = STATUS_INSUFFICIENT_RESOURCES});
    HANDLE h = nullptr;
    ASSERT_EQ(CreateFile(process_, u"C:\\Docs\\f.txt", GENERIC_WRITE, 0, FILE_CREATE, 0, &h), STATUS_SUCCESS);
    EXPECT_EQ(gPreNormalized.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(gPreOpened.status, STATUS_SUCCESS);
    EXPECT_EQ(gPostNormalized.status, STATUS_SUCCESS);  // one failure only
    EXPECT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
}

}  // namespace
