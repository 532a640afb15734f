// Paging reads of a followed file: a watched program maps a file it opened
// for writing, and the pages come in through paging reads in its thread. The
// driver filters no reads: they pass it untouched (the filter below it sees
// them all), nothing is reported, and the handle is not taken for written, so
// its close reports nothing either.
#include "tests/support/filemon_fixture.h"
#include "tests/support/request_recorder.h"

#include "sim/user/file.h"

#include <string>

namespace {

class PagingReadTest : public vtest::FileMonTest {
protected:
    void SetUp() override {
        FileMonTest::SetUp();
        recorder_.Start();  // below the driver
    }
    void TearDown() override {
        recorder_.Stop();
        FileMonTest::TearDown();
    }
    vtest::RequestRecorder recorder_;
};

TEST_F(PagingReadTest, PagingReadsOfAFollowedFileAreNotReported) {
    // A file the program created earlier: its id is known, so the handle below is tracked.
    ASSERT_EQ(CreateWriteClose(u"C:\\mapped.txt", std::string(5000, 'm')), STATUS_SUCCESS);
    EXPECT_EQ(Operations(4), (std::vector<int32_t>{FileOpWriteAccess, FileOpCreated, FileOpWrite, FileOpCloseModified}));
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"C:\\mapped.txt", FILE_GENERIC_READ | FILE_GENERIC_WRITE, FILE_OPEN, &handle), STATUS_SUCCESS);
    EXPECT_EQ(Operations(5).size(), 5u);  // the open for writing
    ClearEvents();
    recorder_.Clear();
    const uint64_t sent = sim::CallCount("FltSendMessage");

    sim::user::MappedView* view = nullptr;
    uint8_t* data = nullptr;
    size_t size = 0;
    ASSERT_EQ(sim::user::MapViewOfFile(app_, handle, &view, &data, &size), STATUS_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data), size), std::string(5000, 'm'));
    const auto reads = recorder_.Requests(IRP_MJ_READ);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_NE(reads[0].irpFlags & IRP_PAGING_IO, 0u);
    EXPECT_EQ(reads[0].processId, static_cast<ULONG_PTR>(Pid(app_)));
    EXPECT_EQ(reads[0].status, STATUS_SUCCESS);
    EXPECT_EQ(sim::user::UnmapViewOfFile(app_, view), STATUS_SUCCESS);
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(sim::CallCount("FltSendMessage"), sent);
    EXPECT_TRUE(Operations().empty());
}

}  // namespace
