// The gates on the file path take no exclusive lock: an unwatched program's
// opens, writes and closes read the switch and the client atomically and ask
// the watched set under its lock shared, so they never queue behind one
// another; a switch flipped by the client is seen by the very next operation.
#include "tests/support/filemon_fixture.h"

#include "driver/driver_data.h"
#include "sim/ke/sync.h"

#include <chrono>
#include <future>

namespace {

using namespace std::chrono_literals;

class FileGatesTest : public vtest::FileMonTest {
protected:
    struct Locks {
        uint64_t exclusive = 0;
        uint64_t shared = 0;
    };
    static Locks Taken() { return {sim::sync::ExclusiveAcquireCount(), sim::sync::SharedAcquireCount()}; }
    static Locks Since(const Locks& before) {
        const Locks now = Taken();
        return {now.exclusive - before.exclusive, now.shared - before.shared};
    }
    // Opens the file (made if missing), writes and closes, as `process`.
    NTSTATUS OverwriteClose(std::u16string_view path, const std::string& data, _EPROCESS* process) {
        HANDLE handle = nullptr;
        NTSTATUS status = Open(path, FILE_GENERIC_WRITE, FILE_OVERWRITE_IF, &handle, 0, FILE_SHARE_READ, process);
        if (status != STATUS_SUCCESS) {
            return status;
        }
        status = Write(handle, data, 0, process);
        const NTSTATUS closed = Close(handle, process);
        return status != STATUS_SUCCESS ? status : closed;
    }
};

TEST_F(FileGatesTest, UnwatchedIoTakesNoExclusiveLock) {
    _EPROCESS* other = StartProcess();
    ASSERT_EQ(OverwriteClose(u"C:\\theirs.txt", "warm-up", other), STATUS_SUCCESS);

    // Monitoring on, the program not watched: one shared membership test at
    // the open, nothing exclusive.
    Locks before = Taken();
    ASSERT_EQ(OverwriteClose(u"C:\\theirs.txt", "unwatched", other), STATUS_SUCCESS);
    Locks used = Since(before);
    EXPECT_EQ(used.exclusive, 0u);
    EXPECT_EQ(used.shared, 1u);

    // Monitoring off: no lock at all.
    SetFileMon(false);
    before = Taken();
    ASSERT_EQ(OverwriteClose(u"C:\\theirs.txt", "off", other), STATUS_SUCCESS);
    used = Since(before);
    EXPECT_EQ(used.exclusive, 0u);
    EXPECT_EQ(used.shared, 0u);
    EXPECT_TRUE(Events().empty());
}

// Each flip of the switch, through the port, decides the next open of the
// watched program: no operation in between, no wait.
TEST_F(FileGatesTest, ASwitchFlipIsSeenByTheNextOperation) {
    HANDLE handle = nullptr;
    for (const bool on : {false, true, false, true}) {
        SetFileMon(on);
        ClearEvents();
        ASSERT_EQ(Open(u"C:\\flip.txt", FILE_GENERIC_WRITE, FILE_OPEN_IF, &handle), STATUS_SUCCESS);
        ASSERT_EQ(Close(handle), STATUS_SUCCESS);
        const std::vector<int32_t> seen = Operations(on ? 1 : 0);
        if (on) {
            ASSERT_FALSE(seen.empty()) << "the open right after switching on was not reported";
            EXPECT_EQ(seen.front(), FileOpWriteAccess);
        } else {
            EXPECT_TRUE(seen.empty()) << "the open right after switching off was reported";
        }
    }
    // The client's own opens stay unreported whatever the switch says.
    ClearEvents();
    ASSERT_EQ(Open(u"C:\\flip.txt", FILE_GENERIC_WRITE, FILE_OPEN_IF, &handle, 0, FILE_SHARE_READ, Client()), STATUS_SUCCESS);
    ASSERT_EQ(Close(handle, Client()), STATUS_SUCCESS);
    EXPECT_TRUE(Operations().empty());
}

// A membership test in flight on another thread (here: the list's lock held
// shared) does not hold up an open; a change to the list (held exclusive)
// does, and the model counts that wait.
TEST_F(FileGatesTest, MembershipTestsNeverWaitForEachOther) {
    _EPROCESS* other = StartProcess();
    auto holdList = [&](bool exclusive, std::promise<void>* held, std::shared_future<void> release) {
        return std::async(std::launch::async, [exclusive, held, release] {
            KeEnterCriticalRegion();
            if (exclusive) {
                FltAcquirePushLockExclusive(&DriverData.ProcessList.Lock);
            } else {
                FltAcquirePushLockShared(&DriverData.ProcessList.Lock);
            }
            held->set_value();
            release.wait();
            FltReleasePushLock(&DriverData.ProcessList.Lock);
            KeLeaveCriticalRegion();
        });
    };
    auto openAndClose = [&] {
        return std::async(std::launch::async, [&] { return OverwriteClose(u"C:\\side.txt", "side", other); });
    };

    {
        std::promise<void> held, release;
        auto holder = holdList(false, &held, release.get_future().share());
        held.get_future().wait();
        auto io = openAndClose();
        EXPECT_EQ(io.wait_for(5s), std::future_status::ready) << "an open waited behind a shared holder of the list";
        release.set_value();
        holder.get();
        EXPECT_EQ(io.get(), STATUS_SUCCESS);
    }
    EXPECT_EQ(sim::sync::PushLockContendedCount(), 0u);

    {
        std::promise<void> held, release;
        auto holder = holdList(true, &held, release.get_future().share());
        held.get_future().wait();
        auto io = openAndClose();
        EXPECT_EQ(io.wait_for(100ms), std::future_status::timeout) << "an open went past a change of the list";
        release.set_value();
        holder.get();
        EXPECT_EQ(io.get(), STATUS_SUCCESS);
    }
    EXPECT_EQ(sim::CallCount("FltAcquirePushLockShared:contended"), 1u);
}

}  // namespace
