// The guarded copy of client memory: good ranges copy, a range that runs into
// an unmapped page or (for a write) a read-only page reports
// STATUS_ACCESS_VIOLATION without a signal escaping, on any thread and as
// often as it happens; a range that is not user memory is refused untouched;
// a fault outside a guarded copy still ends the process.
#include "platform/kernel.h"
#include "sim/user/memory.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {

class GuardedCopy : public ::testing::Test {
protected:
    void SetUp() override {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        // Readable and writable, no access, read-only. The middle page stays
        // reserved with no access rather than unmapped: an unmapped hole can
        // be handed to another mapping (the sanitizer's allocator, another
        // test's thread) before the copy touches it.
        // The client's pages lie in the user window, below MmUserProbeAddress.
        base_ = static_cast<uint8_t*>(sim::user::AllocateUserMemory(3 * page_));
        ASSERT_NE(base_, nullptr);
        sim::user::ProtectUserMemory(base_ + page_, page_, false, false);
        std::memset(base_ + 2 * page_, 0x77, page_);
        sim::user::ProtectUserMemory(base_ + 2 * page_, page_, true, false);
    }
    void TearDown() override {
        sim::user::ProtectUserMemory(base_, 3 * page_, true, true);
        sim::user::FreeUserMemory(base_);
    }
    // A client copy of `bytes` in user memory (freed with the fixture's pages).
    uint8_t* InUser(const std::vector<uint8_t>& bytes) {
        auto* copy = static_cast<uint8_t*>(sim::user::AllocateUserMemory(bytes.size()));
        std::memcpy(copy, bytes.data(), bytes.size());
        owned_.push_back(copy);
        return copy;
    }
    ~GuardedCopy() override {
        for (void* p : owned_) sim::user::FreeUserMemory(p);
    }
    std::vector<void*> owned_;
    uint8_t* writable() const { return base_; }
    uint8_t* hole() const { return base_ + page_; }
    uint8_t* readOnly() const { return base_ + 2 * page_; }

    size_t page_ = 0;
    uint8_t* base_ = nullptr;
};

TEST_F(GuardedCopy, GoodRangesCopyEveryByte) {
    std::vector<uint8_t> source(1000);
    for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<uint8_t>(i * 7);
    uint8_t* client = InUser(source);
    // Every length up to a few words, at odd offsets, and a long one.
    for (size_t length : {1u, 3u, 7u, 8u, 9u, 15u, 16u, 17u, 1000u - 3u}) {
        std::vector<uint8_t> target(1000, 0);
        ASSERT_EQ(PlatformCopyFromClient(target.data() + 1, client + 2, length), STATUS_SUCCESS);
        EXPECT_EQ(std::memcmp(target.data() + 1, source.data() + 2, length), 0) << length;
        EXPECT_EQ(target[0], 0);
        EXPECT_EQ(target[1 + length], 0) << "nothing past the range";
    }
    ASSERT_EQ(PlatformCopyToClient(writable(), source.data(), 100), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(writable(), source.data(), 100), 0);
    EXPECT_EQ(PlatformCopyFromClient(nullptr, source.data(), 0), STATUS_SUCCESS);
}

TEST_F(GuardedCopy, FaultsBecomeAccessViolations) {
    uint8_t local[64] = {};
    EXPECT_EQ(PlatformCopyFromClient(local, hole(), 4), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(PlatformCopyToClient(hole(), local, 4), STATUS_ACCESS_VIOLATION);
    // A range that starts good and runs into the hole.
    EXPECT_EQ(PlatformCopyFromClient(local, hole() - 8, 16), STATUS_ACCESS_VIOLATION);
    // Read-only: reading is fine, writing is not.
    EXPECT_EQ(PlatformCopyFromClient(local, readOnly(), sizeof(local)), STATUS_SUCCESS);
    EXPECT_EQ(local[0], 0x77);
    EXPECT_EQ(PlatformCopyToClient(readOnly(), local, 1), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(readOnly()[0], 0x77);
    // Addresses no process can map.
    EXPECT_EQ(PlatformCopyFromClient(local, reinterpret_cast<void*>(uintptr_t{0x10}), 4), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(PlatformCopyFromClient(local, reinterpret_cast<void*>(uintptr_t{0xFFFF800000000000ull}), 4),
              STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(PlatformCopyFromClient(local, nullptr, 4), STATUS_ACCESS_VIOLATION);
    // Kernel memory (above MmUserProbeAddress) is never copied on a client's
    // behalf, though the host could read it; nor a range that ends above it.
    const std::vector<uint8_t> kernel(16, 0x42);
    EXPECT_EQ(PlatformCopyFromClient(local, kernel.data(), 4), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(local[0], 0x77) << "nothing copied";
    std::vector<uint8_t> kernelTarget(16, 0);
    EXPECT_EQ(PlatformCopyToClient(kernelTarget.data(), local, 4), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(kernelTarget[0], 0);
    EXPECT_EQ(PlatformCopyFromClient(local, reinterpret_cast<void*>(MmUserProbeAddress - 2), 4), STATUS_ACCESS_VIOLATION);
    // And it keeps working after faults.
    uint8_t again[4] = {1, 2, 3, 4};
    EXPECT_EQ(PlatformCopyToClient(writable(), again, 4), STATUS_SUCCESS);
    EXPECT_EQ(writable()[3], 4);
}

// The last bytes of user space are user memory: a range that ends exactly at
// MmUserProbeAddress copies both ways; one byte further is refused untouched.
TEST_F(GuardedCopy, TheLastBytesBelowTheUserBoundaryCopy) {
    // The window's top page, reserved by the model and never handed out this
    // early, made readable and writable for the length of the test.
    auto* top = reinterpret_cast<uint8_t*>(MmUserProbeAddress - page_);
    sim::user::ProtectUserMemory(top, page_, true, true);
    uint8_t* const last = top + page_ - 8;
    const uint8_t pattern[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(PlatformCopyToClient(last, pattern, sizeof(pattern)), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(last, pattern, sizeof(pattern)), 0);
    uint8_t back[9] = {};
    EXPECT_EQ(PlatformCopyFromClient(back, last, 8), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(back, pattern, sizeof(pattern)), 0);
    EXPECT_EQ(PlatformCopyFromClient(back, top + page_ - 1, 1), STATUS_SUCCESS);
    EXPECT_EQ(back[0], 8);
    // Past the boundary by one byte: refused, nothing read or written.
    uint8_t untouched[9] = {};
    EXPECT_EQ(PlatformCopyFromClient(untouched, last, 9), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(untouched[0], 0);
    EXPECT_EQ(PlatformCopyToClient(last, untouched, 9), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(last[0], 1);
    sim::user::ProtectUserMemory(top, page_, false, false);
}

TEST_F(GuardedCopy, EveryThreadGetsItsOwnFaults) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            uint8_t buffer[32];
            std::memset(buffer, t, sizeof(buffer));
            for (int i = 0; i < 200; ++i) {
                if (PlatformCopyFromClient(buffer, hole() + (i % 64), 16) != STATUS_ACCESS_VIOLATION) ++wrong;
                if (PlatformCopyToClient(readOnly(), buffer, 8) != STATUS_ACCESS_VIOLATION) ++wrong;
                uint8_t out[32];
                uint8_t* mine = writable() + 64 * t;
                std::memcpy(mine, buffer, sizeof(buffer));
                if (PlatformCopyFromClient(out, mine, sizeof(out)) != STATUS_SUCCESS || out[31] != t) ++wrong;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(GuardedCopy, AFaultOutsideACopyStillEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    uint8_t local[4] = {};
    ASSERT_EQ(PlatformCopyFromClient(local, hole(), 4), STATUS_ACCESS_VIOLATION);  // handler installed
    EXPECT_DEATH(
        {
            volatile uint8_t* bad = hole();
            *bad = 1;
        },
        "");
}

}  // namespace
