// Paging I/O on the simulated volume: what the memory manager sends for a
// mapped view (whole pages, described by an MDL) and what the file system does
// with a paging write that reaches past the end of the file.
#include "tests/support/fixture.h"
#include "tests/support/request_recorder.h"

#include "sim/private/flt_io.h"
#include "sim/private/io_mdl.h"
#include "sim/private/ob.h"
#include "sim/user/file.h"
#include "sim/user/process.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr size_t kPage = 0x1000;

class PagingTest : public vtest::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        root_ = fs::temp_directory_path() / ("vetrona-paging-" + std::to_string(::getpid()) + "-" +
                                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_);
        std::ofstream(root_ / "page.bin", std::ios::binary) << std::string(100, 'x');
        sim::fs::MountVolume(root_.string(), u'C');
        process_ = sim::user::StartProcess(nullptr, vtest::kAppImage);
        recorder_.Start();
        ASSERT_EQ(sim::user::CreateFile(process_, u"C:\\page.bin", FILE_READ_DATA | FILE_WRITE_DATA | SYNCHRONIZE,
                                        FILE_SHARE_READ, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, &handle_),
                  STATUS_SUCCESS);
    }
    void TearDown() override {
        if (handle_ != nullptr) {
            EXPECT_EQ(sim::user::CloseHandle(process_, handle_), STATUS_SUCCESS);
        }
        recorder_.Stop();
        SimTest::TearDown();
        fs::remove_all(root_);
    }

    std::string Disk() const {
        std::ifstream in(root_ / "page.bin", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // A paging write of `length` bytes of `fill` at `offset` through an MDL,
    // as the memory manager sends it, from a System thread.
    IO_STATUS_BLOCK PagingWrite(int64_t offset, size_t length, char fill) {
        sim::ob::HandleEntry entry;
        EXPECT_EQ(sim::ob::LookupHandle(process_, handle_, sim::ob::ObjectType::File, &entry), STATUS_SUCCESS);
        std::vector<char> pages(length, fill);
        PMDL mdl = IoAllocateMdl(pages.data(), static_cast<ULONG>(length), FALSE, FALSE, nullptr);
        MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
        sim::ThreadScope scope(sim::SystemProcess());
        sim::flt::IoRequest request;
        request.majorFunction = IRP_MJ_WRITE;
        request.irpFlags = IRP_PAGING_IO | IRP_NOCACHE | IRP_SYNCHRONOUS_PAGING_IO | IRP_WRITE_OPERATION;
        request.requestorMode = KernelMode;
        request.file = sim::fs::BodyOf(static_cast<PFILE_OBJECT>(entry.object));
        request.parameters.Write.Length = static_cast<ULONG>(length);
        request.parameters.Write.ByteOffset.QuadPart = offset;
        request.parameters.Write.MdlAddress = mdl;
        const IO_STATUS_BLOCK result = sim::flt::Perform(request);
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        return result;
    }

    fs::path root_;
    _EPROCESS* process_ = nullptr;
    HANDLE handle_ = nullptr;
    vtest::RequestRecorder recorder_;
};

// A flush writes the dirty page whole, past the end of a 100-byte file; the
// file system writes the bytes that lie inside the file, says so in the
// information, and the file keeps its size. What the program put past the
// end is dropped, and the page is clean afterwards.
TEST_F(PagingTest, AFlushWritesWholePagesAndTheFileKeepsItsSize) {
    sim::user::MappedView* view = nullptr;
    uint8_t* data = nullptr;
    size_t size = 0;
    ASSERT_EQ(sim::user::MapViewOfFile(process_, handle_, &view, &data, &size), STATUS_SUCCESS);
    ASSERT_EQ(size, 100u);
    data[10] = 'Y';
    data[200] = 'Z';
    recorder_.Clear();
    EXPECT_EQ(sim::user::FlushViewOfFile(process_, view), STATUS_SUCCESS);
    const auto writes = recorder_.Requests(IRP_MJ_WRITE);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_NE(writes[0].irpFlags & IRP_PAGING_IO, 0u);
    EXPECT_TRUE(writes[0].hasMdl);
    EXPECT_FALSE(writes[0].hasBuffer);
    EXPECT_EQ(writes[0].requestorMode, KernelMode);
    EXPECT_EQ(writes[0].offset, 0);
    EXPECT_EQ(writes[0].length, kPage);
    EXPECT_EQ(writes[0].status, STATUS_SUCCESS);
    EXPECT_EQ(writes[0].information, 100u);
    EXPECT_EQ(Disk(), std::string(10, 'x') + "Y" + std::string(89, 'x'));

    recorder_.Clear();
    EXPECT_EQ(sim::user::FlushViewOfFile(process_, view), STATUS_SUCCESS);
    EXPECT_TRUE(recorder_.Requests(IRP_MJ_WRITE).empty());
    EXPECT_EQ(sim::user::UnmapViewOfFile(process_, view), STATUS_SUCCESS);
}

// Paging writes through the MDL path at the end of the file and beyond: the
// part inside the file is written, the rest dropped, and a write that starts
// at or past the end succeeds with nothing written. The size never changes.
TEST_F(PagingTest, APagingWriteNeverExtendsTheFile) {
    struct Case {
        const char* name;
        int64_t offset;
        size_t length;
        ULONG_PTR written;
        std::string disk;
    };
    const Case cases[] = {
        {"across the end", 50, kPage, 50, std::string(50, 'x') + std::string(50, 'a')},
        {"at the end", 100, kPage, 0, std::string(50, 'x') + std::string(50, 'a')},
        {"two pages past the end", 2 * kPage, kPage, 0, std::string(50, 'x') + std::string(50, 'a')},
        {"inside", 0, 10, 10, std::string(10, 'd') + std::string(40, 'x') + std::string(50, 'a')},
    };
    char fill = 'a';  // a, b, c, d: one per case
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const IO_STATUS_BLOCK result = PagingWrite(c.offset, c.length, fill++);
        EXPECT_EQ(result.Status, STATUS_SUCCESS);
        EXPECT_EQ(result.Information, c.written);
        EXPECT_EQ(fs::file_size(root_ / "page.bin"), 100u);
        EXPECT_EQ(Disk(), c.disk);
    }
}

}  // namespace
