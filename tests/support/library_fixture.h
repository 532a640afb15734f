// The driver fixture with the client library as the client: connected on
// first use, disconnected at tear-down, and process events sent straight
// through the driver's send path from a thread of a chosen process.
#pragma once

#include "channel/send.h"
#include "client/lib/client.h"
#include "sim/io/io.h"
#include "sim/user/process.h"
#include "tests/support/fixture.h"
#include "tests/support/strings.h"

#include <memory>
#include <string>

namespace vtest {

class LibraryTest : public DriverTest {
protected:
    void TearDown() override {
        if (library_) {
            library_->Disconnect();
            library_.reset();
        }
        sim::DrainWorkItems();
        DriverTest::TearDown();
    }

    vetrona::client::Client& Connected() {
        if (!library_) {
            library_ = std::make_unique<vetrona::client::Client>(Client());
            EXPECT_EQ(library_->Connect(), vetrona::client::kOk);
        }
        return *library_;
    }

    // A process-start event for `pid` (image_, commandLine_), sent from a
    // thread of `process`, one that is terminating if asked; the verdict.
    Verdict SendProcessEvent(_EPROCESS* process, ULONG pid, bool terminating = false) {
        sim::ThreadScope scope(process);
        if (terminating) {
            sim::user::SetThreadTerminating(scope.thread(), true);
        }
        UNICODE_STRING image = Us(image_);
        UNICODE_STRING commandLine = Us(commandLine_);
        return ProcMonSendEvent(&image, &commandLine, reinterpret_cast<HANDLE>(uintptr_t{8}),
                                reinterpret_cast<HANDLE>(uintptr_t{pid}), TRUE);
    }

    std::unique_ptr<vetrona::client::Client> library_;
    std::u16string image_ = u"\\Device\\HarddiskVolume1\\Apps\\child.exe";
    std::u16string commandLine_ = u"child.exe --flag";
};

}  // namespace vtest
