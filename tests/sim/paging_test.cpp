// Paging I/O on the simulated volume: what the memory manager sends for a
// mapped view (whole pages, described by an MDL) and what the file system does
// with a paging write that reaches past the end of the file.
#include "tests/support/fixture.h"
#include "tests/support/request_recorder.h"

#include "sim/flt/io.h"
#include "sim/io/mdl.h"
#include "sim/ob/ob.h"
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

// Mapping a view brings its pages in through paging reads in the program's
// thread: whole pages in clusters of 16, an MDL over the view and no buffer,
// kernel mode; the last read reaches past the end of the file and says how
// many bytes the file had. A read that fails fails the mapping.
TEST_F(PagingTest, AViewIsFilledByPagingReads) {
    std::string content;
    for (size_t i = 0; i < 70000; ++i) {
        content.push_back(static_cast<char>('a' + i % 26));
    }
    std::ofstream(root_ / "big.bin", std::ios::binary) << content;
    HANDLE big = nullptr;
    ASSERT_EQ(sim::user::CreateFile(process_, u"C:\\big.bin", FILE_READ_DATA | FILE_WRITE_DATA | SYNCHRONIZE, FILE_SHARE_READ,
                                    FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, &big),
              STATUS_SUCCESS);
    recorder_.Clear();
    sim::user::MappedView* view = nullptr;
    uint8_t* data = nullptr;
    size_t size = 0;
    ASSERT_EQ(sim::user::MapViewOfFile(process_, big, &view, &data, &size), STATUS_SUCCESS);
    ASSERT_EQ(size, content.size());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data), size), content);
    EXPECT_EQ(data[size], 0);  // the rest of the last page
    const auto reads = recorder_.Requests(IRP_MJ_READ);
    ASSERT_EQ(reads.size(), 2u);
    const size_t lastPages = (content.size() + kPage - 1) / kPage * kPage - 16 * kPage;
    for (size_t i = 0; i < reads.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_NE(reads[i].irpFlags & IRP_PAGING_IO, 0u);
        EXPECT_TRUE(reads[i].hasMdl);
        EXPECT_FALSE(reads[i].hasBuffer);
        EXPECT_EQ(reads[i].requestorMode, KernelMode);
        EXPECT_EQ(reads[i].processId, static_cast<ULONG_PTR>(process_->pid));
        EXPECT_EQ(reads[i].status, STATUS_SUCCESS);
    }
    EXPECT_EQ(reads[0].offset, 0);
    EXPECT_EQ(reads[0].length, 16 * kPage);
    EXPECT_EQ(reads[0].information, 16 * kPage);
    EXPECT_EQ(reads[1].offset, static_cast<LONGLONG>(16 * kPage));
    EXPECT_EQ(reads[1].length, lastPages);
    EXPECT_EQ(reads[1].information, content.size() - 16 * kPage);
    EXPECT_EQ(sim::user::UnmapViewOfFile(process_, view), STATUS_SUCCESS);

    sim::fs::InjectFault({.op = sim::fs::FaultOp::Read, .path = u"C:\\big.bin", .nth = 2, .status = STATUS_INSUFFICIENT_RESOURCES});
    EXPECT_EQ(sim::user::MapViewOfFile(process_, big, &view, &data, &size), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(view, nullptr);
    EXPECT_EQ(sim::user::CloseHandle(process_, big), STATUS_SUCCESS);
}

}  // namespace
