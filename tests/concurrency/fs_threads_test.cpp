// Many simulated threads working on one volume at once: opens, writes, reads,
// renames and closes through a filter that attaches a stream-handle context to
// every handle. Run under ThreadSanitizer in the thread build.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "sim/flt/io.h"
#include "sim/user/file.h"
#include "sim/user/process.h"
#include "tests/support/fixture.h"

using namespace sim::user;
namespace fs = std::filesystem;

namespace {

PFLT_FILTER gFilter = nullptr;
std::atomic<int> gCleanups{0};
std::atomic<int> gWritesSeen{0};

VOID FLTAPI CountCleanup(PFLT_CONTEXT, FLT_CONTEXT_TYPE) { ++gCleanups; }

FLT_POSTOP_CALLBACK_STATUS FLTAPI PostCreate(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects, PVOID, FLT_POST_OPERATION_FLAGS) {
    if (NT_SUCCESS(data->IoStatus.Status)) {
        PFLT_CONTEXT context = nullptr;
        if (FltAllocateContext(gFilter, FLT_STREAMHANDLE_CONTEXT, 16, NonPagedPoolNx, &context) == STATUS_SUCCESS) {
            FltSetStreamHandleContext(objects->Instance, objects->FileObject, FLT_SET_CONTEXT_KEEP_IF_EXISTS, context, nullptr);
            FltReleaseContext(context);
        }
        PFLT_FILE_NAME_INFORMATION name = nullptr;
        if (NT_SUCCESS(FltGetFileNameInformation(data, FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT, &name))) {
            FltParseFileNameInformation(name);
            FltReleaseFileNameInformation(name);
        }
    }
    return FLT_POSTOP_FINISHED_PROCESSING;
}

FLT_PREOP_CALLBACK_STATUS FLTAPI PreWrite(PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS objects, PVOID*) {
    PFLT_CONTEXT context = nullptr;
    if (FltGetStreamHandleContext(objects->Instance, objects->FileObject, &context) == STATUS_SUCCESS) {
        ++gWritesSeen;
        FltReleaseContext(context);
    }
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

const FLT_OPERATION_REGISTRATION kOperations[] = {{IRP_MJ_CREATE, 0, nullptr, PostCreate, nullptr},
                                                  {IRP_MJ_WRITE, 0, PreWrite, nullptr, nullptr},
                                                  {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr}};
const FLT_CONTEXT_REGISTRATION kContexts[] = {
    {FLT_STREAMHANDLE_CONTEXT, 0, CountCleanup, 16, 'tseT', nullptr, nullptr, nullptr},
    {FLT_CONTEXT_END, 0, nullptr, 0, 0, nullptr, nullptr, nullptr}};

class FsThreadsTest : public vtest::SimTest {};

TEST_F(FsThreadsTest, ManyThreadsOpenWriteAndCloseOnOneVolume) {
    fs::path root = fs::temp_directory_path() / ("vetrona-threads-" + std::to_string(::getpid()));
    fs::remove_all(root);
    sim::fs::MountVolume(root.string(), u'C');
    DRIVER_OBJECT driver{};
    FLT_REGISTRATION registration{};
    registration.Size = sizeof(FLT_REGISTRATION);
    registration.Version = FLT_REGISTRATION_VERSION_0200;
    registration.OperationRegistration = kOperations;
    registration.ContextRegistration = kContexts;
    ASSERT_EQ(FltRegisterFilter(&driver, &registration, &gFilter), STATUS_SUCCESS);
    ASSERT_EQ(FltStartFiltering(gFilter), STATUS_SUCCESS);
    gCleanups = 0;
    gWritesSeen = 0;

    constexpr int kThreads = 6;
    constexpr int kRounds = 20;
    std::vector<_EPROCESS*> processes;
    for (int t = 0; t < kThreads; ++t) {
        processes.push_back(StartProcess(nullptr, vtest::kAppImage));
    }
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            _EPROCESS* process = processes[t];
            for (int round = 0; round < kRounds; ++round) {
                // Private files, and one shared file everybody appends to.
                std::u16string name = u"C:\\t" + std::u16string(1, static_cast<char16_t>(u'a' + t)) + u".txt";
                HANDLE h = nullptr, shared = nullptr;
                if (CreateFile(process, name, GENERIC_READ | GENERIC_WRITE | DELETE, 0, FILE_OVERWRITE_IF, 0, &h) !=
                    STATUS_SUCCESS) {
                    ++failures;
                    continue;
                }
                ULONG done = 0;
                if (WriteFile(process, h, 0, "0123456789", 10, &done) != STATUS_SUCCESS || done != 10) {
                    ++failures;
                }
                char buffer[10];
                if (ReadFile(process, h, 0, buffer, 10, &done) != STATUS_SUCCESS || done != 10) {
                    ++failures;
                }
                CloseHandle(process, h);
                const ULONG all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
                if (CreateFile(process, u"C:\\shared.log", FILE_APPEND_DATA | SYNCHRONIZE, all, FILE_OPEN_IF, 0, &shared) ==
                    STATUS_SUCCESS) {
                    WriteFile(process, shared, kEndOfFile, "x", 1, &done);
                    CloseHandle(process, shared);
                } else {
                    ++failures;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(fs::file_size(root / "shared.log"), static_cast<uintmax_t>(kThreads * kRounds));
    EXPECT_EQ(gWritesSeen.load(), 2 * kThreads * kRounds);
    EXPECT_EQ(gCleanups.load(), 2 * kThreads * kRounds);  // one context per handle, each cleaned once
    FltUnregisterFilter(gFilter);
    for (_EPROCESS* process : processes) {
        EndProcess(process);
    }
    fs::remove_all(root);
}

}  // namespace
