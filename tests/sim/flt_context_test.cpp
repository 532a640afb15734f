// Stream-handle contexts in the simulated Filter Manager: reference counts,
// keep-if-exists and replace, the cleanup callback exactly once at the last
// reference, and automatic deletion at the file object's close (not at its
// cleanup).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "sim/flt/io.h"
#include "sim/user/file.h"
#include "sim/user/process.h"
#include "tests/support/fixture.h"

using namespace sim::user;
namespace fs = std::filesystem;

namespace {

int gCleanups = 0;
PFLT_CONTEXT gLastCleaned = nullptr;
PFLT_FILTER gFilter = nullptr;
// Checks made from the filter's own callbacks while a handle is being closed.
bool gFoundInPreCleanup = false;
bool gFoundInPreClose = false;

VOID FLTAPI CountCleanup(PFLT_CONTEXT context, FLT_CONTEXT_TYPE type) {
    EXPECT_EQ(type, FLT_STREAMHANDLE_CONTEXT);
    ++gCleanups;
    gLastCleaned = context;
}

bool HasContext(PCFLT_RELATED_OBJECTS objects) {
    PFLT_CONTEXT context = nullptr;
    if (FltGetStreamHandleContext(objects->Instance, objects->FileObject, &context) != STATUS_SUCCESS) {
        return false;
    }
    FltReleaseContext(context);
    return true;
}

FLT_PREOP_CALLBACK_STATUS FLTAPI PreCleanup(PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS objects, PVOID*) {
    gFoundInPreCleanup = HasContext(objects);
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

FLT_PREOP_CALLBACK_STATUS FLTAPI PreClose(PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS objects, PVOID*) {
    gFoundInPreClose = HasContext(objects);
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

// Post-create attaches a context to every file it sees, as a tracking filter does.
FLT_POSTOP_CALLBACK_STATUS FLTAPI PostCreate(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects, PVOID, FLT_POST_OPERATION_FLAGS) {
    if (!NT_SUCCESS(data->IoStatus.Status)) {
        return FLT_POSTOP_FINISHED_PROCESSING;
    }
    PFLT_CONTEXT context = nullptr;
    EXPECT_EQ(FltAllocateContext(gFilter, FLT_STREAMHANDLE_CONTEXT, 24, NonPagedPoolNx, &context), STATUS_SUCCESS);
    EXPECT_EQ(FltSetStreamHandleContext(objects->Instance, objects->FileObject, FLT_SET_CONTEXT_KEEP_IF_EXISTS, context,
                                        nullptr),
              STATUS_SUCCESS);
    FltReleaseContext(context);
    return FLT_POSTOP_FINISHED_PROCESSING;
}

PFLT_INSTANCE gInstance = nullptr;
PFILE_OBJECT gFileObject = nullptr;
FLT_PREOP_CALLBACK_STATUS FLTAPI PreCreate(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects, PVOID*) {
    gInstance = objects->Instance;
    gFileObject = data->Iopb->TargetFileObject;
    // The file object is not open yet: nothing can be attached in pre-create.
    PFLT_CONTEXT context = nullptr;
    EXPECT_EQ(FltAllocateContext(gFilter, FLT_STREAMHANDLE_CONTEXT, 24, NonPagedPoolNx, &context), STATUS_SUCCESS);
    EXPECT_NE(FltSetStreamHandleContext(objects->Instance, objects->FileObject, FLT_SET_CONTEXT_KEEP_IF_EXISTS, context,
                                        nullptr),
              STATUS_SUCCESS);
    FltReleaseContext(context);
    return FLT_PREOP_SUCCESS_WITH_CALLBACK;
}

const FLT_OPERATION_REGISTRATION kOperations[] = {{IRP_MJ_CREATE, 0, PreCreate, PostCreate, nullptr},
                                                  {IRP_MJ_CLEANUP, 0, PreCleanup, nullptr, nullptr},
                                                  {IRP_MJ_CLOSE, 0, PreClose, nullptr, nullptr},
                                                  {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr}};
const FLT_CONTEXT_REGISTRATION kContexts[] = {
    {FLT_STREAMHANDLE_CONTEXT, 0, CountCleanup, 24, 'cHxC', nullptr, nullptr, nullptr},
    {FLT_CONTEXT_END, 0, nullptr, 0, 0, nullptr, nullptr, nullptr}};

class ContextTest : public vtest::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        gCleanups = 0;
        gLastCleaned = nullptr;
        root_ = fs::temp_directory_path() / ("vetrona-ctx-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        sim::fs::MountVolume(root_.string(), u'C');
        process_ = StartProcess(nullptr, vtest::kAppImage);
        registration_.Size = sizeof(FLT_REGISTRATION);
        registration_.Version = FLT_REGISTRATION_VERSION_0200;
        registration_.OperationRegistration = kOperations;
        registration_.ContextRegistration = kContexts;
        ASSERT_EQ(FltRegisterFilter(&driver_, &registration_, &gFilter), STATUS_SUCCESS);
        ASSERT_EQ(FltStartFiltering(gFilter), STATUS_SUCCESS);
        ASSERT_EQ(CreateFile(process_, u"C:\\c.txt", GENERIC_WRITE, 0, FILE_CREATE, 0, &handle_), STATUS_SUCCESS);
        // Pre-create's context could not be attached and died with its allocation reference.
        EXPECT_EQ(gCleanups, 1);
        gCleanups = 0;
    }
    void TearDown() override {
        if (handle_ != nullptr) {
            CloseHandle(process_, handle_);
        }
        FltUnregisterFilter(gFilter);
        SimTest::TearDown();
        fs::remove_all(root_);
    }

    fs::path root_;
    _EPROCESS* process_ = nullptr;
    DRIVER_OBJECT driver_{};
    FLT_REGISTRATION registration_{};
    HANDLE handle_ = nullptr;
};

TEST_F(ContextTest, ReferenceCountsAndCleanupOnceAtTheLastReference) {
    PFLT_CONTEXT attached = nullptr, again = nullptr;
    ASSERT_EQ(FltGetStreamHandleContext(gInstance, gFileObject, &attached), STATUS_SUCCESS);  // link + this
    FltReferenceContext(attached);                                                              // link + 2
    ASSERT_EQ(FltDeleteStreamHandleContext(gInstance, gFileObject, &again), STATUS_SUCCESS);   // the link's ref comes back
    EXPECT_EQ(again, attached);
    PFLT_CONTEXT none = reinterpret_cast<PFLT_CONTEXT>(1);
    EXPECT_EQ(FltGetStreamHandleContext(gInstance, gFileObject, &none), STATUS_NOT_FOUND);
    EXPECT_EQ(none, nullptr);
    FltReleaseContext(again);
    FltReleaseContext(attached);
    EXPECT_EQ(gCleanups, 0);
    FltReleaseContext(attached);
    EXPECT_EQ(gCleanups, 1);
    EXPECT_EQ(gLastCleaned, attached);
    EXPECT_EQ(FltDeleteStreamHandleContext(gInstance, gFileObject, nullptr), STATUS_NOT_FOUND);
}

TEST_F(ContextTest, KeepIfExistsAndReplace) {
    PFLT_CONTEXT existing = nullptr, fresh = nullptr, old = nullptr;
    ASSERT_EQ(FltGetStreamHandleContext(gInstance, gFileObject, &existing), STATUS_SUCCESS);
    ASSERT_EQ(FltAllocateContext(gFilter, FLT_STREAMHANDLE_CONTEXT, 24, PagedPool, &fresh), STATUS_SUCCESS);
    EXPECT_EQ(FltSetStreamHandleContext(gInstance, gFileObject, FLT_SET_CONTEXT_KEEP_IF_EXISTS, fresh, &old),
              STATUS_FLT_CONTEXT_ALREADY_DEFINED);
    EXPECT_EQ(old, existing);  // referenced for the caller
    FltReleaseContext(old);
    EXPECT_EQ(gCleanups, 0);
    ASSERT_EQ(FltSetStreamHandleContext(gInstance, gFileObject, FLT_SET_CONTEXT_REPLACE_IF_EXISTS, fresh, &old),
              STATUS_SUCCESS);
    EXPECT_EQ(old, existing);
    EXPECT_EQ(FltSetStreamHandleContext(gInstance, gFileObject, FLT_SET_CONTEXT_REPLACE_IF_EXISTS, fresh, nullptr),
              STATUS_FLT_CONTEXT_ALREADY_LINKED);
    FltReleaseContext(old);       // the replaced link's reference
    FltReleaseContext(existing);  // our look-up
    EXPECT_EQ(gCleanups, 1);
    EXPECT_EQ(gLastCleaned, existing);
    FltReleaseContext(fresh);  // allocation reference; the link keeps it
    EXPECT_EQ(gCleanups, 1);
}

TEST_F(ContextTest, DeletedAtCloseNotAtCleanup) {
    PFLT_CONTEXT held = nullptr;
    // A kernel reference keeps the file object past its handle's cleanup.
    ObfReferenceObject(gFileObject);
    ASSERT_EQ(CloseHandle(process_, handle_), STATUS_SUCCESS);
    handle_ = nullptr;
    EXPECT_TRUE(gFoundInPreCleanup);
    EXPECT_EQ(FltGetStreamHandleContext(gInstance, gFileObject, &held), STATUS_SUCCESS);
    EXPECT_EQ(gCleanups, 0);
    ObfDereferenceObject(gFileObject);  // last reference: close, then the context goes
    EXPECT_TRUE(gFoundInPreClose);
    EXPECT_EQ(gCleanups, 0);  // still referenced by us
    FltReleaseContext(held);
    EXPECT_EQ(gCleanups, 1);
}

TEST_F(ContextTest, AllocationChecks) {
    PFLT_CONTEXT context = reinterpret_cast<PFLT_CONTEXT>(1);
    EXPECT_EQ(FltAllocateContext(gFilter, FLT_STREAM_CONTEXT, 24, NonPagedPool, &context),
              STATUS_FLT_CONTEXT_ALLOCATION_NOT_FOUND);
    EXPECT_EQ(context, nullptr);
    EXPECT_EQ(FltAllocateContext(gFilter, FLT_STREAMHANDLE_CONTEXT, 32, NonPagedPool, &context),
              STATUS_FLT_CONTEXT_ALLOCATION_NOT_FOUND);
    EXPECT_EQ(FltAllocateContext(gFilter, FLT_STREAMHANDLE_CONTEXT, 0x10000, NonPagedPool, &context), STATUS_INVALID_PARAMETER);
    // Allocated from the pool under the registered tag; a context never set dies with its allocation reference.
    ASSERT_EQ(FltAllocateContext(gFilter, FLT_STREAMHANDLE_CONTEXT, 24, NonPagedPool, &context), STATUS_SUCCESS);
    EXPECT_EQ(sim::pool::LiveByTag()['cHxC'].count, 2u);  // this one and the attached one
    FltReleaseContext(context);
    EXPECT_EQ(gCleanups, 1);
    EXPECT_EQ(sim::pool::LiveByTag()['cHxC'].count, 1u);
}

TEST_F(ContextTest, ReleasingTooOftenStopsTheSystem) {
    checkPoolAtTearDown_ = false;
    PFLT_CONTEXT context = nullptr;
    ASSERT_EQ(FltAllocateContext(gFilter, FLT_STREAMHANDLE_CONTEXT, 24, NonPagedPool, &context), STATUS_SUCCESS);
    FltReferenceContext(context);
    FltReleaseContext(context);
    EXPECT_DEATH(
        {
            FltReleaseContext(context);
            FltReleaseContext(context);
        },
        "FLTMGR_FILE_SYSTEM");
    FltReleaseContext(context);
}

}  // namespace
