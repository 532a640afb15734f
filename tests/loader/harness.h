// The host side of the loader tests (not part of any image): the routines the
// test images import from the "kernel" besides the model's own, a fixture
// that maps tests/loader/basic.cpp's image and runs its DriverEntry, and calls
// of the image's routines as the kernel makes them (Windows x64 convention,
// inside a sim::loader::DriverCall).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "sim/ke/stack.h"
#include "sim/loader/loader.h"

namespace ltest {

// The built test image `name` (the build puts them in one folder).
std::string ImagePath(const std::string& name);

// What the image reported through TestNote, in order.
std::vector<uint64_t>& Notes();
// The routine the image registered under `name` (fails the test if none).
void* Routine(const std::string& name);
// The variable the image's data import TestVariable is bound to.
extern uint64_t gTestVariable;
// The routines and variables the test images import beyond the model's.
std::vector<sim::loader::FallbackExport> TestExports();

class LoaderTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Maps basic.sys and runs its DriverEntry; the status it returned.
    NTSTATUS LoadBasic();

    // Calls the image's routine `name` as the kernel calls a driver's
    // routine: on a kernel stack, inside a DriverCall.
    template <typename R = uint64_t, typename... A>
    R Call(const char* name, A... args) {
        void* routine = Routine(name);
        using Fn = R(__attribute__((ms_abi)) *)(A...);
        if constexpr (std::is_void_v<R>) {
            sim::OnKernelStack(name, sim::StackEntry::SystemCall, [&] {
                sim::loader::DriverCall call(routine, name);
                reinterpret_cast<Fn>(routine)(args...);
            });
        } else {
            R result{};
            sim::OnKernelStack(name, sim::StackEntry::SystemCall, [&] {
                sim::loader::DriverCall call(routine, name);
                result = reinterpret_cast<Fn>(routine)(args...);
            });
            return result;
        }
    }

    sim::loader::Image* image_ = nullptr;
};

}  // namespace ltest
