// A program's buffer belongs to its own process: the kernel reaches a
// request's view of it from that process's threads only. From another
// process's thread or a worker thread of the System process, and after the
// request is over, the guarded copy gets an access violation, as a user
// address used in the wrong address space gives on Windows.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "platform/kernel.h"
#include "sim/ke/core.h"
#include "sim/ps/ps.h"
#include "sim/user/memory.h"
#include "sim/user/process.h"
#include "tests/support/fixture.h"

namespace {

using UserContextTest = vtest::SimTest;

TEST_F(UserContextTest, ARequestsViewOfABufferIsReachableFromItsOwnProcessOnly) {
    _EPROCESS* owner = sim::user::StartProcess(nullptr, vtest::kAppImage);
    _EPROCESS* other = sim::user::StartProcess(nullptr, vtest::kAppImage);
    ASSERT_NE(owner, nullptr);
    ASSERT_NE(other, nullptr);
    std::vector<char> program(64, 'x');
    char got[64] = {};
    sim::ThreadScope request(owner);
    auto view = std::make_unique<sim::user::UserView>(program.data(), program.size(), true);
    void* address = view->address();
    EXPECT_EQ(PlatformCopyFromClient(got, address, sizeof(got)), STATUS_SUCCESS);
    EXPECT_EQ(got[63], 'x');
    EXPECT_EQ(PlatformCopyToClient(address, "y", 1), STATUS_SUCCESS);
    {
        sim::ThreadScope elsewhere(other);
        EXPECT_EQ(PlatformCopyFromClient(got, static_cast<char*>(address) + 8, 8), STATUS_ACCESS_VIOLATION);
        EXPECT_EQ(PlatformCopyToClient(address, "z", 1), STATUS_ACCESS_VIOLATION);
    }
    NTSTATUS fromWorker = STATUS_SUCCESS;
    std::thread([&] { fromWorker = PlatformCopyFromClient(got, address, sizeof(got)); }).join();
    EXPECT_EQ(fromWorker, STATUS_ACCESS_VIOLATION) << "a worker thread runs in the System process";
    EXPECT_EQ(sim::CallCount("UserBufferOutsideItsProcess"), 3u);
    view.reset();
    EXPECT_EQ(program[0], 'y') << "what the owner's context wrote reached the program";
    EXPECT_EQ(PlatformCopyFromClient(got, address, sizeof(got)), STATUS_ACCESS_VIOLATION) << "gone with the request";

    // Memory a test builds in the window itself belongs to no process.
    void* shared = sim::user::AllocateUserMemory(16);
    {
        sim::ThreadScope elsewhere(other);
        EXPECT_EQ(PlatformCopyToClient(shared, "s", 1), STATUS_SUCCESS);
    }
    sim::user::FreeUserMemory(shared);
}

}  // namespace
