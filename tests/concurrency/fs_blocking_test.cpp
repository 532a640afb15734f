// Work on one file that blocks (here: a fault's action that waits on a latch
// at a chosen step) must not stall work on other files, and operations on the
// same name, or on a directory above it, must wait for each other. No timing:
// every wait is bounded only so that a fault shows up as a failure, not a hang.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <thread>

#include "sim/fs/fs.h"
#include "sim/user/file.h"
#include "sim/user/process.h"
#include "tests/support/fixture.h"

using namespace sim::user;
namespace fs = std::filesystem;

namespace {

constexpr auto kBound = std::chrono::seconds(10);
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A fault whose action reports that it runs, then waits until released.
class Blocker {
public:
    Blocker() : released_(release_.get_future().share()) {}
    ~Blocker() { Release(); }

    void Inject(sim::fs::FaultOp op, std::u16string path) {
        sim::fs::Fault fault;
        fault.op = op;
        fault.path = std::move(path);
        fault.status = STATUS_SUCCESS;
        fault.action = [this] {
            entered_.set_value();
            released_.wait_for(std::chrono::seconds(60));
        };
        sim::fs::InjectFault(fault);
    }
    bool WaitEntered() { return entered_.get_future().wait_for(kBound) == std::future_status::ready; }
    void Release() {
        if (!done_) {
            done_ = true;
            release_.set_value();
        }
    }

private:
    std::promise<void> entered_;
    std::promise<void> release_;
    std::shared_future<void> released_;
    bool done_ = false;
};

class FsBlockingTest : public vtest::SimTest {
protected:
    void SetUp() override {
        vtest::SimTest::SetUp();
        root_ = fs::temp_directory_path() / ("vetrona-blocking-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        sim::fs::MountVolume(root_.string(), u'C');
        app_ = StartProcess(nullptr, vtest::kAppImage);
    }
    void TearDown() override {
        EndProcess(app_);
        fs::remove_all(root_);
        vtest::SimTest::TearDown();
    }

    NTSTATUS Open(std::u16string_view path, ACCESS_MASK access, ULONG disposition, HANDLE* handle, ULONG options = 0) {
        return CreateFile(app_, path, access, kShareAll, disposition, options, handle);
    }

    // Create, write, query, size, rename and delete of files other than
    // C:\a.txt, and a directory with a file in it: true when all went well.
    bool OtherFiles() {
        bool ok = true;
        HANDLE b = nullptr;
        ok &= Open(u"C:\\b.txt", FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE, FILE_CREATE, &b) == STATUS_SUCCESS;
        ULONG written = 0;
        ok &= WriteFile(app_, b, 0, "hello", 5, &written) == STATUS_SUCCESS && written == 5;
        ULONG64 id = 0;
        ok &= QueryFileId(app_, b, &id) == STATUS_SUCCESS;
        LARGE_INTEGER size{};
        size.QuadPart = 3;
        ok &= SetInformationFile(app_, b, FileEndOfFileInformation, &size, sizeof(size)) == STATUS_SUCCESS;
        ok &= SetRenameInformation(app_, b, u"c.txt", false) == STATUS_SUCCESS;
        ok &= SetDisposition(app_, b, true) == STATUS_SUCCESS;
        ok &= CloseHandle(app_, b) == STATUS_SUCCESS;
        HANDLE dir = nullptr, inner = nullptr;
        ok &= Open(u"C:\\d", FILE_GENERIC_READ, FILE_CREATE, &dir, FILE_DIRECTORY_FILE) == STATUS_SUCCESS;
        ok &= Open(u"C:\\d\\e.txt", FILE_GENERIC_WRITE, FILE_CREATE, &inner) == STATUS_SUCCESS;
        ok &= CloseHandle(app_, inner) == STATUS_SUCCESS;
        ok &= CloseHandle(app_, dir) == STATUS_SUCCESS;
        return ok && !fs::exists(root_ / "c.txt") && fs::exists(root_ / "d" / "e.txt");
    }

    // Waits until some operation has waited for a name hold since `before`.
    static bool SomeoneWaitsSince(uint64_t before) {
        const auto deadline = std::chrono::steady_clock::now() + kBound;
        while (sim::fs::NameHoldWaits() == before) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::yield();
        }
        return true;
    }

    fs::path root_;
    _EPROCESS* app_ = nullptr;
};

// The operation on C:\a.txt that blocks in its fault's action.
class BlockedStepTest : public FsBlockingTest, public ::testing::WithParamInterface<sim::fs::FaultOp> {};

TEST_P(BlockedStepTest, WorkOnOtherFilesGoesOnWhileOneFilesStepBlocks) {
    const sim::fs::FaultOp op = GetParam();
    HANDLE a = nullptr;
    if (op != sim::fs::FaultOp::Create) {
        ASSERT_EQ(Open(u"C:\\a.txt", FILE_GENERIC_READ | FILE_GENERIC_WRITE, FILE_CREATE, &a), STATUS_SUCCESS);
    }
    const uint64_t actions = sim::fs::FaultActionsRun();
    Blocker blocker;
    blocker.Inject(op, u"C:\\a.txt");
    std::thread blocked([&] {
        switch (op) {
        case sim::fs::FaultOp::Create:
            EXPECT_EQ(Open(u"C:\\a.txt", FILE_GENERIC_WRITE, FILE_CREATE, &a), STATUS_SUCCESS);
            break;
        case sim::fs::FaultOp::Write:
            EXPECT_EQ(WriteFile(app_, a, 0, "aaaa", 4), STATUS_SUCCESS);
            break;
        case sim::fs::FaultOp::SetInformation: {
            LARGE_INTEGER size{};
            size.QuadPart = 2;
            EXPECT_EQ(SetInformationFile(app_, a, FileEndOfFileInformation, &size, sizeof(size)), STATUS_SUCCESS);
            break;
        }
        default: {
            ULONG64 id = 0;
            EXPECT_EQ(QueryFileId(app_, a, &id), STATUS_SUCCESS);
            break;
        }
        }
    });
    ASSERT_TRUE(blocker.WaitEntered()) << "the fault's action never ran";
    auto others = std::async(std::launch::async, [this] { return OtherFiles(); });
    const bool finished = others.wait_for(kBound) == std::future_status::ready;
    EXPECT_TRUE(finished) << "work on other files waited for the blocked step on C:\\a.txt";
    blocker.Release();
    blocked.join();
    EXPECT_TRUE(others.get());
    EXPECT_EQ(sim::fs::FaultActionsRun(), actions + 1);
    EXPECT_EQ(CloseHandle(app_, a), STATUS_SUCCESS);
    EXPECT_TRUE(fs::exists(root_ / "a.txt"));
}

INSTANTIATE_TEST_SUITE_P(Steps, BlockedStepTest,
                         ::testing::Values(sim::fs::FaultOp::Create, sim::fs::FaultOp::Write,
                                           sim::fs::FaultOp::SetInformation, sim::fs::FaultOp::QueryInformation),
                         [](const auto& info) {
                             switch (info.param) {
                             case sim::fs::FaultOp::Create: return std::string("Create");
                             case sim::fs::FaultOp::Write: return std::string("Write");
                             case sim::fs::FaultOp::SetInformation: return std::string("SetInformation");
                             default: return std::string("QueryInformation");
                             }
                         });

// A create in progress holds its name: a second create of the same name (in
// another case) and a rename onto it wait, then find the file there.
TEST_F(FsBlockingTest, SameNameWaitsForACreateInProgress) {
    HANDLE b = nullptr;
    ASSERT_EQ(Open(u"C:\\b.txt", FILE_GENERIC_WRITE | DELETE, FILE_CREATE, &b), STATUS_SUCCESS);
    Blocker blocker;
    blocker.Inject(sim::fs::FaultOp::Create, u"C:\\x.txt");
    HANDLE x = nullptr;
    std::thread creator([&] { EXPECT_EQ(Open(u"C:\\x.txt", FILE_GENERIC_WRITE, FILE_CREATE, &x), STATUS_SUCCESS); });
    ASSERT_TRUE(blocker.WaitEntered());

    uint64_t waits = sim::fs::NameHoldWaits();
    auto second = std::async(std::launch::async, [&] {
        HANDLE h = nullptr;
        return Open(u"C:\\X.TXT", FILE_GENERIC_WRITE, FILE_CREATE, &h);
    });
    EXPECT_TRUE(SomeoneWaitsSince(waits)) << "a second create of the name did not wait";
    waits = sim::fs::NameHoldWaits();
    auto rename = std::async(std::launch::async, [&] { return SetRenameInformation(app_, b, u"x.txt", false); });
    EXPECT_TRUE(SomeoneWaitsSince(waits)) << "a rename onto the name did not wait";
    blocker.Release();
    creator.join();
    EXPECT_EQ(second.get(), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(rename.get(), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_TRUE(fs::exists(root_ / "b.txt"));
    EXPECT_EQ(CloseHandle(app_, x), STATUS_SUCCESS);
    EXPECT_EQ(CloseHandle(app_, b), STATUS_SUCCESS);
}

// A directory's rename waits for a create inside it; the new file's handle is
// then open below it, so the rename is refused and the file is where it was made.
TEST_F(FsBlockingTest, DirectoryRenameWaitsForACreateInside) {
    HANDLE dir = nullptr;
    ASSERT_EQ(Open(u"C:\\dir", FILE_GENERIC_READ | DELETE, FILE_CREATE, &dir, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    Blocker blocker;
    blocker.Inject(sim::fs::FaultOp::Create, u"C:\\dir\\a.txt");
    HANDLE a = nullptr;
    std::thread creator([&] { EXPECT_EQ(Open(u"C:\\dir\\a.txt", FILE_GENERIC_WRITE, FILE_CREATE, &a), STATUS_SUCCESS); });
    ASSERT_TRUE(blocker.WaitEntered());
    const uint64_t waits = sim::fs::NameHoldWaits();
    auto rename = std::async(std::launch::async, [&] { return SetRenameInformation(app_, dir, u"moved", false); });
    EXPECT_TRUE(SomeoneWaitsSince(waits)) << "the directory's rename did not wait";
    blocker.Release();
    creator.join();
    EXPECT_EQ(rename.get(), STATUS_ACCESS_DENIED);
    EXPECT_TRUE(fs::exists(root_ / "dir" / "a.txt"));
    EXPECT_EQ(CloseHandle(app_, a), STATUS_SUCCESS);
    EXPECT_EQ(CloseHandle(app_, dir), STATUS_SUCCESS);
}

}  // namespace
