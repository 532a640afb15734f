// A minifilter of the test's own. Started after the driver it sits below it
// (on every volume), started before it above it. Stop() unregisters it; call it
// before the driver's fixture tears down, so the pool check sees it gone.
#pragma once

#include "platform/kernel.h"

#include <gtest/gtest.h>

namespace vtest {

class TestFilter {
public:
    TestFilter() = default;
    TestFilter(const TestFilter&) = delete;
    TestFilter& operator=(const TestFilter&) = delete;
    ~TestFilter() { Stop(); }

    // Registers `operations` (ended by IRP_MJ_OPERATION_END) and starts
    // filtering; a failure fails the test.
    void Start(const FLT_OPERATION_REGISTRATION* operations) {
        registration_.Size = sizeof(FLT_REGISTRATION);
        registration_.Version = FLT_REGISTRATION_VERSION_0200;
        registration_.OperationRegistration = operations;
        registration_.FilterUnloadCallback = [](FLT_FILTER_UNLOAD_FLAGS) NTAPI -> NTSTATUS { return STATUS_SUCCESS; };
        ASSERT_EQ(FltRegisterFilter(&driver_, &registration_, &filter_), STATUS_SUCCESS);
        ASSERT_EQ(FltStartFiltering(filter_), STATUS_SUCCESS);
    }

    void Stop() {
        if (filter_ != nullptr) {
            FltUnregisterFilter(filter_);
            filter_ = nullptr;
        }
    }

private:
    DRIVER_OBJECT driver_{};
    FLT_REGISTRATION registration_{};
    PFLT_FILTER filter_ = nullptr;
};

}  // namespace vtest
