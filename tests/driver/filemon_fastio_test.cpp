// Cached writes delivered as fast I/O: the write callback receives them with
// the same parameters as an IRP write, reports them and can deny them; a filter
// below that refuses fast I/O makes the I/O manager send the write again as an
// IRP, which the driver then sees a second time.
#include "tests/support/filemon_fixture.h"
#include "tests/support/test_filter.h"

#include "sim/fs/fs.h"
#include "sim/user/file.h"

#include <atomic>
#include <mutex>

namespace {

using vtest::FileMonTest;

std::mutex gFlagsLock;
std::vector<ULONG> gWriteFlags;     // callback-data flags of the writes the filter below saw
std::atomic<bool> gRefuseFastIo{false};

FLT_PREOP_CALLBACK_STATUS FLTAPI BelowWrite(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID* context) {
    *context = nullptr;
    {
        std::lock_guard<std::mutex> guard(gFlagsLock);
        gWriteFlags.push_back(data->Flags);
    }
    if (gRefuseFastIo && FLT_IS_FASTIO_OPERATION(data)) {
        return FLT_PREOP_DISALLOW_FASTIO;
    }
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

const FLT_OPERATION_REGISTRATION kBelowOperations[] = {
    {IRP_MJ_WRITE, 0, BelowWrite, nullptr, nullptr},
    {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr},
};

class FastIoTest : public FileMonTest {
protected:
    void SetUp() override {
        FileMonTest::SetUp();
        // Started after the driver, so below it on every volume.
        below_.Start(kBelowOperations);
        sim::fs::SetCachedWritesUseFastIo(true);
        std::lock_guard<std::mutex> guard(gFlagsLock);
        gWriteFlags.clear();
    }
    void TearDown() override {
        below_.Stop();
        gRefuseFastIo = false;
        FileMonTest::TearDown();
    }
    std::vector<ULONG> WriteFlags() {
        std::lock_guard<std::mutex> guard(gFlagsLock);
        return gWriteFlags;
    }
    // A followed handle on a new file; cached and synchronous.
    HANDLE Created(std::u16string_view path) {
        HANDLE handle = nullptr;
        EXPECT_EQ(Open(path, FILE_GENERIC_WRITE, FILE_CREATE, &handle, FILE_SYNCHRONOUS_IO_NONALERT), STATUS_SUCCESS);
        EXPECT_EQ(Operations(2), (std::vector<int32_t>{FileOpWriteAccess, FileOpCreated}));
        ClearEvents();
        return handle;
    }

    vtest::TestFilter below_;
};

TEST_F(FastIoTest, AFastIoWriteIsReportedAndCanBeDenied) {
    HANDLE handle = Created(u"C:\\fast.txt");
    ASSERT_EQ(Write(handle, "allowed"), STATUS_SUCCESS);
    ASSERT_EQ(WriteFlags().size(), 1u);
    EXPECT_TRUE((WriteFlags()[0] & FLTFL_CALLBACK_DATA_FAST_IO_OPERATION) != 0);
    EXPECT_TRUE((WriteFlags()[0] & FLTFL_CALLBACK_DATA_IRP_OPERATION) == 0);
    Answer(FileOpWrite, VerdictDeny);
    EXPECT_EQ(Write(handle, "denied!", 0), STATUS_ACCESS_DENIED);
    EXPECT_EQ(WriteFlags().size(), 1u);  // completed above the filter below
    EXPECT_EQ(ReadHost(HostC("fast.txt")), "allowed");
    EXPECT_EQ(Operations(2), (std::vector<int32_t>{FileOpWrite, FileOpWrite}));
    ClearEvents();
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(Operations(1), std::vector<int32_t>{FileOpCloseModified});
}

TEST_F(FastIoTest, RefusedFastIoComesBackAsAnIrpAndIsReportedTwice) {
    gRefuseFastIo = true;
    HANDLE handle = Created(u"C:\\twice.txt");
    ASSERT_EQ(Write(handle, "once on disk"), STATUS_SUCCESS);
    const std::vector<ULONG> flags = WriteFlags();
    ASSERT_EQ(flags.size(), 2u);
    EXPECT_TRUE((flags[0] & FLTFL_CALLBACK_DATA_FAST_IO_OPERATION) != 0);
    EXPECT_TRUE((flags[1] & FLTFL_CALLBACK_DATA_IRP_OPERATION) != 0);
    EXPECT_EQ(ReadHost(HostC("twice.txt")), "once on disk");
    // The driver sits above the refusing filter: it saw both attempts.
    EXPECT_EQ(Operations(2), (std::vector<int32_t>{FileOpWrite, FileOpWrite}));
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
}

}  // namespace
