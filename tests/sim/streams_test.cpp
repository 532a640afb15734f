// Named data streams on the simulated volume, as NTFS keeps them: opening,
// creating, reading, writing, renaming and deleting a stream of a file, the
// default stream's own names, share access per stream, the names a filter is
// given for a stream, and names too long for the platform to take.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim/flt/io.h"
#include "sim/user/file.h"
#include "sim/user/process.h"
#include "tests/support/fixture.h"

using namespace sim::user;
namespace fs = std::filesystem;

namespace {

// The most characters a native name holds.
constexpr size_t kMaxNativeTest = 32767;
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::u16string Text(const UNICODE_STRING& s) { return std::u16string(s.Buffer, s.Length / sizeof(WCHAR)); }

// What the filter was given in the last pre-create, and the destination of the last rename.
struct NamesSeen {
    int creates = 0;
    std::u16string opened, normalized, stream, finalComponent, extension, destination;
    NTSTATUS destinationStatus = STATUS_UNSUCCESSFUL;
};
NamesSeen gSeen;
PFLT_FILTER gFilter = nullptr;

FLT_PREOP_CALLBACK_STATUS FLTAPI PreCreate(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID*) {
    gSeen.creates++;
    PFLT_FILE_NAME_INFORMATION info = nullptr;
    if (NT_SUCCESS(FltGetFileNameInformation(data, FLT_FILE_NAME_OPENED | FLT_FILE_NAME_QUERY_DEFAULT, &info))) {
        gSeen.opened = Text(info->Name);
        FltReleaseFileNameInformation(info);
    }
    gSeen.normalized.clear();
    if (NT_SUCCESS(FltGetFileNameInformation(data, FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT, &info))) {
        gSeen.normalized = Text(info->Name);
        EXPECT_EQ(FltParseFileNameInformation(info), STATUS_SUCCESS);
        gSeen.stream = Text(info->Stream);
        gSeen.finalComponent = Text(info->FinalComponent);
        gSeen.extension = Text(info->Extension);
        FltReleaseFileNameInformation(info);
    }
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

FLT_PREOP_CALLBACK_STATUS FLTAPI PreSetInformation(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects, PVOID*) {
    auto& params = data->Iopb->Parameters.SetFileInformation;
    if (params.FileInformationClass == FileRenameInformation) {
        auto* rename = static_cast<PFILE_RENAME_INFORMATION>(params.InfoBuffer);
        PFLT_FILE_NAME_INFORMATION info = nullptr;
        gSeen.destinationStatus = FltGetDestinationFileNameInformation(
            objects->Instance, objects->FileObject, rename->RootDirectory, rename->FileName, rename->FileNameLength,
            FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT, &info);
        if (NT_SUCCESS(gSeen.destinationStatus)) {
            gSeen.destination = Text(info->Name);
            FltReleaseFileNameInformation(info);
        }
    }
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

const FLT_OPERATION_REGISTRATION kOperations[] = {{IRP_MJ_CREATE, 0, PreCreate, nullptr, nullptr},
                                                  {IRP_MJ_SET_INFORMATION, 0, PreSetInformation, nullptr, nullptr},
                                                  {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr}};

class StreamsTest : public vtest::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        gSeen = {};
        root_ = fs::temp_directory_path() / ("vetrona-streams-" + std::to_string(::getpid()) + "-" +
                                              ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_ / "Docs");
        std::ofstream(root_ / "Docs" / "doc.txt", std::ios::binary) << "main";
        sim::fs::MountVolume(root_.string(), u'C');
        process_ = StartProcess(nullptr, vtest::kAppImage);
        ASSERT_NE(process_, nullptr);
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

    NTSTATUS Open(std::u16string_view path, ULONG disposition, HANDLE* h, ULONG_PTR* info = nullptr, ULONG share = 0,
                  ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE | DELETE, ULONG options = 0) {
        return CreateFile(process_, path, access, share, disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, h, info);
    }

    // Writes `text` to a new or existing stream (or file) and closes it.
    void Put(std::u16string_view path, const std::string& text) {
        HANDLE h = nullptr;
        ASSERT_EQ(Open(path, FILE_OVERWRITE_IF, &h), STATUS_SUCCESS);
        ASSERT_EQ(WriteFile(process_, h, 0, text.data(), static_cast<ULONG>(text.size())), STATUS_SUCCESS);
        ASSERT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
    }

    // The whole content through an open of `path`, or the open's failure.
    std::string Get(std::u16string_view path, NTSTATUS* status = nullptr) {
        HANDLE h = nullptr;
        NTSTATUS opened = Open(path, FILE_OPEN, &h, nullptr, kShareAll,
                               GENERIC_READ);
        if (status != nullptr) {
            *status = opened;
        }
        if (!NT_SUCCESS(opened)) {
            return "<" + std::to_string(opened) + ">";
        }
        std::string text(4096, '\0');
        ULONG read = 0;
        NTSTATUS r = ReadFile(process_, h, 0, text.data(), static_cast<ULONG>(text.size()), &read);
        EXPECT_TRUE(r == STATUS_SUCCESS || r == STATUS_END_OF_FILE);
        EXPECT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
        text.resize(read);
        return text;
    }

    std::vector<std::string> Listing(const fs::path& dir) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path root_;
    _EPROCESS* process_ = nullptr;
    DRIVER_OBJECT driver_{};
    FLT_REGISTRATION registration_{};
};

TEST_F(StreamsTest, StreamIsCreatedReadAndWrittenBesideTheFile) {
    HANDLE h = nullptr;
    ULONG_PTR info = 0;
    EXPECT_EQ(Open(u"C:\\Docs\\doc.txt:payload", FILE_OPEN, &h, &info), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(info, static_cast<ULONG_PTR>(FILE_DOES_NOT_EXIST));
    ASSERT_EQ(Open(u"C:\\Docs\\doc.txt:payload", FILE_OPEN_IF, &h, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, static_cast<ULONG_PTR>(FILE_CREATED));
    const std::string secret = "secret bytes";
    ASSERT_EQ(WriteFile(process_, h, 0, secret.data(), static_cast<ULONG>(secret.size())), STATUS_SUCCESS);
    ULONG64 streamId = 0, fileId = 0;
    ASSERT_EQ(QueryFileId(process_, h, &streamId), STATUS_SUCCESS);
    ASSERT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);

    // Any case, with or without the type; the file's own data is untouched.
    EXPECT_EQ(Get(u"C:\\Docs\\doc.txt:PAYLOAD:$data"), secret);
    EXPECT_EQ(Get(u"C:\\Docs\\doc.txt"), "main");
    EXPECT_EQ(Get(u"C:\\Docs\\doc.txt::$DATA"), "main");
    ASSERT_EQ(Open(u"C:\\Docs\\doc.txt", FILE_OPEN, &h), STATUS_SUCCESS);
    ASSERT_EQ(QueryFileId(process_, h, &fileId), STATUS_SUCCESS);
    EXPECT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
    EXPECT_EQ(streamId, fileId);

    // The folder shows the file only.
    EXPECT_EQ(Listing(root_ / "Docs"), std::vector<std::string>{"doc.txt"});
    EXPECT_EQ(Open(u"C:\\Docs\\doc.txt:payload", FILE_CREATE, &h, &info), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(info, static_cast<ULONG_PTR>(FILE_EXISTS));
    // An overwrite empties the stream alone.
    ASSERT_EQ(Open(u"C:\\Docs\\doc.txt:payload", FILE_OVERWRITE, &h, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, static_cast<ULONG_PTR>(FILE_OVERWRITTEN));
    EXPECT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
    EXPECT_EQ(Get(u"C:\\Docs\\doc.txt:payload"), "");
    EXPECT_EQ(Get(u"C:\\Docs\\doc.txt"), "main");
}

TEST_F(StreamsTest, CreatingAStreamOfAMissingFileCreatesTheFile) {
    HANDLE h = nullptr;
    ULONG_PTR info = 0;
    EXPECT_EQ(Open(u"C:\\Docs\\missing.txt:s", FILE_OPEN, &h, &info), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(fs::exists(root_ / "Docs" / "missing.txt"));
    ASSERT_EQ(Open(u"C:\\Docs\\new.txt:s", FILE_CREATE, &h, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, static_cast<ULONG_PTR>(FILE_CREATED));
    EXPECT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
    EXPECT_TRUE(fs::is_regular_file(root_ / "Docs" / "new.txt"));
    EXPECT_EQ(fs::file_size(root_ / "Docs" / "new.txt"), 0u);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    Get(u"C:\\Docs\\new.txt:s", &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    // Directories carry streams too; a stream is no directory.
    ASSERT_EQ(Open(u"C:\\Docs:note", FILE_CREATE, &h), STATUS_SUCCESS);
    EXPECT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
    EXPECT_EQ(Open(u"C:\\Docs:other", FILE_CREATE, &h, nullptr, 0, GENERIC_READ, FILE_DIRECTORY_FILE),
              STATUS_NOT_A_DIRECTORY);
    EXPECT_EQ(Listing(root_), std::vector<std::string>{"Docs"});
}

TEST_F(StreamsTest, MalformedStreamNamesAreRefused) {
    HANDLE h = nullptr;
    for (const char16_t* name : {u"C:\\Docs\\doc.txt:", u"C:\\Docs\\doc.txt:s:$INDEX_ALLOCATION", u"C:\\Docs\\doc.txt:a:b:c",
                                 u"C:\\Docs\\doc.txt:a*b", u"C:\\Docs:x\\doc.txt", u"C:\\Docs\\doc.txt::"}) {
        SCOPED_TRACE(std::string(name, name + std::char_traits<char16_t>::length(name)));
        EXPECT_EQ(Open(name, FILE_OPEN_IF, &h), STATUS_OBJECT_NAME_INVALID);
    }
    std::u16string longStream = u"C:\\Docs\\doc.txt:" + std::u16string(256, u's');
    EXPECT_EQ(Open(longStream, FILE_OPEN_IF, &h), STATUS_OBJECT_NAME_INVALID);
    longStream.pop_back();
    ASSERT_EQ(Open(longStream, FILE_OPEN_IF, &h), STATUS_SUCCESS);
    EXPECT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
    EXPECT_EQ(Listing(root_ / "Docs"), std::vector<std::string>{"doc.txt"});
}

TEST_F(StreamsTest, DeletingAStreamLeavesTheFileAndDeletingTheFileTakesItsStreams) {
    Put(u"C:\\Docs\\doc.txt:one", "1");
    Put(u"C:\\Docs\\doc.txt:two", "2");
    HANDLE h = nullptr;
    ASSERT_EQ(Open(u"C:\\Docs\\doc.txt:one", FILE_OPEN, &h), STATUS_SUCCESS);
    ASSERT_EQ(SetDisposition(process_, h, true), STATUS_SUCCESS);
    ASSERT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
    NTSTATUS status = STATUS_SUCCESS;
    Get(u"C:\\Docs\\doc.txt:one", &status);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Get(u"C:\\Docs\\doc.txt"), "main");
    EXPECT_EQ(Get(u"C:\\Docs\\doc.txt:two"), "2");

    // A second name of the file keeps the streams while the first goes.
    ASSERT_EQ(Open(u"C:\\Docs\\doc.txt", FILE_OPEN, &h), STATUS_SUCCESS);
    FILE_LINK_INFORMATION link{};
    std::vector<uint8_t> record(sizeof(FILE_LINK_INFORMATION) + 32);
    const std::u16string linkName = u"second.txt";
    link.FileNameLength = static_cast<ULONG>(linkName.size() * sizeof(WCHAR));
    std::memcpy(record.data(), &link, offsetof(FILE_LINK_INFORMATION, FileName));
    std::memcpy(record.data() + offsetof(FILE_LINK_INFORMATION, FileName), linkName.data(), link.FileNameLength);
    ASSERT_EQ(SetInformationFile(process_, h, FileLinkInformation, record.data(), static_cast<ULONG>(record.size())),
              STATUS_SUCCESS);
    ASSERT_EQ(SetDisposition(process_, h, true), STATUS_SUCCESS);
    ASSERT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
    EXPECT_FALSE(fs::exists(root_ / "Docs" / "doc.txt"));
    EXPECT_EQ(Get(u"C:\\Docs\\second.txt:two"), "2");

    // The last name goes: so do the streams, also for a new file that gets
    // the old one's inode.
    ASSERT_EQ(Open(u"C:\\Docs\\second.txt", FILE_OPEN, &h), STATUS_SUCCESS);
    ASSERT_EQ(SetDisposition(process_, h, true), STATUS_SUCCESS);
    ASSERT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
    for (int i = 0; i < 4; ++i) {
        const std::u16string name = u"C:\\Docs\\again" + std::u16string(1, static_cast<char16_t>(u'0' + i)) + u".txt";
        Put(name, "x");
        Get(name + u":two", &status);
        EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
    }
    Get(u"C:\\Docs\\second.txt:two", &status);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(StreamsTest, RenamesWithinTheFileAndOfTheFile) {
    Put(u"C:\\Docs\\doc.txt:payload", "data");
    Put(u"C:\\Docs\\doc.txt:taken", "old");
    HANDLE h = nullptr;
    ASSERT_EQ(Open(u"C:\\Docs\\doc.txt:payload", FILE_OPEN, &h, nullptr, kShareAll), STATUS_SUCCESS);
    EXPECT_EQ(SetRenameInformation(process_, h, u":taken", false), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(SetRenameInformation(process_, h, u":moved:$DATA", false), STATUS_SUCCESS);
    EXPECT_EQ(gSeen.destinationStatus, STATUS_SUCCESS);
    EXPECT_EQ(gSeen.destination, u"\\Device\\HarddiskVolume1\\Docs\\doc.txt:moved");
    NTSTATUS status = STATUS_SUCCESS;
    Get(u"C:\\Docs\\doc.txt:payload", &status);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Get(u"C:\\Docs\\doc.txt:moved"), "data");
    // Over an existing stream with replace.
    EXPECT_EQ(SetRenameInformation(process_, h, u":taken", true), STATUS_SUCCESS);
    EXPECT_EQ(Get(u"C:\\Docs\\doc.txt:taken"), "data");
    Get(u"C:\\Docs\\doc.txt:moved", &status);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(SetRenameInformation(process_, h, u":bad:$X", false), STATUS_OBJECT_NAME_INVALID);
    ASSERT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);

    // The file moves with its streams; an open stream follows it.
    HANDLE stream = nullptr;
    ASSERT_EQ(Open(u"C:\\Docs\\doc.txt:taken", FILE_OPEN, &stream, nullptr, kShareAll),
              STATUS_SUCCESS);
    ASSERT_EQ(Open(u"C:\\Docs\\doc.txt", FILE_OPEN, &h, nullptr, kShareAll),
              STATUS_SUCCESS);
    ASSERT_EQ(SetRenameInformation(process_, h, u"renamed.txt", false), STATUS_SUCCESS);
    ASSERT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
    EXPECT_EQ(Get(u"C:\\Docs\\renamed.txt:taken"), "data");
    const std::string more = "!";
    EXPECT_EQ(WriteFile(process_, stream, 4, more.data(), 1), STATUS_SUCCESS);
    EXPECT_EQ(Get(u"C:\\Docs\\renamed.txt:taken"), "data!");
    // A name query on the open stream gives the file's new name.
    gSeen = {};
    EXPECT_EQ(SetRenameInformation(process_, stream, u":last", false), STATUS_SUCCESS);
    EXPECT_EQ(gSeen.destination, u"\\Device\\HarddiskVolume1\\Docs\\renamed.txt:last");
    ASSERT_EQ(CloseHandle(process_, stream), STATUS_SUCCESS);
    EXPECT_EQ(Listing(root_ / "Docs"), std::vector<std::string>{"renamed.txt"});
}

TEST_F(StreamsTest, EachStreamHasItsOwnShareAccess) {
    HANDLE stream = nullptr, file = nullptr, again = nullptr;
    ASSERT_EQ(Open(u"C:\\Docs\\doc.txt:s", FILE_OPEN_IF, &stream), STATUS_SUCCESS);
    EXPECT_EQ(Open(u"C:\\Docs\\doc.txt:S", FILE_OPEN, &again), STATUS_SHARING_VIOLATION);
    ASSERT_EQ(Open(u"C:\\Docs\\doc.txt", FILE_OPEN, &file), STATUS_SUCCESS);
    EXPECT_EQ(Open(u"C:\\Docs\\doc.txt::$DATA", FILE_OPEN, &again), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(CloseHandle(process_, file), STATUS_SUCCESS);
    EXPECT_EQ(CloseHandle(process_, stream), STATUS_SUCCESS);
}

TEST_F(StreamsTest, FilterNamesCarryTheStream) {
    HANDLE h = nullptr;
    ASSERT_EQ(Open(u"C:\\docs\\DOC.txt:Payload:$DATA", FILE_OPEN_IF, &h), STATUS_SUCCESS);
    EXPECT_EQ(gSeen.opened, u"\\Device\\HarddiskVolume1\\docs\\DOC.txt:Payload:$DATA");
    EXPECT_EQ(gSeen.normalized, u"\\Device\\HarddiskVolume1\\Docs\\doc.txt:Payload");
    EXPECT_EQ(gSeen.stream, u":Payload");
    EXPECT_EQ(gSeen.finalComponent, u"doc.txt:Payload");
    EXPECT_EQ(gSeen.extension, u"txt");
    EXPECT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
    // An existing stream: its own case.
    ASSERT_EQ(Open(u"C:\\Docs\\doc.txt:PAYLOAD", FILE_OPEN, &h), STATUS_SUCCESS);
    EXPECT_EQ(gSeen.normalized, u"\\Device\\HarddiskVolume1\\Docs\\doc.txt:Payload");
    EXPECT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
    // The default stream's explicit name normalizes to the file's.
    ASSERT_EQ(Open(u"C:\\Docs\\doc.txt::$DATA", FILE_OPEN, &h), STATUS_SUCCESS);
    EXPECT_EQ(gSeen.opened, u"\\Device\\HarddiskVolume1\\Docs\\doc.txt::$DATA");
    EXPECT_EQ(gSeen.normalized, u"\\Device\\HarddiskVolume1\\Docs\\doc.txt");
    EXPECT_EQ(gSeen.stream, u"");
    EXPECT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
}

// A component longer than 255 characters is the file system's to refuse; a
// path longer than a counted string holds never becomes a request.
TEST_F(StreamsTest, NamesTooLongAreRefused) {
    HANDLE h = nullptr;
    const std::u16string longest(255, u'A');
    ASSERT_EQ(Open(u"C:\\Docs\\" + longest, FILE_CREATE, &h), STATUS_SUCCESS);
    EXPECT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
    EXPECT_EQ(Open(u"C:\\Docs\\" + longest + u"A", FILE_CREATE, &h), STATUS_OBJECT_NAME_INVALID);

    // 32,767 characters is the most a native name holds: "\??\" and the path.
    std::u16string path = u"C:\\Data";
    while (path.size() < 40000) {
        path += u"\\" + std::u16string(200, u'A');
    }
    const int before = gSeen.creates;
    EXPECT_EQ(Open(path, FILE_OVERWRITE_IF, &h), STATUS_NAME_TOO_LONG);
    EXPECT_EQ(gSeen.creates, before);
    std::u16string fits = u"C:\\";
    fits += std::u16string(kMaxNativeTest - 4 - fits.size(), u'B');
    EXPECT_EQ(Open(fits, FILE_OPEN, &h), STATUS_OBJECT_NAME_INVALID);  // one long component: the file system's to refuse
    EXPECT_EQ(gSeen.creates, before + 1);
    EXPECT_EQ(Open(fits + u"B", FILE_OPEN, &h), STATUS_NAME_TOO_LONG);
    EXPECT_EQ(gSeen.creates, before + 1);
    EXPECT_EQ(Listing(root_), (std::vector<std::string>{"Docs"}));

    // A rename's target as long: the I/O manager's open of its directory cannot be made.
    ASSERT_EQ(Open(u"C:\\Docs\\doc.txt", FILE_OPEN, &h), STATUS_SUCCESS);
    EXPECT_EQ(SetRenameInformation(process_, h, u"\\??\\" + path.substr(0, 32764) + u"\\x", false), STATUS_NAME_TOO_LONG);
    EXPECT_EQ(gSeen.creates, before + 2);
    EXPECT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
    EXPECT_EQ(Get(u"C:\\Docs\\doc.txt"), "main");
}

}  // namespace
