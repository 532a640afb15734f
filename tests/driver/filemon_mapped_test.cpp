// What the driver sees of a watched program that encrypts a file through a
// mapped view. The program's changes reach the file system only as paging
// writes carrying an MDL and no buffer: when the program flushes the view they
// come in its own thread and are reported and deniable like any write through
// the followed handle; when the mapped page writer writes them later they come
// from a System thread, which is not watched, so at best they mark the handle
// written, and once the handle is closed they are not seen at all.
#include "tests/support/filemon_fixture.h"

#include "sim/io/mdl.h"
#include "sim/user/file.h"

namespace {

using vtest::FileMonTest;

constexpr size_t kSize = 9000;  // three pages, the last one partly past the end

class MappedViewTest : public FileMonTest {
protected:
    void SetUp() override {
        FileMonTest::SetUp();
        plain_.resize(kSize);
        for (size_t i = 0; i < kSize; ++i) {
            plain_[i] = static_cast<char>('a' + i % 26);
        }
        // The program made the document itself: its id is in the list, so
        // later opens of it are followed and their closes reported.
        ASSERT_EQ(CreateWriteClose(u"C:\\doc.txt", plain_), STATUS_SUCCESS);
        Events(4);
        ClearEvents();
    }

    // Opens the document for reading and writing and maps it.
    HANDLE OpenAndMap(sim::user::MappedView** view, uint8_t** data) {
        HANDLE handle = nullptr;
        EXPECT_EQ(Open(u"C:\\doc.txt", FILE_GENERIC_READ | FILE_GENERIC_WRITE, FILE_OPEN, &handle), STATUS_SUCCESS);
        EXPECT_EQ(Operations(1), std::vector<int32_t>{FileOpWriteAccess});
        ClearEvents();
        size_t size = 0;
        EXPECT_EQ(sim::user::MapViewOfFile(app_, handle, view, data, &size), STATUS_SUCCESS);
        EXPECT_EQ(size, kSize);
        return handle;
    }
    static void Encrypt(uint8_t* data) {
        for (size_t i = 0; i < kSize; ++i) {
            data[i] ^= 0x5A;
        }
    }
    std::string Encrypted() const {
        std::string out = plain_;
        for (char& c : out) {
            c = static_cast<char>(c ^ 0x5A);
        }
        return out;
    }

    std::string plain_;
};

TEST_F(MappedViewTest, AFlushInTheProgramsThreadIsReportedAndCanBeDenied) {
    sim::user::MappedView* view = nullptr;
    uint8_t* data = nullptr;
    HANDLE handle = OpenAndMap(&view, &data);
    Encrypt(data);
    Answer(FileOpWrite, VerdictDeny);
    const uint64_t maps = sim::CallCount("MmGetSystemAddressForMdlSafe");
    EXPECT_EQ(sim::user::FlushViewOfFile(app_, view), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ReadHost(HostC("doc.txt")), plain_);
    // Denied pages stay dirty; allowed, the same flush writes them through the MDL.
    Answer(FileOpWrite, 0);
    EXPECT_EQ(sim::user::FlushViewOfFile(app_, view), STATUS_SUCCESS);
    EXPECT_TRUE(ReadHost(HostC("doc.txt")) == Encrypted());
    EXPECT_GT(sim::CallCount("MmGetSystemAddressForMdlSafe"), maps);
    const std::vector<vtest::FileEventSeen> events = Events(2);
    ASSERT_EQ(events.size(), 2u);
    for (const auto& event : events) {
        EXPECT_EQ(event.operation, FileOpWrite);
        EXPECT_EQ(event.processId, Pid(app_));
    }
    EXPECT_EQ(sim::user::UnmapViewOfFile(app_, view), STATUS_SUCCESS);
    ClearEvents();
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(Operations(1), std::vector<int32_t>{FileOpCloseModified});
    EXPECT_EQ(sim::io::LiveMdlCount(), 0u);
}

TEST_F(MappedViewTest, ThePageWriterBeforeTheCloseOnlyMarksTheHandle) {
    sim::user::MappedView* view = nullptr;
    uint8_t* data = nullptr;
    HANDLE handle = OpenAndMap(&view, &data);
    Encrypt(data);
    EXPECT_EQ(sim::user::UnmapViewOfFile(app_, view), STATUS_SUCCESS);
    Answer(FileOpWrite, VerdictDeny);  // never asked
    EXPECT_EQ(sim::user::RunMappedPageWriter(), 1u);
    EXPECT_TRUE(ReadHost(HostC("doc.txt")) == Encrypted());
    EXPECT_TRUE(Operations().empty());
    // The System thread's write marked the followed handle: its close is
    // reported, but the file is already encrypted.
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(Operations(1), std::vector<int32_t>{FileOpCloseModified});
}

TEST_F(MappedViewTest, ThePageWriterAfterTheCloseIsNotSeenAtAll) {
    sim::user::MappedView* view = nullptr;
    uint8_t* data = nullptr;
    HANDLE handle = OpenAndMap(&view, &data);
    Encrypt(data);
    EXPECT_EQ(sim::user::UnmapViewOfFile(app_, view), STATUS_SUCCESS);
    // Nothing was written through the handle yet: its close reports nothing.
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    Answer(FileOpWrite, VerdictDeny);
    EXPECT_EQ(sim::user::RunMappedPageWriter(), 1u);
    EXPECT_TRUE(ReadHost(HostC("doc.txt")) == Encrypted());
    EXPECT_TRUE(Operations().empty());
}

TEST_F(MappedViewTest, AViewNeedsReadAndWriteAccessAndAFileWithBytes) {
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"C:\\doc.txt", FILE_GENERIC_WRITE, FILE_OPEN, &handle), STATUS_SUCCESS);
    sim::user::MappedView* view = nullptr;
    uint8_t* data = nullptr;
    size_t size = 0;
    EXPECT_EQ(sim::user::MapViewOfFile(app_, handle, &view, &data, &size), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"C:\\empty.txt", FILE_GENERIC_READ | FILE_GENERIC_WRITE, FILE_CREATE, &handle), STATUS_SUCCESS);
    EXPECT_EQ(sim::user::MapViewOfFile(app_, handle, &view, &data, &size), STATUS_MAPPED_FILE_SIZE_ZERO);
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
}

}  // namespace

namespace {

// The page writer's writes come later from a System thread, so the one point
// where the driver can stop a mapped-view encryption is the open of the handle
// the section is made from: a writable view needs write access on it, and
// every open with write rights (all access, DELETE beside write rights
// included) is reported and deniable. A denied open leaves nothing to map.
TEST_F(MappedViewTest, TheHandleAWritableViewNeedsIsReportedAtItsOpenAndDeniable) {
    for (const ACCESS_MASK access : {ACCESS_MASK{FILE_ALL_ACCESS}, ACCESS_MASK{FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE}}) {
        SCOPED_TRACE(access);
        ClearEvents();
        Answer(FileOpWriteAccess, VerdictDeny);
        HANDLE handle = nullptr;
        EXPECT_EQ(Open(u"C:\\doc.txt", access, FILE_OPEN, &handle), STATUS_ACCESS_DENIED);
        EXPECT_EQ(Operations(1), std::vector<int32_t>{FileOpWriteAccess});

        // Allowed, the handle is followed: a flush in the program's thread is
        // a reported write.
        ClearEvents();
        Answer(FileOpWriteAccess, 0);
        ASSERT_EQ(Open(u"C:\\doc.txt", access, FILE_OPEN, &handle), STATUS_SUCCESS);
        sim::user::MappedView* view = nullptr;
        uint8_t* data = nullptr;
        size_t size = 0;
        ASSERT_EQ(sim::user::MapViewOfFile(app_, handle, &view, &data, &size), STATUS_SUCCESS);
        data[0] ^= 0x5A;
        EXPECT_EQ(sim::user::FlushViewOfFile(app_, view), STATUS_SUCCESS);
        EXPECT_EQ(sim::user::UnmapViewOfFile(app_, view), STATUS_SUCCESS);
        EXPECT_EQ(Close(handle), STATUS_SUCCESS);
        EXPECT_EQ(Operations(3), (std::vector<int32_t>{FileOpWriteAccess, FileOpWrite, FileOpCloseModified}));
        data = nullptr;
        // Put the first byte back for the next round.
        WriteHost(HostC("doc.txt"), plain_);
    }
}

}  // namespace
